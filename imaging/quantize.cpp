#include "imaging/quantize.h"

#include <libimagequant.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>
#include <mutex>
#include <span>
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

// Pixels that keep the index they had in the previous frame (mask 1) instead of being mapped.
struct KeptPixels {
  const std::vector<uint8_t>& mask;
  const cDIB& previous;
};

void Diffuse(const RgbaFrame& frame, const Palette& palette, float level, cDIB& target,
             const KeptPixels* kept);

// Remaps with libimagequant (nearest), diffuses the error onto its palette or dithers in order.
Palette MapFrame(const Settings& s, liq_result* result, liq_image* image, const RgbaFrame& frame,
                 cDIB& target) {
  if (s.dither_mode == 1 || s.dither_mode == 2) {
    Palette palette = FromLiq(liq_get_palette(result));
    if (s.dither_mode == 1) OrderedDither(frame, palette, target);
    if (s.dither_mode == 2) Diffuse(frame, palette, s.diffusion_level, target, nullptr);
    return palette;
  }
  std::vector<unsigned char*> rows = TargetRows(frame, target);
  Check(liq_set_dithering_level(result, 0.0f), "dithering level");
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

// A palette's colours as separate channels, and the squared RGB distance to one of them.
class PaletteColours {
 public:
  explicit PaletteColours(const Palette& palette) : count_(palette.entries) {
    for (int i = 0; i < count_; ++i) {
      b_[size_t(i)] = palette.table[size_t(i) * 4];
      g_[size_t(i)] = palette.table[size_t(i) * 4 + 1];
      r_[size_t(i)] = palette.table[size_t(i) * 4 + 2];
    }
  }
  int red(int i) const { return r_[size_t(i)]; }
  int green(int i) const { return g_[size_t(i)]; }
  int blue(int i) const { return b_[size_t(i)]; }

 protected:
  int Distance(int r, int g, int b, int i) const {
    const int dr = r - r_[size_t(i)], dg = g - g_[size_t(i)], db = b - b_[size_t(i)];
    return dr * dr + dg * dg + db * db;
  }
  int count_;
  std::array<int, 256> r_{}, g_{}, b_{};
};

// Nearest palette entry of a colour, cached per cell of 6 bits a channel (filled on first use:
// a frame touches a fraction of the cells).
class NearestCache : public PaletteColours {
 public:
  explicit NearestCache(const Palette& palette) : PaletteColours(palette) {
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
      const int d = Distance(r, g, b, i);
      if (d < best_d) best_d = d, best = i;
    }
    return uint16_t(best);
  }
  std::vector<uint16_t> cells_;
};

// Four floats or integers in one register: a pixel's red, green, blue and an unused lane in the
// diffusion (every lane does the same IEEE single-precision arithmetic the channels would do one
// by one), or four palette entries in the nearest-entry search.
using Lanes = float __attribute__((vector_size(16)));
using IntLanes = int32_t __attribute__((vector_size(16)));

// The exact nearest palette entry by squared RGB distance. The colour cube is cut into cells; a
// cell's candidates, made on first use, are the entries that can be nearest to some colour in it
// (no farther from the cell than the nearest farthest entry), in order of their distance from the
// cell, so a search stops at the first candidate farther than its best so far. Small cells keep
// the lists short; each is made from the list of the large cell around it, which already holds
// every entry that can be nearest there. Error diffusion needs the exact answer: on a palette of
// close shades an approximate one is noise.
class ExactNearest : public PaletteColours {
 public:
  explicit ExactNearest(const Palette& palette) : PaletteColours(palette) {
    for (int i = 0; i < count_; ++i) {
      palette_.push_back(
          {0, uint8_t(r_[size_t(i)]), uint8_t(g_[size_t(i)]), uint8_t(b_[size_t(i)]), uint8_t(i)});
    }
    seen_.assign(kSeen, kNone);
    seen_index_.resize(kSeen);
  }
  // Diffused colours repeat: the last answer for each of many exact colours is kept.
  uint8_t Nearest(int r, int g, int b) {
    const uint32_t colour = uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
    const size_t slot = (colour * 2654435761u) >> (32 - kSeenBits);
    if (seen_[slot] == colour) return seen_index_[slot];
    const uint8_t index = Search(r, g, b);
    seen_[slot] = colour;
    seen_index_[slot] = index;
    return index;
  }

