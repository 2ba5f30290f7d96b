// The libimagequant palettes: what the indices refer to, every dither mode, determinism across
// runs and lanes, and quality against the classic halftone cube.

#include "imaging/quantize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

#include "imaging/cPal8bpp.h"
#include "imaging/fitted_diffusion.h"
#include "imaging/mDither8bpp.h"
#include "platform/error.h"

namespace qm::quantize {
namespace {

// A smooth two-dimensional colour gradient, shifted by `phase` so frames differ.
RgbaFrame Gradient(int32_t width, int32_t height, int phase) {
  RgbaFrame f;
  f.width = width;
  f.height = height;
  f.pixels.resize(size_t(width) * size_t(height) * 4);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* p = &f.pixels[(size_t(y) * size_t(width) + size_t(x)) * 4];
      p[0] = uint8_t((x * 255 / (width - 1) + phase) & 0xFF);
      p[1] = uint8_t(y * 255 / (height - 1));
      p[2] = uint8_t(255 - (x + y) * 255 / (width + height - 2));
      p[3] = 255;
    }
  }
  return f;
}

// A frame made only of the given colours (red, green, blue), in bands.
RgbaFrame Bands(int32_t width, int32_t height, const std::vector<std::array<uint8_t, 3>>& colours) {
  RgbaFrame f;
  f.width = width;
  f.height = height;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const auto& c = colours[size_t((x / 3 + y / 2) % int32_t(colours.size()))];
      f.pixels.insert(f.pixels.end(), {c[0], c[1], c[2], 255});
    }
  }
  return f;
}

std::vector<uint8_t> Indices(const cDIB& dib) {
  BitsView view;
  MapDIBBits(view, dib);
  std::vector<uint8_t> out;
  for (int32_t y = 0; y < dib.Height(); ++y) {
    auto row = view.row(y);
    out.insert(out.end(), row.begin(), row.begin() + dib.Width());
  }
  return out;
}

