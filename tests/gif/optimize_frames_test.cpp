// Frame differencing: what each rewritten frame holds, and that giflib's frames, composited as a
// viewer shows them, are the same before and after.
#include "gif/optimize_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "imaging/cDIB.h"
#include "platform/fs.h"
#include "tests/gif/giflib_support.h"

namespace qm {
namespace {

using testing::CompositeFrames;
using Pixels = std::function<uint8_t(int x, int y)>;

// Entry i of a table: a colour of its own, the same in every table made here.
void SetColour(uint8_t* table, int i, uint32_t rgb) {
  table[i * 4] = uint8_t(rgb);
  table[i * 4 + 1] = uint8_t(rgb >> 8);
  table[i * 4 + 2] = uint8_t(rgb >> 16);
}
uint32_t ColourOf(int i) {
  return uint32_t(i) << 16 | uint32_t(255 - i) << 8 | uint32_t(i * 7 % 256);
}

void Paint(cGIF& gif, int16_t n, const Pixels& pixels) {
  auto dib = gif.FrameDIBXOR(n);
  BitsView view;
  MapDIBBits(view, *dib);
  for (int y = 0; y < dib->Height(); ++y)
    for (int x = 0; x < dib->Width(); ++x) view.row(y)[size_t(x)] = pixels(x, y);
}

// Full-screen frames as the conversion makes them: one global table, disposal 3, opaque.
void MakeAnimation(cGIF& gif, int w, int h, int entries, const std::vector<Pixels>& frames) {
  gif.SetGlobalPaletteExists(true);
  gif.SetGlobalPaletteEntries(int16_t(entries));
  for (int i = 0; i < entries; ++i) SetColour(gif.lpGlobalPalette(), i, ColourOf(i));
  for (const Pixels& pixels : frames) {
    const int16_t n = int16_t(gif.FramesCount() + 1);
    gif.FrameInsert(n, int16_t(w), int16_t(h));
    std::memcpy(gif.lpLocalPalette(n), gif.lpGlobalPalette(), 1024);
    gif.SetFrameDisposalMethod(n, 3);
    gif.SetFrameDelay(n, int16_t(10 + n));
    Paint(gif, n, pixels);
  }
}

class OptimizeFramesTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> Saved(cGIF& gif) {
    const std::string path = JoinPath(tmp_.path(), "o.gif");
    EXPECT_TRUE(gif.Save(path));
    return FileExists(path) ? ReadWholeFile(path) : std::vector<uint8_t>{};
  }
  testing::GiflibResult Decoded(cGIF& gif) {
    testing::GiflibResult r = testing::DecodeWithGiflib(Saved(gif));
    EXPECT_TRUE(r.ok) << r.error;
    return r;
  }
  // Optimizes and checks that giflib's composited frames did not change; returns what giflib
  // reads from the optimized file.
  testing::GiflibResult OptimizeLosslessly(cGIF& gif) {
    const auto before = CompositeFrames(Decoded(gif));
    EXPECT_TRUE(OptimizeFrames(gif));
    testing::GiflibResult after = Decoded(gif);
    EXPECT_EQ(CompositeFrames(after), before);
    return after;
  }
  // Refused: the file written afterwards is the file written before, byte for byte.
  void ExpectRefusedUnchanged(cGIF& gif) {
    const std::vector<uint8_t> before = Saved(gif);
    EXPECT_FALSE(OptimizeFrames(gif));
    EXPECT_EQ(Saved(gif), before);
  }

