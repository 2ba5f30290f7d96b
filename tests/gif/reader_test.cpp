// The GIF reader on hand-built files (header checks, the block loop, truncation, oversized
// frames), on files giflib's encoder wrote, and on files written by cGIF::Save.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWDec.h"
#include "imaging/cDIB.h"
#include "platform/fs.h"

namespace qm {
namespace {

using Bytes = std::vector<uint8_t>;

// Image data that spells out each pixel as a literal after a clear code.
Bytes Literals(const Bytes& pixels, int mcs) {
  Bytes out;
  uint64_t acc = 0;
  int bits = 0;
  auto put = [&](int code) {
    acc |= uint64_t(code) << bits;
    for (bits += mcs + 1; bits >= 8; bits -= 8, acc >>= 8) out.push_back(uint8_t(acc));
  };
  for (uint8_t p : pixels) {
    put(1 << mcs);
    put(p);
  }
  put((1 << mcs) + 1);
  if (bits > 0) out.push_back(uint8_t(acc));
  return out;
}

class GifBuilder {
 public:
  GifBuilder(int width, int height, int table_bits, const char* header = "GIF89a") {
    b_.assign(header, header + 6);
    Le16(width);
    Le16(height);
    b_.push_back(table_bits ? uint8_t(0x80 | (table_bits - 1) << 4 | (table_bits - 1)) : 0);
    b_.push_back(0);
    b_.push_back(0);
    Table(table_bits);
  }
  GifBuilder& Raw(const Bytes& bytes) {
    b_.insert(b_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  GifBuilder& Control(int delay, int disposal, int transparent = -1) {
    Raw({0x21, 0xF9, 4, uint8_t(disposal << 2 | (transparent >= 0 ? 1 : 0))});
    Le16(delay);
    return Raw({uint8_t(transparent >= 0 ? transparent : 0), 0});
  }
  GifBuilder& Application(const char* id, int loops) {
    Raw({0x21, 0xFF, 11});
    b_.insert(b_.end(), id, id + 11);
    Raw({3, 1});
    Le16(loops);
    return Raw({0});
  }
  GifBuilder& Image(int left, int top, int width, int height, const Bytes& pixels,
                    int local_bits = 0, bool interlaced = false) {
    b_.push_back(0x2C);
    Le16(left);
    Le16(top);
    Le16(width);
    Le16(height);
    b_.push_back(uint8_t((local_bits ? 0x80 | (local_bits - 1) : 0) | (interlaced ? 0x40 : 0)));
    Table(local_bits);
    b_.push_back(8);
    const Bytes data = Literals(pixels, 8);
    for (size_t i = 0; i < data.size(); i += 255) {
      const size_t n = std::min<size_t>(255, data.size() - i);
      b_.push_back(uint8_t(n));
      b_.insert(b_.end(), data.begin() + long(i), data.begin() + long(i + n));
    }
    return Raw({0});
  }
  Bytes Done() { return Raw({0x3B}).b_; }
  const Bytes& bytes() const { return b_; }

 private:
  void Le16(int v) { Raw({uint8_t(v), uint8_t(v >> 8)}); }
  void Table(int bits) {
    for (int i = 0; bits && i < (1 << bits); ++i) Raw({uint8_t(i), uint8_t(100 + i), 7});
  }
  Bytes b_;
};

Bytes Indices(const cDIB& dib) {
  Bytes out;
  BitsView v;
  MapDIBBits(v, dib);
  for (int32_t y = 0; y < dib.Height(); ++y) {
    auto row = v.row(y);
    out.insert(out.end(), row.begin(), row.begin() + dib.Width());
  }
  return out;
}

// The 1-bit mask as one 0/1 value per pixel, most significant bit first in each byte.
Bytes MaskBits(const cDIB& dib) {
  Bytes out;
  BitsView v;
  MapDIBBits(v, dib);
  for (int32_t y = 0; y < dib.Height(); ++y)
    for (int32_t x = 0; x < dib.Width(); ++x) out.push_back((v(x / 8, y) >> (7 - x % 8)) & 1);
  return out;
}

TEST(GifReader, AcceptsOnlyTheTwoGifVersions) {
  cGIF gif;
  const Bytes good = GifBuilder(1, 1, 1).Image(0, 0, 1, 1, {1}).Done();
  ASSERT_TRUE(gif.LoadFromStream(good));
  EXPECT_EQ(gif.FramesCount(), 1);
  EXPECT_EQ(gif.Version(), "89a");

  for (const char* header : {"GIF88a", "gif89a", "GIF89A"}) {
    Bytes bad = good;
    std::memcpy(bad.data(), header, 6);
    EXPECT_FALSE(gif.LoadFromStream(bad)) << header;
    EXPECT_EQ(gif.FramesCount(), 0) << "a failed load leaves the animation empty";
  }
  EXPECT_FALSE(gif.LoadFromStream(Bytes(good.begin(), good.begin() + 5)));
  EXPECT_FALSE(gif.LoadFromStream({}));
  EXPECT_TRUE(gif.LoadFromStream(Bytes{'G', 'I', 'F', '8', '7', 'a'}));
  EXPECT_EQ(gif.FramesCount(), 0);

  EXPECT_FALSE(gif.LoadFromFile("/nonexistent/folder/none.gif"));
  PrivateTempFolder dir;
  const std::string empty = JoinPath(dir.path(), "empty.gif");
  std::ofstream(empty).close();
  EXPECT_FALSE(gif.LoadFromFile(empty));
  const std::string file = JoinPath(dir.path(), "one.gif");
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(good.data()), long(good.size()));
  EXPECT_TRUE(gif.LoadFromFile(file));
  EXPECT_EQ(gif.FramesCount(), 1);
}

TEST(GifReader, ReadsTheBlocksBetweenImages) {
  const Bytes file = GifBuilder(4, 3, 2)
                         .Application("NETSCAPE2.0", 5)
                         .Application("ANIMEXTS1.0", 9)
                         .Raw({0x00, 0x99, 0x07})  // stray bytes
                         .Raw({0x21, 0xFE, 0x00})  // empty comment
                         .Raw({0x21, 0x01, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 'h', 'i', 0})
                         .Control(10, 1)
                         .Control(20, 2, 3)  // the one nearest the image applies
                         .Image(1, 2, 3, 2, {0, 3, 1, 3, 3, 2})
                         .Image(0, 0, 2, 5, {5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, 4, true)
                         .Done();
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  ASSERT_EQ(gif.FramesCount(), 2);
  EXPECT_EQ(gif.AnimationLoops(), 5);
  EXPECT_EQ(gif.ScreenWidth(), 4);
  EXPECT_EQ(gif.GlobalPaletteEntries(), 4);

  EXPECT_EQ(gif.FrameDelay(1), 20);
  EXPECT_EQ(gif.FrameDisposalMethod(1), 2);
  EXPECT_TRUE(gif.FrameUseTransparentColor(1));
  EXPECT_EQ(gif.FrameTransparentColorIndex(1), 3);
  EXPECT_EQ(gif.FrameLeft(1), 1);
  EXPECT_EQ(gif.FrameTop(1), 2);
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(1)), (Bytes{0, 3, 1, 3, 3, 2}));
  EXPECT_EQ(MaskBits(*gif.FrameDIBAND(1)), (Bytes{0, 1, 0, 1, 1, 0}));
  // No local table: the global one is copied in; the transparent entry is drawn black.
  EXPECT_FALSE(gif.LocalPaletteUsed(1));
  EXPECT_EQ(gif.LocalPaletteRGBEntry(1, 2), gif.GlobalPaletteRGBEntry(2));
  EXPECT_EQ(gif.GlobalPaletteRGBEntry(3), 3u + 103u * 256 + 7u * 65536);
  std::vector<uint8_t> colours;
  gif.FrameDIBXOR(1)->GetPalette(colours);
  EXPECT_EQ(colours[4 * 3] + colours[4 * 3 + 1] + colours[4 * 3 + 2], 0);
  EXPECT_EQ(colours[4 * 2 + 1], 102);

