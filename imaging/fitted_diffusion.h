// fitted_diffusion: our Floyd-Steinberg error diffusion of a frame onto a fitted palette, the
// --dither diffusion of the global and local palette modes (quantize.h's Settings, dither_mode 2).
// It walks the frame serially (each pixel's error reaches the next row), finding each diffused
// colour's exact nearest entry with nearest_entry.h. Internal to imaging/; quantize.cpp and
// frame_changes.cpp call it.
//
// Ownership: reads the frame, the palette and the kept pixels only during the call; writes the
// target. Errors (RuntimeError, invalid call 5): a frame that is not whole, an empty palette, or
// kept pixels whose mask or previous bitmap does not match the frame. Threads: no shared state;
// frames may be diffused side by side.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/cDIB.h"
#include "imaging/quantize.h"

namespace qm::quantize {

// Pixels that keep the index they had in the previous frame (mask 1) instead of being mapped.
// The mask holds one byte per pixel, rows top-down; `previous` is the previous frame's 8-bit
// bitmap of the same size.
struct KeptPixels {
  const std::vector<uint8_t>& mask;
  const cDIB& previous;
};

// How Diffuse spreads the error.
struct Diffusion {
  float level = 0.0f;      // 0..1 of full strength; 0 is the plain nearest entry
  float quiet = 4.0f;      // a carried error of a smaller squared length is dropped
  float run_slack = 0.0f;  // see Settings::run_slack
};
// The diffusion the settings ask for (level 0 unless dither_mode is 2).
Diffusion DiffusionOf(const Settings& settings);

// Maps `frame` onto `palette` into `target` (an 8-bit bitmap of the frame's size, made when it is
// not one). With `kept`, the kept pixels take their previous index and spread no error. A pixel
// takes the entry of the pixel before it in its row instead of the nearest one when that adds at
// most `run_slack` to its squared error; the error of the entry taken carries.
void Diffuse(const RgbaFrame& frame, const Palette& palette, const Diffusion& diffusion,
             cDIB& target, const KeptPixels* kept);

}  // namespace qm::quantize