  PrivateTempFolder tmp_;
};

Pixels Background() {
  return [](int x, int y) { return uint8_t((x * 3 + y * 5) % 50); };
}
Pixels WithPatch(int px, int py, uint8_t index) {
  return [=](int x, int y) {
    if (x >= px && x < px + 4 && y >= py && y < py + 4) return index;
    return Background()(x, y);
  };
}

TEST_F(OptimizeFramesTest, AMovingPatchKeepsTheFirstFrameAndStoresWhereThePatchWasAndIs) {
  cGIF gif;
  MakeAnimation(gif, 40, 30, 216,
                {WithPatch(2, 5, 200), WithPatch(5, 5, 200), WithPatch(8, 7, 200),
                 WithPatch(11, 7, 200), WithPatch(14, 9, 200)});
  const auto first = gif.FrameDIBXOR(1);
  const std::vector<uint8_t> first_bytes(first->lpBits(), first->lpBits() + first->Size());
  const size_t whole = Saved(gif).size();

  const testing::GiflibResult r = OptimizeLosslessly(gif);
  EXPECT_EQ(gif.FrameDIBXOR(1), first);
  EXPECT_EQ(std::vector<uint8_t>(first->lpBits(), first->lpBits() + first->Size()), first_bytes);
  ASSERT_EQ(r.frames.size(), 5u);
  EXPECT_EQ(r.frames[0].width, 40);
  EXPECT_EQ(r.frames[0].transparent, -1);
  const int patch_x[] = {2, 5, 8, 11, 14}, patch_y[] = {5, 5, 7, 7, 9};
  for (size_t i = 1; i < 5; ++i) {
    const testing::GiflibFrame& f = r.frames[i];
    EXPECT_EQ(f.left, patch_x[i - 1]) << i;
    EXPECT_EQ(f.top, patch_y[i - 1]) << i;
    EXPECT_EQ(f.width, 7) << i;
    EXPECT_EQ(f.height, patch_y[i] - patch_y[i - 1] + 4) << i;
    // The cube's colours end at 215: the first index past them is never a changed pixel's.
    EXPECT_EQ(f.transparent, 255) << i;
    EXPECT_EQ(f.delay, 11 + int(i)) << i;
    EXPECT_FALSE(f.has_local_table);
  }
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(r.frames[i].disposal, 1) << i;
  EXPECT_EQ(r.frames[4].disposal, 3);

  // The window draws frame 2 through its mask: set where the frame is transparent.
  BitsView mask, indices;
  MapDIBBits(mask, *gif.FrameDIBAND(2));
  MapDIBBits(indices, *gif.FrameDIBXOR(2));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 7; ++x)
      EXPECT_EQ((mask(x / 8, y) >> (7 - x % 8)) & 1, indices(x, y) == 255 ? 1 : 0) << x << "," << y;
  EXPECT_EQ(indices(0, 0), Background()(2, 5));  // the patch's old place shows the scene again
  EXPECT_LT(Saved(gif).size(), whole);
}

TEST_F(OptimizeFramesTest, AFrameThatChangesNothingBecomesOneTransparentPixelWithItsDelay) {
  cGIF gif;
  MakeAnimation(gif, 20, 10, 216,
                {Background(), Background(), WithPatch(3, 3, 200), WithPatch(3, 3, 200)});
  const testing::GiflibResult r = OptimizeLosslessly(gif);
  ASSERT_EQ(r.frames.size(), 4u);
  for (size_t i : {1u, 3u}) {
    EXPECT_EQ(r.frames[i].width, 1) << i;
    EXPECT_EQ(r.frames[i].height, 1) << i;
    ASSERT_EQ(r.frames[i].indices.size(), 1u);
    EXPECT_EQ(r.frames[i].indices[0], r.frames[i].transparent) << i;
    EXPECT_EQ(r.frames[i].delay, 11 + int(i)) << i;
  }
  EXPECT_EQ(r.frames[2].width, 4);
}

TEST_F(OptimizeFramesTest, AFrameThatChangesEverywhereIsStoredWholeWithEveryPixelOpaque) {
  cGIF gif;
  MakeAnimation(gif, 24, 16, 256,
                {Background(), [](int x, int y) { return uint8_t(100 + (x * 3 + y * 5) % 50); }});
  const testing::GiflibResult r = OptimizeLosslessly(gif);
  ASSERT_EQ(r.frames.size(), 2u);
  const testing::GiflibFrame& f = r.frames[1];
  EXPECT_EQ(f.left, 0);
  EXPECT_EQ(f.top, 0);
  EXPECT_EQ(f.width, 24);
  EXPECT_EQ(f.height, 16);
  for (uint8_t index : f.indices) ASSERT_NE(int(index), f.transparent);
}

TEST_F(OptimizeFramesTest, TheTransparentIndexIsTheHighestThatNoChangedPixelUses) {
  // 256 colours; frame 2 changes pixel p to index p, except pixels 0 and 77, which stay.
  cGIF gif;
  MakeAnimation(gif, 16, 16, 256,
                {[](int, int) { return uint8_t(0); },
                 [](int x, int y) {
                   const int p = y * 16 + x;
                   return uint8_t(p == 77 ? 0 : p);
                 }});
  const testing::GiflibResult r = OptimizeLosslessly(gif);
  ASSERT_EQ(r.frames.size(), 2u);
  EXPECT_EQ(r.frames[1].transparent, 77);
  EXPECT_EQ(r.frames[1].indices[0], 77);
  EXPECT_EQ(r.frames[1].indices[77], 77);
  EXPECT_EQ(r.frames[1].indices[78], 78);
}

