// The LZW decoder on hand-packed code streams: string expansion, clear codes, interlaced row
// order, and the ways decoding ends (end code, end of data, full bitmap, faults).
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "gif/mGIFLZWDec.h"
#include "imaging/cDIB.h"
#include "tests/gif/giflib_support.h"

namespace qm {
namespace {

using Codes = std::vector<std::pair<int, int>>;  // code, width in bits

// Packs codes least significant bit first, as GIF image data does.
std::vector<uint8_t> Pack(const Codes& codes) {
  std::vector<uint8_t> out;
  uint64_t acc = 0;
  int bits = 0;
  for (auto [code, width] : codes) {
    acc |= uint64_t(code) << bits;
    for (bits += width; bits >= 8; bits -= 8, acc >>= 8) out.push_back(uint8_t(acc));
  }
  if (bits > 0) out.push_back(uint8_t(acc));
  return out;
}

// Every pixel as its own string: a clear code before each 8-bit literal keeps the width at 9.
std::vector<uint8_t> Literals(const std::vector<int>& pixels, bool end = true) {
  Codes codes;
  for (int v : pixels) codes.insert(codes.end(), {{256, 9}, {v, 9}});
  if (end) codes.push_back({257, 9});
  return Pack(codes);
}

// Decodes into a w x h bitmap filled with 0x77 beforehand; returns its pixels in row order.
std::vector<int> Decode(int w, int h, bool interlaced, int mcs, const std::vector<uint8_t>& data) {
  tGIFFrame f;
  f.DIBXOR = std::make_shared<cDIB>();
  EXPECT_TRUE(f.DIBXOR->Create(w, h, 8));
  BitsView v;
  MapDIBBits(v, *f.DIBXOR);
  for (int y = 0; y < h; ++y)
    for (auto& b : v.row(y)) b = 0x77;
  mGIFLZWDec::DecodeImage(f, interlaced, uint8_t(mcs), data);
  std::vector<int> out;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) out.push_back(v(x, y));
  return out;
}

using Px = std::vector<int>;

TEST(LzwDecoder, DecodesStringsAndTheCodeNotYetInTheTable) {
  EXPECT_EQ(Decode(1, 1, false, 2, {0x44, 0x01}), Px{0});
  // clear, a, b, then the next code: a, b, b, b. Adding entry 7 widens the end code to 4 bits.
  EXPECT_EQ(Decode(4, 1, false, 2, Pack({{4, 3}, {1, 3}, {2, 3}, {7, 3}, {5, 4}})),
            (Px{1, 2, 2, 2}));
  // Data that opens with a literal instead of a clear code keeps that first pixel.
  EXPECT_EQ(Decode(2, 1, false, 2, Pack({{2, 3}, {1, 3}, {5, 3}})), (Px{2, 1}));
  // Two clear codes in a row, then a table string spanning a row boundary.
  EXPECT_EQ(Decode(3, 2, false, 2, Pack({{4, 3}, {4, 3}, {3, 3}, {0, 3}, {6, 3}, {6, 4}})),
            (Px{3, 0, 3, 0, 3, 0}));
}

TEST(LzwDecoder, InterlacedFramesFillTheirRowsPassByPass) {
  const std::vector<Px> order = {{0},
                                 {0, 1},
                                 {0, 2, 1},
                                 {0, 2, 1, 3},
                                 {0, 4, 2, 1, 3},
                                 {},
                                 {},
                                 {},
                                 {0, 8, 4, 2, 6, 1, 3, 5, 7}};
  for (int h : {1, 2, 3, 4, 5, 9}) {
    Px in_file, expected(static_cast<size_t>(h));
    for (int i = 0; i < h; ++i) {
      in_file.push_back(10 + i);
      expected[size_t(order[size_t(h) - 1][size_t(i)])] = 10 + i;
    }
    EXPECT_EQ(Decode(1, h, true, 8, Literals(in_file)), expected) << "height " << h;
  }
}

TEST(LzwDecoder, StopsQuietlyKeepingWhatWasPlaced) {
  // Data ending before the end code, and ending inside a code.
  EXPECT_EQ(Decode(3, 2, false, 8, Literals({1, 2, 3}, false)), (Px{1, 2, 3, 0x77, 0x77, 0x77}));
  std::vector<uint8_t> cut = Literals({1, 2, 3, 4}, false);
  cut.pop_back();
  EXPECT_EQ(Decode(3, 2, false, 8, cut), (Px{1, 2, 3, 0x77, 0x77, 0x77}));
  // More pixels than the bitmap holds: the extra ones are dropped, never wrapped to row 0.
  for (bool interlaced : {false, true})
    EXPECT_EQ(Decode(2, 2, interlaced, 8, Literals({1, 2, 3, 4, 5, 6})), (Px{1, 2, 3, 4}));
  // A code beyond the next table entry (6 here) ends decoding; so does a first literal above 255.
  EXPECT_EQ(Decode(4, 1, false, 2, Pack({{4, 3}, {1, 3}, {7, 3}, {2, 3}})),
            (Px{1, 0x77, 0x77, 0x77}));
  EXPECT_EQ(Decode(2, 1, false, 9, Pack({{512, 10}, {300, 10}, {1, 10}})), (Px{0x77, 0x77}));
}

TEST(LzwDecoder, StringsLongerThanTheStackEndDecoding) {
  // clear, 0, then always the next code: strings of length 2, 3, ... until one exceeds 4001.
  Codes codes = {{4, 3}, {0, 3}};
  for (int next = 6, width = 3; next <= 4095;) {
    codes.push_back({next, width});
    if (++next > (1 << width) - 1 && width < 12) ++width;
  }
  const Px px = Decode(4096, 2048, false, 2, Pack(codes));
  const size_t placed = size_t(4001) * 4002 / 2;  // lengths 1, 2, ..., 4001
  EXPECT_EQ(px[placed - 1], 0);
  EXPECT_EQ(px[placed], 0x77);
}

TEST(LzwDecoder, KeepsDecodingWithAFullTableLikeGiflib) {
  // Literals only, never a clear: the table fills at 4096 and later codes still decode.
  Px pixels;
  Codes codes = {{256, 9}};
  for (int i = 0, next = 258, width = 9; i < 6000; ++i) {
    pixels.push_back((i * 7 + i / 13) & 0xFF);
    codes.push_back({pixels.back(), width});
    if (i > 0 && next <= 4096 && ++next > (1 << width) - 1 && width < 12) ++width;
  }
  codes.push_back({257, 12});
  const std::vector<uint8_t> data = Pack(codes);
  EXPECT_EQ(Decode(100, 60, false, 8, data), pixels);

  // The same stream in a file for giflib, a decoder we did not write.
  std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 100, 0, 60, 0, 0xF7, 0, 0};
  gif.resize(gif.size() + 768, 0);
  gif.insert(gif.end(), {0x2C, 0, 0, 0, 0, 100, 0, 60, 0, 0, 8});
  for (size_t i = 0; i < data.size(); i += 255) {
    gif.push_back(uint8_t(std::min<size_t>(255, data.size() - i)));
    gif.insert(gif.end(), data.begin() + long(i), data.begin() + long(i + gif.back()));
  }
  gif.insert(gif.end(), {0, 0x3B});
  const testing::GiflibResult ref = testing::DecodeWithGiflib(gif);
  ASSERT_TRUE(ref.ok);
  EXPECT_EQ(Px(ref.frames.at(0).indices.begin(), ref.frames.at(0).indices.end()), pixels);
}

}  // namespace
}  // namespace qm