 private:
  struct Candidate {
    int32_t near;  // squared distance from the cell
    uint8_t red, green, blue, index;
  };

  static constexpr uint32_t kUnmade = UINT32_MAX;

  // Candidate lists of cells 2^(8 - kBits) levels wide.
  template <int kBits>
  class Cells {
   public:
    static constexpr size_t kCount = size_t(1) << (3 * kBits);
    Cells() : first_(kCount, kUnmade), counts_(kCount) {}
    static size_t CellOf(int r, int g, int b) {
      return size_t(r >> kShift) << (2 * kBits) | size_t(g >> kShift) << kBits |
             size_t(b >> kShift);
    }
    bool Made(size_t cell) const { return first_[cell] != kUnmade; }
    std::span<const Candidate> List(size_t cell) const {
      return {candidates_.data() + first_[cell], counts_[cell]};
    }
    // Makes the cell's list from `from`, which holds every entry that can be nearest in it.
    void Make(size_t cell, std::span<const Candidate> from) {
      const size_t start = candidates_.size();
      Collect(cell, from, candidates_);
      first_[cell] = uint32_t(start);
      counts_[cell] = uint16_t(candidates_.size() - start);
    }
    // Appends the cell's list, made from `from`, to `out`.
    static void Collect(size_t cell, std::span<const Candidate> from, std::vector<Candidate>& out) {
      constexpr int kMask = (1 << kBits) - 1, kSide = (1 << kShift) - 1;
      const int lo[3] = {int(cell >> (2 * kBits)) << kShift, (int(cell >> kBits) & kMask) << kShift,
                         (int(cell) & kMask) << kShift};
      const size_t start = out.size();
      int limit = INT32_MAX;
      for (const Candidate& e : from) {
        const int c[3] = {e.red, e.green, e.blue};
        int n = 0, f = 0;
        for (int k = 0; k < 3; ++k) {
          const int v = c[k], l = lo[k], h = lo[k] + kSide;
          const int a = v < l ? l - v : v > h ? v - h : 0, z = std::max(v - l, h - v);
          n += a * a;
          f += z * z;
        }
        limit = std::min(limit, f);
        if (n <= limit) out.push_back({n, e.red, e.green, e.blue, e.index});
      }
      // Entries kept before the limit came down to its final value are dropped now.
      const auto kept = std::remove_if(out.begin() + ptrdiff_t(start), out.end(),
                                       [limit](const Candidate& e) { return e.near > limit; });
      out.erase(kept, out.end());
      std::sort(out.begin() + ptrdiff_t(start), out.end(),
                [](const Candidate& x, const Candidate& y) {
                  return x.near != y.near ? x.near < y.near : x.index < y.index;
                });
    }

   private:
    static constexpr int kShift = 8 - kBits;
    std::vector<uint32_t> first_;
    std::vector<uint16_t> counts_;
    std::vector<Candidate> candidates_;
  };

  // Four candidates of a small cell's list side by side. Distances are at most 3 * 255^2 and
  // exact in single precision; the padding lanes lie so far off that they never win.
  struct Block {
    Lanes red, green, blue;
    IntLanes index;
    int32_t near;  // of the block's first candidate, the nearest of the four
  };

  // Packs a small cell's list into blocks and notes where they are.
  void MakeBlocks(size_t fine, std::span<const Candidate> list) {
    block_first_[fine] = uint32_t(blocks_.size());
    block_count_[fine] = uint16_t((list.size() + 3) / 4);
    for (size_t i = 0; i < list.size(); i += 4) {
      Block block{{kFar, kFar, kFar, kFar},
                  {kFar, kFar, kFar, kFar},
                  {kFar, kFar, kFar, kFar},
                  {255, 255, 255, 255},
                  list[i].near};
      for (size_t k = 0; k < 4 && i + k < list.size(); ++k) {
        const Candidate& c = list[i + k];
        block.red[k] = c.red, block.green[k] = c.green, block.blue[k] = c.blue;
        block.index[k] = c.index;
      }
      blocks_.push_back(block);
    }
  }

