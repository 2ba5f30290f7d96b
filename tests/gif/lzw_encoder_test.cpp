// The LZW encoder, checked at the level of the code stream: a small reference decoder in this
// file walks the sub-blocks and the codes (recording the width each code was read at) so the
// tests can see the widths, the clear codes and the decoded indices.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWEnc.h"
#include "imaging/cDIB.h"

namespace qm {
namespace {

struct CodeRead {
  int code;
  int width;
};

struct Decoded {
  std::vector<int> block_sizes;
  std::vector<CodeRead> codes;
  std::vector<uint8_t> indices;
  bool saw_end = false;
  bool valid = true;
};

// GIF LZW decoding of the sub-blocks produced by the encoder.
Decoded DecodeStream(const std::vector<uint8_t>& bytes, int min_code_size) {
  Decoded d;
  std::vector<uint8_t> data;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const int n = bytes[pos];
    d.block_sizes.push_back(n);
    if (n == 0 || pos + 1 + n > bytes.size()) {
      d.valid = false;
      return d;
    }
    data.insert(data.end(), bytes.begin() + pos + 1, bytes.begin() + pos + 1 + n);
    pos += 1 + n;
  }
  const int clear = 1 << min_code_size;
  const int end = clear + 1;
  int width = min_code_size + 1;
  int next = clear + 2;
  std::vector<int> prefix(4096, -1);
  std::vector<uint8_t> suffix(4096, 0), first(4096, 0);
  for (int i = 0; i < clear; ++i) suffix[i] = first[i] = uint8_t(i);
  int prev = -1;
  size_t bitpos = 0;
  std::vector<uint8_t> stack;
  auto emit = [&](int code) {
    stack.clear();
    for (int c = code; c >= 0; c = prefix[c]) stack.push_back(suffix[c]);
    d.indices.insert(d.indices.end(), stack.rbegin(), stack.rend());
  };
  while (bitpos + width <= data.size() * 8) {
    int code = 0;
    for (int b = 0; b < width; ++b, ++bitpos) code |= ((data[bitpos / 8] >> (bitpos % 8)) & 1) << b;
    d.codes.push_back({code, width});
    if (code == clear) {
      width = min_code_size + 1;
      next = clear + 2;
      prev = -1;
      continue;
    }
    if (code == end) {
      d.saw_end = true;
      break;
    }
    if (prev < 0) {
      if (code >= clear) d.valid = false;
      emit(code);
      prev = code;
      continue;
    }
    if (code > next || (code == next && next >= 4096)) {
      d.valid = false;
      break;
    }
    if (next < 4096) {
      prefix[next] = prev;
      suffix[next] = code < next ? first[code] : first[prev];
      first[next] = first[prev];
      ++next;
    }
    emit(code);
    prev = code;
    if (next == (1 << width) && width < 12) ++width;
  }
  return d;
}

std::vector<uint8_t> Encode(const std::vector<std::vector<uint8_t>>& rows, int min_code_size,
                            bool interlaced) {
  std::vector<const uint8_t*> ptrs;
  for (const auto& r : rows) ptrs.push_back(r.data());
  MemoryGifOutput out;
  EncodePixels(out, ptrs, int32_t(rows.empty() ? 0 : rows[0].size()), uint8_t(min_code_size + 1),
               interlaced);
  return out.bytes;
}

std::vector<std::vector<uint8_t>> RandomRows(int w, int h, int colours, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(0, colours - 1);
  std::vector<std::vector<uint8_t>> rows(h, std::vector<uint8_t>(w));
  for (auto& r : rows)
    for (auto& v : r) v = uint8_t(dist(rng));
  return rows;
}

std::vector<uint8_t> Flatten(const std::vector<std::vector<uint8_t>>& rows,
                             const std::vector<int32_t>& order) {
  std::vector<uint8_t> out;
  for (int32_t y : order) out.insert(out.end(), rows[y].begin(), rows[y].end());
  return out;
}

TEST(LzwEncoder, HandDerivedSmallStreams) {
  // One pixel of index 0 at minimum code size 2: clear (4), 0, end (5), three bits each.
  EXPECT_EQ(Encode({{0}}, 2, false), (std::vector<uint8_t>{0x02, 0x44, 0x01}));
  // Two pixels of index 0: clear, 0, 0, end; the new entry 6 does not yet widen the codes.
  EXPECT_EQ(Encode({{0, 0}}, 2, false), (std::vector<uint8_t>{0x02, 0x04, 0x0A}));
}

TEST(LzwEncoder, ProbeChainStopsAtAKeyOfZero) {
  // Hand-traced through the 5003-slot table: "16 1" takes slot 0, so the string "0 0" (key 0)
  // probes on to slot 5002. "21 157" takes slot 2501, so "5 156" probes from 2501 to 5002, finds
  // key 0 there, stops and overwrites it. The next "0 0" then misses and becomes code 266, which
  // the final "0 0" matches.
  const std::vector<std::vector<uint8_t>> rows = {{16, 1, 0, 0, 21, 157, 5, 156, 0, 0, 0}};
  Decoded d = DecodeStream(Encode(rows, 8, false), 8);
  ASSERT_TRUE(d.valid);
  std::vector<int> codes;
  for (const auto& c : d.codes) {
    codes.push_back(c.code);
    EXPECT_EQ(c.width, 9);
  }
  EXPECT_EQ(codes, (std::vector<int>{256, 16, 1, 0, 0, 21, 157, 5, 156, 0, 266, 257}));
  EXPECT_EQ(d.indices, rows[0]);
}

TEST(LzwEncoder, RoundTripsAcrossCodeSizesAndShapes) {
  for (int code_size = 2; code_size <= 8; ++code_size) {
    for (auto [w, h] : {std::pair{1, 1}, {3, 7}, {17, 5}, {64, 64}, {301, 3}}) {
      auto rows = RandomRows(w, h, 1 << code_size, uint32_t(code_size * 1000 + w + h));
      for (bool interlaced : {false, true}) {
        Decoded d = DecodeStream(Encode(rows, code_size, interlaced), code_size);
        ASSERT_TRUE(d.valid) << code_size << " " << w << "x" << h;
        EXPECT_TRUE(d.saw_end);
        EXPECT_EQ(d.indices, Flatten(rows, EncodingRowOrder(h, interlaced)))
            << "code size " << code_size << ", " << w << "x" << h << ", interlaced " << interlaced;
      }
    }
  }
}

TEST(LzwEncoder, SubBlocksAreFull254ExceptTheLast) {
  auto rows = RandomRows(200, 200, 256, 7);
  Decoded d = DecodeStream(Encode(rows, 8, false), 8);
  ASSERT_TRUE(d.valid);
  ASSERT_GT(d.block_sizes.size(), 10u);
  for (size_t i = 0; i + 1 < d.block_sizes.size(); ++i) ASSERT_EQ(d.block_sizes[i], 254) << i;
  EXPECT_GE(d.block_sizes.back(), 1);
  EXPECT_LE(d.block_sizes.back(), 254);
}

TEST(LzwEncoder, CodeWidthGrowsToTwelveAndClearsInTwelveBits) {
  auto rows = RandomRows(300, 100, 16, 11);  // far more strings than the 4096-entry table holds
  const int code_size = 4;
  Decoded d = DecodeStream(Encode(rows, code_size, false), code_size);
  ASSERT_TRUE(d.valid);
  EXPECT_EQ(d.indices, Flatten(rows, EncodingRowOrder(100, false)));
  const int clear = 1 << code_size;
  ASSERT_EQ(d.codes.front().code, clear);
  EXPECT_EQ(d.codes.front().width, code_size + 1);

  int max_width = 0, clears_at_12 = 0;
  int last_width = 0;
  for (size_t i = 0; i < d.codes.size(); ++i) {
    const auto& c = d.codes[i];
    max_width = std::max(max_width, c.width);
    ASSERT_LE(c.width, 12);
    if (i > 0 && c.code == clear) {
      EXPECT_EQ(c.width, 12) << "a mid-stream clear comes only when the table is full";
      ++clears_at_12;
      ASSERT_LT(i + 1, d.codes.size());
      EXPECT_EQ(d.codes[i + 1].width, code_size + 1);
      last_width = 0;
      continue;
    }
    if (last_width) {
      EXPECT_GE(c.width, last_width) << "width never shrinks between clears";
    }
    last_width = c.width;
  }
  EXPECT_EQ(max_width, 12);
  EXPECT_GE(clears_at_12, 2);
}

TEST(LzwEncoder, InterlacedRowOrders) {
  EXPECT_EQ(EncodingRowOrder(5, true), (std::vector<int32_t>{0, 4, 2, 1, 3}));
  EXPECT_EQ(EncodingRowOrder(9, true), (std::vector<int32_t>{0, 8, 4, 2, 6, 1, 3, 5, 7}));
  EXPECT_EQ(EncodingRowOrder(1, true), (std::vector<int32_t>{0}));
  EXPECT_EQ(EncodingRowOrder(2, true), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(EncodingRowOrder(3, true), (std::vector<int32_t>{0, 2, 1}));
  EXPECT_EQ(EncodingRowOrder(4, true), (std::vector<int32_t>{0, 2, 1, 3}));
  EXPECT_EQ(EncodingRowOrder(3, false), (std::vector<int32_t>{0, 1, 2}));

  // The stream itself carries the rows in that order: row y is filled with the value y.
  for (int h : {1, 2, 3, 4, 5, 9, 17}) {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < h; ++y) rows.push_back(std::vector<uint8_t>(3, uint8_t(y)));
    Decoded d = DecodeStream(Encode(rows, 5, true), 5);
    ASSERT_TRUE(d.valid);
    std::vector<int32_t> seen;
    for (size_t i = 0; i < d.indices.size(); i += 3) seen.push_back(d.indices[i]);
    EXPECT_EQ(seen, EncodingRowOrder(h, true)) << "height " << h;
  }
}

TEST(LzwEncoder, FrameBitmapRowPaddingIsNeverEncoded) {
  tGIFFrame frame;
  frame.DIBXOR = std::make_shared<cDIB>();
  ASSERT_TRUE(frame.DIBXOR->Create(5, 3, 8));
  ASSERT_GT(frame.DIBXOR->BytesPerScanline(), 5);
  BitsView view;
  MapDIBBits(view, *frame.DIBXOR);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < view.columns(); ++x) view(x, y) = x < 5 ? uint8_t(x + y) : uint8_t(0xEE);
  MemoryGifOutput out;
  EncodeImage(out, frame, 4, false);
  Decoded d = DecodeStream(out.bytes, 3);
  ASSERT_TRUE(d.valid);
  EXPECT_EQ(d.indices, (std::vector<uint8_t>{0, 1, 2, 3, 4, 1, 2, 3, 4, 5, 2, 3, 4, 5, 6}));
}

TEST(LzwEncoder, WritesNothingForBitmapsItCannotEncode) {
  tGIFFrame frame;
  MemoryGifOutput out;
  EncodeImage(out, frame, 9, false);  // no bitmap
  frame.DIBXOR = std::make_shared<cDIB>();
  ASSERT_TRUE(frame.DIBXOR->Create(4, 4, 32));
  EncodeImage(out, frame, 9, false);  // not 8 bits per pixel
  EXPECT_TRUE(out.bytes.empty());
  EXPECT_THROW(EncodePixels(out, {}, 1, 2, false), RuntimeError);
  EXPECT_THROW(EncodePixels(out, {}, 1, 10, false), RuntimeError);
}

}  // namespace
}  // namespace qm