TEST_F(OptimizeFramesTest, AFullTableWithNoFreeIndexIsOnlyCropped) {
  // 256 changed pixels use every index; row 8 between them stays as it was.
  cGIF gif;
  auto changed = [](int x, int y) { return y < 8 ? y * 16 + x : (y - 9) * 16 + x + 128; };
  MakeAnimation(gif, 16, 20, 256,
                {[&](int x, int y) { return uint8_t(y == 8 || y > 16 ? 5 : changed(x, y) + 1); },
                 [&](int x, int y) { return uint8_t(y == 8 || y > 16 ? 5 : changed(x, y)); }});
  const testing::GiflibResult r = OptimizeLosslessly(gif);
  ASSERT_EQ(r.frames.size(), 2u);
  EXPECT_EQ(r.frames[1].transparent, -1);
  EXPECT_EQ(r.frames[1].top, 0);
  EXPECT_EQ(r.frames[1].height, 17);
  EXPECT_EQ(r.frames[1].indices[8 * 16 + 3], 5);
}

// Frame 2 holds the same picture as frame 1 through another table (the colours reversed), plus a
// patch; frame 3 the same again through a third table.
TEST_F(OptimizeFramesTest, FramesWithTheirOwnTablesCompareByColourNotByIndex) {
  cGIF gif;
  MakeAnimation(gif, 30, 20, 64, {Background(), Background(), Background()});
  for (int16_t n : {2, 3}) {
    gif.SetLocalPaletteUsed(n, true);
    gif.SetLocalPaletteEntries(n, 64);
    for (int i = 0; i < 64; ++i) SetColour(gif.lpLocalPalette(n), 63 - i, ColourOf(i));
  }
  SetColour(gif.lpLocalPalette(3), 0, 0x123456);  // no index of frame 3 draws it
  Paint(gif, 2, [](int x, int y) {
    return uint8_t(x >= 10 && x < 13 && y == 4 ? 1 : 63 - Background()(x, y));
  });
  Paint(gif, 3, [](int x, int y) { return uint8_t(63 - Background()(x, y)); });

  const testing::GiflibResult r = OptimizeLosslessly(gif);
  ASSERT_EQ(r.frames.size(), 3u);
  EXPECT_EQ(r.frames[1].left, 10);
  EXPECT_EQ(r.frames[1].top, 4);
  EXPECT_EQ(r.frames[1].width, 3);
  EXPECT_EQ(r.frames[1].height, 1);
  EXPECT_TRUE(r.frames[1].has_local_table);
  // Frame 3 takes the patch back out, in its own table's indices.
  EXPECT_EQ(r.frames[2].left, 10);
  EXPECT_EQ(r.frames[2].width, 3);
  EXPECT_EQ(r.frames[2].indices[0], 63 - Background()(10, 4));
}

// Frame 2 (disposal 3) is taken away again before frame 3, which draws only a corner: the rest
// of frame 3's screen shows frame 1 again, a colour frame 3 must then draw itself.
void MakeRestoredAnimation(cGIF& gif, bool frame3_has_the_colour) {
  MakeAnimation(gif, 12, 8, 16,
                {[](int, int) { return uint8_t(1); }, [](int, int) { return uint8_t(2); },
                 [](int x, int y) { return uint8_t(x < 2 && y < 2 ? 3 : 4); }});
  gif.SetFrameDisposalMethod(1, 1);
  gif.SetFrameUseTransparentColor(3, true);
  gif.SetFrameTransparentColorIndex(3, 4);
  gif.SetLocalPaletteUsed(3, true);
  gif.SetLocalPaletteEntries(3, 8);
  for (int i = 0; i < 8; ++i) SetColour(gif.lpLocalPalette(3), i, ColourOf(i == 1 ? 9 : i));
  if (frame3_has_the_colour) SetColour(gif.lpLocalPalette(3), 6, ColourOf(1));
}

TEST_F(OptimizeFramesTest, ColoursAFrameDoesNotDrawAreFoundInItsTableOrTheFramesStayWhole) {
  {
    cGIF gif;
    MakeRestoredAnimation(gif, true);
    const testing::GiflibResult r = OptimizeLosslessly(gif);
    ASSERT_EQ(r.frames.size(), 3u);
    EXPECT_EQ(r.frames[2].width, 12);
    EXPECT_EQ(r.frames[2].indices.back(), 6);
    EXPECT_EQ(r.frames[1].disposal, 1);
  }
  {
    cGIF gif;
    MakeRestoredAnimation(gif, false);
    ExpectRefusedUnchanged(gif);
  }
}

