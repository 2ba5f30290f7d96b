#include "imaging/fitted_new_colours.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <numeric>
#include <utility>

#include "imaging/fitted_frames.h"
#include "imaging/nearest_entry.h"
#include "platform/error.h"

namespace qm::quantize {

namespace {

// The changed pixels are fitted from a sample of at most this many; plenty for a few dozen colours.
constexpr size_t kMostSampled = 6000;
// How many colours are fitted to the changed pixels; only those that pay for their entry get one.
constexpr int kCandidates = 32;
// Below this mean squared distance to their nearest entries (about 3.7 levels in each channel)
// the changed pixels are shown well enough by the palette as it is, and nothing is fitted.
constexpr double kWellShown = 40.0;
// The cost, in squared error, of drawing a kept pixel anew: its bytes, which frame differencing
// could otherwise have left out.
constexpr double kRedrawCost = 16.0;

struct Rgb {
  int r, g, b;
};

Rgb EntryColour(const Palette& palette, int i) {
  const uint8_t* e = palette.table.data() + size_t(i) * 4;
  return {e[2], e[1], e[0]};
}

int Distance(const Rgb& a, const Rgb& b) {
  const int dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b;
  return dr * dr + dg * dg + db * db;
}

// The squared distance from each entry to the nearest other entry, which a kept pixel of that
// entry falls back to when its colour goes.
class Neighbours {
 public:
  explicit Neighbours(const Palette& palette) : palette_(palette) {
    for (int e = 0; e < palette_.entries; ++e) Find(e);
  }
  int distance(int e) const { return distance_[size_t(e)]; }
  // Entry `slot` now holds another colour (or is new): entries that fell back to it look again,
  // and every entry may now fall back to the new colour.
  void Changed(int slot) {
    const Rgb colour = EntryColour(palette_, slot);
    for (int e = 0; e < palette_.entries; ++e) {
      if (e == slot) continue;
      if (nearest_[size_t(e)] == slot) {
        Find(e);
      } else if (const int d = Distance(EntryColour(palette_, e), colour);
                 d < distance_[size_t(e)]) {
        distance_[size_t(e)] = d;
        nearest_[size_t(e)] = slot;
      }
    }
    Find(slot);
  }

 private:
  void Find(int e) {
    const Rgb colour = EntryColour(palette_, e);
    int best = -1, best_d = INT32_MAX;
    for (int j = 0; j < palette_.entries; ++j) {
      if (j == e) continue;
      const int d = Distance(colour, EntryColour(palette_, j));
      if (d < best_d) best_d = d, best = j;
    }
    nearest_[size_t(e)] = best;
    distance_[size_t(e)] = best < 0 ? 0 : best_d;
  }
  const Palette& palette_;
  std::array<int, 256> nearest_{}, distance_{};
};

}  // namespace

int AddNewColours(const Settings& settings, const RgbaFrame& frame, const cDIB& previous,
                  std::vector<uint8_t>& mask, Palette& palette) {
  CheckFrame(frame);
  const int32_t width = frame.width;
  BitsView before;
  MapDIBBits(before, previous);
  if (mask.size() != frame.pixels.size() / 4 || previous.BPP() != 8 || before.columns() < width ||
      before.rows() != frame.height) {
    Raise(kErrInvalidCall, "The previous frame does not match this one");
  }
  if (palette.entries < 1) return 0;

  // What the kept pixels use, and how many pixels are to be mapped anew.
  std::array<uint64_t, 256> usage{};
  size_t changed = 0;
  for (int32_t y = 0; y < frame.height; ++y) {
    const uint8_t* keep = mask.data() + size_t(y) * size_t(width);
    const uint8_t* index = before.row(y).data();
    for (int32_t x = 0; x < width; ++x) {
      if (keep[x]) {
        ++usage[index[x]];
      } else {
        ++changed;
      }
    }
  }
  if (changed == 0) return 0;

  // Every step-th changed pixel, and how far each is from the palette as it is.
  const size_t step = (changed + kMostSampled - 1) / kMostSampled;
  RgbaFrame sample;
  sample.height = 1;
  sample.pixels.reserve((changed / step + 1) * 4);
  size_t seen = 0;
  for (size_t i = 0; i < mask.size(); ++i) {
    if (mask[i]) continue;
    if (seen++ % step == 0) {
      sample.pixels.insert(sample.pixels.end(), frame.pixels.begin() + ptrdiff_t(i * 4),
                           frame.pixels.begin() + ptrdiff_t(i * 4 + 4));
    }
  }
  const size_t sampled = sample.pixels.size() / 4;
  sample.width = int32_t(sampled);
  std::vector<int> now(sampled);
  double total = 0.0;
  const WholeNearest kept(palette);
  for (size_t i = 0; i < sampled; ++i) {
    const uint8_t* p = sample.pixels.data() + i * 4;
    now[i] = kept.Nearest(p[0], p[1], p[2]).second;
    total += now[i];
  }
  if (total <= kWellShown * double(sampled)) return 0;

  // What each fitted colour would save, in squared error over the changed pixels.
  const Palette fitted = FitColours(settings, sample, kCandidates);
  std::vector<double> saving(size_t(fitted.entries), 0.0);
  const double scale = double(changed) / double(sampled);
  const WholeNearest candidates(fitted);
  for (size_t i = 0; i < sampled; ++i) {
    const uint8_t* p = sample.pixels.data() + i * 4;
    const auto [best, d] = candidates.Nearest(p[0], p[1], p[2]);
    if (d < now[i]) saving[size_t(best)] += scale * double(now[i] - d);
  }
  std::vector<int> order(size_t(fitted.entries));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return saving[size_t(a)] > saving[size_t(b)]; });

  // The most saving colours take the cheapest entries while they save more than they cost.
  std::array<bool, 256> taken{}, redrawn{};
  Neighbours neighbours(palette);
  int added = 0;
  for (int c : order) {
    int slot = -1;
    double cost = 0.0;
    if (palette.entries < 256) {
      slot = palette.entries;
    } else {
      double cheapest = -1.0;
      for (int e = 0; e < 256; ++e) {
        if (taken[size_t(e)]) continue;
        const double u = double(usage[size_t(e)]);
        const double c_e = u * (double(neighbours.distance(e)) + kRedrawCost);
        if (cheapest < 0.0 || c_e < cheapest) cheapest = c_e, slot = e;
      }
      cost = cheapest;
    }
    if (slot < 0 || saving[size_t(c)] <= cost) break;
    std::copy_n(fitted.table.begin() + c * 4, 4, palette.table.begin() + slot * 4);
    if (slot == palette.entries) ++palette.entries;
    taken[size_t(slot)] = true;
    redrawn[size_t(slot)] = usage[size_t(slot)] > 0;
    neighbours.Changed(slot);
    ++added;
  }

  if (std::find(redrawn.begin(), redrawn.end(), true) != redrawn.end()) {
    for (int32_t y = 0; y < frame.height; ++y) {
      uint8_t* keep = mask.data() + size_t(y) * size_t(width);
      const uint8_t* index = before.row(y).data();
      for (int32_t x = 0; x < width; ++x) {
        if (redrawn[index[x]]) keep[x] = 0;
      }
    }
  }
  return added;
}

}  // namespace qm::quantize
