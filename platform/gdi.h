// Drawing surfaces over bitmaps: a small stand-in for the graphics services the imaging and GIF
// code draws with. A DibSection is pixel memory with a stable address and, for 1/4/8 bits per
// pixel, a colour table. A DeviceContext is a drawing surface; a DibSection selected into it is
// what block copies, stretch copies and fills read and write.
//
// Geometry: a header height below 0 means rows stored top-down (memory row 0 is the top row of
// the picture), above 0 bottom-up. Rows are padded to 4 bytes. Coordinates in the drawing calls
// are picture coordinates (y = 0 at the top) whatever the storage order. Every call clips its
// rectangles to both bitmaps, so no call can touch memory outside a bitmap.
//
// Colour conversion between depths: a source pixel is read as its colour (through the colour
// table for 1/4/8 bits); into 16/24/32 bits the colour is written; into a bitmap with a colour
// table, the nearest table entry (least sum of squared differences, lowest index on ties). When
// both bitmaps have colour tables of the same depth with identical entries, indices are copied.
// Raster operations then combine the converted source value with the destination value bitwise.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "platform/memory.h"

namespace qm::gdi {

struct RGBQuad {
  uint8_t blue = 0, green = 0, red = 0, reserved = 0;
  bool operator==(const RGBQuad&) const = default;
};
static_assert(sizeof(RGBQuad) == 4);

// The 40-byte bitmap information header, field for field.
#pragma pack(push, 1)
struct BitmapInfoHeader {
  uint32_t size = 40;
  int32_t width = 0;
  int32_t height = 0;  // negative: top-down rows
  uint16_t planes = 1;
  uint16_t bit_count = 0;
  uint32_t compression = 0;  // 0 = uncompressed RGB
  uint32_t size_image = 0;
  int32_t x_pels_per_meter = 0;
  int32_t y_pels_per_meter = 0;
  uint32_t clr_used = 0;
  uint32_t clr_important = 0;
};
#pragma pack(pop)
static_assert(sizeof(BitmapInfoHeader) == 40);

// The header of a 32-bit top-down bitmap (blue, green, red, unused), the layout of every working
// bitmap in the pipeline.
inline BitmapInfoHeader TopDown32Header(int32_t width, int32_t height) {
  BitmapInfoHeader h;
  h.width = width;
  h.height = -height;
  h.bit_count = 32;
  return h;
}

// A colour value as the platform passes it: red + 256 * green + 65536 * blue.
using ColorRef = uint32_t;
constexpr ColorRef RGB(uint8_t r, uint8_t g, uint8_t b) {
  return uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16);
}

// The depths a bitmap can have: 1, 4, 8, 16, 24 or 32 bits per pixel.
constexpr bool IsDibDepth(int bpp) {
  return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
}
// Bytes from one row to the next: rows are padded to a multiple of 4 bytes. Computed in 64 bits,
// so any 32-bit width and depth fit; callers check the result against their own limits.
constexpr uint64_t DibRowStride(uint64_t width, uint64_t bpp) {
  return (width * bpp + 31) / 32 * 4;
}

// Raster operations.
inline constexpr uint32_t kSrcCopy = 0x00CC0020;
inline constexpr uint32_t kSrcAnd = 0x008800C6;
inline constexpr uint32_t kSrcPaint = 0x00EE0086;

// Stretch modes; colour-on-colour drops or repeats rows and columns, nothing is averaged.
inline constexpr int kBlackOnWhite = 1;
inline constexpr int kWhiteOnBlack = 2;
inline constexpr int kColorOnColor = 3;

class DibSection {
 public:
  // Makes a zero-filled bitmap; `colors` (may be empty) fills the start of the colour table.
  // Large bitmaps take fresh pages from the system (platform/memory.h), committed only as rows are
  // written, so a large bitmap that stays mostly untouched costs only the pages its writes reach.
  // Returns nullptr for a depth other than 1, 4, 8, 16, 24, 32, a width of 0 or below, a height
  // of 0 (its sign only chooses the row order), a size that does not fit in memory addressable by
  // 32-bit signed offsets, or when the memory cannot be had. 16 bits per pixel is 5-5-5 RGB.
  static std::unique_ptr<DibSection> Create(const BitmapInfoHeader& header,
                                            std::span<const RGBQuad> colors = {});
  // The same, for a caller that writes every pixel byte itself before anything reads one: the
  // pixel bytes start undefined instead of being cleared.
  static std::unique_ptr<DibSection> CreateForOverwrite(const BitmapInfoHeader& header,
                                                        std::span<const RGBQuad> colors = {});

