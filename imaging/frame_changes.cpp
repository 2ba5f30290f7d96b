// Frames that hardly change (quantize.h's ChangedShare and RemapChanges): how much of a frame
// moved past kKeepTolerance, and the mapping that keeps the previous frame's indices where
// nothing did, so a still background stays exactly the same from frame to frame. Which frames
// keep a palette is the importer's choice (convert/mAVIImp.cpp); this is how they keep it.
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
  Diffuse(frame, palette, settings.dither_mode == 2 ? settings.diffusion_level : 0.0f, target,
          &kept);
}

}  // namespace qm::quantize
