// The ordered dither onto a fitted palette (quantize.h's OrderedDither, --dither ordered of the
// global and local palette modes): a Bayer 8 x 8 threshold offset on every channel, one palette
// spacing wide, then the nearest entry from the cached cells of nearest_entry.h. Unlike the
// diffusion it has no state from pixel to pixel.
#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "imaging/fitted_frames.h"
#include "imaging/nearest_entry.h"
#include "imaging/quantize.h"
#include "platform/error.h"

namespace qm::quantize {

namespace {

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

}  // namespace qm::quantize
