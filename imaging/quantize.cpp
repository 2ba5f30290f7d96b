#include "imaging/quantize.h"

#include <libimagequant.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <mutex>
#include <string>

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

void CheckFrame(const RgbaFrame& frame) {
  if (frame.width <= 0 || frame.height <= 0 ||
      frame.pixels.size() != size_t(frame.width) * size_t(frame.height) * 4) {
    Raise(kErrInvalidCall, "Colour quantisation needs a whole 32-bit frame");
  }
}

Image MakeImage(const liq_attr* attr, const RgbaFrame& frame) {
  CheckFrame(frame);
  Image image(liq_image_create_rgba(attr, frame.pixels.data(), frame.width, frame.height, 0));
  if (!image) Fail(LIQ_VALUE_OUT_OF_RANGE, "frame size");
  return image;
}

// The 8-bit target of the frame's size and its row addresses.
std::vector<unsigned char*> TargetRows(const RgbaFrame& frame, cDIB& target) {
  if (target.BPP() != 8 || target.Width() != frame.width || target.Height() != frame.height) {
    if (!target.Create(frame.width, frame.height, 8)) {
      Raise(kErrInvalidCall, "No 8-bit bitmap for the frame");
    }
  }
  BitsView view;
  MapDIBBits(view, target);
  std::vector<unsigned char*> rows(size_t(frame.height));
  for (int32_t y = 0; y < frame.height; ++y) rows[size_t(y)] = view.row(y).data();
  return rows;
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

float LiqDitherLevel(const Settings& s) {
  return s.dither_mode == 2 ? std::clamp(s.diffusion_level, 0.0f, 1.0f) : 0.0f;
}

// Remaps with libimagequant (nearest or diffusion) or dithers in order onto its palette.
Palette MapFrame(const Settings& s, liq_result* result, liq_image* image, const RgbaFrame& frame,
                 cDIB& target) {
  if (s.dither_mode == 1) {
    Palette palette = FromLiq(liq_get_palette(result));
    OrderedDither(frame, palette, target);
    return palette;
  }
  std::vector<unsigned char*> rows = TargetRows(frame, target);
  Check(liq_set_dithering_level(result, LiqDitherLevel(s)), "dithering level");
  Check(liq_write_remapped_image_rows(result, image, rows.data()), "remapping");
  return FromLiq(liq_get_palette(result));
}

// Bayer 8 x 8 thresholds, 0..63.
constexpr std::array<std::array<uint8_t, 8>, 8> kBayer8 = {{
    {0, 32, 8, 40, 2, 34, 10, 42},
    {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38},
    {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},
    {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37},
    {63, 31, 55, 23, 61, 29, 53, 21},
}};

// Nearest palette entry of a colour, cached per cell of 6 bits a channel (filled on first use:
// a frame touches a fraction of the cells).
class NearestCache {
 public:
  explicit NearestCache(const Palette& palette) : count_(palette.entries) {
    for (int i = 0; i < count_; ++i) {
      b_[size_t(i)] = palette.table[size_t(i) * 4];
      g_[size_t(i)] = palette.table[size_t(i) * 4 + 1];
      r_[size_t(i)] = palette.table[size_t(i) * 4 + 2];
    }
    cells_.assign(size_t(1) << 18, kEmpty);
  }
  uint8_t Nearest(int r, int g, int b) {
    const size_t cell = size_t(r >> 2) << 12 | size_t(g >> 2) << 6 | size_t(b >> 2);
    uint16_t& hit = cells_[cell];
    if (hit == kEmpty) hit = Search((r & ~3) + 2, (g & ~3) + 2, (b & ~3) + 2);
    return uint8_t(hit);
  }

 private:
  static constexpr uint16_t kEmpty = 0xFFFF;
  uint16_t Search(int r, int g, int b) const {
    int best = 0, best_d = INT32_MAX;
    for (int i = 0; i < count_; ++i) {
      const int dr = r - r_[size_t(i)], dg = g - g_[size_t(i)], db = b - b_[size_t(i)];
      const int d = dr * dr + dg * dg + db * db;
      if (d < best_d) best_d = d, best = i;
    }
    return uint16_t(best);
  }
  int count_;
  std::array<int, 256> r_{}, g_{}, b_{};
  std::vector<uint16_t> cells_;
};

// How far apart the palette's colours typically are: the median distance from an entry to its
// nearest other entry. Dithering by about that much spreads a colour between its neighbours.
double PaletteSpacing(const Palette& p) {
  if (p.entries < 2) return 0.0;
  std::vector<double> nearest;
  nearest.reserve(size_t(p.entries));
  for (int i = 0; i < p.entries; ++i) {
    int best = INT32_MAX;
    for (int j = 0; j < p.entries; ++j) {
      if (j == i) continue;
      int d = 0;
      for (int c = 0; c < 3; ++c) {
        const int e = int(p.table[size_t(i) * 4 + c]) - int(p.table[size_t(j) * 4 + c]);
        d += e * e;
      }
      best = std::min(best, d);
    }
    nearest.push_back(std::sqrt(double(best)));
  }
  std::nth_element(nearest.begin(), nearest.begin() + nearest.size() / 2, nearest.end());
  return nearest[nearest.size() / 2];
}

}  // namespace

