// The GIF reader on hand-built files (header checks, the block loop, truncation, oversized
// frames) and on files giflib's encoder wrote.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWDec.h"
#include "imaging/cDIB.h"
#include "tests/gif/nine_bit_lzw.h"

namespace qm {
namespace {

using Bytes = std::vector<uint8_t>;

// Little file builder. Image data spells every pixel as a literal after a clear code (8-bit).
struct Gif {
  Bytes b;
  Gif(int w, int h, int table_bits, const char* header = "GIF89a") : b(header, header + 6) {
    Add({uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8),
         uint8_t(table_bits ? 0x80 | (table_bits - 1) * 17 : 0), 0, 0});
    Table(table_bits);
  }
  Gif& Add(const Bytes& x) { return b.insert(b.end(), x.begin(), x.end()), *this; }
  void Table(int bits) {
    for (int i = 0; bits && i < (1 << bits); ++i) Add({uint8_t(i), uint8_t(100 + i), 7});
  }
  Gif& Control(int delay, int disposal, int transparent = -1) {
    return Add({0x21, 0xF9, 4, uint8_t(disposal << 2 | (transparent >= 0)), uint8_t(delay), 0,
                uint8_t(transparent & 0xFF), 0});
  }
  Gif& Image(int x, int y, int w, int h, const Bytes& pixels, int local_bits = 0,
             bool interlaced = false) {
    Add({0x2C, uint8_t(x), 0, uint8_t(y), 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h),
         uint8_t(h >> 8), uint8_t((local_bits ? 0x80 | (local_bits - 1) : 0) | interlaced << 6)});
    Table(local_bits);
    const Bytes data = testing::NineBitLzw(pixels);
    Add({8});
    for (size_t i = 0; i < data.size(); i += 255) {
      const size_t n = std::min<size_t>(255, data.size() - i);
      Add({uint8_t(n)}).Add(Bytes(data.begin() + long(i), data.begin() + long(i + n)));
    }
    return Add({0});
  }
  Bytes Done() { return Add({0x3B}).b; }
};

Bytes Indices(const cDIB& dib, int bpp = 8) {
  Bytes out;
  BitsView v;
  MapDIBBits(v, dib);
  for (int32_t y = 0; y < dib.Height(); ++y)
    for (int32_t x = 0; x < dib.Width(); ++x)
      out.push_back(bpp == 8 ? v(x, y) : (v(x / 8, y) >> (7 - x % 8)) & 1);
  return out;
}

TEST(GifReader, AcceptsOnlyTheTwoGifVersions) {
  cGIF gif;
  const Bytes good = Gif(1, 1, 1).Image(0, 0, 1, 1, {1}).Done();
  ASSERT_TRUE(gif.LoadFromStream(good));
  EXPECT_EQ(gif.FramesCount(), 1);
  for (const char* header : {"GIF88a", "gif89a", "GIF89A"}) {
    Bytes bad = good;
    std::memcpy(bad.data(), header, 6);
    EXPECT_FALSE(gif.LoadFromStream(bad)) << header;
    EXPECT_EQ(gif.FramesCount(), 0) << "a failed load leaves the animation empty";
  }
  EXPECT_FALSE(gif.LoadFromStream(Bytes(good.begin(), good.begin() + 5)));
  EXPECT_TRUE(gif.LoadFromStream(Bytes(good.begin(), good.begin() + 6)));
  EXPECT_EQ(gif.Version(), "89a");
  EXPECT_FALSE(gif.LoadFromFile("/nonexistent/none.gif"));
}

TEST(GifReader, ReadsTheBlocksBetweenImages) {
  const Bytes file = Gif(4, 3, 2)
                         .Add({0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.',
                               '0', 3, 1, 5, 0, 0})
                         .Add({0x21, 0xFF, 11, 'A', 'N', 'I', 'M', 'E', 'X', 'T', 'S', '1', '.',
                               '0', 3, 1, 9, 0, 0})
                         .Add({0x00, 0x99, 0x07})  // stray bytes
                         .Add({0x21, 0xFE, 0x00})  // empty comment
                         .Add({0x21, 0x01, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 'h', 'i', 0})
                         .Control(10, 1)
                         .Control(20, 2, 3)  // the one nearest the image applies
                         .Image(1, 2, 3, 2, {0, 3, 1, 3, 3, 2})
                         .Image(0, 0, 2, 5, {5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, 4, true)
                         .Done();
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  ASSERT_EQ(gif.FramesCount(), 2);
  EXPECT_EQ(gif.AnimationLoops(), 5);
  EXPECT_EQ(gif.FrameDelay(1), 20);
  EXPECT_EQ(gif.FrameDisposalMethod(1), 2);
  EXPECT_EQ(gif.FrameTransparentColorIndex(1), 3);
  EXPECT_EQ(gif.FrameTop(1), 2);
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(1)), (Bytes{0, 3, 1, 3, 3, 2}));
  EXPECT_EQ(Indices(*gif.FrameDIBAND(1), 1), (Bytes{0, 1, 0, 1, 1, 0}));
  // No local table: the global one is copied in; the transparent entry is drawn black.
  EXPECT_FALSE(gif.LocalPaletteUsed(1));
  EXPECT_EQ(gif.LocalPaletteRGBEntry(1, 2), 2u + 102u * 256 + 7u * 65536);
  std::vector<uint8_t> colours;
  gif.FrameDIBXOR(1)->GetPalette(colours);
  EXPECT_EQ(colours[12] + colours[13] + colours[14], 0);
  // The second image has no control of its own, a table of its own, and interlaced rows.
  EXPECT_EQ(gif.FrameDelay(2), 0);
  EXPECT_FALSE(gif.FrameUseTransparentColor(2));
  EXPECT_EQ(gif.LocalPaletteEntries(2), 16);
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(2)), (Bytes{5, 6, 11, 12, 9, 10, 13, 14, 7, 8}));
}

