// Frames compared (quantize.h's ChangedShare, CoarseHistogram and CommonColours), and frames that
// hardly change mapped (RemapChanges): how much of a frame moved past kKeepTolerance, how many
// colours two frames share, and the mapping that keeps the previous frame's indices where
// nothing changed, so a still background stays exactly the same from frame to frame. Which
// frames keep a palette or count as cuts is the importer's choice (convert/mAVIImp.cpp).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "imaging/fitted_diffusion.h"
#include "imaging/fitted_frames.h"
#include "imaging/fitted_new_colours.h"
#include "imaging/quantize.h"
#include "platform/error.h"

namespace qm::quantize {

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

ColourHistogram CoarseHistogram(const RgbaFrame& frame) {
  CheckFrame(frame);
  ColourHistogram histogram;
  histogram.share.assign(4096, 0.0f);
  std::vector<uint32_t> counts(4096);
  uint32_t total = 0;
  const size_t stride = size_t(frame.width) * 4;
  for (int32_t y = 0; y < frame.height; y += 2) {
    const uint8_t* p = frame.pixels.data() + size_t(y) * stride;
    const uint8_t* const end = p + stride;
    for (; p < end; p += 8, ++total) {
      ++counts[size_t(p[0] >> 4) << 8 | size_t(p[1] >> 4) << 4 | size_t(p[2] >> 4)];
    }
  }
  for (size_t i = 0; i < counts.size(); ++i) histogram.share[i] = float(counts[i]) / float(total);
  return histogram;
}

double CommonColours(const ColourHistogram& a, const ColourHistogram& b) {
  if (a.share.size() != b.share.size()) return 0.0;
  double common = 0.0;
  for (size_t i = 0; i < a.share.size(); ++i) common += std::min(a.share[i], b.share[i]);
  return std::min(common, 1.0);
}

void RemapChanges(const Settings& settings, const RgbaFrame& frame, Palette& palette,
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
  const uint8_t* a = reference.pixels.data();
  for (size_t i = 0; i < count; ++i, a += 4, b += 4) mask[i] = WithinTolerance(a, b);
  AddNewColours(settings, frame, previous, mask, palette);
  for (size_t i = 0; i < count; ++i) {
    if (!mask[i]) std::memcpy(&reference.pixels[i * 4], &frame.pixels[i * 4], 4);
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
  Diffuse(frame, palette, DiffusionOf(settings), target, &kept);
}

}  // namespace qm::quantize