TEST_F(OptimizeFramesTest, WhatCannotBeDrawnOverTheFrameBeforeLeavesTheAnimationAsItWas) {
  {
    // Disposal 2 empties the screen where frame 2 does not draw.
    cGIF gif;
    MakeAnimation(gif, 10, 10, 64, {Background(), Background()});
    gif.SetFrameDisposalMethod(1, 2);
    gif.SetFrameUseTransparentColor(2, true);
    gif.SetFrameTransparentColorIndex(2, 0);
    ExpectRefusedUnchanged(gif);
  }
  {
    // A frame without a table to use, which Save refuses too.
    cGIF gif;
    MakeAnimation(gif, 10, 10, 64, {Background(), WithPatch(1, 1, 3)});
    gif.SetGlobalPaletteExists(false);
    gif.SetLocalPaletteUsed(1, true);
    gif.SetLocalPaletteEntries(1, 64);
    const auto second = gif.FrameDIBXOR(2);
    EXPECT_FALSE(OptimizeFrames(gif));
    EXPECT_EQ(gif.FrameDIBXOR(2), second);
    EXPECT_EQ(gif.FrameDisposalMethod(1), 3);
  }
  {
    // An index past the table's 64 entries.
    cGIF gif;
    MakeAnimation(gif, 10, 10, 64, {Background(), WithPatch(1, 1, 3)});
    Paint(gif, 1, [](int, int) { return uint8_t(64); });
    EXPECT_FALSE(OptimizeFrames(gif));
    EXPECT_EQ(gif.FrameDisposalMethod(1), 3);
  }
}

// Random frames of every kind: placed anywhere on the screen, with or without transparency and
// their own tables drawn from few colours, any disposal. Each is either refused, leaving the file
// as it was, or displays the same frames after.
TEST_F(OptimizeFramesTest, RandomAnimationsDisplayTheSameFramesOrAreLeftAsTheyWere) {
  std::mt19937 rng(8);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  int rewritten = 0;
  for (int round = 0; round < 60; ++round) {
    cGIF gif;
    const int sw = 6 + pick(20), sh = 6 + pick(14);
    MakeAnimation(gif, sw, sh, 8, {[&](int, int) { return uint8_t(pick(8)); }});
    const int count = 2 + pick(5);
    for (int16_t n = 2; n <= count; ++n) {
      const int w = 1 + pick(sw), h = 1 + pick(sh);
      gif.FrameInsert(n, int16_t(w), int16_t(h));
      gif.SetFrameLeft(n, int16_t(pick(sw - w + 1)));
      gif.SetFrameTop(n, int16_t(pick(sh - h + 1)));
      gif.SetFrameDisposalMethod(n, pick(4));
      if (pick(2)) {
        gif.SetFrameUseTransparentColor(n, true);
        gif.SetFrameTransparentColorIndex(n, pick(8));
      }
      if (pick(2)) {
        gif.SetLocalPaletteUsed(n, true);
        gif.SetLocalPaletteEntries(n, 8);
        for (int i = 0; i < 8; ++i) SetColour(gif.lpLocalPalette(n), i, ColourOf(pick(10)));
      }
      const int still = pick(3);  // some frames repeat their pixels where they can
      Paint(gif, n, [&](int x, int y) { return uint8_t(still ? (x + y) % 8 : pick(8)); });
    }
    gif.SetFrameDisposalMethod(1, pick(4));

    const std::vector<uint8_t> before_bytes = Saved(gif);
    const auto before = CompositeFrames(testing::DecodeWithGiflib(before_bytes));
    if (OptimizeFrames(gif)) {
      ++rewritten;
      EXPECT_EQ(CompositeFrames(Decoded(gif)), before) << round;
    } else {
      EXPECT_EQ(Saved(gif), before_bytes) << round;
    }
  }
  EXPECT_GT(rewritten, 20);
}

TEST_F(OptimizeFramesTest, OneFrameOrNoneIsNothingToDo) {
  cGIF gif;
  EXPECT_TRUE(OptimizeFrames(gif));
  MakeAnimation(gif, 5, 5, 4, {Background()});
  const auto first = gif.FrameDIBXOR(1);
  EXPECT_TRUE(OptimizeFrames(gif));
  EXPECT_EQ(gif.FrameDIBXOR(1), first);
  EXPECT_EQ(gif.FrameDisposalMethod(1), 3);
}

}  // namespace
}  // namespace qm
