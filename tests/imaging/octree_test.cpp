#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "imaging/cDIB.h"
#include "imaging/cPal8bpp.h"
#include "platform/error.h"
#include "tests/support/error_of.h"

namespace qm {
namespace {

using Rgb = std::tuple<int, int, int>;

using testing::ErrorOf;

// A width x 1-row-per-chunk 32-bit picture holding `pixels` in reading order.
void MakePicture(cDIB& dib, int width, const std::vector<Rgb>& pixels) {
  const int height = int((pixels.size() + width - 1) / width);
  ASSERT_TRUE(dib.Create(width, height, 32));
  PixelView view;
  MapDIBPixels(view, dib);
  for (size_t i = 0; i < pixels.size(); ++i) {
    auto [r, g, b] = pixels[i];
    view(int(i % width), int(i / width)) = Pixel32{uint8_t(b), uint8_t(g), uint8_t(r), 0};
  }
}

std::vector<Rgb> EntriesOf(const cPal8bpp& pal) {
  std::vector<Rgb> out;
  for (int i = 0; i < pal.Entries(); ++i)
    out.emplace_back(pal.rgbR(uint8_t(i)), pal.rgbG(uint8_t(i)), pal.rgbB(uint8_t(i)));
  return out;
}

std::vector<Rgb> Optimal(const std::vector<Rgb>& pixels, int nColors, int nLevels, int width = 0,
                         float rw = 1.0f) {
  cDIB dib;
  MakePicture(dib, width ? width : int(pixels.size()), pixels);
  cPal8bpp pal;
  pal.CreateOptimal(dib, nColors, nLevels, rw, 1.0f, 1.0f);
  EXPECT_NE(pal.hPal(), nullptr);
  return EntriesOf(pal);
}

TEST(Octree, OneColourGivesOneExactEntry) {
  const std::vector<Rgb> pixels(36, Rgb{17, 200, 93});
  EXPECT_EQ(Optimal(pixels, 256, 6, 6), (std::vector<Rgb>{{17, 200, 93}}));
  EXPECT_EQ(Optimal(pixels, 1, 8, 6), (std::vector<Rgb>{{17, 200, 93}}));
}

TEST(Octree, CellsFollowRoundedMidpointsAndMeansRoundHalfToEven) {
  // Depth 6: red 0..4, 5..8 and 9..12 are separate cells.
  EXPECT_EQ(Optimal({{10, 40, 40}, {11, 40, 40}}, 256, 6), (std::vector<Rgb>{{10, 40, 40}}));
  EXPECT_EQ(Optimal({{11, 40, 40}, {12, 40, 40}}, 256, 6), (std::vector<Rgb>{{12, 40, 40}}));
  EXPECT_EQ(Optimal({{9, 40, 40}, {12, 40, 40}}, 256, 6).size(), 1u);
  EXPECT_EQ(Optimal({{4, 40, 40}, {5, 40, 40}}, 256, 6).size(), 2u);
  EXPECT_EQ(Optimal({{8, 40, 40}, {9, 40, 40}}, 256, 6).size(), 2u);
  // First split: 128 is not above the midpoint 128, 129 is.
  EXPECT_EQ(Optimal({{128, 0, 0}, {129, 0, 0}}, 256, 1).size(), 2u);
  EXPECT_EQ(Optimal({{127, 0, 0}, {128, 0, 0}}, 256, 1), (std::vector<Rgb>{{128, 0, 0}}));
  // 128..255 splits at 192 (191.5 rounded to even): 192 stays low, 193 goes up.
  EXPECT_EQ(Optimal({{192, 0, 0}, {150, 0, 0}}, 256, 2).size(), 1u);
  EXPECT_EQ(Optimal({{193, 0, 0}, {150, 0, 0}}, 256, 2).size(), 2u);
}

TEST(Octree, WeightsSteerSplitsButEntriesAreRawMeans) {
  // Unweighted, 60 and 70 share the lower half; red doubled puts 70 (140) above 128.
  EXPECT_EQ(Optimal({{60, 0, 0}, {70, 0, 0}}, 256, 1), (std::vector<Rgb>{{65, 0, 0}}));
  const auto weighted = Optimal({{60, 0, 0}, {70, 0, 0}}, 256, 1, 0, 2.0f);
  EXPECT_EQ(weighted, (std::vector<Rgb>{{60, 0, 0}, {70, 0, 0}}));
}

TEST(Octree, DistinctCellsKeepOneEntryEach) {
  // 256 colours in 256 different depth-3 cells, each on 16 pixels in shuffled order.
  std::vector<Rgb> colours;
  for (int r = 16; r < 256; r += 32)
    for (int g = 16; g < 256; g += 32)
      for (int b = 16; b < 256; b += 64) colours.emplace_back(r, g, b);
  ASSERT_EQ(colours.size(), 256u);
  std::vector<Rgb> pixels;
  for (int k = 0; k < 16; ++k) pixels.insert(pixels.end(), colours.begin(), colours.end());
  std::shuffle(pixels.begin(), pixels.end(), std::mt19937(3));
  const auto entries = Optimal(pixels, 256, 6, 64);
  EXPECT_EQ(std::set<Rgb>(entries.begin(), entries.end()),
            std::set<Rgb>(colours.begin(), colours.end()));
  EXPECT_EQ(entries.size(), 256u);
}

TEST(Octree, ManyColoursNeverExceedTheLimit) {
  std::mt19937 rng(11);
  std::vector<Rgb> pixels;
  for (int i = 0; i < 200 * 150; ++i)
    pixels.emplace_back(int(rng() % 256), int(rng() % 256), int(rng() % 256));
  for (int nColors : {256, 64, 16, 8}) {
    for (int nLevels : {3, 6, 8}) {
      const auto entries = Optimal(pixels, nColors, nLevels, 200);
      EXPECT_LE(int(entries.size()), nColors) << nColors << "/" << nLevels;
      EXPECT_GE(int(entries.size()), std::min(nColors, 8) / 2) << nColors << "/" << nLevels;
      // Means of many random pixels: every entry is an interior colour, none is left black.
      for (auto [r, g, b] : entries) EXPECT_GT(r + g + b, 0);
    }
  }
}

TEST(Octree, OrderFollowsNodeNumbersAndAStuckTreeKeepsItsLeaves) {
  // nColors 1 cannot be reached (the root is never collapsed). Black and blue are collapsed to
  // depth 1, freeing nodes 3 and 5; white then takes node 3 and precedes blue (node 4) although a
  // walk of the tree would list blue (child 4) before white (child 7).
  const auto entries = Optimal({{0, 0, 0}, {0, 0, 255}, {255, 255, 255}}, 1, 2);
  EXPECT_EQ(entries, (std::vector<Rgb>{{0, 0, 0}, {255, 255, 255}, {0, 0, 255}}));
}

TEST(Octree, NonThirtyTwoBitSourceAndBadArgumentsLeavePaletteAlone) {
  cPal8bpp pal;
  pal.CreateHalftone(4);
  const auto before = EntriesOf(pal);
  const gdi::LogicalPalette* logical = pal.hPal();

  cDIB eight;
  ASSERT_TRUE(eight.Create(10, 10, 8));
  pal.CreateOptimal(eight, 256, 6, 1.0f, 1.0f, 1.0f);
  cDIB empty;
  pal.CreateOptimal(empty, 256, 6, 1.0f, 1.0f, 1.0f);
  EXPECT_EQ(EntriesOf(pal), before);
  EXPECT_EQ(pal.hPal(), logical);

  cDIB dib;
  MakePicture(dib, 2, {{1, 2, 3}, {200, 100, 50}});
  EXPECT_EQ(ErrorOf([&] { pal.CreateOptimal(dib, 256, 0, 1.0f, 1.0f, 1.0f); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { pal.CreateOptimal(dib, 256, 9, 1.0f, 1.0f, 1.0f); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { pal.CreateOptimal(dib, 257, 6, 1.0f, 1.0f, 1.0f); }), kErrSubscript);
  EXPECT_EQ(EntriesOf(pal), before);
  EXPECT_EQ(pal.hPal(), logical);

  // The palette made is usable for nearest queries at once.
  pal.CreateOptimal(dib, 256, 6, 1.0f, 1.0f, 1.0f);
  EXPECT_EQ(pal.Entries(), 2);
  EXPECT_EQ(pal.rgbR(pal.ClosestIndex(190, 90, 60)), 200);
}

}  // namespace
}  // namespace qm
