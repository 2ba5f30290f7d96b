#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>

#include "imaging/cPal8bpp.h"
#include "platform/error.h"
#include "tests/support/error_of.h"

namespace qm {
namespace {

using testing::ErrorOf;

struct Colour {
  int r, g, b;
  bool operator==(const Colour&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Colour& c) {
  return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

Colour EntryOf(const cPal8bpp& pal, int i) {
  return {pal.rgbR(uint8_t(i)), pal.rgbG(uint8_t(i)), pal.rgbB(uint8_t(i))};
}

// Reference nearest search written from the rule: least sum of squares over the entries in use,
// lowest index on ties.
int BruteNearest(const cPal8bpp& pal, int r, int g, int b) {
  int best = -1, best_d = 1 << 30;
  for (int i = 0; i < pal.Entries(); ++i) {
    const Colour c = EntryOf(pal, i);
    const int d = (c.r - r) * (c.r - r) + (c.g - g) * (c.g - g) + (c.b - b) * (c.b - b);
    if (d < best_d) best = i, best_d = d;
  }
  return best;
}

TEST(PaletteHalftone, CubeOfSixLevelsInRedGreenBlueOrder) {
  cPal8bpp pal;
  pal.CreateHalftone(4);
  EXPECT_EQ(pal.Entries(), 216);
  EXPECT_EQ(EntryOf(pal, 0), (Colour{0, 0, 0}));
  EXPECT_EQ(EntryOf(pal, 1), (Colour{51, 0, 0}));
  EXPECT_EQ(EntryOf(pal, 6), (Colour{0, 51, 0}));
  EXPECT_EQ(EntryOf(pal, 36), (Colour{0, 0, 51}));
  EXPECT_EQ(EntryOf(pal, 215), (Colour{255, 255, 255}));
  for (int i = 216; i < 256; ++i) EXPECT_EQ(EntryOf(pal, i), (Colour{0, 0, 0})) << i;
  for (int b = 0; b < 6; ++b)
    for (int g = 0; g < 6; ++g)
      for (int r = 0; r < 6; ++r)
        ASSERT_EQ(EntryOf(pal, r + 6 * g + 36 * b), (Colour{51 * r, 51 * g, 51 * b}));
  // The table is laid out blue, green, red, 0 for a bitmap colour table.
  const auto bytes = pal.lpPalette();
  EXPECT_EQ(bytes[4], 0);
  EXPECT_EQ(bytes[5], 0);
  EXPECT_EQ(bytes[6], 51);
  EXPECT_EQ(bytes[7], 0);
  EXPECT_EQ(bytes[36 * 4], 51);
}

TEST(PaletteHalftone, SmallerCubesWrite256As255) {
  const int expected_entries[] = {8, 27, 64, 125};
  const std::array<std::vector<int>, 4> levels = {
      std::vector<int>{0, 255}, {0, 128, 255}, {0, 85, 170, 255}, {0, 64, 128, 192, 255}};
  for (int l = 0; l < 4; ++l) {
    cPal8bpp pal;
    pal.CreateHalftone(l);
    ASSERT_EQ(pal.Entries(), expected_entries[l]);
    const int n = int(levels[l].size());
    for (int i = 0; i < n; ++i) EXPECT_EQ(pal.rgbR(uint8_t(i)), levels[l][i]) << l;
    EXPECT_EQ(pal.rgbB(uint8_t(n * n * (n - 1))), 255);
  }
  cPal8bpp pal;
  pal.CreateHalftone(3);
  EXPECT_EQ(EntryOf(pal, 4), (Colour{255, 0, 0}));
}

TEST(PaletteStandard, WebsafeLayout) {
  cPal8bpp pal;
  pal.CreateWebsafe();
  EXPECT_EQ(pal.Entries(), 256);
  EXPECT_EQ(EntryOf(pal, 8), (Colour{51, 0, 0}));
  EXPECT_EQ(EntryOf(pal, 9), (Colour{102, 0, 0}));
  EXPECT_EQ(EntryOf(pal, 215), (Colour{204, 255, 255}));
  EXPECT_EQ(EntryOf(pal, 216), (Colour{0, 0, 0}));
  EXPECT_EQ(EntryOf(pal, 217), (Colour{8, 8, 8}));
  EXPECT_EQ(EntryOf(pal, 247), (Colour{248, 248, 248}));
  EXPECT_EQ(EntryOf(pal, 255), (Colour{255, 255, 255}));
  // The EGA halves at both ends, and every cube colour present exactly once.
  cPal8bpp ega;
  ega.CreateEGA();
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(EntryOf(pal, i), EntryOf(ega, i));
    EXPECT_EQ(EntryOf(pal, 248 + i), EntryOf(ega, 8 + i));
  }
  int cube_hits = 0;
  for (int i = 8; i <= 215; ++i) {
    const Colour c = EntryOf(pal, i);
    ASSERT_TRUE(c.r % 51 == 0 && c.g % 51 == 0 && c.b % 51 == 0) << i;
    const bool corner = (c.r % 255 == 0) && (c.g % 255 == 0) && (c.b % 255 == 0);
    EXPECT_FALSE(corner) << i;
    for (int j = 8; j < i; ++j) ASSERT_NE(EntryOf(pal, j), c) << i;
    ++cube_hits;
  }
  EXPECT_EQ(cube_hits, 208);
}

TEST(PaletteStandard, EgaAndGreyScales) {
  cPal8bpp ega;
  ega.CreateEGA();
  const Colour expected[16] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                               {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                               {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                               {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
  EXPECT_EQ(ega.Entries(), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(EntryOf(ega, i), expected[i]) << i;
  EXPECT_FALSE(ega.IsGreyScale());

  cPal8bpp grey;
  grey.CreateGreyScale(1);
  EXPECT_EQ(grey.Entries(), 16);
  EXPECT_EQ(EntryOf(grey, 15), (Colour{255, 255, 255}));
  EXPECT_EQ(EntryOf(grey, 7), (Colour{119, 119, 119}));
  EXPECT_TRUE(grey.IsGreyScale());
  grey.CreateGreyScale(0);
  EXPECT_EQ(grey.Entries(), 2);
  EXPECT_EQ(EntryOf(grey, 1), (Colour{255, 255, 255}));
  grey.CreateGreyScale(2);
  EXPECT_EQ(grey.Entries(), 256);
  EXPECT_EQ(EntryOf(grey, 200), (Colour{200, 200, 200}));
  EXPECT_TRUE(grey.IsGreyScale());
  // Only the entries in use count.
  grey.rgbR(255, 0);
  EXPECT_FALSE(grey.IsGreyScale());
  grey.Entries(255);
  EXPECT_TRUE(grey.IsGreyScale());
  grey.Entries(0);
  EXPECT_FALSE(grey.IsGreyScale());
}

TEST(PaletteNearest, MatchesBruteForceOnStandardPalettes) {
  cPal8bpp pal;
  pal.CreateHalftone(4);
  EXPECT_EQ(pal.ClosestIndex(255, 0, 0), 5);
  EXPECT_EQ(pal.ClosestIndex(0, 0, 255), 180);
  uint8_t r = 0, g = 0, b = 0;
  pal.ClosestColor(30, 100, 200, r, g, b);
  EXPECT_EQ((Colour{r, g, b}), (Colour{51, 102, 204}));

  std::mt19937 rng(7);
  for (auto make : {+[](cPal8bpp& p) { p.CreateWebsafe(); }, +[](cPal8bpp& p) { p.CreateEGA(); },
                    +[](cPal8bpp& p) { p.CreateHalftone(2); }}) {
    make(pal);
    for (int k = 0; k < 2000; ++k) {
      const int cr = int(rng() % 256), cg = int(rng() % 256), cb = int(rng() % 256);
      ASSERT_EQ(pal.ClosestIndex(uint8_t(cr), uint8_t(cg), uint8_t(cb)),
                BruteNearest(pal, cr, cg, cb))
          << cr << "," << cg << "," << cb;
    }
  }
}

TEST(PaletteNearest, OnlyEntriesInUseAndOnlyAfterRebuild) {
  cPal8bpp pal;
  pal.Initialize(3);
  pal.rgbR(0, 10);
  pal.rgbR(1, 100);
  pal.rgbR(2, 100);  // tie with entry 1: the lower index wins
  pal.rgbR(5, 250);  // exact match, but beyond Entries
  pal.BuildLogicalPalette();
  EXPECT_EQ(pal.ClosestIndex(250, 0, 0), 1);
  EXPECT_EQ(pal.ClosestIndex(11, 0, 0), 0);

  // Changing colours does not touch the logical palette until it is rebuilt.
  pal.rgbR(0, 240);
  EXPECT_EQ(pal.ClosestIndex(245, 0, 0), 1);
  pal.BuildLogicalPalette();
  EXPECT_EQ(pal.ClosestIndex(245, 0, 0), 0);
  // ClosestColor reads the current table.
  uint8_t r = 0, g = 0, b = 0;
  pal.ClosestColor(245, 0, 0, r, g, b);
  EXPECT_EQ(r, 240);
}

TEST(PaletteErrors, MissingTableOrLogicalPalette) {
  cPal8bpp pal;
  EXPECT_EQ(pal.Entries(), 0);
  EXPECT_EQ(pal.hPal(), nullptr);
  EXPECT_EQ(ErrorOf([&] { pal.lpPalette(); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { pal.rgbR(0); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { pal.rgbB(3, 1); }), kErrSubscript);
  EXPECT_NE(ErrorOf([&] { pal.ClosestIndex(1, 2, 3); }), 0);

  pal.Initialize(4);
  EXPECT_EQ(pal.Entries(), 4);
  EXPECT_EQ(pal.hPal(), nullptr);
  EXPECT_EQ(pal.lpPalette()[0], 0);
  uint8_t r, g, b;
  EXPECT_NE(ErrorOf([&] { pal.ClosestColor(1, 2, 3, r, g, b); }), 0);
  // A logical palette with no entries has no nearest entry either.
  pal.Entries(0);
  pal.BuildLogicalPalette();
  EXPECT_NE(pal.hPal(), nullptr);
  EXPECT_NE(ErrorOf([&] { pal.ClosestIndex(1, 2, 3); }), 0);

  pal.CreateHalftone(4);
  pal.Destroy();
  EXPECT_EQ(pal.Entries(), 0);
  EXPECT_EQ(pal.hPal(), nullptr);
  EXPECT_EQ(ErrorOf([&] { pal.lpPalette(); }), kErrSubscript);
}

TEST(PaletteErrors, BadLevelsLeaveAnEmptyTable) {
  cPal8bpp pal;
  for (int levels : {-1, 3, 100}) {
    pal.CreateHalftone(4);
    EXPECT_EQ(ErrorOf([&] { pal.CreateGreyScale(levels); }), kErrDivisionByZero) << levels;
    EXPECT_EQ(pal.Entries(), 0);
    EXPECT_EQ(pal.hPal(), nullptr);
    EXPECT_EQ(pal.rgbR(1), 0);
  }
  for (int levels : {-1, 5, 6}) {
    pal.CreateHalftone(4);
    EXPECT_EQ(ErrorOf([&] { pal.CreateHalftone(levels); }), kErrSubscript) << levels;
    EXPECT_EQ(pal.Entries(), 0);
    EXPECT_EQ(pal.rgbR(1), 0);
  }
}

TEST(PaletteErrors, CountBeyondTheTableIsRefused) {
  cPal8bpp pal;
  pal.CreateGreyScale(2);
  pal.Entries(300);
  EXPECT_EQ(ErrorOf([&] { pal.BuildLogicalPalette(); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { pal.IsGreyScale(); }), kErrSubscript);
  pal.Entries(-5);
  EXPECT_EQ(ErrorOf([&] { pal.BuildLogicalPalette(); }), kErrSubscript);
  EXPECT_FALSE(pal.IsGreyScale());
  pal.Entries(256);
  pal.BuildLogicalPalette();
  EXPECT_EQ(pal.ClosestIndex(255, 255, 255), 255);
}

}  // namespace
}  // namespace qm
