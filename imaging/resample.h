// Output sizes and resampling for conversions with a size limit (--width / --height).
//
// Fitting: the largest rectangle of a picture's aspect ratio inside a box, centred, each side at
// least one pixel (a thin strip never rounds away). cDIB::GetBestFitInfo uses the same
// arithmetic, so frames fitted here and there agree.
//
// Resampling: libswscale's Lanczos filter on each colour channel separately (planar RGB in and
// out, so there is no trip through YUV and no chroma subsampling).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/gdi.h"
#include "platform/picture_io.h"

namespace qm {

struct FitRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  friend bool operator==(const FitRect&, const FitRect&) = default;
};

// Where a picture of `picture` size goes inside a box_width x box_height box: with `enlarge`
// false a picture that already fits keeps its size. Centred. An empty picture gives an empty
// rectangle.
FitRect FitInBox(PictureSize picture, int32_t box_width, int32_t box_height, bool enlarge);

// The size a picture becomes under a limit of max_width x max_height (0: that side unlimited):
// aspect ratio kept, never enlarged, each side at least 1 pixel.
PictureSize FitWithin(PictureSize picture, int32_t max_width, int32_t max_height);

// `source` (32 bits per pixel, either row order) resampled to width x height as a 32-bit
// top-down bitmap whose fourth byte is 0. nullptr when the size is not positive or the memory or
// the scaler cannot be had.
std::unique_ptr<gdi::DibSection> Resample(const gdi::DibSection& source, int32_t width,
                                          int32_t height);

}  // namespace qm