  // The second image has no control of its own, its own table, and interlaced rows.
  EXPECT_EQ(gif.FrameDelay(2), 0);
  EXPECT_FALSE(gif.FrameUseTransparentColor(2));
  EXPECT_TRUE(gif.LocalPaletteUsed(2));
  EXPECT_EQ(gif.LocalPaletteEntries(2), 16);
  EXPECT_TRUE(gif.FrameInterlaced(2));
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(2)), (Bytes{5, 6, 11, 12, 9, 10, 13, 14, 7, 8}));
}

TEST(GifReader, TruncatedFilesKeepTheImagesMet) {
  const Bytes pixels = {1, 2, 3, 0, 1, 2, 3, 0, 1};
  const Bytes one = GifBuilder(3, 3, 2).Image(0, 0, 3, 3, pixels).bytes();
  const Bytes file = GifBuilder(3, 3, 2).Image(0, 0, 3, 3, pixels).Image(0, 0, 3, 3, pixels).Done();

  cGIF gif;
  // Cut inside the second image's data: its first three pixels are there, the rest is 0.
  const size_t second_data = one.size() + 10 + 1 + 1;  // descriptor, code size, block length
  ASSERT_TRUE(gif.LoadFromStream(Bytes(file.begin(), file.begin() + long(second_data + 7))));
  ASSERT_EQ(gif.FramesCount(), 2);
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(1)), pixels);
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(2)), (Bytes{1, 2, 3, 0, 0, 0, 0, 0, 0}));

  // Cut inside the second image's descriptor: it is counted, with empty bitmaps.
  ASSERT_TRUE(gif.LoadFromStream(Bytes(file.begin(), file.begin() + long(one.size() + 4))));
  ASSERT_EQ(gif.FramesCount(), 2);
  EXPECT_EQ(gif.FrameDIBXOR(2)->Width(), 0);
  EXPECT_EQ(gif.FrameDIBAND(2)->Width(), 0);

  // Every shorter prefix loads without touching anything outside the stream.
  for (size_t cut = 6; cut < file.size(); ++cut)
    EXPECT_TRUE(gif.LoadFromStream(Bytes(file.begin(), file.begin() + long(cut))));
}

