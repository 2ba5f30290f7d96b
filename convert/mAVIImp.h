// ImportAVI: reads the video stream of an AVI file frame by frame into a cGIF animation. Every
// frame is stretch-copied into a 32-bit work bitmap, reduced onto one palette shared by all
// frames (ReduceColors, in a reduction context of the import's own set to `palettes`; the palette
// is built on the first frame; `palettes` can choose palettes fitted to the frames instead), and
// given disposal method 3 and the delay the stream's rate implies, in hundredths of a second,
// unless `timing` sets that frame's delay. At the end the logical screen is the frame size and the
// global palette is the shared one; every frame's local palette holds a copy of it.
//
// Result: true when every frame of the stream was read. A file that is not an AVI, has no video
// stream or a frame that cannot be decoded gives false without a message of its own (the frames
// read so far stay in `gif`). Any run-time error is trapped here: error 53 shows "I need to
// install the software using Inno.", any other the common error report; the import then goes
// on with its next step. Messages, progress and one Yield per frame go through `host` (the
// current host when none is named). After each Yield the host's cancel request ends the import
// with false. A stream longer
// than an animation holds (kMaxGifFrames) is an overflow error (6) and imports nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "platform/host.h"

namespace qm {

// Frame delays the user chose, in hundredths of a second; -1 and an empty list leave the delay the
// stream's rate gives. `delays_cs` is taken in frame order, its last value repeating for the
// frames after it. The holds win over the list for their frame; a single frame is both first and
// last and takes hold_last_cs when both are set (it is the pause before the animation restarts).
struct FrameTiming {
  int32_t hold_first_cs = -1;
  int32_t hold_last_cs = -1;
  std::vector<int32_t> delays_cs;
};

// How the frames get their colours. Palette modes 0 and 1 are the classic ones (mDither8bpp's
// halftone cube and optimal palette, with its dither modes 0 nearest, 1 ordered (4 x 4), 2 error
// diffusion). Mode 2 builds
// one palette from every frame (a first pass over the video) and writes it as the global table;
// mode 3 gives every frame a palette of its own in its local table and writes no global table.
// In modes 2 and 3 dither_mode is 0 nearest, 1 ordered, 2 error diffusion.
struct FramePalettes {
  int32_t palette_mode = 0;
  int32_t dither_mode = 1;
};

bool ImportAVI(std::string filename, cGIF& gif, const FrameTiming& timing = {},
               const FramePalettes& palettes = {}, Host& host = CurrentHost());

// The delay of frame `frame` (1-based) of `frames`, given the delay the rate implies. A chosen
// delay is clamped to 0..32767, what the frame record holds.
int16_t ChosenFrameDelay(const FrameTiming& timing, int32_t frame, int32_t frames,
                         int16_t rate_delay);

// The GIF delay (hundredths of a second) of each frame of `frames` frames whose stream ends at
// `end_time_ms`: the per-frame time rounded to a millisecond, then to a hundredth, halves to even.
int16_t FrameDelayFromStream(int32_t end_time_ms, int32_t frames);

}  // namespace qm
