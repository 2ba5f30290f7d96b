#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <vector>

#include "imaging/cDIB.h"
#include "imaging/cPal8bpp.h"
#include "imaging/mDither8bpp.h"
#include "platform/error.h"
#include "tests/support/error_of.h"

namespace qm {
namespace {

namespace md = mDither8bpp;

using testing::ErrorOf;

struct Px {
  int r, g, b;
};

using Frame = std::vector<std::vector<Px>>;  // [row][column]

Frame Flat(int w, int h, Px p) {
  return Frame(size_t(h), std::vector<Px>(size_t(w), p));
}

Frame Noise(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  Frame f = Flat(w, h, {0, 0, 0});
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      // Smooth gradients, noise, and some saturated pixels so clamping is exercised.
      const int n = int(rng() % 61) - 30;
      Px p{(x * 255) / std::max(1, w - 1) + n, (y * 255) / std::max(1, h - 1) - n,
           int(rng() % 256)};
      if (rng() % 7 == 0) p = {255 * int(rng() % 2), 255 * int(rng() % 2), 255 * int(rng() % 2)};
      f[y][x] = {std::clamp(p.r, 0, 255), std::clamp(p.g, 0, 255), std::clamp(p.b, 0, 255)};
    }
  return f;
}

void ToDib(const Frame& f, cDIB& dib) {
  ASSERT_TRUE(dib.Create(int(f[0].size()), int(f.size()), 32));
  PixelView v;
  MapDIBPixels(v, dib);
  for (size_t y = 0; y < f.size(); ++y)
    for (size_t x = 0; x < f[y].size(); ++x)
      v(int(x), int(y)) = {uint8_t(f[y][x].b), uint8_t(f[y][x].g), uint8_t(f[y][x].r), 0};
}

std::vector<std::vector<int>> Indices(const cDIB& dest) {
  BitsView v;
  MapDIBBits(v, dest);
  std::vector<std::vector<int>> out(size_t(dest.Height()));
  for (int y = 0; y < dest.Height(); ++y)
    for (int x = 0; x < dest.Width(); ++x) out[y].push_back(v(x, y));
  return out;
}

std::vector<std::vector<int>> Reduce(const Frame& f, int paletteMode, int ditherMode, cPal8bpp& pal,
                                     bool keep = false) {
  md::InitDitherTables();
  md::SetPaletteMode(paletteMode);
  md::SetDitherMode(ditherMode);
  cDIB src, dst;
  ToDib(f, src);
  md::ReduceColors(src, dst, pal, keep);
  EXPECT_EQ(dst.BPP(), 8);
  return Indices(dst);
}

int Dist2(const cPal8bpp& pal, int i, int r, int g, int b) {
  const int dr = pal.rgbR(uint8_t(i)) - r, dg = pal.rgbG(uint8_t(i)) - g,
            db = pal.rgbB(uint8_t(i)) - b;
  return dr * dr + dg * dg + db * db;
}

int BruteNearest(const cPal8bpp& pal, int r, int g, int b) {
  int best = 0;
  for (int i = 1; i < pal.Entries(); ++i)
    if (Dist2(pal, i, r, g, b) < Dist2(pal, best, r, g, b)) best = i;
  return best;
}

int Quantise(int c, int step, int top) {
  return std::clamp(int(std::nearbyint(double(c) / step)), 0, top);
}

TEST(DitherTables, LevelsThresholdsAndRounding) {
  md::InitDitherTables();
  for (int c = 0; c < 256; ++c) {
    const int expected6 = (c >= 26) + (c >= 77) + (c >= 128) + (c >= 179) + (c >= 230);
    ASSERT_EQ(md::Level6(c), expected6) << c;
    ASSERT_EQ(md::Level16(c), std::min(15, (c + 8) / 17)) << c;
  }
  EXPECT_EQ(md::Level6(-51), 0);
  EXPECT_EQ(md::Level6(-25), 0);
  EXPECT_EQ(md::Level6(278), 5);
  EXPECT_EQ(md::Level6(280), 5);
  EXPECT_EQ(md::Level16(-8), 0);
  EXPECT_EQ(md::Level16(262), 15);
  EXPECT_EQ(ErrorOf([] { md::Level6(281); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([] { md::Level16(-9); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([] { md::Diffuse1(256); }), kErrSubscript);

  const int bayer16[16] = {1, 9, 3, 11, 13, 5, 15, 7, 4, 12, 2, 10, 16, 8, 14, 6};
  const int bayer51[16] = {3, 29, 10, 35, 41, 16, 48, 22, 13, 38, 6, 32, 51, 26, 45, 19};
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(md::Bayer16(i), bayer16[i]);
    EXPECT_EQ(md::Bayer51(i), bayer51[i]);
  }
  for (int i = 0; i < 216; ++i) ASSERT_EQ(md::CubeIndex(i), i);

  EXPECT_EQ(md::Diffuse5(8), 2);
  EXPECT_EQ(md::Diffuse3(8), 2);
  EXPECT_EQ(md::Diffuse7(-8), -4);
  EXPECT_EQ(md::Diffuse1(24), 2);
  EXPECT_EQ(md::Diffuse7(255), 112);
  EXPECT_EQ(md::Diffuse7(-255), -112);
  EXPECT_EQ(md::Diffuse1(-255), -16);
}

TEST(DitherNearest, CubeMatchesBruteForceNearest) {
  cPal8bpp pal;
  EXPECT_EQ(Reduce(Flat(1, 1, {30, 100, 200}), 0, 0, pal)[0][0], 157);
  EXPECT_EQ(pal.Entries(), 216);
  // The cube is separable, so per-channel levels are the true nearest entry of the full colour.
  const Frame f = Noise(37, 23, 1);
  const auto idx = Reduce(f, 0, 0, pal);
  for (size_t y = 0; y < f.size(); ++y)
    for (size_t x = 0; x < f[y].size(); ++x) {
      const Px p = f[y][x];
      ASSERT_EQ(idx[y][x], BruteNearest(pal, p.r, p.g, p.b)) << x << "," << y;
    }
}

TEST(DitherNearest, OptimalMatchesBruteForceAtFourBits) {
  cPal8bpp pal;
  const Frame f = Noise(120, 90, 2);
  const auto idx = Reduce(f, 1, 0, pal);
  ASSERT_GT(pal.Entries(), 8);
  ASSERT_LE(pal.Entries(), 256);
  for (size_t y = 0; y < f.size(); ++y)
    for (size_t x = 0; x < f[y].size(); ++x) {
      const Px p = f[y][x];
      const int r = 17 * Quantise(p.r, 17, 15), g = 17 * Quantise(p.g, 17, 15),
                b = 17 * Quantise(p.b, 17, 15);
      ASSERT_LT(idx[y][x], pal.Entries());
      ASSERT_EQ(Dist2(pal, idx[y][x], r, g, b), Dist2(pal, BruteNearest(pal, r, g, b), r, g, b))
          << x << "," << y;
    }
}

TEST(DitherOrdered, GreyHalfwayAlternatesByRowsAndExtremesStayPut) {
  cPal8bpp pal;
  const auto idx = Reduce(Flat(8, 8, {128, 128, 128}), 0, 1, pal);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      const bool upper = (x + y) % 2 == 0;
      ASSERT_EQ(idx[y][x], upper ? 129 : 86) << x << "," << y;
    }
  EXPECT_EQ(pal.rgbR(129), 153);
  EXPECT_EQ(pal.rgbR(86), 102);
  for (const auto& row : Reduce(Flat(5, 7, {0, 0, 0}), 0, 1, pal))
    for (int i : row) ASSERT_EQ(i, 0);
  for (const auto& row : Reduce(Flat(5, 7, {255, 255, 255}), 0, 1, pal))
    for (int i : row) ASSERT_EQ(i, 215);
}

// A flat colour dithered over whole matrix tiles averages to that colour; every pixel uses one of
// the two levels around it.
TEST(DitherOrdered, FlatColoursAverageToThemselves) {
  cPal8bpp cube;
  for (int c = 0; c < 256; c += 3) {
    const Px p{c, 255 - c, (c * 7) % 256};
    const auto idx = Reduce(Flat(8, 8, p), 0, 1, cube);
    double sr = 0, sg = 0, sb = 0;
    for (const auto& row : idx)
      for (int i : row) {
        sr += cube.rgbR(uint8_t(i)), sg += cube.rgbG(uint8_t(i)), sb += cube.rgbB(uint8_t(i));
        ASSERT_LE(std::abs(cube.rgbR(uint8_t(i)) - p.r), 51) << c;
        ASSERT_LE(std::abs(cube.rgbB(uint8_t(i)) - p.b), 51) << c;
      }
    EXPECT_NEAR(sr / 64, p.r, 51.0 / 16 + 0.5) << c;
    EXPECT_NEAR(sg / 64, p.g, 51.0 / 16 + 0.5) << c;
    EXPECT_NEAR(sb / 64, p.b, 51.0 / 16 + 0.5) << c;
  }

  cPal8bpp grey;
  grey.CreateGreyScale(1);
  md::BuildLookup16(grey);
  for (int c = 0; c < 256; ++c) {
    const auto idx = Reduce(Flat(4, 4, {c, c, c}), 1, 1, grey, true);
    double sum = 0;
    for (const auto& row : idx)
      for (int i : row) sum += grey.rgbR(uint8_t(i));
    EXPECT_NEAR(sum / 16, c, 17.0 / 16 + 0.5) << c;
  }
  EXPECT_EQ(grey.Entries(), 16);
}

// The error-diffusion rules written out plainly (no tables), as an independent reference.
std::vector<std::vector<int>> ReferenceDiffusion(Frame f, const cPal8bpp& pal, bool cube) {
  const int h = int(f.size()), w = int(f[0].size());
  std::vector<std::vector<int>> out(size_t(h), std::vector<int>(size_t(w), 0));
  auto add = [](int& c, int e, int n) {
    c = std::clamp(c + int(std::nearbyint(n * e / 16.0)), 0, 255);
  };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const Px p = f[y][x];
      int index;
      if (cube) {
        index = Quantise(p.r, 51, 5) + 6 * Quantise(p.g, 51, 5) + 36 * Quantise(p.b, 51, 5);
      } else {
        index = BruteNearest(pal, 17 * Quantise(p.r, 17, 15), 17 * Quantise(p.g, 17, 15),
                             17 * Quantise(p.b, 17, 15));
      }
      out[y][x] = index;
      const int er = p.r - pal.rgbR(uint8_t(index)), eg = p.g - pal.rgbG(uint8_t(index)),
                eb = p.b - pal.rgbB(uint8_t(index));
      if (std::abs(er) + std::abs(eg) + std::abs(eb) <= 3) continue;
      auto spread = [&](int nx, int ny, int n) {
        if (nx < 0 || nx >= w || ny >= h) return;
        Px& q = f[ny][nx];
        add(q.r, er, n), add(q.g, eg, n), add(q.b, eb, n);
      };
      spread(x + 1, y, 7);
      spread(x, y + 1, 5);
      spread(x + 1, y + 1, 1);
      spread(x - 1, y + 1, 3);
    }
  return out;
}

TEST(DitherDiffuse, SmallFramesSendErrorsOnlyWhereNeighboursExist) {
  cPal8bpp pal;
  // Width 1: 20 -> black, +6 below gives 26 -> level 1 (51), -25 * 5/16 = -8 below that.
  auto idx = Reduce(Flat(1, 3, {20, 20, 20}), 0, 2, pal);
  EXPECT_EQ(idx, (std::vector<std::vector<int>>{{0}, {43}, {0}}));
  // One row: errors go only to the right (+9, then -10).
  idx = Reduce(Flat(3, 1, {20, 20, 20}), 0, 2, pal);
  EXPECT_EQ(idx, (std::vector<std::vector<int>>{{0, 43, 0}}));
  // A total error of 3 is kept, 4 is spread (even though red alone is the same 3).
  idx = Reduce(Frame{{{3, 0, 0}, {25, 0, 0}}}, 0, 2, pal);
  EXPECT_EQ(idx, (std::vector<std::vector<int>>{{0, 0}}));
  idx = Reduce(Frame{{{3, 1, 0}, {25, 0, 0}}}, 0, 2, pal);
  EXPECT_EQ(idx, (std::vector<std::vector<int>>{{0, 1}}));
  // Worked through by hand: (1, 0) sends +9 right, +4/+6/+1 below-left/below/below-right;
  // (2, 0) at 9 sends +3 below and +2 below-left; then the bottom row passes -11 and +7 along.
  idx = Reduce(Frame{{{0, 0, 0}, {20, 0, 0}, {0, 0, 0}}, {{22, 0, 0}, {20, 0, 0}, {25, 0, 0}}}, 0,
               2, pal);
  EXPECT_EQ(idx, (std::vector<std::vector<int>>{{0, 0, 0}, {1, 0, 1}}));
}

TEST(DitherDiffuse, AgreesWithPlainReferenceAndLeavesSourceAlone) {
  for (unsigned seed = 1; seed <= 3; ++seed) {
    const Frame f = Noise(61 + int(seed), 47, seed);
    cPal8bpp cube;
    const auto reduced = Reduce(f, 0, 2, cube);
    EXPECT_EQ(reduced, ReferenceDiffusion(f, cube, true)) << seed;
    cPal8bpp optimal;
    const auto got = Reduce(f, 1, 2, optimal);
    EXPECT_EQ(got, ReferenceDiffusion(f, optimal, false)) << seed;
  }
  // Every small shape, where first, last and only columns and rows meet.
  for (int w = 1; w <= 7; ++w)
    for (int h = 1; h <= 5; ++h) {
      const Frame f = Noise(w, h, unsigned(10 * w + h));
      cPal8bpp cube;
      const auto reduced = Reduce(f, 0, 2, cube);
      EXPECT_EQ(reduced, ReferenceDiffusion(f, cube, true)) << w << "x" << h;
    }
  md::SetPaletteMode(0);
  md::SetDitherMode(2);
  const Frame f = Noise(30, 20, 9);
  cDIB src, dst, copy;
  ToDib(f, src);
  src.CloneTo(copy);
  cPal8bpp pal;
  md::ReduceColors(src, dst, pal, false);
  EXPECT_EQ(0, std::memcmp(src.lpBits(), copy.lpBits(), size_t(src.Size())));
}

TEST(DitherReduceColors, DestinationTableSizeAndPadding) {
  md::InitDitherTables();
  md::SetPaletteMode(0);
  md::SetDitherMode(1);
  cDIB src, dst;
  ToDib(Noise(5, 3, 4), src);
  ASSERT_TRUE(dst.Create(2, 2, 32));
  cPal8bpp pal;
  md::ReduceColors(src, dst, pal, false);
  EXPECT_EQ(dst.Width(), 5);
  EXPECT_EQ(dst.Height(), 3);
  EXPECT_EQ(dst.BPP(), 8);
  std::vector<uint8_t> table;
  dst.GetPalette(table);
  ASSERT_EQ(table.size(), 1024u);
  EXPECT_TRUE(std::equal(table.begin(), table.end(), pal.lpPalette().begin()));
  for (size_t i = 216 * 4; i < 1024; ++i) ASSERT_EQ(table[i], 0);
  BitsView bits;
  MapDIBBits(bits, dst);
  for (int y = 0; y < 3; ++y)
    for (int c = 5; c < dst.BytesPerScanline(); ++c) EXPECT_EQ(bits(c, y), 0);
}

TEST(DitherReduceColors, KeptPaletteAndOtherModes) {
  md::InitDitherTables();
  md::SetDitherMode(0);
  cDIB src, dst;
  ToDib(Flat(3, 3, {250, 250, 250}), src);

  // KeepPalette: the palette is not rebuilt and the destination gets its current table.
  md::SetPaletteMode(0);
  cPal8bpp ega;
  ega.CreateEGA();
  md::ReduceColors(src, dst, ega, true);
  EXPECT_EQ(ega.Entries(), 16);
  std::vector<uint8_t> table;
  dst.GetPalette(table);
  EXPECT_TRUE(std::equal(table.begin(), table.end(), ega.lpPalette().begin()));

  // Palette mode 1 with KeepPalette reuses the first frame's lookup table.
  md::SetPaletteMode(1);
  cPal8bpp two;
  md::ReduceColors(src, dst, two, false);  // builds a one-entry palette and its lookup
  ASSERT_EQ(two.Entries(), 1);
  cPal8bpp grey;
  grey.CreateGreyScale(2);
  md::ReduceColors(src, dst, grey, true);
  for (const auto& row : Indices(dst))
    for (int i : row) EXPECT_EQ(i, 0);
  EXPECT_EQ(grey.Entries(), 256);

  // An unknown palette mode leaves the palette alone and writes index 0 everywhere.
  md::SetPaletteMode(7);
  md::ReduceColors(src, dst, ega, false);
  EXPECT_EQ(ega.Entries(), 16);
  for (const auto& row : Indices(dst))
    for (int i : row) EXPECT_EQ(i, 0);
}

TEST(DitherReduceColors, RefusesWhatItCannotRead) {
  md::SetPaletteMode(0);
  md::SetDitherMode(1);
  cPal8bpp pal;
  cDIB eight, dst, empty;
  ASSERT_TRUE(eight.Create(4, 4, 8));
  ASSERT_TRUE(dst.Create(3, 3, 32));
  EXPECT_EQ(ErrorOf([&] { md::ReduceColors(eight, dst, pal, false); }), kErrSubscript);
  EXPECT_EQ(ErrorOf([&] { md::ReduceColors(empty, dst, pal, false); }), kErrSubscript);
  EXPECT_EQ(dst.BPP(), 32);  // untouched
  EXPECT_EQ(pal.Entries(), 0);

  cDIB src;
  ToDib(Flat(4, 4, {9, 9, 9}), src);
  EXPECT_NE(ErrorOf([&] { md::ReduceColors(src, src, pal, false); }), 0);
  EXPECT_EQ(src.BPP(), 32);
  // The routines do nothing outside a ReduceColors call.
  md::ReduceHalftoneDiffuse();
  md::ReduceOptimalOrdered();
}

// A bottom-up bitmap file keeps its row order in memory; the reduced frame is still upright and
// the dither phase follows picture rows.
TEST(DitherReduceColors, BottomUpSourceStaysUpright) {
  const int w = 4, h = 3;
  std::vector<uint8_t> file(54 + w * h * 4, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + i] = uint8_t(v >> (8 * i));
  };
  file[0] = 'B', file[1] = 'M';
  put32(2, uint32_t(file.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, w);
  put32(22, h);  // positive: bottom-up
  file[26] = 1;
  file[28] = 32;
  // Picture row 0 (top, last in the file) white, rows below black.
  for (int x = 0; x < w; ++x)
    for (int c = 0; c < 3; ++c) file[54 + (h - 1) * w * 4 + x * 4 + c] = 255;
  const auto path = std::filesystem::temp_directory_path() / "qm_dither_bottom_up.bmp";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  cDIB src;
  const uint8_t depth = src.CreateFromBitmapFile(path.string());
  std::filesystem::remove(path);
  ASSERT_EQ(depth, 32);
  md::InitDitherTables();
  md::SetPaletteMode(0);
  for (int mode : {0, 1, 2}) {
    md::SetDitherMode(mode);
    cDIB dst;
    cPal8bpp pal;
    md::ReduceColors(src, dst, pal, false);
    const auto idx = Indices(dst);
    EXPECT_EQ(idx[0], (std::vector<int>(w, 215))) << mode;
    EXPECT_EQ(idx[2], (std::vector<int>(w, 0))) << mode;
  }
}

TEST(DitherOrdered, LargeFramesMatchTheirStripsDoneOneByOne) {
  // A frame this size is dithered in two halves at once; strips of it, starting on rows where
  // the matrix starts again, are small enough to be done in one piece and must give the same.
  const int w = 731, h = 402;
  const Frame big = Noise(w, h, 11);
  for (int palette_mode : {0, 1}) {
    SCOPED_TRACE(palette_mode);
    cPal8bpp pal;
    const auto whole = Reduce(big, palette_mode, 1, pal);
    ASSERT_EQ(whole.size(), size_t(h));
    for (int y0 = 0; y0 < h; y0 += 52) {
      const int rows = std::min(52, h - y0);
      Frame strip(big.begin() + y0, big.begin() + y0 + rows);
      const auto part = Reduce(strip, palette_mode, 1, pal, /*keep=*/true);
      ASSERT_EQ(part.size(), size_t(rows));
      for (int y = 0; y < rows; ++y) ASSERT_EQ(part[size_t(y)], whole[size_t(y0 + y)]) << y0 + y;
    }
  }
}

}  // namespace
}  // namespace qm
