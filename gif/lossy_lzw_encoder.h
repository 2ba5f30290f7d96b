// The lossy LZW encoder: the GIF writer's choice when the animation's lossy level is above 0.
// Like mGIFLZWEnc it turns one frame's palette indices into GIF image data (data sub-blocks,
// without the minimum-code-size byte and the terminator), and any GIF decoder reads the result;
// but where the next pixels are close enough in colour to a string the code table already holds,
// it sends that string's code instead, so the same table covers more pixels with fewer codes.
//
// How close is close enough grows with the level (1..200, gifsicle's scale: about 20 is light, 80
// strong). The colour error a replaced pixel makes is carried on to the pixels after it and below
// it (below only when that row is sent next, so not in interlaced frames), as in error diffusion,
// so that a run of replaced pixels does not all drift the same way and the frame's local average
// colour stays. Every string starts with its first pixel exactly, only colours the frame already
// uses are written, and every pixel's colour stays within LossyColourBound(level) of its own. A
// frame none of whose colours is that close to another (the 216-colour halftone cube at any
// level) is left to the exact encoder.
//
// Indices that are kept exactly, never matched approximately in either direction: the
// transparent index (so frame differencing stays exact where it leaves pixels out) and indices at
// or past the table's entries. The carried error stops at them.
//
// Level 0 is the exact encoder itself: the same bytes as EncodePixels.
//
// Every call keeps its working state (about half a megabyte of tables, a copy of the frame's
// indices and a few rows of errors) in its own heap objects, so calls may run concurrently.
//
// Errors: write failures raised by the output propagate unchanged; InitialWidth outside 3..9 or a
// level outside 0..200 raises 5. Like the exact encoder it trusts the pixels: indices below
// 2^(InitialWidth - 1) and rows of at least `width` bytes; the writer checks that.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "gif/mGIFLZWEnc.h"

namespace qm {

struct tGIFFrame;

// The highest lossy level.
inline constexpr int32_t kMaxLossyLevel = 200;

// The colours a frame's indices stand for.
struct LossyColours {
  std::array<uint8_t, 1024> palette{};  // blue, green, red, reserved per entry
  int32_t entries = 0;                  // indices at or past this are kept exactly
  int32_t transparent = -1;             // the transparent index (kept exactly), or -1
};

// The largest Euclidean RGB distance (in colour steps) between a pixel's colour and the colour
// the lossy encoder writes for it at `level`; 0 for level 0.
double LossyColourBound(int32_t level);

// Encodes caller-owned rows (rows[y] holds at least `width` indices of picture row y).
// Writes nothing when width or the row count is 0.
void EncodePixelsLossy(GifOutput& out, std::span<const uint8_t* const> rows, int32_t width,
                       uint8_t InitialWidth, bool Interlaced, const LossyColours& colours,
                       int32_t level);

// The same over the frame's DIBXOR; writes nothing when it is missing or not 8 bits per pixel.
void EncodeImageLossy(GifOutput& out, const tGIFFrame& frame, uint8_t InitialWidth, bool Interlaced,
                      const LossyColours& colours, int32_t level);

}  // namespace qm