  // The lowest (distance, index) of the guess and the list, four candidates at a time: a block
  // is looked at while its nearest candidate is no farther than the best so far, so none that
  // could win or tie is skipped.
  uint8_t Search(int r, int g, int b) {
    const size_t fine = Fine::CellOf(r, g, b);
    if (block_first_[fine] == kUnmade) {
      const size_t coarse = coarse_.CellOf(r, g, b);
      if (!coarse_.Made(coarse)) coarse_.Make(coarse, palette_);
      list_.clear();
      Fine::Collect(fine, coarse_.List(coarse), list_);
      MakeBlocks(fine, list_);
    }
    int32_t best = Distance(r, g, b, guess_) << 8 | guess_;
    IntLanes best_lanes = {best, best, best, best};
    const Lanes red = {float(r), float(r), float(r), float(r)};
    const Lanes green = {float(g), float(g), float(g), float(g)};
    const Lanes blue = {float(b), float(b), float(b), float(b)};
    const Block* block = blocks_.data() + block_first_[fine];
    const Block* const end = block + block_count_[fine];
    for (; block != end && block->near <= best >> 8; ++block) {
      const Lanes dr = red - block->red, dg = green - block->green, db = blue - block->blue;
      const IntLanes d = __builtin_convertvector(dr * dr + dg * dg + db * db, IntLanes);
      const IntLanes key = d << 8 | block->index;
      best_lanes = key < best_lanes ? key : best_lanes;
      const IntLanes half = __builtin_shufflevector(best_lanes, best_lanes, 2, 3, 0, 1);
      const IntLanes two = half < best_lanes ? half : best_lanes;
      best = std::min(two[0], two[1]);
    }
    guess_ = best & 0xFF;
    return uint8_t(guess_);
  }

