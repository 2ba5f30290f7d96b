// Colour reduction speed on a full-HD photo-like frame, the cost of building an optimal palette
// (thumbnail, octree, inverse colour map) for it, and the fitted palettes' error diffusion.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

#include "imaging/cDIB.h"
#include "imaging/cPal8bpp.h"
#include "imaging/mDither8bpp.h"
#include "imaging/quantize.h"

namespace {

using namespace qm;

constexpr int kWidth = 1920, kHeight = 1080;

// Smooth diagonal gradients, a soft radial highlight and per-pixel noise from a fixed seed.
const cDIB& PhotoFrame() {
  static cDIB* frame = [] {
    auto* dib = new cDIB;
    dib->Create(kWidth, kHeight, 32);
    PixelView view;
    MapDIBPixels(view, *dib);
    std::mt19937 rng(20261207);
    std::normal_distribution<double> noise(0.0, 6.0);
    for (int y = 0; y < kHeight; ++y) {
      auto row = view.row(y);
      for (int x = 0; x < kWidth; ++x) {
        const double dx = x - 0.6 * kWidth, dy = y - 0.4 * kHeight;
        const double glow = 90.0 * std::exp(-(dx * dx + dy * dy) / (2 * 300.0 * 300.0));
        auto channel = [&](double base) {
          return uint8_t(std::clamp(base + glow + noise(rng), 0.0, 255.0));
        };
        row[x].red = channel(40.0 + 150.0 * x / kWidth);
        row[x].green = channel(30.0 + 120.0 * (x + y) / (kWidth + kHeight));
        row[x].blue = channel(200.0 - 170.0 * y / kHeight);
        row[x].reserved = 0;
      }
    }
    return dib;
  }();
  return *frame;
}

void ReportPerPixel(benchmark::State& state) {
  // The inverted pixel rate: seconds per pixel, printed with its SI prefix (e.g. "1.3n").
  state.counters["time_per_px"] =
      benchmark::Counter(double(kWidth) * kHeight, benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

// Later frames of an animation: the palette (and its lookup table) is kept from the first frame.
void BM_ReduceColors(benchmark::State& state) {
  const int palette_mode = int(state.range(0)), dither_mode = int(state.range(1));
  cDIB& source = const_cast<cDIB&>(PhotoFrame());
  mDither8bpp::InitDitherTables();
  mDither8bpp::SetPaletteMode(palette_mode);
  mDither8bpp::SetDitherMode(dither_mode);
  cPal8bpp palette;
  cDIB destination;
  mDither8bpp::ReduceColors(source, destination, palette, false);
  for (auto _ : state) {
    mDither8bpp::ReduceColors(source, destination, palette, true);
    benchmark::DoNotOptimize(destination.lpBits());
    benchmark::ClobberMemory();
  }
  ReportPerPixel(state);
  state.SetLabel(std::string(palette_mode ? "optimal" : "cube") + (dither_mode == 0 ? " nearest"
                                                                   : dither_mode == 1
                                                                       ? " ordered"
                                                                       : " diffusion"));
}
BENCHMARK(BM_ReduceColors)
    ->ArgNames({"palette", "dither"})
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);

// What the first frame costs on top in palette mode 1.
void BM_OptimalPaletteBuild(benchmark::State& state) {
  const cDIB& source = PhotoFrame();
  cPal8bpp palette;
  for (auto _ : state) {
    mDither8bpp::BuildOptimalPalette(source, palette);
    benchmark::DoNotOptimize(palette.Entries());
  }
  state.counters["entries"] = palette.Entries();
}
BENCHMARK(BM_OptimalPaletteBuild)->Unit(benchmark::kMillisecond);

// The parts of the build on their own: octree over a 50 x 28 thumbnail, and the lookup table.
void BM_OctreeOnThumbnail(benchmark::State& state) {
  cDIB thumbnail;
  PhotoFrame().CloneTo(thumbnail);
  thumbnail.Resize(50, 28, true);
  cPal8bpp palette;
  for (auto _ : state) {
    palette.CreateOptimal(thumbnail, 256, 6, 1.0f, 1.0f, 1.0f);
    benchmark::DoNotOptimize(palette.Entries());
  }
}
BENCHMARK(BM_OctreeOnThumbnail)->Unit(benchmark::kMicrosecond);

void BM_BuildLookup16(benchmark::State& state) {
  cPal8bpp palette;
  palette.CreateWebsafe();
  for (auto _ : state) mDither8bpp::BuildLookup16(palette);
}
BENCHMARK(BM_BuildLookup16)->Unit(benchmark::kMicrosecond);

// Error diffusion onto a fitted palette of 256 colours (the palette built once, outside the loop):
// the serial walk over the frame and the nearest-entry search of every diffused colour.
void BM_FittedDiffusion(benchmark::State& state) {
  const quantize::RgbaFrame frame = quantize::ToRgba(PhotoFrame());
  quantize::Settings settings;
  settings.dither_mode = 2;
  quantize::SharedPalette shared(settings);
  shared.Add(frame);
  shared.Build();
  cDIB target;
  quantize::Palette used;
  for (auto _ : state) {
    shared.Remap(0, frame, target, used);
    benchmark::DoNotOptimize(target.lpBits());
    benchmark::ClobberMemory();
  }
  ReportPerPixel(state);
}
BENCHMARK(BM_FittedDiffusion)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