TEST(GifReader, TruncatedFilesKeepTheImagesMet) {
  const Bytes pixels = {1, 2, 3, 0, 1, 2, 3, 0, 1};
  const size_t first = Gif(3, 3, 2).Image(0, 0, 3, 3, pixels).b.size();
  const Bytes file = Gif(3, 3, 2).Image(0, 0, 3, 3, pixels).Image(0, 0, 3, 3, pixels).Done();
  cGIF gif;
  // Cut 7 bytes into the second image's data (descriptor, code size, length byte first): its
  // first three pixels are there, the rest keep the new bitmap's 0.
  ASSERT_TRUE(gif.LoadFromStream(Bytes(file.begin(), file.begin() + long(first + 12 + 7))));
  ASSERT_EQ(gif.FramesCount(), 2);
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(1)), pixels);
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(2)), (Bytes{1, 2, 3, 0, 0, 0, 0, 0, 0}));
  // Cut inside the second descriptor: the image is counted, with empty bitmaps.
  ASSERT_TRUE(gif.LoadFromStream(Bytes(file.begin(), file.begin() + long(first + 4))));
  ASSERT_EQ(gif.FramesCount(), 2);
  EXPECT_EQ(gif.FrameDIBAND(2)->Width(), 0);
  for (size_t cut = 6; cut < file.size(); ++cut)
    EXPECT_TRUE(gif.LoadFromStream(Bytes(file.begin(), file.begin() + long(cut))));
}

TEST(GifReader, OversizedFramesStayEmptyWithoutAllocating) {
  const Bytes file = Gif(8, 8, 1)
                         .Image(0, 0, 65535, 65535, {1, 0, 1})
                         .Image(0, 0, 0, 4, {1})
                         .Image(2, 2, 2, 1, {1, 0})
                         .Done();
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(file));
  ASSERT_EQ(gif.FramesCount(), 3);
  EXPECT_EQ(gif.FrameDIBXOR(1)->Width(), 0);
  EXPECT_EQ(gif.FrameDIBAND(1)->Height(), 0);
  EXPECT_EQ(gif.FrameDIBXOR(2)->Height(), 0);
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(3)), (Bytes{1, 0}));
  // A whole load has a pixel budget too.
  tGIFLoadLimits limits;
  limits.MaxLoadPixels = 5;
  gif.SetLoadLimits(limits);
  const bool loaded = gif.LoadFromStream(
      Gif(2, 2, 1).Image(0, 0, 2, 2, {1, 1, 1, 1}).Image(0, 0, 2, 2, {1, 0, 1, 0}).Done());
  ASSERT_TRUE(loaded);
  EXPECT_EQ(Indices(*gif.FrameDIBXOR(1)), (Bytes{1, 1, 1, 1}));
  EXPECT_EQ(gif.FrameDIBXOR(2)->Width(), 0);
}

// giflib's encoder writing to memory: LZW data from a coder we did not write, with code widths
// growing to 12 bits and table resets.
Bytes EncodeWithGiflib(int w, int h, int bits, const Bytes& pixels, bool interlaced) {
  Bytes out;
  int err = 0;
  GifFileType* gif = EGifOpen(
      &out,
      [](GifFileType* g, const GifByteType* data, int n) {
        static_cast<Bytes*>(g->UserData)
            ->insert(static_cast<Bytes*>(g->UserData)->end(), data, data + n);
        return n;
      },
      &err);
  std::vector<GifColorType> colours(size_t(1) << bits);
  ColorMapObject* map = GifMakeMapObject(1 << bits, colours.data());
  EGifPutScreenDesc(gif, w, h, bits, 0, map);
  EGifPutImageDesc(gif, 0, 0, w, h, interlaced, nullptr);
  const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < (interlaced ? 4 : 1); ++pass)
    for (int y = interlaced ? start[pass] : 0; y < h; y += interlaced ? step[pass] : 1)
      EGifPutLine(gif, const_cast<GifPixelType*>(&pixels[size_t(y) * w]), w);
  EGifCloseFile(gif, &err);
  GifFreeMapObject(map);
  return out;
}

TEST(GifReader, DecodesWhatGiflibEncodes) {
  std::mt19937 rng(11);
  struct Case {
    int w, h, bits, run;  // run: pixels per random value; long runs fill the table quickly
    bool interlaced;
  };
  for (const Case c :
       {Case{1, 1, 1, 1, false}, Case{7, 3, 2, 1, true}, Case{97, 61, 8, 1, false},
        Case{320, 200, 8, 40, true}, Case{513, 257, 4, 7, false}, Case{300, 4, 8, 1, true}}) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    Bytes pixels(size_t(c.w) * c.h);
    for (size_t i = 0; i < pixels.size(); ++i)
      pixels[i] = i % size_t(c.run) ? pixels[i - 1] : uint8_t(rng() & ((1u << c.bits) - 1));
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(EncodeWithGiflib(c.w, c.h, c.bits, pixels, c.interlaced)));
    ASSERT_EQ(gif.FramesCount(), 1);
    EXPECT_EQ(Indices(*gif.FrameDIBXOR(1)), pixels);
  }
}

}  // namespace
}  // namespace qm