// RGB PSNR of the indexed frame, through `palette`, against the source.
double Psnr(const RgbaFrame& source, const cDIB& indexed, const Palette& palette) {
  const std::vector<uint8_t> idx = Indices(indexed);
  double sum = 0;
  for (size_t i = 0; i < idx.size(); ++i) {
    for (int c = 0; c < 3; ++c) {
      const double d = double(source.pixels[i * 4 + size_t(c)]) -
                       double(palette.table[size_t(idx[i]) * 4 + size_t(2 - c)]);
      sum += d * d;
    }
  }
  const double mse = sum / double(idx.size() * 3);
  return mse == 0 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

void ExpectIndicesBelow(const cDIB& dib, int entries, const std::string& what) {
  ASSERT_EQ(dib.BPP(), 8) << what;
  for (uint8_t i : Indices(dib)) {
    ASSERT_LT(int(i), entries) << what;
  }
}

TEST(Quantize, SharedPaletteServesEveryFrameInEveryDitherModeAndLaneAlike) {
  const std::vector<RgbaFrame> frames = {Gradient(64, 48, 0), Gradient(64, 48, 90),
                                         Gradient(64, 48, 170)};
  for (int dither = 0; dither < 3; ++dither) {
    Settings s;
    s.dither_mode = dither;
    SharedPalette shared(s);
    for (const RgbaFrame& f : frames) shared.Add(f);
    shared.Build();
    const Palette& palette = shared.palette();
    ASSERT_GE(palette.entries, 2);
    ASSERT_LE(palette.entries, 256);
    for (const RgbaFrame& f : frames) {
      cDIB lane0, lane1;
      Palette used0, used1;
      shared.Remap(0, f, lane0, used0);
      shared.Remap(1, f, lane1, used1);
      const std::string what = "dither " + std::to_string(dither);
      EXPECT_EQ(used0, palette) << what;  // the global table is what the indices mean
      EXPECT_EQ(used1, palette) << what;
      ExpectIndicesBelow(lane0, palette.entries, what);
      EXPECT_EQ(Indices(lane0), Indices(lane1)) << what;
      EXPECT_GT(Psnr(f, lane0, palette), 25.0) << what;
    }
  }
}

TEST(Quantize, SameFramesAndSettingsGiveTheSameBytes) {
  for (int dither = 0; dither < 3; ++dither) {
    Settings s;
    s.dither_mode = dither;
    const RgbaFrame f = Gradient(80, 60, 33);
    cDIB a, b;
    Palette pa, pb;
    QuantizeFrame(s, f, a, pa);
    QuantizeFrame(s, f, b, pb);
    EXPECT_EQ(pa, pb) << dither;
    EXPECT_EQ(Indices(a), Indices(b)) << dither;

    SharedPalette one(s), two(s);
    one.Add(f);
    two.Add(f);
    one.Build();
    two.Build();
    EXPECT_EQ(one.palette(), two.palette()) << dither;
  }
}

TEST(Quantize, AFrameOfFewColoursIsKeptExactlyWithoutDither) {
  const std::vector<std::array<uint8_t, 3>> colours = {
      {255, 0, 0}, {0, 128, 0}, {10, 20, 250}, {200, 200, 40}, {0, 0, 0}, {255, 255, 255}};
  const RgbaFrame f = Bands(30, 20, colours);
  Settings s;
  s.dither_mode = 0;
  cDIB out;
  Palette palette;
  QuantizeFrame(s, f, out, palette);
  ASSERT_GE(palette.entries, int(colours.size()));
  ExpectIndicesBelow(out, palette.entries, "local");
  EXPECT_EQ(Psnr(f, out, palette), 100.0);
  // Error diffusion has no error to spread.
  s.dither_mode = 2;
  QuantizeFrame(s, f, out, palette);
  EXPECT_EQ(Psnr(f, out, palette), 100.0);
}

TEST(Quantize, LocalPalettesFitEachFrameWhereASharedOneCompromises) {
  // Two frames of unrelated colours: each one's own palette beats the shared one on it.
  const RgbaFrame warm = Gradient(64, 48, 0);
  RgbaFrame cool_pixels = Gradient(64, 48, 0);
  for (size_t i = 0; i < cool_pixels.pixels.size(); i += 4)
    std::swap(cool_pixels.pixels[i], cool_pixels.pixels[i + 2]);
  const RgbaFrame cool = cool_pixels;
  Settings s;
  s.dither_mode = 0;
  s.max_colors = 16;
  SharedPalette shared(s);
  shared.Add(warm);
  shared.Add(cool);
  shared.Build();
  for (const RgbaFrame* f : {&warm, &cool}) {
    cDIB own, common;
    Palette own_palette, common_palette;
    QuantizeFrame(s, *f, own, own_palette);
    shared.Remap(0, *f, common, common_palette);
    ExpectIndicesBelow(own, own_palette.entries, "own");
    EXPECT_LE(own_palette.entries, 16);
    EXPECT_GT(Psnr(*f, own, own_palette), Psnr(*f, common, common_palette));
  }
}

TEST(Quantize, AGradientScoresFarAboveTheHalftoneCube) {
  const RgbaFrame f = Gradient(160, 120, 0);
  cDIB source;
  ASSERT_TRUE(source.Create(f.width, f.height, 32));
  PixelView view;
  MapDIBPixels(view, source);
  for (int32_t y = 0; y < f.height; ++y) {
    for (int32_t x = 0; x < f.width; ++x) {
      const uint8_t* p = &f.pixels[(size_t(y) * size_t(f.width) + size_t(x)) * 4];
      view(x, y) = {p[2], p[1], p[0], 0};
    }
  }
  EXPECT_EQ(ToRgba(source).pixels, f.pixels);

  for (int dither = 0; dither < 3; ++dither) {
    mDither8bpp::SetPaletteMode(0);
    mDither8bpp::SetDitherMode(dither);
    cDIB classic;
    cPal8bpp cube;
    mDither8bpp::ReduceColors(source, classic, cube, false);
    Palette cube_table;
    cube_table.entries = cube.Entries();
    std::copy(cube.lpPalette().begin(), cube.lpPalette().end(), cube_table.table.begin());
    const double halftone = Psnr(f, classic, cube_table);

    Settings s;
    s.dither_mode = dither;
    SharedPalette shared(s);
    shared.Add(f);
    shared.Build();
    cDIB fitted;
    Palette used;
    shared.Remap(0, f, fitted, used);
    const double global = Psnr(f, fitted, used);
    EXPECT_GT(global, 32.0) << dither;
    EXPECT_GT(global, halftone + 8.0) << "dither " << dither << ": halftone " << halftone;
  }
  mDither8bpp::SetDitherMode(1);
}

TEST(Quantize, OrderedDitherMixesNeighboursToKeepTheMeanColour) {
  // The corners of the colour cube: greys fall between black (0) and white (7).
  Palette bw;
  bw.entries = 8;
  for (size_t e = 0; e < 8; ++e) {
    for (size_t c = 0; c < 3; ++c) bw.table[e * 4 + c] = (e >> c) & 1 ? 255 : 0;
  }
  for (uint8_t grey : {64, 128, 192}) {
    const RgbaFrame f = Bands(32, 32, {{grey, grey, grey}});
    cDIB out;
    OrderedDither(f, bw, out);
    const std::vector<uint8_t> idx = Indices(out);
    double mean = 0;
    for (uint8_t i : idx) {
      ASSERT_TRUE(i == 0 || i == 7) << int(i);
      mean += i ? 255.0 : 0.0;
    }
    mean /= double(idx.size());
    EXPECT_NEAR(mean, grey, 16.0) << int(grey);
    EXPECT_EQ(std::set<uint8_t>(idx.begin(), idx.end()).size(), 2u) << int(grey);
  }
  // A colour of the palette itself under a one-colour palette: nothing to mix.
  Palette one;
  one.entries = 1;
  cDIB out;
  OrderedDither(Bands(8, 8, {{9, 9, 9}}), one, out);
  for (uint8_t i : Indices(out)) EXPECT_EQ(i, 0);
}

// The colour of palette entry `i` as red, green, blue.
std::array<int, 3> Entry(const Palette& p, int i) {
  return {p.table[size_t(i) * 4 + 2], p.table[size_t(i) * 4 + 1], p.table[size_t(i) * 4]};
}

// The squared RGB distance from the RGBA pixel to its nearest entry of the palette.
int NearestDistance(const Palette& palette, const uint8_t* pixel) {
  int best = INT32_MAX;
  for (int e = 0; e < palette.entries; ++e) {
    const auto c = Entry(palette, e);
    int d = 0;
    for (int k = 0; k < 3; ++k) d += (c[size_t(k)] - pixel[k]) * (c[size_t(k)] - pixel[k]);
    best = std::min(best, d);
  }
  return best;
}

TEST(Quantize, UnchangedPixelsKeepTheirIndicesAndChangedOnesGetTheNearestEntry) {
  // A noisy photo-like frame (far more than 256 colours, so its palette comes from a sample).
  RgbaFrame first = Gradient(200, 150, 0);
  uint32_t noise = 1;
  for (size_t i = 0; i < first.pixels.size(); ++i) {
    if (i % 4 == 3) continue;
    noise = noise * 1103515245u + 12345u;
    first.pixels[i] = uint8_t(std::clamp(int(first.pixels[i]) + int(noise >> 28) - 8, 0, 255));
  }
  for (int dither = 0; dither < 3; ++dither) {
    Settings s;
    s.dither_mode = dither;
    const std::string what = "dither " + std::to_string(dither);
    cDIB before;
    Palette palette;
    QuantizeFrame(s, first, before, palette);
    // The second frame: a patch painted over, the rest within the tolerance or exactly the same.
    RgbaFrame second = first;
    for (int32_t y = 40; y < 80; ++y) {
      for (int32_t x = 60; x < 120; ++x) {
        uint8_t* p = &second.pixels[(size_t(y) * 200 + size_t(x)) * 4];
        p[0] = 250, p[1] = uint8_t(x), p[2] = uint8_t(y);
      }
    }
    for (size_t i = 0; i < second.pixels.size(); i += 40) {
      second.pixels[i] = uint8_t(std::min(255, second.pixels[i] + kKeepTolerance));
    }
    RgbaFrame reference = first;
    cDIB after;
    const Palette kept = palette;
    RemapChanges(s, second, palette, before, reference, after);
    EXPECT_NEAR(ChangedShare(first, second), 40.0 * 60.0 / (200.0 * 150.0), 1e-9) << what;
    const std::vector<uint8_t> was = Indices(before), now = Indices(after);
    // The patch's colours are far from the first frame's, so the palette must have taken some.
    double error_kept = 0, error_now = 0;
    for (int32_t y = 0; y < 150; ++y) {
      for (int32_t x = 0; x < 200; ++x) {
        const size_t i = size_t(y) * 200 + size_t(x);
        const bool patch = y >= 40 && y < 80 && x >= 60 && x < 120;
        // A pixel outside the patch keeps its index unless that entry now shows another colour.
        if (!patch && Entry(palette, was[i]) == Entry(kept, was[i])) {
          ASSERT_EQ(now[i], was[i]) << what << " at " << x << "," << y;
          continue;
        }
        // The reference follows the pixels mapped anew, and without dither the nearest is exact.
        ASSERT_EQ(0, std::memcmp(&reference.pixels[i * 4], &second.pixels[i * 4], 4)) << what;
        ASSERT_LT(int(now[i]), palette.entries) << what;
        if (patch) {
          error_kept += NearestDistance(kept, &second.pixels[i * 4]);
          error_now += NearestDistance(palette, &second.pixels[i * 4]);
        }
        if (dither != 0) continue;
        const int best = NearestDistance(palette, &second.pixels[i * 4]);
        const auto got = Entry(palette, now[i]);
        int d = 0;
        for (int k = 0; k < 3; ++k)
          d += (got[size_t(k)] - second.pixels[i * 4 + size_t(k)]) *
               (got[size_t(k)] - second.pixels[i * 4 + size_t(k)]);
        ASSERT_EQ(d, best) << what << " at " << x << "," << y;
      }
    }
    EXPECT_LT(error_now, error_kept / 4) << what;
  }
}

TEST(Quantize, RunSlackLengthensRunsWhileTheErrorStillCarries) {
  // A noisy gradient: without slack nearly every pixel differs from the one before it.
  RgbaFrame frame = Gradient(160, 120, 0);
  uint32_t noise = 3;
  for (size_t i = 0; i < frame.pixels.size(); ++i) {
    if (i % 4 == 3) continue;
    noise = noise * 1103515245u + 12345u;
    frame.pixels[i] = uint8_t(std::clamp(int(frame.pixels[i]) + int(noise >> 28) - 8, 0, 255));
  }
  Settings s;
  cDIB exact, slack;
  Palette palette;
  QuantizeFrame(s, frame, exact, palette);
  Diffusion with_slack = DiffusionOf(s);
  with_slack.run_slack = 128.0f;
  Diffuse(frame, palette, with_slack, slack, nullptr);
  auto changes = [](const cDIB& dib) {
    const std::vector<uint8_t> idx = Indices(dib);
    size_t n = 0;
    for (size_t i = 1; i < idx.size(); ++i)
      n += i % size_t(dib.Width()) != 0 && idx[i] != idx[i - 1];
    return n;
  };
  EXPECT_LT(changes(slack), changes(exact) * 3 / 4);
  // The error still carries: the means of 4 x 4 blocks stay close to the source's.
  const std::vector<uint8_t> idx = Indices(slack);
  double sum = 0;
  for (size_t by = 0; by < 120; by += 4) {
    for (size_t bx = 0; bx < 160; bx += 4) {
      for (size_t c = 0; c < 3; ++c) {
        double d = 0;
        for (size_t y = by; y < by + 4; ++y) {
          for (size_t i = y * 160 + bx; i < y * 160 + bx + 4; ++i) {
            d += double(palette.table[size_t(idx[i]) * 4 + 2 - c]) - frame.pixels[i * 4 + c];
          }
        }
        sum += d * d / 256.0;
      }
    }
  }
  // 1.42 here; 1.84 when the error carried is the nearest entry's instead of the one taken.
  EXPECT_LT(std::sqrt(sum / (40.0 * 30.0 * 3.0)), 1.6);
  EXPECT_GT(Psnr(frame, slack, palette), 30.0);
}

TEST(Quantize, EveryColourGetsTheLowestOfItsNearestEntriesOnAPaletteOfCloseShades) {
  // Clusters of shades one to three levels apart, repeated entries and a few far colours: short
  // candidate lists, ties, and lists that must reach into neighbouring cells.
  Palette palette;
  palette.entries = 256;
  uint32_t state = 7;
  auto next = [&state](int range) {
    state = state * 1664525u + 1013904223u;
    return int((state >> 16) % uint32_t(range));
  };
  const int centres[4][3] = {{40, 90, 200}, {128, 128, 128}, {250, 20, 60}, {8, 247, 130}};
  for (int i = 0; i < 256; ++i) {
    int rgb[3];
    if (i % 16 == 15) {
      for (int& c : rgb) c = next(256);
    } else if (i % 16 == 14) {
      for (int k = 0; k < 3; ++k) rgb[k] = palette.table[size_t(i - 7) * 4 + size_t(2 - k)];
    } else {
      for (int k = 0; k < 3; ++k) rgb[k] = std::clamp(centres[i % 4][k] + next(25) - 12, 0, 255);
    }
    palette.table[size_t(i) * 4] = uint8_t(rgb[2]);
    palette.table[size_t(i) * 4 + 1] = uint8_t(rgb[1]);
    palette.table[size_t(i) * 4 + 2] = uint8_t(rgb[0]);
  }
  RgbaFrame lattice;
  lattice.width = 52 * 52;
  lattice.height = 52;
  for (int r = 0; r < 52; ++r)
    for (int g = 0; g < 52; ++g)
      for (int b = 0; b < 52; ++b)
        lattice.pixels.insert(lattice.pixels.end(),
                              {uint8_t(r * 5), uint8_t(g * 5), uint8_t(b * 5), 255});
  cDIB out;
  Diffuse(lattice, palette, Diffusion{}, out, nullptr);
  const std::vector<uint8_t> got = Indices(out);
  for (size_t i = 0; i < got.size(); ++i) {
    int best = 0, best_d = INT32_MAX;
    for (int e = 0; e < 256; ++e) {
      const auto c = Entry(palette, e);
      int d = 0;
      for (int k = 0; k < 3; ++k) {
        const int diff = c[size_t(k)] - lattice.pixels[i * 4 + size_t(k)];
        d += diff * diff;
      }
      if (d < best_d) best_d = d, best = e;
    }
    ASSERT_EQ(int(got[i]), best) << "colour " << int(lattice.pixels[i * 4]) << ","
                                 << int(lattice.pixels[i * 4 + 1]) << ","
                                 << int(lattice.pixels[i * 4 + 2]);
  }
}

TEST(Quantize, ASlowDriftIsRemappedOnceItAddsUpPastTheTolerance) {
  RgbaFrame frame = Gradient(48, 32, 0);
  for (size_t i = 0; i < frame.pixels.size(); i += 4)
    frame.pixels[i] = std::min<uint8_t>(frame.pixels[i], 200);
  Settings s;
  cDIB frames[2];
  Palette palette;
  QuantizeFrame(s, frame, frames[0], palette);
  RgbaFrame reference = frame;
  // Every step is within the tolerance of the frame before; the sum is not.
  int remapped_at = -1;
  for (int step = 1; step <= 2 * kKeepTolerance + 2 && remapped_at < 0; ++step) {
    for (size_t i = 0; i < frame.pixels.size(); i += 4)
      frame.pixels[i] = uint8_t(frame.pixels[i] + 1);
    RemapChanges(s, frame, palette, frames[(step - 1) % 2], reference, frames[step % 2]);
    if (reference.pixels == frame.pixels) remapped_at = step;
  }
  EXPECT_EQ(remapped_at, kKeepTolerance + 1);
}

TEST(Quantize, MisuseRaisesInsteadOfWritingAnything) {
  cDIB eight;
  ASSERT_TRUE(eight.Create(4, 4, 8));
  EXPECT_THROW(ToRgba(eight), RuntimeError);
  EXPECT_THROW(ToRgba(cDIB()), RuntimeError);

  Settings s;
  SharedPalette empty(s);
  EXPECT_THROW(empty.Build(), RuntimeError);
  cDIB out;
  Palette used;
  EXPECT_THROW(empty.Remap(0, Gradient(8, 8, 0), out, used), RuntimeError);

  RgbaFrame torn = Gradient(8, 8, 0);
  torn.pixels.pop_back();
  EXPECT_THROW(QuantizeFrame(s, torn, out, used), RuntimeError);
  EXPECT_THROW(OrderedDither(Gradient(8, 8, 0), Palette{}, out), RuntimeError);

  SharedPalette built(s);
  built.Add(Gradient(8, 8, 0));
  built.Build();
  EXPECT_THROW(built.Add(Gradient(8, 8, 0)), RuntimeError);

  cDIB previous;
  QuantizeFrame(s, Gradient(8, 8, 0), previous, used);
  RgbaFrame reference = Gradient(8, 9, 0);
  EXPECT_THROW(RemapChanges(s, Gradient(8, 8, 0), used, previous, reference, out), RuntimeError);
  EXPECT_EQ(ChangedShare(reference, Gradient(8, 8, 0)), 1.0);
}

}  // namespace
}  // namespace qm::quantize
