// The libimagequant side of quantize.h: palettes for one frame (QuantizeFrame, from a sample of the
// frame) and for every frame (SharedPalette), and the frame mapped onto them, by libimagequant's
// own remapping or by our dithers (fitted_diffusion.h, fitted_ordered_dither.cpp).
#include "imaging/quantize.h"

#include <libimagequant.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>
#include <mutex>
#include <string>

#include "imaging/fitted_diffusion.h"
#include "imaging/fitted_frames.h"
#include "imaging/nearest_entry.h"
#include "platform/error.h"

namespace qm::quantize {

namespace {

// libimagequant parallelises with OpenMP using as many threads as the machine has, and a few of
// its choices (the dither map, reduction order) follow that count; one thread per call keeps the
// output the same everywhere and leaves the cores to the frames running side by side.
void OneLiqThread() {
  omp_set_num_threads(1);
}

[[noreturn]] void Fail(liq_error error, const char* step) {
  Raise(error == LIQ_OUT_OF_MEMORY ? 7 : kErrInvalidCall,
        std::string("Colour quantisation failed: ") + step + " (libimagequant error " +
            std::to_string(int(error)) + ")");
}

void Check(liq_error error, const char* step) {
  if (error != LIQ_OK) Fail(error, step);
}

struct AttrDeleter {
  void operator()(liq_attr* p) const { liq_attr_destroy(p); }
};
struct ImageDeleter {
  void operator()(liq_image* p) const { liq_image_destroy(p); }
};
struct ResultDeleter {
  void operator()(liq_result* p) const { liq_result_destroy(p); }
};
struct HistogramDeleter {
  void operator()(liq_histogram* p) const { liq_histogram_destroy(p); }
};
using Attr = std::unique_ptr<liq_attr, AttrDeleter>;
using Image = std::unique_ptr<liq_image, ImageDeleter>;
using Result = std::unique_ptr<liq_result, ResultDeleter>;
using Histogram = std::unique_ptr<liq_histogram, HistogramDeleter>;

Attr MakeAttr(const Settings& s) {
  OneLiqThread();
  Attr attr(liq_attr_create());
  if (!attr) Fail(LIQ_OUT_OF_MEMORY, "settings");
  Check(liq_set_speed(attr.get(), std::clamp(s.speed, 1, 10)), "speed");
  Check(liq_set_max_colors(attr.get(), std::clamp(s.max_colors, 2, 256)), "colours");
  Check(liq_set_quality(attr.get(), 0, std::clamp(s.max_quality, 0, 100)), "quality");
  return attr;
}

Image MakeImage(const liq_attr* attr, const RgbaFrame& frame) {
  CheckFrame(frame);
  Image image(liq_image_create_rgba(attr, frame.pixels.data(), frame.width, frame.height, 0));
  if (!image) Fail(LIQ_VALUE_OUT_OF_RANGE, "frame size");
  return image;
}

Palette FromLiq(const liq_palette* liq) {
  if (!liq) Fail(LIQ_INVALID_POINTER, "palette");
  Palette palette;
  palette.entries = int(std::min<unsigned>(liq->count, 256));
  for (int i = 0; i < palette.entries; ++i) {
    palette.table[size_t(i) * 4] = liq->entries[i].b;
    palette.table[size_t(i) * 4 + 1] = liq->entries[i].g;
    palette.table[size_t(i) * 4 + 2] = liq->entries[i].r;
  }
  return palette;
}

// Remaps with libimagequant (nearest), diffuses the error onto its palette or dithers in order.
Palette MapFrame(const Settings& s, liq_result* result, liq_image* image, const RgbaFrame& frame,
                 cDIB& target) {
  if (s.dither_mode == 1 || s.dither_mode == 2) {
    Palette palette = FromLiq(liq_get_palette(result));
    if (s.dither_mode == 1) OrderedDither(frame, palette, target);
    if (s.dither_mode == 2) Diffuse(frame, palette, DiffusionOf(s), target, nullptr);
    return palette;
  }
  std::vector<unsigned char*> rows = TargetRows(frame, target);
  Check(liq_set_dithering_level(result, 0.0f), "dithering level");
  Check(liq_write_remapped_image_rows(result, image, rows.data()), "remapping");
  return FromLiq(liq_get_palette(result));
}

// A frame with this many distinct colours or fewer is kept whole for the palette.
constexpr int kFewColours = 256;

// Whether the frame has at most kFewColours colours; a photo answers within a few hundred pixels.
bool HasFewColours(const RgbaFrame& frame) {
  std::array<uint32_t, 1024> slots;
  slots.fill(0);  // colours are stored with a set top bit, so 0 means empty
  int distinct = 0;
  const uint8_t* p = frame.pixels.data();
  const size_t count = frame.pixels.size() / 4;
  for (size_t i = 0; i < count; ++i, p += 4) {
    const uint32_t colour = 0x80000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    size_t slot = (colour * 2654435761u) >> 22;
    while (slots[slot] != 0 && slots[slot] != colour) slot = (slot + 1) & 1023;
    if (slots[slot] == 0) {
      if (++distinct > kFewColours) return false;
      slots[slot] = colour;
    }
  }
  return true;
}

// One pixel of every step x step block, at a place that varies from block to block so that every
// row and column is sampled somewhere; the palette built from the sample is as good on photos
// and costs a fraction of the whole frame's.
RgbaFrame Sample(const RgbaFrame& frame, int step) {
  RgbaFrame sample;
  sample.width = (frame.width + step - 1) / step;
  sample.height = (frame.height + step - 1) / step;
  sample.pixels.resize(size_t(sample.width) * size_t(sample.height) * 4);
  uint8_t* out = sample.pixels.data();
  uint32_t state = 0x9E3779B9u;
  for (int32_t by = 0; by < sample.height; ++by) {
    const int32_t rows = std::min(step, frame.height - by * step);
    for (int32_t bx = 0; bx < sample.width; ++bx, out += 4) {
      const int32_t cols = std::min(step, frame.width - bx * step);
      state = state * 1664525u + 1013904223u;
      const int32_t x = bx * step + int32_t((state >> 8) % uint32_t(cols));
      const int32_t y = by * step + int32_t((state >> 20) % uint32_t(rows));
      std::memcpy(out, &frame.pixels[(size_t(y) * size_t(frame.width) + size_t(x)) * 4], 4);
    }
  }
  return sample;
}

// The sampling step for a frame's palette: about 24 000 pixels are plenty for 256 colours. The
// step stops at 8, so a frame over 1.5 megapixels gives a larger sample.
int SampleStep(const RgbaFrame& frame) {
  const double pixels = double(frame.width) * double(frame.height);
  return std::clamp(int(std::ceil(std::sqrt(pixels / 24000.0))), 1, 8);
}

// Rounds of moving each entry to the mean of the sampled colours nearest to it. libimagequant
// fits its palette in a perceptual space of its own; the means in RGB, which the diffusion and
// the eye average over, lower the error of areas (blurred PSNR of captions +0.3 dB, pans +0.1),
// and three rounds get most of what more would. A colour starts at the entry nearest to the
// centre of its cell of 5 bits a channel (photos touch far fewer cells than they have sampled
// pixels) and before each round looks for its entry among the kNeighbours entries that were
// nearest to the one it has at the start: entries move little, and that costs a sixteenth of a
// whole search.
constexpr int kRefineRounds = 3;
constexpr int kNeighbours = 16;

int EntryDistance(const Palette& palette, int e, const uint8_t* rgb) {
  const uint8_t* t = palette.table.data() + size_t(e) * 4;
  const int dr = rgb[0] - t[2], dg = rgb[1] - t[1], db = rgb[2] - t[0];
  return dr * dr + dg * dg + db * db;
}

void RefinePalette(const RgbaFrame& sample, Palette& palette) {
  const size_t count = sample.pixels.size() / 4;
  const int entries = palette.entries;
  if (entries < 2 || count == 0) return;
  std::vector<uint8_t> owner(count);
  {
    const WholeNearest nearest(palette);
    std::vector<int16_t> cells(size_t(1) << 15, -1);
    const uint8_t* p = sample.pixels.data();
    for (size_t i = 0; i < count; ++i, p += 4) {
      int16_t& cell = cells[size_t(p[0] >> 3) << 10 | size_t(p[1] >> 3) << 5 | size_t(p[2] >> 3)];
      if (cell < 0) {
        cell = int16_t(nearest.Nearest((p[0] & ~7) + 4, (p[1] & ~7) + 4, (p[2] & ~7) + 4).first);
      }
      owner[i] = uint8_t(cell);
    }
  }
  const int near_count = std::min(kNeighbours, entries);
  std::vector<uint8_t> near(size_t(entries) * size_t(near_count));
  std::vector<int> keys(static_cast<size_t>(entries));
  // Each entry's nearest entries (itself first), by distance and then index.
  for (int e = 0; e < entries; ++e) {
    const uint8_t* t = palette.table.data() + size_t(e) * 4;
    const uint8_t rgb[3] = {t[2], t[1], t[0]};
    for (int j = 0; j < entries; ++j) keys[size_t(j)] = EntryDistance(palette, j, rgb) << 8 | j;
    std::partial_sort(keys.begin(), keys.begin() + near_count, keys.end());
    for (int k = 0; k < near_count; ++k) {
      near[size_t(e) * size_t(near_count) + size_t(k)] = uint8_t(keys[size_t(k)] & 0xFF);
    }
  }
  for (int round = 0; round < kRefineRounds; ++round) {
    std::array<std::array<uint32_t, 4>, 256> sums{};
    const uint8_t* p = sample.pixels.data();
    for (size_t i = 0; i < count; ++i, p += 4) {
      const uint8_t* list = near.data() + size_t(owner[i]) * size_t(near_count);
      int best = INT32_MAX;
      for (int k = 0; k < near_count; ++k) {
        best = std::min(best, EntryDistance(palette, list[k], p) << 8 | list[k]);
      }
      owner[i] = uint8_t(best & 0xFF);
      std::array<uint32_t, 4>& sum = sums[owner[i]];
      sum[0] += p[0], sum[1] += p[1], sum[2] += p[2], ++sum[3];
    }
    for (int e = 0; e < entries; ++e) {
      const std::array<uint32_t, 4>& sum = sums[size_t(e)];
      if (sum[3] == 0) continue;
      uint8_t* entry = palette.table.data() + size_t(e) * 4;
      for (int c = 0; c < 3; ++c) entry[2 - c] = uint8_t((sum[size_t(c)] + sum[3] / 2) / sum[3]);
    }
  }
}

}  // namespace

void QuantizeFrame(const Settings& settings, const RgbaFrame& frame, cDIB& target,
                   Palette& palette) {
  Attr attr = MakeAttr(settings);
  Image image = MakeImage(attr.get(), frame);
  const int step = SampleStep(frame);
  const bool few = HasFewColours(frame);
  liq_result* raw = nullptr;
  RgbaFrame sample;
  if (step == 1 || few) {
    Check(liq_image_quantize(image.get(), attr.get(), &raw), "palette");
  } else {
    sample = Sample(frame, step);
    Image sampled = MakeImage(attr.get(), sample);
    Histogram histogram(liq_histogram_create(attr.get()));
    if (!histogram) Fail(LIQ_OUT_OF_MEMORY, "histogram");
    Check(liq_histogram_add_image(histogram.get(), attr.get(), sampled.get()), "histogram");
    Check(liq_histogram_quantize(histogram.get(), attr.get(), &raw), "palette");
  }
  Result result(raw);
  // Our dithers take any palette; libimagequant's remapping (dither mode 0) keeps its own, and a
  // frame of few colours already has each of them exactly.
  if (few || (settings.dither_mode != 1 && settings.dither_mode != 2)) {
    palette = MapFrame(settings, result.get(), image.get(), frame, target);
    return;
  }
  palette = FromLiq(liq_get_palette(result.get()));
  RefinePalette(step == 1 ? frame : sample, palette);
  if (settings.dither_mode == 1) {
    OrderedDither(frame, palette, target);
  } else {
    Diffuse(frame, palette, DiffusionOf(settings), target, nullptr);
  }
}

Palette FitColours(const Settings& settings, const RgbaFrame& pixels, int max_colors) {
  Settings s = settings;
  s.max_colors = max_colors;
  Attr attr = MakeAttr(s);
  Image image = MakeImage(attr.get(), pixels);
  liq_result* raw = nullptr;
  Check(liq_image_quantize(image.get(), attr.get(), &raw), "palette for new colours");
  Result result(raw);
  return FromLiq(liq_get_palette(result.get()));
}

// Every lane has its own histogram and result built from the same frames, so each holds the
// same palette (libimagequant is deterministic) and lanes remap side by side.
struct SharedPalette::Impl {
  Settings settings;
  Attr attr;
  std::array<Histogram, kLanes> histograms;
  std::array<Result, kLanes> results;
  std::array<std::mutex, kLanes> lane_locks;
  Palette palette;
  bool lanes_agree = false;
  bool any_frame = false;
};

SharedPalette::SharedPalette(const Settings& settings) : impl_(std::make_unique<Impl>()) {
  impl_->settings = settings;
  impl_->attr = MakeAttr(settings);
  for (Histogram& h : impl_->histograms) {
    h.reset(liq_histogram_create(impl_->attr.get()));
    if (!h) Fail(LIQ_OUT_OF_MEMORY, "histogram");
  }
}

SharedPalette::~SharedPalette() = default;

void SharedPalette::Add(const RgbaFrame& frame) {
  if (impl_->results[0]) Raise(kErrInvalidCall, "The palette is already built");
  CheckFrame(frame);
  auto add = [&](int lane) {
    OneLiqThread();
    Image image = MakeImage(impl_->attr.get(), frame);
    Check(liq_histogram_add_image(impl_->histograms[size_t(lane)].get(), impl_->attr.get(),
                                  image.get()),
          "histogram");
  };
  auto second = std::async(std::launch::async, add, 1);
  try {
    add(0);
  } catch (...) {
    second.wait();
    throw;
  }
  second.get();
  impl_->any_frame = true;
}

void SharedPalette::Build() {
  if (!impl_->any_frame) Raise(kErrInvalidCall, "No frame for the palette");
  if (impl_->results[0]) return;
  auto build = [&](int lane) {
    OneLiqThread();
    liq_result* raw = nullptr;
    Check(liq_histogram_quantize(impl_->histograms[size_t(lane)].get(), impl_->attr.get(), &raw),
          "palette");
    Result result(raw);
    return result;
  };
  auto second = std::async(std::launch::async, build, 1);
  Result first;
  try {
    first = build(0);
  } catch (...) {
    second.wait();
    throw;
  }
  impl_->results[1] = second.get();
  impl_->results[0] = std::move(first);
  impl_->palette = FromLiq(liq_get_palette(impl_->results[0].get()));
  impl_->lanes_agree = FromLiq(liq_get_palette(impl_->results[1].get())) == impl_->palette;
}

const Palette& SharedPalette::palette() const {
  return impl_->palette;
}

void SharedPalette::Remap(int lane, const RgbaFrame& frame, cDIB& target, Palette& used) {
  if (!impl_->results[0]) Raise(kErrInvalidCall, "The palette is not built yet");
  const size_t l = impl_->lanes_agree ? size_t(std::clamp(lane, 0, kLanes - 1)) : 0;
  std::lock_guard<std::mutex> hold(impl_->lane_locks[l]);
  OneLiqThread();
  if (impl_->settings.dither_mode == 1) {
    OrderedDither(frame, impl_->palette, target);
    used = impl_->palette;
    return;
  }
  Image image = MakeImage(impl_->attr.get(), frame);
  used = MapFrame(impl_->settings, impl_->results[l].get(), image.get(), frame, target);
}

}  // namespace qm::quantize
