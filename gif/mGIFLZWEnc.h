// mGIFLZWEnc: the LZW encoder of the GIF writer. Turns one frame's palette indices into GIF image
// data: a run of data sub-blocks (a length byte of 1 to 254 and that many bytes; only the last may
// be shorter), without the minimum-code-size byte before them or the terminator after them.
//
// The string table is an open-addressing hash of 5003 slots and the output is fully determined:
// the same indices and initial code width always give the same bytes. Codes grow from the initial
// width up to 12 bits; when the table is full a clear code (written in 12 bits) starts it afresh.
// Interlaced frames are encoded in the GIF four-pass row order (rows 0, 8, 16, ..., then 4, 12,
// ..., then 2, 6, ..., then 1, 3, ...); passes without rows are skipped, so this holds for frames
// of any height.
//
// Every call keeps its working state in its own object, so calls may run concurrently.
//
// Errors: write failures raised by the output propagate unchanged. The encoder trusts its input
// to be valid: indices below 2^(InitialWidth - 1) and rows of at least `width` bytes; callers
// check that (the writer does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qm {

struct tGIFFrame;

// Destination of the encoded sub-blocks.
class GifOutput {
 public:
  virtual ~GifOutput() = default;
  virtual void Write(const uint8_t* data, size_t n) = 0;
};

// Collects the output in memory.
class MemoryGifOutput : public GifOutput {
 public:
  void Write(const uint8_t* data, size_t n) override { bytes.insert(bytes.end(), data, data + n); }
  std::vector<uint8_t> bytes;
};

// Masks of the low i bits, i = 0..16.
inline constexpr int32_t BitMasks[17] = {0,   1,    3,    7,    15,   31,    63,    127,  255,
                                         511, 1023, 2047, 4095, 8191, 16383, 32767, 65535};

// Picture rows (0 = top) in the order the encoder walks them.
std::vector<int32_t> EncodingRowOrder(int32_t height, bool Interlaced);

// Encodes the frame's DIBXOR. Writes nothing when DIBXOR is missing or not 8 bits per pixel.
// InitialWidth is the minimum code size + 1 (3 to 9).
void EncodeImage(GifOutput& out, const tGIFFrame& frame, uint8_t InitialWidth, bool Interlaced);

// The same over caller-owned rows: rows[y] holds at least `width` indices of picture row y.
// Writes nothing when width or the row count is 0.
void EncodePixels(GifOutput& out, std::span<const uint8_t* const> rows, int32_t width,
                  uint8_t InitialWidth, bool Interlaced);

}  // namespace qm
