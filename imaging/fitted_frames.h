// fitted_frames: the frames the fitted-palette code (quantize.h) reads and writes, checked in one
// place: a source frame must be whole, and the 8-bit target is made to the frame's size.
// Internal to imaging/; quantize.h's ToRgba, which makes a source frame, is defined beside these.
//
// Errors (RuntimeError, invalid call 5): a frame whose size and pixel count disagree, or a target
// that cannot be made. Threads: no shared state; each call touches only its arguments.
#pragma once

#include <vector>

#include "imaging/cDIB.h"
#include "imaging/quantize.h"

namespace qm::quantize {

// Raises 5 unless the frame has a positive size and exactly width x height RGBA pixels.
void CheckFrame(const RgbaFrame& frame);

// Makes `target` an 8-bit bitmap of the frame's size (kept when it already is one; no colour
// table is set here) and returns its row addresses, top row first. The addresses stay valid while
// the bitmap is not created again.
std::vector<unsigned char*> TargetRows(const RgbaFrame& frame, cDIB& target);

}  // namespace qm::quantize
