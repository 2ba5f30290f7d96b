#include "platform/memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace qm {
namespace {

constexpr size_t kMiB = size_t(1) << 20;

bool AllBytesAre(const uint8_t* p, size_t n, uint8_t value) {
  return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

class FrameMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { DropFrameMemoryCache(); }
  void TearDown() override { DropFrameMemoryCache(); }
};

TEST_F(FrameMemoryTest, ZeroedBlocksAreZeroAtEverySizeEvenWhenReused) {
  // Around the heap limit and the huge-page size, and blocks that span several huge pages.
  for (size_t bytes : {size_t(1), kFrameBlockMinBytes - 1, kFrameBlockMinBytes, 2 * kMiB - 1,
                       2 * kMiB, 2 * kMiB + 1, 9 * kMiB + 123}) {
    SCOPED_TRACE(bytes);
    for (int round = 0; round < 3; ++round) {
      FrameBlock block(bytes, true);
      ASSERT_NE(block.data(), nullptr);
      ASSERT_EQ(block.size(), bytes);
      ASSERT_TRUE(AllBytesAre(block.data(), bytes, 0));
      std::memset(block.data(), 0xA5, bytes);  // dirty it for the next round's reuse
    }
  }
}

TEST_F(FrameMemoryTest, LargeBlocksAreReusedAndHugePageAligned) {
  if (FrameMemoryCached() == 0) {
    void* probe = AcquireFrameMemory(kFrameBlockMinBytes, false);
    ReleaseFrameMemory(probe, kFrameBlockMinBytes);
    if (FrameMemoryCached() == 0) GTEST_SKIP() << "frame memory comes from the heap here";
    DropFrameMemoryCache();
  }
  const size_t bytes = 5 * kMiB + 7;
  void* first = AcquireFrameMemory(bytes, false);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % (2 * kMiB), 0u);
  std::memset(first, 0x3C, bytes);
  ReleaseFrameMemory(first, bytes);
  EXPECT_GE(FrameMemoryCached(), bytes);
  // Another size does not take it; the same size does, with its bytes cleared when asked.
  void* other = AcquireFrameMemory(3 * kMiB, false);
  EXPECT_NE(other, first);
  void* again = AcquireFrameMemory(bytes, true);
  EXPECT_EQ(again, first);
  EXPECT_TRUE(AllBytesAre(static_cast<uint8_t*>(again), bytes, 0));
  ReleaseFrameMemory(other, 3 * kMiB);
  ReleaseFrameMemory(again, bytes);
  DropFrameMemoryCache();
  EXPECT_EQ(FrameMemoryCached(), 0u);
}

TEST_F(FrameMemoryTest, TheCacheStaysWithinItsBound) {
  // Many blocks of sizes never asked for again, then one larger than the whole bound.
  std::vector<std::pair<void*, size_t>> blocks;
  for (size_t i = 0; i < 160; ++i) {
    const size_t bytes = 7 * kMiB + i * 4096;
    blocks.emplace_back(AcquireFrameMemory(bytes, false), bytes);
  }
  for (auto& [p, bytes] : blocks) {
    ReleaseFrameMemory(p, bytes);
    ASSERT_LE(FrameMemoryCached(), kFrameCacheBytes);
  }
  const size_t cached = FrameMemoryCached();
  const size_t huge = kFrameCacheBytes + kMiB;
  void* big = AcquireFrameMemory(huge, true);
  static_cast<uint8_t*>(big)[huge - 1] = 1;
  ReleaseFrameMemory(big, huge);
  EXPECT_EQ(FrameMemoryCached(), cached);
  ReleaseFrameMemory(nullptr, 12345);
  EXPECT_EQ(AcquireFrameMemory(0, true), nullptr);
}

TEST_F(FrameMemoryTest, BlocksCopyAndMoveTheirBytes) {
  FrameBlock a(3 * kMiB, false);
  for (size_t i = 0; i < a.size(); ++i) a.data()[i] = uint8_t(i * 7);
  FrameBlock copy = a;
  ASSERT_EQ(copy.size(), a.size());
  EXPECT_NE(copy.data(), a.data());
  EXPECT_EQ(std::memcmp(copy.data(), a.data(), a.size()), 0);
  const uint8_t* storage = a.data();
  FrameBlock moved = std::move(a);
  EXPECT_EQ(moved.data(), storage);
  EXPECT_EQ(a.data(), nullptr);
  EXPECT_EQ(a.size(), 0u);
  copy = std::move(moved);
  EXPECT_EQ(copy.data(), storage);
  FrameBlock empty;
  copy = empty;
  EXPECT_EQ(copy.size(), 0u);
}

TEST_F(FrameMemoryTest, ByteBuffersKeepTheirContentsWhenTheyGrow) {
  FrameBytes bytes(1000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i);
  bytes.resize(4 * kMiB);
  for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(bytes[i], uint8_t(i));
  bytes.resize(10);
  bytes.shrink_to_fit();
  EXPECT_EQ(bytes[9], 9);
}

TEST_F(FrameMemoryTest, ThreadsShareTheCacheSafely) {
  // Each thread's blocks carry its own pattern; a block handed to two threads at once would
  // show the other's bytes.
  auto work = [](uint8_t tag, bool* ok) {
    for (int i = 0; i < 60; ++i) {
      const size_t bytes = (i % 3 + 1) * kMiB;
      FrameBlock b(bytes, i % 2 == 0);
      std::memset(b.data(), tag, bytes);
      std::this_thread::yield();
      if (!AllBytesAre(b.data(), bytes, tag)) *ok = false;
    }
  };
  bool ok1 = true, ok2 = true;
  std::thread t1(work, uint8_t(0x11), &ok1);
  std::thread t2(work, uint8_t(0x22), &ok2);
  t1.join();
  t2.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

}  // namespace
}  // namespace qm