TEST(GifReader, OversizedFramesStayEmptyWithoutAllocating) {
  const Bytes file = GifBuilder(8, 8, 1)
                         .Image(0, 0, 65535, 65535, {1, 0, 1})
                         .Image(0, 0, 0, 4, {1})
                         .Image(2, 2, 2, 1, {1, 0})
                         .Done();
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  ASSERT_EQ(gif.FramesCount(), 3);
  for (int16_t n : {1, 2}) {
    EXPECT_EQ(gif.FrameDIBXOR(n)->Width(), 0);
    EXPECT_EQ(gif.FrameDIBAND(n)->Height(), 0);
  }
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(3)), (Bytes{1, 0}));

  // A whole load has a pixel budget too: frames past it stay empty.
  auto& limits = mGIFLZWDec::Limits();
  const auto saved = limits;
  limits.MaxLoadPixels = 5;
  const Bytes three =
      GifBuilder(2, 2, 1).Image(0, 0, 2, 2, {1, 1, 1, 1}).Image(0, 0, 2, 2, {1, 0, 1, 0}).Done();
  const bool loaded = gif.LoadFromStream(three);
  limits = saved;
  ASSERT_TRUE(loaded);
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(1)), (Bytes{1, 1, 1, 1}));
  EXPECT_EQ(gif.FrameDIBXOR(2)->Width(), 0);
}

// giflib's encoder, writing to memory: an independent source of LZW data with growing code
// widths and table resets.
Bytes EncodeWithGiflib(int width, int height, int bits, const Bytes& pixels, bool interlaced) {
  Bytes out;
  int err = 0;
  GifFileType* gif = EGifOpen(
      &out,
      [](GifFileType* g, const GifByteType* data, int n) {
        auto* o = static_cast<Bytes*>(g->UserData);
        o->insert(o->end(), data, data + n);
        return n;
      },
      &err);
  std::vector<GifColorType> colours(size_t(1) << bits);
  ColorMapObject* map = GifMakeMapObject(1 << bits, colours.data());
  EGifPutScreenDesc(gif, width, height, bits, 0, map);
  EGifPutImageDesc(gif, 0, 0, width, height, interlaced, nullptr);
  // With the interlace flag giflib expects the rows in file order.
  std::vector<int> rows;
  if (interlaced) {
    const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
      for (int y = start[pass]; y < height; y += step[pass]) rows.push_back(y);
  } else {
    for (int y = 0; y < height; ++y) rows.push_back(y);
  }
  for (int y : rows) EGifPutLine(gif, const_cast<GifPixelType*>(&pixels[size_t(y) * width]), width);
  EGifCloseFile(gif, &err);
  GifFreeMapObject(map);
  return out;
}

