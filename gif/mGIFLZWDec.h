// mGIFLZWDec: turns the LZW image data of one GIF frame back into palette indices, written
// straight into the frame's 8-bit bitmap (DIBXOR) in plain or interlaced row order.
//
// The decoder tolerates damaged data: a fault (data ending early, a code beyond the table, a
// literal above 255, a string longer than the working stack) ends decoding quietly and keeps the
// pixels placed so far. Decoding also stops at the end code and once every pixel has been placed;
// extra data after that is ignored. Pixels never placed keep the bitmap's previous content.
//
// Interlaced frames use the four passes (start rows 0, 4, 2, 1; steps 8, 8, 4, 2); a pass with no
// rows in the frame, as in frames of at most 4 rows, is skipped.
//
// Working state lives in a per-call object, so calls are independent of each other. Nothing here
// throws for bad data.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "gif/cGIF.h"

namespace qm::mGIFLZWDec {

// Entry 0 = 0, entry k = 2^(k - 1) for k = 1..32 (entry 32 is the bit pattern 0x80000000); a
// constant table.
const std::array<uint32_t, 33>& PowersOfTwo();

// Decodes `Data` (the image's data sub-block payloads, concatenated, without length bytes) into
// frame.DIBXOR. MinCodeSize is the byte that precedes the image data; a value above 11 leaves no
// room for a code table and decodes nothing. Returns at once, writing nothing, when DIBXOR is
// missing or not 8 bits per pixel. Returns how many rows, in decoding order, received at least
// one pixel: rows RowInOrder(0 .. result - 1); every other row was not written.
int32_t DecodeImage(tGIFFrame& frame, bool Interlaced, uint8_t MinCodeSize,
                    std::span<const uint8_t> Data);
// The picture row the decoder fills k-th (0-based) in a frame of `height` rows; -1 past the end.
int32_t RowInOrder(int32_t k, int32_t height, bool Interlaced);

}  // namespace qm::mGIFLZWDec
