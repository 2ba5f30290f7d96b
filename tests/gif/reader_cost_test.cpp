// What reading a GIF costs against what the file holds: the frame count at the model's 16-bit
// limit and past it, and frames whose headers declare far more pixels than their data fills.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWDec.h"
#include "imaging/cDIB.h"
#include "platform/memory.h"
#include "tests/gif/mask_bit.h"
#include "tests/gif/nine_bit_lzw.h"

namespace qm {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::MaskBit;

void Put16(Bytes& b, int v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

// A GIF of `count` images, each declared width x height, each holding only the pixels of
// `pixels` (8-bit literal codes after a clear code); `transparent` >= 0 adds a control block.
Bytes SparseGif(int count, int width, int height, const Bytes& pixels, int transparent = -1) {
  Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
  Put16(b, width);
  Put16(b, height);
  b.insert(b.end(), {0xF7, 0, 0});  // 256-entry global table
  for (int i = 0; i < 256; ++i) b.insert(b.end(), {uint8_t(i), uint8_t(255 - i), 9});

  Bytes image;
  if (transparent >= 0) image = {0x21, 0xF9, 4, 1, 0, 0, uint8_t(transparent), 0};
  image.push_back(0x2C);
  Put16(image, 0);
  Put16(image, 0);
  Put16(image, width);
  Put16(image, height);
  image.push_back(0);
  const Bytes data = testing::NineBitLzw(pixels);
  image.push_back(8);
  image.push_back(uint8_t(data.size()));
  image.insert(image.end(), data.begin(), data.end());
  image.push_back(0);

  b.reserve(b.size() + image.size() * size_t(count) + 1);
  for (int i = 0; i < count; ++i) b.insert(b.end(), image.begin(), image.end());
  b.push_back(0x3B);
  return b;
}

// Resident memory of this process, in bytes.
uint64_t ResidentBytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  unsigned long long total = 0, resident = 0;
  const int n = std::fscanf(f, "%llu %llu", &total, &resident);
  std::fclose(f);
  return n == 2 ? resident * uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

uint8_t Pixel(const cDIB& dib, int x, int y) {
  BitsView v;
  MapDIBBits(v, dib);
  return v(x, y);
}

// The frame numbers are int16_t: a loop counting in them wraps after 32767 and never ends, which
// made inspect abort on a file of 32767 frames.
TEST(GifFrameLimit, ThirtyTwoThousandSevenHundredSixtySevenFramesAllReadToTheLast) {
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(SparseGif(kMaxGifFrames, 1, 1, {7})));
  ASSERT_EQ(gif.FramesCount(), kMaxGifFrames);
  EXPECT_EQ(gif.ImagesNotRead(), 0);
  int32_t visited = 0;
  for (int32_t n = 1; n <= gif.FramesCount(); ++n) {
    const auto dib = gif.FrameDIBXOR(int16_t(n));
    ASSERT_EQ(dib->Width(), 1) << n;
    ASSERT_EQ(Pixel(*dib, 0, 0), 7) << n;
    ++visited;
  }
  EXPECT_EQ(visited, kMaxGifFrames);
}

TEST(GifFrameLimit, ImagesPastThe16BitFrameNumbersAreCountedNotKept) {
  for (int extra : {1, 2}) {
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(SparseGif(kMaxGifFrames + extra, 1, 1, {7}, 7)));
    EXPECT_EQ(gif.FramesCount(), kMaxGifFrames);
    EXPECT_EQ(gif.ImagesNotRead(), extra);
    EXPECT_EQ(Pixel(*gif.FrameDIBXOR(kMaxGifFrames), 0, 0), 7);
    EXPECT_EQ(MaskBit(*gif.FrameDIBAND(kMaxGifFrames), 0, 0), 1);
    EXPECT_EQ(gif.ImagesNotRead(), extra) << "reading frames must not change the count";
  }
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(SparseGif(3, 1, 1, {7})));
  EXPECT_EQ(gif.ImagesNotRead(), 0) << "a new load starts the count again";
}