TEST(GifReader, DecodesWhatGiflibEncodes) {
  std::mt19937 rng(11);
  struct Case {
    int width, height, bits;
    bool interlaced;
    int runs;  // 1: random pixels; longer: runs that fill the table with long strings
  };
  for (const Case c :
       {Case{1, 1, 1, false, 1}, Case{7, 3, 2, true, 1}, Case{97, 61, 8, false, 1},
        Case{320, 200, 8, true, 40}, Case{513, 257, 4, false, 7}, Case{300, 4, 8, true, 1}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    Bytes pixels(size_t(c.width) * c.height);
    for (size_t i = 0; i < pixels.size(); i += size_t(c.runs)) {
      const uint8_t v = uint8_t(rng() & ((1u << c.bits) - 1));
      for (size_t k = i; k < std::min(pixels.size(), i + size_t(c.runs)); ++k) pixels[k] = v;
    }
    cGIF gif;
    ASSERT_TRUE(
        gif.LoadFromStream(EncodeWithGiflib(c.width, c.height, c.bits, pixels, c.interlaced)));
    ASSERT_EQ(gif.FramesCount(), 1);
    EXPECT_EQ(gif.FrameInterlaced(1), c.interlaced);
    EXPECT_EQ(Indices(*gif.FrameDIBXOR(1)), pixels);
  }
}

TEST(GifReader, LoadsBackWhatSaveWrote) {
  cGIF out;
  std::mt19937 rng(5);
  const int sizes[3][2] = {{33, 17}, {5, 4}, {64, 48}};
  for (int16_t n = 1; n <= 3; ++n) {
    out.FrameInsert(n, int16_t(sizes[n - 1][0]), int16_t(sizes[n - 1][1]));
    BitsView v;
    MapDIBBits(v, *out.FrameDIBXOR(n));
    for (int y = 0; y < sizes[n - 1][1]; ++y)
      for (int x = 0; x < sizes[n - 1][0]; ++x) v(x, y) = uint8_t(rng() % (n == 2 ? 16 : 256));
    out.SetFrameDelay(n, int16_t(10 * n));
    out.SetFrameDisposalMethod(n, n);
    out.SetFrameLeft(n, int16_t(n));
    out.SetFrameTop(n, int16_t(2 * n));
  }
  out.SetFrameUseTransparentColor(2, true);
  out.SetFrameTransparentColorIndex(2, 9);
  out.SetFrameInterlaced(2, true);
  out.SetLocalPaletteUsed(2, true);
  out.SetLocalPaletteEntries(2, 16);
  out.lpLocalPalette(2)[4 * 9 + 2] = 200;
  out.SetAnimationLoops(3);
  out.SetGlobalPaletteExists(true);
  out.SetGlobalPaletteEntries(256);
  out.SetScreenWidth(70);
  out.SetScreenHeight(50);
  PrivateTempFolder dir;
  const std::string path = JoinPath(dir.path(), "round.gif");
  ASSERT_TRUE(out.Save(path));

  cGIF in;
  ASSERT_TRUE(in.LoadFromFile(path));
  ASSERT_EQ(in.FramesCount(), 3);
  EXPECT_EQ(in.AnimationLoops(), 3);
  EXPECT_EQ(in.ScreenWidth(), 70);
  for (int16_t n = 1; n <= 3; ++n) {
    SCOPED_TRACE("frame " + std::to_string(n));
    EXPECT_EQ(Indices(*in.FrameDIBXOR(n)), Indices(*out.FrameDIBXOR(n)));
    EXPECT_EQ(in.FrameDelay(n), 10 * n);
    EXPECT_EQ(in.FrameDisposalMethod(n), n);
    EXPECT_EQ(in.FrameLeft(n), n);
    EXPECT_EQ(in.FrameTop(n), 2 * n);
    EXPECT_EQ(in.FrameUseTransparentColor(n), n == 2);
    EXPECT_EQ(in.LocalPaletteUsed(n), n == 2);
    EXPECT_EQ(in.FrameInterlaced(n), n == 2);
  }
  EXPECT_EQ(in.FrameTransparentColorIndex(2), 9);
  EXPECT_EQ(in.LocalPaletteRGBEntry(2, 9), 200u);
  const Bytes index = Indices(*in.FrameDIBXOR(2));
  const Bytes mask = MaskBits(*in.FrameDIBAND(2));
  for (size_t i = 0; i < index.size(); ++i) EXPECT_EQ(mask[i], index[i] == 9 ? 1 : 0);
}

}  // namespace
}  // namespace qm