  int width() const { return width_; }
  int height() const { return height_; }  // always positive
  int bpp() const { return bpp_; }
  bool top_down() const { return top_down_; }
  int stride() const { return stride_; }
  uint8_t* bits() { return bits_.data(); }
  const uint8_t* bits() const { return bits_.data(); }
  size_t size_bytes() const { return bits_.size(); }
  // Memory row holding picture row y (0 = top).
  uint8_t* row(int y) { return bits_.data() + size_t(top_down_ ? y : height_ - 1 - y) * stride_; }
  const uint8_t* row(int y) const {
    return bits_.data() + size_t(top_down_ ? y : height_ - 1 - y) * stride_;
  }
  // 2^bpp entries for 1/4/8 bits per pixel, empty otherwise.
  std::span<RGBQuad> colors() { return colors_; }
  std::span<const RGBQuad> colors() const { return colors_; }

 private:
  DibSection() = default;
  int width_ = 0, height_ = 0, bpp_ = 0, stride_ = 0;
  bool top_down_ = false;
  static std::unique_ptr<DibSection> Make(const BitmapInfoHeader& header,
                                          std::span<const RGBQuad> colors, bool clear);

  FrameBlock bits_;
  std::vector<RGBQuad> colors_;
};

class DeviceContext {
 public:
  // Selects `bitmap` (not owned; may be null) and returns the one selected before.
  DibSection* Select(DibSection* bitmap) {
    DibSection* old = selected_;
    selected_ = bitmap;
    return old;
  }
  DibSection* selected() const { return selected_; }
  int stretch_mode() const { return stretch_mode_; }
  // Returns the previous mode.
  int SetStretchMode(int mode) {
    int old = stretch_mode_;
    stretch_mode_ = mode;
    return old;
  }

 private:
  DibSection* selected_ = nullptr;
  int stretch_mode_ = kBlackOnWhite;
};

using HDC = DeviceContext*;

std::unique_ptr<DeviceContext> CreateCompatibleDC();

// Block copy of w x h pixels from src (xs, ys) to dst (x, y). Non-zero on success, 0 when either
// context has no bitmap or the raster operation is not one of the three above. Destination pixels
// whose source lies outside the source bitmap are left as they were. A bitmap may be copied onto
// itself; overlapping rectangles read the pixels as they were before the call.
int BitBlt(HDC dst, int x, int y, int w, int h, HDC src, int xs, int ys, uint32_t rop);

// Stretch copy of the source rectangle onto the destination rectangle in the destination's
// stretch mode (every mode behaves as colour-on-colour here). A negative destination width or
// height mirrors the picture, as on the original platform.
int StretchBlt(HDC dst, int x, int y, int w, int h, HDC src, int xs, int ys, int ws, int hs,
               uint32_t rop);

// Fill the rectangle [left, right) x [top, bottom) with a solid colour.
int FillRect(HDC dst, int left, int top, int right, int bottom, ColorRef color);

// Colour table access of the selected bitmap; return the number of entries read or set.
unsigned GetDIBColorTable(HDC dc, unsigned start, unsigned count, RGBQuad* out);
unsigned SetDIBColorTable(HDC dc, unsigned start, unsigned count, const RGBQuad* in);

// A logical palette and the nearest-entry query: least sum of squared channel differences over
// the palette's entries, lowest index on ties. Returns -1 (all bits set) for an empty palette.
struct PaletteEntry {
  uint8_t red = 0, green = 0, blue = 0, flags = 0;
};
class LogicalPalette {
 public:
  explicit LogicalPalette(std::vector<PaletteEntry> entries) : entries_(std::move(entries)) {}
  const std::vector<PaletteEntry>& entries() const { return entries_; }

 private:
  std::vector<PaletteEntry> entries_;
};
int GetNearestPaletteIndex(const LogicalPalette& palette, ColorRef color);

}  // namespace qm::gdi
