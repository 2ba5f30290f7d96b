// fitted_new_colours: room in a kept palette for the colours it lacks. A frame that keeps the
// previous frame's palette (frame_changes.cpp) may bring colours that palette never had: an object
// turning another colour, a caption in a new hue. Without entries of their own such pixels take
// the nearest old colours however far off they are. Here colours fitted to the changed pixels
// replace entries that no kept pixel uses, or entries whose few kept pixels a neighbouring entry
// shows almost as well, wherever that lowers the error by more than it costs. Internal to imaging/.
//
// Ownership: reads the frame and the previous bitmap only during the call; changes the palette and
// the mask in place. Errors (RuntimeError): invalid call (5) when the mask or the previous bitmap
// does not match the frame; libimagequant's failures as FitColours raises them. Threads: no shared
// state; frames may be handled side by side.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/cDIB.h"
#include "imaging/quantize.h"

namespace qm::quantize {

// `mask` holds one byte per pixel, rows top-down: 1 where the pixel keeps its index in `previous`
// (the previous frame's 8-bit bitmap, indices into `palette`), 0 where it is to be mapped anew.
// Entries may change colour in place and the palette may grow to 256; every kept pixel whose entry
// changed colour gets mask 0, so no kept pixel shows anything but the colour it showed before.
// Returns the number of entries given new colours.
int AddNewColours(const Settings& settings, const RgbaFrame& frame, const cDIB& previous,
                  std::vector<uint8_t>& mask, Palette& palette);

}  // namespace qm::quantize