  static constexpr int kSeenBits = 15;
  static constexpr size_t kSeen = size_t(1) << kSeenBits;
  static constexpr uint32_t kNone = UINT32_MAX;  // no colour: colours have 24 bits
  std::vector<Candidate> palette_;
  using Fine = Cells<5>;  // only their blocks are kept
  Cells<4> coarse_;
  int guess_ = 0;  // the last answer: neighbouring pixels are usually near the same entry
  static constexpr float kFar = -1000.0f;  // (1255^2 * 3) << 8 still fits 31 bits
  std::vector<Candidate> list_;            // a small cell's list on its way into blocks
  std::vector<Block> blocks_;
  std::vector<uint32_t> block_first_ = std::vector<uint32_t>(Fine::kCount, kUnmade);
  std::vector<uint16_t> block_count_ = std::vector<uint16_t>(Fine::kCount);
  std::vector<uint32_t> seen_;
  std::vector<uint8_t> seen_index_;
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

// One row of Diffuse, walked left to right or back. `here` and `below` hold the errors of this row
// and the next, one pixel of margin on each side; the error for the next pixel is carried in a
// register.
template <bool kForward, bool kKeep>
void DiffuseRow(const uint8_t* in_row, const uint8_t* keep_row, const uint8_t* previous_row,
                unsigned char* out, int32_t width, float level, Lanes* here, Lanes* below,
                const Lanes* colours, ExactNearest& nearest) {
  constexpr float kLow = -25.5f, kHigh = 280.5f, kQuiet = 4.0f;
  constexpr ptrdiff_t step = kForward ? 1 : -1;
  const Lanes zero = {0, 0, 0, 0}, top = {255, 255, 255, 255}, half = {0.5f, 0.5f, 0.5f, 0.5f};
  int32_t x = kForward ? 0 : width - 1;
  Lanes carry = here[x + 1];
  for (int32_t k = 0; k < width; ++k, x += int32_t(step)) {
    Lanes* const err_below = below + (x + 1);
    const Lanes next = here[x + 1 + step];
    if (kKeep && keep_row[x]) {
      out[x] = previous_row[x];
      carry = next;
      continue;
    }
    const uint8_t* in = in_row + size_t(x) * 4;
    const Lanes source = {float(in[0]), float(in[1]), float(in[2]), 0.0f};
    const Lanes spread = carry * level;
    const Lanes squares = spread * spread;
    const float size2 = squares[0] + squares[1] + squares[2];
    const Lanes v = source + spread;
    float ratio = 1.0f;
    if (size2 < kQuiet) {
      ratio = 0.0f;
    } else if (__builtin_expect(v[0] > kHigh || v[1] > kHigh || v[2] > kHigh || v[0] < kLow ||
                                    v[1] < kLow || v[2] < kLow,
                                0)) {
      for (int c = 0; c < 3; ++c) {
        if (v[c] > kHigh) ratio = std::min(ratio, (kHigh - source[c]) / spread[c]);
        if (v[c] < kLow) ratio = std::min(ratio, (kLow - source[c]) / spread[c]);
      }
    }
    const Lanes want = source + spread * ratio;
    Lanes clamped = want < zero ? zero : want;
    clamped = top < clamped ? top : clamped;
    const IntLanes probe = __builtin_convertvector(clamped + half, IntLanes);
    const uint8_t q = nearest.Nearest(probe[0], probe[1], probe[2]);
    out[x] = q;
    const Lanes e = want - colours[q];
    carry = next + e * (7.0f / 16.0f);
    err_below[-step] += e * (3.0f / 16.0f);
    err_below[0] += e * (5.0f / 16.0f);
    err_below[step] += e * (1.0f / 16.0f);
  }
}

// Floyd-Steinberg error diffusion, serpentine, with the error's strength scaled by `level` as
// it is read. Two habits keep the noise down: an error that would push a channel far past its
// range is shortened as a whole vector (clamping channels one by one shifts the hue), and an
// error under two levels is not spread at all, so flat areas stay flat and compress well.
void Diffuse(const RgbaFrame& frame, const Palette& palette, float level, cDIB& target,
             const KeptPixels* kept) {
  CheckFrame(frame);
  if (palette.entries < 1) Raise(kErrInvalidCall, "Error diffusion needs a palette");
  const int32_t width = frame.width;
  BitsView previous;
  if (kept) {
    MapDIBBits(previous, kept->previous);
    if (kept->mask.size() != frame.pixels.size() / 4 || previous.columns() < width ||
        previous.rows() != frame.height) {
      Raise(kErrInvalidCall, "The previous frame does not match this one");
    }
  }
  std::vector<unsigned char*> rows = TargetRows(frame, target);
  ExactNearest nearest(palette);
  std::vector<Lanes> colours(256, Lanes{0, 0, 0, 0});
  for (int i = 0; i < palette.entries; ++i) {
    colours[size_t(i)] =
        Lanes{float(nearest.red(i)), float(nearest.green(i)), float(nearest.blue(i)), 0.0f};
  }
  level = std::clamp(level, 0.0f, 1.0f);
  std::vector<Lanes> here(size_t(width) + 2, Lanes{0, 0, 0, 0});
  std::vector<Lanes> below(size_t(width) + 2);
  for (int32_t y = 0; y < frame.height; ++y) {
    std::fill(below.begin(), below.end(), Lanes{0, 0, 0, 0});
    const uint8_t* in_row = frame.pixels.data() + size_t(y) * size_t(width) * 4;
    unsigned char* out = rows[size_t(y)];
    const bool forward = (y & 1) == 0;
    if (kept) {
      const uint8_t* keep_row = kept->mask.data() + size_t(y) * size_t(width);
      const uint8_t* previous_row = previous.row(y).data();
      (forward ? DiffuseRow<true, true>
               : DiffuseRow<false, true>)(in_row, keep_row, previous_row, out, width, level,
                                          here.data(), below.data(), colours.data(), nearest);
    } else {
      (forward ? DiffuseRow<true, false>
               : DiffuseRow<false, false>)(in_row, nullptr, nullptr, out, width, level, here.data(),
                                           below.data(), colours.data(), nearest);
    }
    std::swap(here, below);
  }
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

// The sampling step for a frame's palette: at most 24 000 pixels are plenty for 256 colours.
int SampleStep(const RgbaFrame& frame) {
  const double pixels = double(frame.width) * double(frame.height);
  return std::clamp(int(std::ceil(std::sqrt(pixels / 24000.0))), 1, 8);
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
  const int step = SampleStep(frame);
  liq_result* raw = nullptr;
  if (step == 1 || HasFewColours(frame)) {
    Check(liq_image_quantize(image.get(), attr.get(), &raw), "palette");
  } else {
    const RgbaFrame sample = Sample(frame, step);
    Image sampled = MakeImage(attr.get(), sample);
    Histogram histogram(liq_histogram_create(attr.get()));
    if (!histogram) Fail(LIQ_OUT_OF_MEMORY, "histogram");
    Check(liq_histogram_add_image(histogram.get(), attr.get(), sampled.get()), "histogram");
    Check(liq_histogram_quantize(histogram.get(), attr.get(), &raw), "palette");
  }
  Result result(raw);
  palette = MapFrame(settings, result.get(), image.get(), frame, target);
}

namespace {

// Whether no channel of the two RGBA pixels differs by more than kKeepTolerance.
bool WithinTolerance(const uint8_t* a, const uint8_t* b) {
  return std::abs(a[0] - b[0]) <= kKeepTolerance && std::abs(a[1] - b[1]) <= kKeepTolerance &&
         std::abs(a[2] - b[2]) <= kKeepTolerance;
}

}  // namespace

double ChangedShare(const RgbaFrame& reference, const RgbaFrame& frame) {
  CheckFrame(reference);
  CheckFrame(frame);
  if (reference.width != frame.width || reference.height != frame.height) return 1.0;
  size_t changed = 0;
  const uint8_t *a = reference.pixels.data(), *b = frame.pixels.data();
  const size_t count = frame.pixels.size() / 4;
  for (size_t i = 0; i < count; ++i, a += 4, b += 4) {
    changed += !WithinTolerance(a, b);
  }
  return double(changed) / double(count);
}

void RemapChanges(const Settings& settings, const RgbaFrame& frame, const Palette& palette,
                  const cDIB& previous, RgbaFrame& reference, cDIB& target) {
  CheckFrame(frame);
  CheckFrame(reference);
  if (reference.width != frame.width || reference.height != frame.height || previous.BPP() != 8 ||
      previous.Width() != frame.width || previous.Height() != frame.height) {
    Raise(kErrInvalidCall, "The previous frame does not match this one");
  }
  if (palette.entries < 1) Raise(kErrInvalidCall, "Remapping needs a palette");
  const size_t count = frame.pixels.size() / 4;
  std::vector<uint8_t> mask(count);
  const uint8_t* b = frame.pixels.data();
  uint8_t* a = reference.pixels.data();
  for (size_t i = 0; i < count; ++i, a += 4, b += 4) {
    const bool keep = WithinTolerance(a, b);
    mask[i] = keep;
    if (!keep) std::memcpy(a, b, 4);
  }
  const KeptPixels kept{mask, previous};
  if (settings.dither_mode == 1) {
    OrderedDither(frame, palette, target);
    BitsView from, to;
    MapDIBBits(from, previous);
    MapDIBBits(to, target);
    for (int32_t y = 0; y < frame.height; ++y) {
      const uint8_t* keep_row = mask.data() + size_t(y) * size_t(frame.width);
      const uint8_t* in = from.row(y).data();
      uint8_t* out = to.row(y).data();
      for (int32_t x = 0; x < frame.width; ++x) {
        if (keep_row[x]) out[x] = in[x];
      }
    }
    return;
  }
  Diffuse(frame, palette, settings.dither_mode == 2 ? settings.diffusion_level : 0.0f, target,
          &kept);
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
