// ImportAVI: reads the video stream of an AVI file frame by frame into a cGIF animation. Every
// frame is stretch-copied into a 32-bit work bitmap, reduced onto one palette shared by all
// frames (ReduceColors with the current palette and dither switches; the palette is built on
// the first frame), and given disposal method 3 and the delay the stream's rate implies, in
// hundredths of a second. At the end the logical screen is the frame size and the global palette
// is the shared one; every frame's local palette holds a copy of it.
//
// Result: true when every frame of the stream was read. A file that is not an AVI, has no video
// stream or a frame that cannot be decoded gives false without a message of its own (the frames
// read so far stay in `gif`). Any run-time error is trapped here: error 53 shows "I need to
// install the software using Inno.", any other the common error report; the import then goes
// on with its next step. Progress and one Yield per frame go through the current host. After
// each Yield a cancel request (platform/cancel.h) ends the import with false. A stream longer
// than an animation holds (kMaxGifFrames) is an overflow error (6) and imports nothing.
#pragma once

#include <string>

#include "gif/cGIF.h"

namespace qm {

bool ImportAVI(std::string filename, cGIF& gif);

// The GIF delay (hundredths of a second) of each frame of `frames` frames whose stream ends at
// `end_time_ms`: the per-frame time rounded to a millisecond, then to a hundredth, halves to even.
int16_t FrameDelayFromStream(int32_t end_time_ms, int32_t frames);

}  // namespace qm