// Eight frames declared 16384 x 16384 with three pixels of data each used to zero-fill 2.4 GB.
TEST(GifReaderCost, DeclaredPixelsWithoutDataAreNotCommitted) {
  const Bytes file = SparseGif(8, 16384, 16384, {1, 2, 3}, 2);
  ASSERT_LT(file.size(), 2000u);
  const uint64_t before = ResidentBytes();
  ASSERT_GT(before, 0u);
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  const uint64_t growth = ResidentBytes() - before;
  ASSERT_EQ(gif.FramesCount(), 8);
  // The bitmaps take 2.3 GB of address space; a few pages per frame are all the data reaches.
  EXPECT_LT(growth, uint64_t(64) << 20) << growth;
  for (int16_t n = 1; n <= 8; ++n) {
    const auto x = gif.FrameDIBXOR(n);
    const auto mask = gif.FrameDIBAND(n);
    ASSERT_EQ(x->Width(), 16384);
    ASSERT_EQ(x->Height(), 16384);
    EXPECT_EQ(gif.Frame(n).DecodedRows, 1);
    EXPECT_EQ(Pixel(*x, 0, 0), 1);
    EXPECT_EQ(Pixel(*x, 1, 0), 2);
    EXPECT_EQ(Pixel(*x, 2, 0), 3);
    EXPECT_EQ(Pixel(*x, 3, 0), 0);
    EXPECT_EQ(Pixel(*x, 9000, 16383), 0);
    EXPECT_EQ(MaskBit(*mask, 0, 0), 0);
    EXPECT_EQ(MaskBit(*mask, 1, 0), 1);
    EXPECT_EQ(MaskBit(*mask, 2, 0), 0);
    EXPECT_EQ(MaskBit(*mask, 9000, 16383), 0);
  }
}

// The rows an interlaced frame's data reaches are the first rows of its first pass.
TEST(GifReaderCost, DecodedRowsFollowTheInterlacedOrder) {
  Bytes file = SparseGif(1, 4, 20, Bytes(9, 5), 5);
  const size_t packed = 13 + 768 + 8 + 9;
  ASSERT_EQ(file[packed - 9], 0x2C);
  file[packed] |= 0x40;
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  ASSERT_TRUE(gif.FrameInterlaced(1));
  EXPECT_EQ(gif.Frame(1).DecodedRows, 3);
  const auto x = gif.FrameDIBXOR(1);
  for (int k = 0; k < 3; ++k) {
    const int y = mGIFLZWDec::RowInOrder(k, 20, true);
    EXPECT_EQ(y, 8 * k);
    EXPECT_EQ(Pixel(*x, 0, y), 5);
    EXPECT_EQ(MaskBit(*gif.FrameDIBAND(1), 0, y), 1);
  }
  EXPECT_EQ(Pixel(*x, 0, 16), 5);
  EXPECT_EQ(Pixel(*x, 1, 16), 0) << "nine pixels end in the third row's first column";
  EXPECT_EQ(MaskBit(*gif.FrameDIBAND(1), 0, 4), 0);
  EXPECT_EQ(mGIFLZWDec::RowInOrder(3, 20, true), 4);
  EXPECT_EQ(mGIFLZWDec::RowInOrder(19, 20, true), 19);
  EXPECT_EQ(mGIFLZWDec::RowInOrder(20, 20, true), -1);
}

// 32766 frames of 256 x 256, three pixels each (a 490 KB file), used to commit 2.2 GB.
TEST(GifReaderCostLongTest, ManySparseFramesCostAboutAPageEach) {
  {
    // Sanitizer builds take frame memory from the heap, which commits what it clears.
    void* probe = AcquireFrameMemory(kFrameBlockMinBytes, false);
    ReleaseFrameMemory(probe, kFrameBlockMinBytes);
    if (FrameMemoryCached() == 0) GTEST_SKIP() << "frame memory comes from the heap here";
    DropFrameMemoryCache();
  }
  const Bytes file = SparseGif(kMaxGifFrames - 1, 256, 256, {1, 2, 3});
  const uint64_t before = ResidentBytes();
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  const uint64_t growth = ResidentBytes() - before;
  ASSERT_EQ(gif.FramesCount(), kMaxGifFrames - 1);
  // Declared: 72 KB of bitmaps a frame. Held: a row of pixels, plus the frame's own records.
  EXPECT_LT(growth / uint64_t(gif.FramesCount()), uint64_t(16) << 10) << growth;
  const auto last = gif.FrameDIBXOR(gif.FramesCount());
  EXPECT_EQ(last->Width(), 256);
  EXPECT_EQ(Pixel(*last, 2, 0), 3);
  EXPECT_EQ(Pixel(*last, 0, 1), 0);
}

}  // namespace
}  // namespace qm
