// The animation model: frame store operations, properties with their byte limits, the mask and
// transparent drawing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

#include "gif/cGIF.h"
#include "imaging/cDIB.h"
#include "platform/error.h"
#include "tests/gif/mask_bit.h"
#include "tests/support/error_of.h"

namespace qm {
namespace {

using testing::ErrorOf;
using testing::MaskBit;

// Frames are told apart by their delay.
std::vector<int> Delays(const cGIF& gif) {
  std::vector<int> d;
  for (int16_t n = 1; n <= gif.FramesCount(); ++n) d.push_back(gif.FrameDelay(n));
  return d;
}

cGIF& WithFrames(cGIF& gif, std::initializer_list<int16_t> delays) {
  for (int16_t d : delays) {
    gif.FrameInsert(int16_t(gif.FramesCount() + 1), 3, 2);
    gif.SetFrameDelay(gif.FramesCount(), d);
  }
  return gif;
}

bool AllBytes(const cDIB& dib, uint8_t v) {
  for (int32_t i = 0; i < dib.Size(); ++i)
    if (dib.lpBits()[i] != v) return false;
  return true;
}

TEST(GifModel, FirstInsertSetsTheScreenAndMakesBlankBitmaps) {
  cGIF gif;
  EXPECT_EQ(gif.FramesCount(), 0);
  EXPECT_EQ(ErrorOf([&] { gif.FrameDelay(1); }), kErrSubscript);  // no store yet
  gif.FrameInsert(7, 30, 20);                                     // nFrame ignored when empty
  EXPECT_EQ(gif.FramesCount(), 1);
  EXPECT_EQ(gif.ScreenWidth(), 30);
  EXPECT_EQ(gif.ScreenHeight(), 20);
  gif.FrameInsert(2, 50, 60);
  EXPECT_EQ(gif.ScreenWidth(), 30);
  EXPECT_EQ(gif.ScreenHeight(), 20);

  auto x = gif.FrameDIBXOR(2);
  auto a = gif.FrameDIBAND(2);
  ASSERT_TRUE(x && a);
  EXPECT_EQ(x->BPP(), 8);
  EXPECT_EQ(a->BPP(), 1);
  EXPECT_EQ(x->Width(), 50);
  EXPECT_EQ(a->Height(), 60);
  EXPECT_TRUE(AllBytes(*x, 0));
  EXPECT_TRUE(AllBytes(*a, 0));
  std::vector<uint8_t> table;
  a->GetPalette(table);
  ASSERT_EQ(table.size(), 8u);
  EXPECT_EQ(table, (std::vector<uint8_t>{0, 0, 0, 0, 255, 255, 255, 0}));
  // The caller's reference and the model's are the same bitmap.
  x->lpBits()[0] = 9;
  EXPECT_EQ(gif.FrameDIBXOR(2)->lpBits()[0], 9);
}

TEST(GifModel, InsertInTheMiddleAndAppendPastTheEnd) {
  cGIF gif;
  WithFrames(gif, {1, 2, 3});
  gif.FrameDIBXOR(2)->lpBits()[0] = 42;
  gif.FrameInsert(2, 4, 4);
  EXPECT_EQ(Delays(gif), (std::vector<int>{1, 0, 2, 3}));
  EXPECT_EQ(gif.FrameDIBXOR(2)->Width(), 4);
  EXPECT_TRUE(AllBytes(*gif.FrameDIBXOR(2), 0));
  EXPECT_TRUE(AllBytes(*gif.FrameDIBAND(2), 0));
  EXPECT_EQ(gif.FrameDIBXOR(3)->lpBits()[0], 42);  // old frame 2 moved with its bitmap
  gif.FrameInsert(99, 1, 1);
  gif.SetFrameDelay(5, 5);
  EXPECT_EQ(Delays(gif), (std::vector<int>{1, 0, 2, 3, 5}));
  gif.FrameInsert(1, 1, 1);
  EXPECT_EQ(Delays(gif), (std::vector<int>{0, 1, 0, 2, 3, 5}));

  EXPECT_EQ(ErrorOf([&] { gif.FrameInsert(0, 1, 1); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { gif.FrameInsert(-3, 1, 1); }), kErrSubscript);
  EXPECT_EQ(gif.FramesCount(), 6);
}

TEST(GifModel, InsertStopsAt32767Frames) {
  cGIF gif;
  for (int n = 1; n <= 32767; ++n) gif.FrameInsert(int16_t(n), 1, 1);
  EXPECT_EQ(ErrorOf([&] { gif.FrameInsert(32767, 1, 1); }), kErrOverflow);
  EXPECT_EQ(gif.FramesCount(), 32767);
}

TEST(GifModel, RemoveAndMoveFrames) {
  cGIF gif;
  WithFrames(gif, {1, 2, 3, 4});
  gif.FrameRemove(2);
  EXPECT_EQ(Delays(gif), (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(ErrorOf([&] { gif.FrameRemove(4); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { gif.FrameRemove(0); }), kErrSubscript);

  auto third = gif.FrameDIBXOR(3);
  gif.FrameMoveUp(3);
  EXPECT_EQ(Delays(gif), (std::vector<int>{1, 4, 3}));
  EXPECT_EQ(gif.FrameDIBXOR(2), third);  // whole records swap
  gif.FrameMoveDown(2);
  EXPECT_EQ(Delays(gif), (std::vector<int>{1, 3, 4}));
  gif.FrameMoveUp(2);
  gif.FrameMoveDown(1);
  EXPECT_EQ(Delays(gif), (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(ErrorOf([&] { gif.FrameMoveUp(1); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { gif.FrameMoveDown(3); }), kErrSubscript);
  EXPECT_EQ(Delays(gif), (std::vector<int>{1, 3, 4}));

  cGIF one;
  WithFrames(one, {7});
  one.FrameRemove(1);
  EXPECT_EQ(one.FramesCount(), 0);
  EXPECT_EQ(one.FrameDelay(1), 0);  // the one zero slot
  EXPECT_EQ(one.FrameDIBXOR(1), nullptr);
  EXPECT_EQ(ErrorOf([&] { one.FrameDelay(2); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { one.FrameRemove(1); }), kErrSubscript);
  one.FrameInsert(1, 2, 2);
  EXPECT_EQ(one.FramesCount(), 1);
}

TEST(GifModel, PropertiesAndTheirByteLimits) {
  cGIF gif;
  EXPECT_EQ(gif.ScreenPixelAspectRatio(), 0.234375f);
  gif.SetScreenPixelAspectRatio(1.0f);
  EXPECT_EQ(gif.Screen().PixelAspect, 49);
  EXPECT_EQ(gif.ScreenPixelAspectRatio(), 1.0f);
  gif.SetScreenPixelAspectRatio(52.5f / 64.0f);  // 37.5 -> 38
  EXPECT_EQ(gif.Screen().PixelAspect, 38);
  gif.SetScreenPixelAspectRatio(27.5f / 64.0f);  // 12.5 -> 12
  EXPECT_EQ(gif.Screen().PixelAspect, 12);
  EXPECT_EQ(ErrorOf([&] { gif.SetScreenPixelAspectRatio(5.0f); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([&] { gif.SetScreenPixelAspectRatio(0.0f); }), kErrOverflow);
  EXPECT_EQ(gif.Screen().PixelAspect, 12);

  WithFrames(gif, {1});
  gif.SetFrameDisposalMethod(1, 255);
  EXPECT_EQ(gif.FrameDisposalMethod(1), 255);
  EXPECT_EQ(ErrorOf([&] { gif.SetFrameDisposalMethod(1, 256); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([&] { gif.SetFrameDisposalMethod(1, -1); }), kErrOverflow);
  EXPECT_EQ(gif.FrameDisposalMethod(1), 255);
  gif.SetFrameTransparentColorIndex(1, 0x1FE);
  EXPECT_EQ(gif.FrameTransparentColorIndex(1), 0xFE);
  gif.SetFrameTransparentColorIndex(1, -1);
  EXPECT_EQ(gif.FrameTransparentColorIndex(1), 0xFF);
  EXPECT_EQ(ErrorOf([&] { gif.SetFrameDelay(2, 1); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { gif.SetFrameLeft(0, 1); }), kErrSubscript);

  uint8_t* g = gif.lpGlobalPalette();
  g[4 * 3] = 0x30;  // blue
  g[4 * 3 + 1] = 0x20;
  g[4 * 3 + 2] = 0x10;  // red
  EXPECT_EQ(gif.GlobalPaletteRGBEntry(3), 0u);
  gif.SetGlobalPaletteExists(true);
  EXPECT_EQ(gif.GlobalPaletteRGBEntry(3), 0x10u + 256u * 0x20 + 65536u * 0x30);
  uint8_t* l = gif.lpLocalPalette(1);
  l[4 * 255] = 1;
  l[4 * 255 + 2] = 2;
  EXPECT_FALSE(gif.LocalPaletteUsed(1));
  EXPECT_EQ(gif.LocalPaletteRGBEntry(1, 255), 2u + 65536u);
}

TEST(GifModel, DestroyEmptiesButKeepsGlobalPaletteExists) {
  cGIF gif;
  WithFrames(gif, {1, 2});
  gif.SetGlobalPaletteExists(true);
  gif.SetGlobalPaletteSorted(true);
  gif.SetGlobalPaletteEntries(200);
  gif.SetAnimationLoops(4);
  gif.SetScreenBackgroundColorIndex(3);
  gif.lpGlobalPalette()[1023] = 7;
  auto kept = gif.FrameDIBXOR(1);
  gif.Destroy();
  EXPECT_TRUE(gif.GlobalPaletteExists());
  EXPECT_FALSE(gif.GlobalPaletteSorted());
  EXPECT_EQ(gif.GlobalPaletteEntries(), 0);
  EXPECT_EQ(gif.AnimationLoops(), 0);
  EXPECT_EQ(gif.ScreenWidth(), 0);
  EXPECT_EQ(gif.ScreenBackgroundColorIndex(), 0);
  EXPECT_EQ(gif.lpGlobalPalette()[1023], 0);
  EXPECT_EQ(gif.FramesCount(), 0);
  EXPECT_EQ(gif.Signature(), "0  ");
  EXPECT_EQ(gif.Version(), "0  ");
  EXPECT_EQ(gif.FrameDIBXOR(1), nullptr);
  EXPECT_EQ(kept->Width(), 3);  // a caller's reference outlives the model's
}

// A 6x3 frame with index 5 at a few pixels, a distinct local palette, and transparency on.
void MakeMaskedFrame(cGIF& gif) {
  gif.FrameInsert(1, 6, 3);
  uint8_t* pal = gif.lpLocalPalette(1);
  for (int i = 0; i < 256; ++i) {
    pal[4 * i] = uint8_t(10 + i);       // blue
    pal[4 * i + 1] = uint8_t(100 + i);  // green
    pal[4 * i + 2] = uint8_t(200 - i);  // red
    pal[4 * i + 3] = 0;
  }
  BitsView v;
  MapDIBBits(v, *gif.FrameDIBXOR(1));
  const uint8_t px[3][6] = {{5, 1, 2, 5, 5, 3}, {0, 5, 4, 4, 6, 7}, {5, 5, 5, 5, 5, 1}};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 6; ++x) v(x, y) = px[y][x];
  gif.SetFrameUseTransparentColor(1, true);
  gif.SetFrameTransparentColorIndex(1, 5);
}

TEST(GifModel, FrameMaskMarksExactlyTheTransparentIndex) {
  cGIF gif;
  MakeMaskedFrame(gif);
  const std::array<uint8_t, 1024> before = gif.Frame(1).LocalPalette;
  gif.FrameMask(1, 5);
  BitsView v;
  MapDIBBits(v, *gif.FrameDIBXOR(1));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 6; ++x)
      EXPECT_EQ(MaskBit(*gif.FrameDIBAND(1), x, y), v(x, y) == 5 ? 1 : 0) << x << "," << y;
  std::vector<uint8_t> table;
  gif.FrameDIBXOR(1)->GetPalette(table);
  ASSERT_EQ(table.size(), 1024u);
  for (int i = 0; i < 1024; ++i) {
    const bool black = i / 4 == 5 && i % 4 < 3;
    EXPECT_EQ(table[size_t(i)], black ? 0 : before[size_t(i)]) << i;
  }
  EXPECT_EQ(gif.Frame(1).LocalPalette, before);

  // Without transparency the mask is cleared and the table is the local palette.
  gif.SetFrameUseTransparentColor(1, false);
  gif.FrameMask(1, 5);
  EXPECT_TRUE(AllBytes(*gif.FrameDIBAND(1), 0));
  gif.FrameDIBXOR(1)->GetPalette(table);
  EXPECT_TRUE(std::equal(table.begin(), table.end(), before.begin()));
  EXPECT_EQ(ErrorOf([&] { gif.FrameMask(2, 5); }), kErrSubscript);
}

uint32_t PixelAt(const cDIB& dib, int x, int y) {
  PixelView v;
  MapDIBPixels(v, dib);
  const Pixel32 p = v(x, y);
  return uint32_t(p.red) | (uint32_t(p.green) << 8) | (uint32_t(p.blue) << 16);
}

TEST(GifModel, FrameDrawLeavesTransparentPixelsUntouched) {
  cGIF gif;
  MakeMaskedFrame(gif);
  gif.FrameMask(1, 5);
  cDIB canvas;
  ASSERT_TRUE(canvas.Create(10, 6, 32));
  canvas.Cls(0xFFFFFF);
  gif.SetFrameLeft(1, 1);
  gif.FrameDraw(canvas.hDC(), 1, 2, 3, 1.0f, false);  // lands at (3, 3)
  BitsView v;
  MapDIBBits(v, *gif.FrameDIBXOR(1));
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 10; ++x) {
      const int fx = x - 3, fy = y - 3;
      uint32_t want = 0xFFFFFF;
      if (fx >= 0 && fx < 6 && fy >= 0 && fy < 3 && v(fx, fy) != 5) {
        const int i = v(fx, fy);
        want = gif.LocalPaletteRGBEntry(1, uint8_t(i));
      }
      EXPECT_EQ(PixelAt(canvas, x, y), want) << x << "," << y;
    }
  }
}

TEST(GifModel, FrameDrawCropsToTheScreenAndRoundsHalfToEven) {
  cGIF gif;
  gif.FrameInsert(1, 100, 2);
  gif.SetScreenWidth(80);
  gif.SetFrameLeft(1, 60);
  uint8_t* pal = gif.lpLocalPalette(1);
  pal[0] = pal[1] = pal[2] = 0;  // index 0 black
  gif.FrameMask(1, 0);           // gives DIBXOR its colour table
  cDIB canvas;
  ASSERT_TRUE(canvas.Create(200, 2, 32));
  auto painted = [&] {
    std::vector<int> xs;
    for (int x = 0; x < 200; ++x)
      if (PixelAt(canvas, x, 0) == 0) xs.push_back(x);
    return xs;
  };
  canvas.Cls(0xFFFFFF);
  gif.FrameDraw(canvas.hDC(), 1, 0, 0, 1.0f, true);
  auto xs = painted();
  ASSERT_EQ(xs.size(), 20u);
  EXPECT_EQ(xs.front(), 60);
  canvas.Cls(0xFFFFFF);
  gif.FrameDraw(canvas.hDC(), 1, 0, 0, 1.0f, false);
  EXPECT_EQ(painted().size(), 100u);

  // Left 0 + 5 x 0.5 = 2.5 -> 2; width 100 x 0.5 = 50.
  gif.SetFrameLeft(1, 5);
  canvas.Cls(0xFFFFFF);
  gif.FrameDraw(canvas.hDC(), 1, 0, 0, 0.5f, false);
  xs = painted();
  ASSERT_EQ(xs.size(), 50u);
  EXPECT_EQ(xs.front(), 2);
  // 7 x 0.5 = 3.5 -> 4.
  gif.SetFrameLeft(1, 7);
  canvas.Cls(0xFFFFFF);
  gif.FrameDraw(canvas.hDC(), 1, 0, 0, 0.5f, false);
  xs = painted();
  ASSERT_FALSE(xs.empty());
  EXPECT_EQ(xs.front(), 4);

  // Entirely off the screen: nothing is drawn.
  gif.SetFrameLeft(1, 90);
  canvas.Cls(0xFFFFFF);
  gif.FrameDraw(canvas.hDC(), 1, 0, 0, 1.0f, true);
  EXPECT_TRUE(painted().empty());
}

}  // namespace
}  // namespace qm
