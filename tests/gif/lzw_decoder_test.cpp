// The LZW decoder on hand-packed code streams: string expansion, clear codes, interlaced row
// order, and the ways decoding ends (end code, end of data, full bitmap, faults).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "gif/mGIFLZWDec.h"
#include "imaging/cDIB.h"
#include "tests/gif/giflib_support.h"

namespace qm {
namespace {

// Packs codes least significant bit first, as GIF image data does.
class CodePacker {
 public:
  void Put(int code, int width) {
    acc_ |= uint64_t(code) << bits_;
    bits_ += width;
    while (bits_ >= 8) {
      bytes_.push_back(uint8_t(acc_));
      acc_ >>= 8;
      bits_ -= 8;
    }
  }
  std::vector<uint8_t> Finish() {
    if (bits_ > 0) bytes_.push_back(uint8_t(acc_));
    bits_ = 0;
    acc_ = 0;
    return bytes_;
  }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t acc_ = 0;
  int bits_ = 0;
};

// Every pixel as its own string: a clear code before each literal keeps the width fixed.
std::vector<uint8_t> LiteralsWithClears(const std::vector<int>& pixels, int min_code_size,
                                        bool end = true) {
  CodePacker p;
  const int clear = 1 << min_code_size;
  for (int v : pixels) {
    p.Put(clear, min_code_size + 1);
    p.Put(v, min_code_size + 1);
  }
  if (end) p.Put(clear + 1, min_code_size + 1);
  return p.Finish();
}

tGIFFrame MakeFrame(int width, int height, uint8_t fill) {
  tGIFFrame f;
  f.DIBXOR = std::make_shared<cDIB>();
  EXPECT_TRUE(f.DIBXOR->Create(width, height, 8));
  BitsView v;
  MapDIBBits(v, *f.DIBXOR);
  for (int y = 0; y < height; ++y)
    for (auto& b : v.row(y)) b = fill;
  return f;
}

std::vector<int> Pixels(const tGIFFrame& f) {
  BitsView v;
  MapDIBBits(v, *f.DIBXOR);
  std::vector<int> out;
  for (int y = 0; y < f.DIBXOR->Height(); ++y)
    for (int x = 0; x < f.DIBXOR->Width(); ++x) out.push_back(v(x, y));
  return out;
}

TEST(LzwDecoder, DecodesStringsAndTheCodeNotYetInTheTable) {
  tGIFFrame one = MakeFrame(1, 1, 9);
  mGIFLZWDec::DecodeImage(one, false, 2, std::vector<uint8_t>{0x44, 0x01});
  EXPECT_EQ(Pixels(one), (std::vector<int>{0}));

  // clear, a, b, then the next code: a, b, b, b.
  CodePacker p;
  for (int code : {4, 1, 2, 7}) p.Put(code, 3);
  p.Put(5, 4);  // adding entry 7 widened the codes to 4 bits
  tGIFFrame f = MakeFrame(4, 1, 9);
  mGIFLZWDec::DecodeImage(f, false, 2, p.Finish());
  EXPECT_EQ(Pixels(f), (std::vector<int>{1, 2, 2, 2}));

  // Data that opens with a literal instead of a clear code keeps that first pixel.
  CodePacker r;
  for (int code : {2, 1, 5}) r.Put(code, 3);
  tGIFFrame h = MakeFrame(2, 1, 9);
  mGIFLZWDec::DecodeImage(h, false, 2, r.Finish());
  EXPECT_EQ(Pixels(h), (std::vector<int>{2, 1}));

  // Two clear codes in a row, then a table string spanning a row boundary.
  CodePacker q;
  for (int code : {4, 4, 3, 0, 6}) q.Put(code, 3);
  q.Put(6, 4);  // entry 7 was just added: codes are 4 bits wide now
  tGIFFrame g = MakeFrame(3, 2, 9);
  mGIFLZWDec::DecodeImage(g, false, 2, q.Finish());
  EXPECT_EQ(Pixels(g), (std::vector<int>{3, 0, 3, 0, 3, 0}));
}

TEST(LzwDecoder, InterlacedFramesFillTheirRowsPassByPass) {
  const std::vector<std::vector<int>> order = {{0},
                                               {0, 1},
                                               {0, 2, 1},
                                               {0, 2, 1, 3},
                                               {0, 4, 2, 1, 3},
                                               {},
                                               {},
                                               {},
                                               {0, 8, 4, 2, 6, 1, 3, 5, 7}};
  for (int height : {1, 2, 3, 4, 5, 9}) {
    SCOPED_TRACE("height " + std::to_string(height));
    std::vector<int> file_rows(static_cast<size_t>(height));
    for (int i = 0; i < height; ++i) file_rows[size_t(i)] = 10 + i;  // value = position in file
    tGIFFrame f = MakeFrame(1, height, 0xEE);
    mGIFLZWDec::DecodeImage(f, true, 8, LiteralsWithClears(file_rows, 8));
    std::vector<int> expected(static_cast<size_t>(height));
    for (int i = 0; i < height; ++i)
      expected[size_t(order[size_t(height) - 1][size_t(i)])] = 10 + i;
    EXPECT_EQ(Pixels(f), expected);
  }
}

TEST(LzwDecoder, StopsQuietlyKeepingWhatWasPlaced) {
  // Data ending before the end code, and ending inside a code.
  tGIFFrame f = MakeFrame(3, 2, 0x77);
  mGIFLZWDec::DecodeImage(f, false, 8, LiteralsWithClears({1, 2, 3}, 8, false));
  EXPECT_EQ(Pixels(f), (std::vector<int>{1, 2, 3, 0x77, 0x77, 0x77}));
  std::vector<uint8_t> cut = LiteralsWithClears({1, 2, 3, 4}, 8, false);
  cut.pop_back();
  tGIFFrame g = MakeFrame(3, 2, 0x77);
  mGIFLZWDec::DecodeImage(g, false, 8, cut);
  EXPECT_EQ(Pixels(g), (std::vector<int>{1, 2, 3, 0x77, 0x77, 0x77}));

  // More pixels than the bitmap holds: the extra ones are dropped, never wrapped to row 0.
  for (bool interlaced : {false, true}) {
    tGIFFrame h = MakeFrame(2, 2, 0x77);
    mGIFLZWDec::DecodeImage(h, interlaced, 8, LiteralsWithClears({1, 2, 3, 4, 5, 6}, 8));
    EXPECT_EQ(Pixels(h), (std::vector<int>{1, 2, 3, 4}));
  }

  // A code beyond the next table entry ends decoding; so does a first literal above 255.
  CodePacker p;
  for (int code : {4, 1, 7, 2}) p.Put(code, 3);  // after the first literal the next entry is 6
  tGIFFrame k = MakeFrame(4, 1, 0x77);
  mGIFLZWDec::DecodeImage(k, false, 2, p.Finish());
  EXPECT_EQ(Pixels(k), (std::vector<int>{1, 0x77, 0x77, 0x77}));
  CodePacker q;
  for (int code : {512, 300, 1}) q.Put(code, 10);
  tGIFFrame m = MakeFrame(2, 1, 0x77);
  mGIFLZWDec::DecodeImage(m, false, 9, q.Finish());
  EXPECT_EQ(Pixels(m), (std::vector<int>{0x77, 0x77}));
}

TEST(LzwDecoder, StringsLongerThanTheStackEndDecoding) {
  // clear, 0, then always the next code: strings of length 2, 3, ... until one exceeds 4001.
  const int width = 4096, height = 2048;
  CodePacker p;
  int code_width = 3, next = 6;
  p.Put(4, 3);
  p.Put(0, 3);
  while (next <= 4095) {
    p.Put(next, code_width);
    ++next;
    if (next > (1 << code_width) - 1 && code_width < 12) ++code_width;
  }
  tGIFFrame f = MakeFrame(width, height, 0x77);
  mGIFLZWDec::DecodeImage(f, false, 2, p.Finish());
  const size_t placed = 1 + (size_t(4001) * 4002 / 2 - 1);  // lengths 1, 2, ..., 4001
  const std::vector<int> px = Pixels(f);
  EXPECT_EQ(px[placed - 1], 0);
  EXPECT_EQ(px[placed], 0x77);
}

TEST(LzwDecoder, KeepsDecodingWithAFullTableLikeGiflib) {
  // Literals only, never a clear: the table fills at 4096 and later codes still decode.
  const int count = 6000;
  std::vector<int> pixels(count);
  for (int i = 0; i < count; ++i) pixels[size_t(i)] = (i * 7 + i / 13) & 0xFF;
  CodePacker p;
  int code_width = 9, next = 258;
  p.Put(256, 9);
  for (int i = 0; i < count; ++i) {
    p.Put(pixels[size_t(i)], code_width);
    if (i == 0 || next > 4096) continue;
    ++next;
    if (next > (1 << code_width) - 1 && code_width < 12) ++code_width;
  }
  p.Put(257, code_width);
  const std::vector<uint8_t> data = p.Finish();

  tGIFFrame f = MakeFrame(100, 60, 0x77);
  mGIFLZWDec::DecodeImage(f, false, 8, data);
  EXPECT_EQ(Pixels(f), pixels);

  // The same stream wrapped in a file for giflib, a decoder we did not write.
  std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 100, 0, 60, 0, 0xF7, 0, 0};
  gif.resize(gif.size() + 768, 0);
  for (uint8_t b : {0x2C, 0, 0, 0, 0, 100, 0, 60, 0, 0, 8}) gif.push_back(b);
  for (size_t i = 0; i < data.size(); i += 255) {
    const size_t n = std::min<size_t>(255, data.size() - i);
    gif.push_back(uint8_t(n));
    gif.insert(gif.end(), data.begin() + long(i), data.begin() + long(i + n));
  }
  gif.push_back(0);
  gif.push_back(0x3B);
  const testing::GiflibResult ref = testing::DecodeWithGiflib(gif);
  ASSERT_TRUE(ref.ok);
  ASSERT_EQ(ref.frames.size(), 1u);
  EXPECT_EQ(std::vector<int>(ref.frames[0].indices.begin(), ref.frames[0].indices.end()), pixels);
}

}  // namespace
}  // namespace qm