RgbaFrame ToRgba(const cDIB& frame32) {
  if (frame32.BPP() != 32 || frame32.Width() <= 0 || frame32.Height() <= 0) {
    Raise(kErrInvalidCall, "Colour quantisation needs a 32-bit frame");
  }
  RgbaFrame frame;
  frame.width = frame32.Width();
  frame.height = frame32.Height();
  frame.pixels.resize(size_t(frame.width) * size_t(frame.height) * 4);
  PixelView view;
  MapDIBPixels(view, frame32);
  uint8_t* out = frame.pixels.data();
  for (int32_t y = 0; y < frame.height; ++y) {
    for (const Pixel32& p : view.row(y)) {
      out[0] = p.red, out[1] = p.green, out[2] = p.blue, out[3] = 255;
      out += 4;
    }
  }
  return frame;
}

void OrderedDither(const RgbaFrame& frame, const Palette& palette, cDIB& target) {
  CheckFrame(frame);
  if (palette.entries < 1) Raise(kErrInvalidCall, "Ordered dithering needs a palette");
  std::vector<unsigned char*> rows = TargetRows(frame, target);
  NearestCache nearest(palette);
  const double spread = PaletteSpacing(palette);
  // offset[t] for Bayer threshold t: centred on zero, spanning one palette spacing.
  std::array<int, 64> offset{};
  for (int t = 0; t < 64; ++t)
    offset[size_t(t)] = int(std::lround(((t + 0.5) / 64.0 - 0.5) * spread));
  for (int32_t y = 0; y < frame.height; ++y) {
    const std::array<uint8_t, 8>& bayer = kBayer8[size_t(y) & 7];
    std::array<int, 8> row_offset;
    for (size_t i = 0; i < 8; ++i) row_offset[i] = offset[bayer[i]];
    const uint8_t* in = frame.pixels.data() + size_t(y) * size_t(frame.width) * 4;
    unsigned char* out = rows[size_t(y)];
    for (int32_t x = 0; x < frame.width; ++x, in += 4) {
      const int o = row_offset[size_t(x) & 7];
      out[x] = nearest.Nearest(std::clamp(in[0] + o, 0, 255), std::clamp(in[1] + o, 0, 255),
                               std::clamp(in[2] + o, 0, 255));
    }
  }
}

void QuantizeFrame(const Settings& settings, const RgbaFrame& frame, cDIB& target,
                   Palette& palette) {
  Attr attr = MakeAttr(settings);
  Image image = MakeImage(attr.get(), frame);
  liq_result* raw = nullptr;
  Check(liq_image_quantize(image.get(), attr.get(), &raw), "palette");
  Result result(raw);
  palette = MapFrame(settings, result.get(), image.get(), frame, target);
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
    Check(liq_set_dithering_level(result.get(), LiqDitherLevel(impl_->settings)),
          "dithering level");
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
