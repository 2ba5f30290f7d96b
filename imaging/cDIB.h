// cDIB: the program's one bitmap type. A device-independent bitmap (1, 4, 8, 16, 24 or 32 bits
// per pixel) whose pixel memory is addressable directly, with its own drawing surface (hDC) so
// the same pixels can be copied, stretched and filled.
//
// Layout of a bitmap made by Create: rows top-down (row 0 is the top of the picture), each row
// padded to a multiple of 4 bytes; 32-bit pixels are blue, green, red, reserved; 1/4/8-bit pixels
// index a colour table of 4-byte blue, green, red, 0 entries, all black at creation. Every pixel
// byte starts at 0.
//
// Ownership: the object owns its surface and bitmap and releases them in Destroy and on
// destruction. Addresses and views handed out stay valid only until the next Create,
// CreateFromStdPicture, CreateFromBitmapFile, Resize or Destroy of the same object.
//
// Errors: platform failures are not errors (Create returns false, the loaders return 0, drawing
// returns 0). Size arithmetic that overflows 32 bits raises overflow (6); a missing file in
// CreateFromBitmapFile raises file not found (53); a view index outside its extents raises
// subscript out of range (9).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/gdi.h"
#include "platform/picture.h"

namespace qm {

class cDIB {
 public:
  cDIB() = default;
  ~cDIB();
  cDIB(const cDIB&) = delete;
  cDIB& operator=(const cDIB&) = delete;

  // False, leaving the object empty, for a depth the platform refuses (anything but 1, 4, 8, 16,
  // 24, 32) or a width or height of 0 or below; overflow (6) when the size does not fit 32 bits.
  bool Create(int32_t NewWidth, int32_t NewHeight, int32_t Newbpp);
  // Returns the source bitmap's own bit depth, 0 if nothing was made.
  uint8_t CreateFromStdPicture(const Picture* Image, bool Force32bpp);
  // Reads a BMP file (1, 4, 8, 24, 32 bits, uncompressed, either row order). Returns its bit
  // depth, 0 if nothing was made (empty or unreadable file). Rows keep the file's order.
  uint8_t CreateFromBitmapFile(const std::string& filename);
  // Re-creates oDIB with this size and depth and copies the colour table and the pixel bytes as
  // they are (same row layout). When oDIB cannot be made it is left empty; cloning an object
  // onto itself does nothing.
  void CloneTo(cDIB& oDIB) const;
  void Destroy();

  int32_t LoadBlt(gdi::HDC hSrcDC, int32_t x = 0, int32_t y = 0, int32_t nWidth = 0,
                  int32_t nHeight = 0);
  int32_t Stretch(gdi::HDC hDstDC, int32_t x, int32_t y, int32_t nWidth, int32_t nHeight,
                  int32_t xSrc = 0, int32_t ySrc = 0, int32_t nSrcWidth = 0, int32_t nSrcHeight = 0,
                  uint32_t lROP = gdi::kSrcCopy) const;
  // BackColor: an RGB colour value (red + 256 green + 65536 blue).
  void Cls(uint32_t BackColor = 0);
  void SetPalette(std::span<const uint8_t> Palette);
  void GetPalette(std::vector<uint8_t>& Palette) const;
  // Stretched to the new size, or the old pixels kept at the top-left (the rest black). A size
  // that cannot be made leaves the bitmap unchanged.
  void Resize(int32_t NewWidth, int32_t NewHeight, bool StretchDIB);
  // The largest rectangle of this bitmap's aspect ratio inside a DstW x DstH box, centred; with
  // StretchFit false a bitmap that already fits keeps its size. Each side of a box at least one
  // pixel wide stays at least one pixel. Nothing is written when the bitmap is empty.
  void GetBestFitInfo(int32_t DstW, int32_t DstH, int32_t& bfx, int32_t& bfy, int32_t& bfW,
                      int32_t& bfH, bool StretchFit) const;

  gdi::HDC hDC() const { return m_hDC.get(); }
  gdi::DibSection* hDIB() const { return m_hDIB.get(); }
  uint8_t* lpBits() const { return m_lpBits; }
  int32_t Width() const { return m_Width; }
  int32_t Height() const { return m_Height; }
  int32_t BPP() const { return m_BPP; }
  int32_t BytesPerScanline() const { return m_BytesPerScanline; }
  int32_t Size() const { return m_Size; }
  const gdi::BitmapInfoHeader& Header() const { return m_Header; }
  // A new picture holding a 32-bit copy of the bitmap; nullptr when empty.
  std::shared_ptr<Picture> Image() const;

 private:
  std::unique_ptr<gdi::DeviceContext> m_hDC;
  std::unique_ptr<gdi::DibSection> m_hDIB;
  uint8_t* m_lpBits = nullptr;
  int32_t m_Width = 0;
  int32_t m_Height = 0;
  int32_t m_BPP = 0;
  int32_t m_BytesPerScanline = 0;
  int32_t m_Size = 0;
  gdi::BitmapInfoHeader m_Header{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  gdi::DibSection* m_hOldBitmap = nullptr;
};

// A 32-bit pixel as stored: blue, green, red, reserved.
struct Pixel32 {
  uint8_t blue, green, red, reserved;
};
static_assert(sizeof(Pixel32) == 4);

// Non-owning two-dimensional views over a cDIB's pixel memory. Element (c, r) of the bits view is
// byte c of memory row r; element (x, r) of the pixel view is pixel x of row r of a 32-bit
// bitmap. Both check every index against their extents (error 9). Hot loops take a row once with
// row(r), which checks r, and walk the returned span.
template <typename T>
class DIBView {
 public:
  DIBView() = default;
  bool attached() const { return data_ != nullptr; }
  int32_t columns() const { return columns_; }
  int32_t rows() const { return rows_; }
  T& operator()(int32_t c, int32_t r) const {
    if (c < 0 || c >= columns_ || r < 0 || r >= rows_) Raise(kErrSubscript);
    return data_[size_t(r) * row_elems_ + c];
  }
  std::span<T> row(int32_t r) const {
    if (r < 0 || r >= rows_) Raise(kErrSubscript);
    return {data_ + size_t(r) * row_elems_, size_t(columns_)};
  }
  void Detach() { *this = DIBView(); }

 private:
  friend void MapDIBBits(DIBView<uint8_t>& view, const cDIB& dib);
  friend void MapDIBPixels(DIBView<Pixel32>& view, const cDIB& dib);
  T* data_ = nullptr;
  int32_t columns_ = 0, rows_ = 0;
  size_t row_elems_ = 0;
};

using BitsView = DIBView<uint8_t>;
using PixelView = DIBView<Pixel32>;

// Attach a byte view: columns 0..BytesPerScanline-1, rows 0..Height-1. An empty cDIB gives an
// empty view, whose every access raises error 9.
void MapDIBBits(BitsView& view, const cDIB& dib);
// Attach a pixel view to a 32-bit cDIB: columns 0..Width-1, rows 0..Height-1. Any other depth
// gives an empty view.
void MapDIBPixels(PixelView& view, const cDIB& dib);

}  // namespace qm
