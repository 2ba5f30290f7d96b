#include "imaging/fitted_diffusion.h"

#include <algorithm>

#include "imaging/fitted_frames.h"
#include "imaging/nearest_entry.h"
#include "platform/error.h"

namespace qm::quantize {

namespace {

// One row of Diffuse, walked left to right or back. `here` and `below` hold the errors of this row
// and the next, one pixel of margin on each side; the error for the next pixel is carried in a
// register.
template <bool kForward, bool kKeep>
void DiffuseRow(const uint8_t* in_row, const uint8_t* keep_row, const uint8_t* previous_row,
                unsigned char* out, int32_t width, const Diffusion& diffusion, Lanes* here,
                Lanes* below, const Lanes* colours, ExactNearest& nearest) {
  constexpr float kLow = -25.5f, kHigh = 280.5f;
  const float level = diffusion.level, quiet = diffusion.quiet, slack = diffusion.run_slack;
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
    if (size2 < quiet) {
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
    uint8_t q = nearest.Nearest(probe[0], probe[1], probe[2]);
    if (slack > 0.0f && k > 0 && out[x - step] != q) {
      // The entry to the left continues a run, which LZW stores in fewer codes.
      const uint8_t left = out[x - step];
      const Lanes dl = clamped - colours[left], dq = clamped - colours[q];
      const Lanes sl = dl * dl, sq = dq * dq;
      if (sl[0] + sl[1] + sl[2] <= sq[0] + sq[1] + sq[2] + slack) q = left;
    }
    out[x] = q;
    const Lanes e = want - colours[q];
    carry = next + e * (7.0f / 16.0f);
    err_below[-step] += e * (3.0f / 16.0f);
    err_below[0] += e * (5.0f / 16.0f);
    err_below[step] += e * (1.0f / 16.0f);
  }
}

}  // namespace

Diffusion DiffusionOf(const Settings& settings) {
  Diffusion d;
  if (settings.dither_mode != 2) return d;
  d.level = settings.diffusion_level;
  d.quiet = settings.quiet_error;
  d.run_slack = settings.run_slack;
  return d;
}

// Floyd-Steinberg error diffusion, serpentine, with the error's strength scaled by `level` as
// it is read. Two habits keep the noise down: an error that would push a channel far past its
// range is shortened as a whole vector (clamping channels one by one shifts the hue), and an
// error shorter than the quiet length (two levels by default) is not spread at all, so flat
// areas stay flat and compress well.
void Diffuse(const RgbaFrame& frame, const Palette& palette, const Diffusion& diffusion,
             cDIB& target, const KeptPixels* kept) {
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
  Diffusion d = diffusion;
  d.level = std::clamp(d.level, 0.0f, 1.0f);
  d.quiet = std::max(d.quiet, 0.0f);
  d.run_slack = std::max(d.run_slack, 0.0f);
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
               : DiffuseRow<false, true>)(in_row, keep_row, previous_row, out, width, d,
                                          here.data(), below.data(), colours.data(), nearest);
    } else {
      (forward ? DiffuseRow<true, false>
               : DiffuseRow<false, false>)(in_row, nullptr, nullptr, out, width, d, here.data(),
                                           below.data(), colours.data(), nearest);
    }
    std::swap(here, below);
  }
}

}  // namespace qm::quantize
