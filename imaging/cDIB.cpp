#include "imaging/cDIB.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "imaging/resample.h"
#include "platform/bmp.h"
#include "platform/fs.h"
#include "platform/numbers.h"

namespace qm {

namespace {

// Bytes per row, padded to 4 bytes, with every step checked against 32-bit overflow.
int32_t ScanlineBytes(int32_t width, int32_t bpp) {
  const int32_t bits = AddInt32(MulInt32(width, bpp), 31);
  return MulInt32(bits / 32, 4);
}

// The usual values of the system colours an OLE colour may refer to (0x80000000 | index).
gdi::ColorRef SystemColor(uint32_t index) {
  static constexpr gdi::ColorRef kColors[] = {
      0xC8D0D4, 0xA56E3A, 0x6A240A, 0x808080, 0xC8D0D4, 0xFFFFFF, 0x000000, 0x000000,
      0x000000, 0xFFFFFF, 0xC8D0D4, 0xC8D0D4, 0x808080, 0x6A240A, 0xFFFFFF, 0xC8D0D4,
      0x808080, 0x808080, 0x000000, 0xC8D0D4, 0xFFFFFF, 0x404040, 0xC8D0D4, 0x000000,
      0xE1FFFF, 0xB5B5B5, 0x800000, 0xF0CAA6, 0xC0C0C0, 0xFF9933, 0xF0F0F0};
  return index < std::size(kColors) ? kColors[index] : 0;
}

gdi::ColorRef TranslateColor(uint32_t ole) {
  if (ole & 0x80000000u) return SystemColor(ole & 0xFFFF);
  return ole & 0xFFFFFF;
}

}  // namespace

cDIB::~cDIB() {
  Destroy();
}

bool cDIB::Create(int32_t NewWidth, int32_t NewHeight, int32_t Newbpp) {
  Destroy();
  if (NewHeight == INT32_MIN) Raise(kErrOverflow);
  m_Header = gdi::BitmapInfoHeader{};
  m_Header.width = NewWidth;
  m_Header.height = -NewHeight;
  m_Header.planes = 1;
  // A depth that does not fit the header's field is one the platform refuses.
  const bool depth_fits = Newbpp >= 0 && Newbpp <= 0xFFFF;
  m_Header.bit_count = depth_fits ? uint16_t(Newbpp) : 0;

  const int32_t stride = ScanlineBytes(NewWidth, Newbpp);
  const int32_t size = MulInt32(stride, NewHeight);

  // A height of 0 or below would turn the bitmap bottom-up with a negative size that every
  // copy would trust; such sizes are refused like a depth the platform does not know.
  if (NewWidth <= 0 || NewHeight <= 0) return false;

  m_hDC = gdi::CreateCompatibleDC();
  if (!m_hDC) return false;
  m_Width = NewWidth;
  m_Height = NewHeight;
  m_BPP = Newbpp;
  m_BytesPerScanline = stride;
  m_Size = size;
  if (depth_fits) m_hDIB = gdi::DibSection::Create(m_Header);
  if (m_hDIB) {
    m_hOldBitmap = m_hDC->Select(m_hDIB.get());
    m_lpBits = m_hDIB->bits();
  } else {
    Destroy();
  }
  return m_hDIB != nullptr;
}

uint8_t cDIB::CreateFromStdPicture(const Picture* Image, bool Force32bpp) {
  if (!Image || !Image->bitmap) return 0;
  gdi::DibSection* source = Image->bitmap.get();
  const int source_bpp = source->bpp();
  if (!Create(source->width(), source->height(), Force32bpp ? 32 : source_bpp)) return 0;

  auto dc = gdi::CreateCompatibleDC();
  if (!dc) return 0;
  gdi::DibSection* old = dc->Select(source);
  if (source_bpp <= 8 && !Force32bpp) {
    std::vector<gdi::RGBQuad> table(size_t(1) << source_bpp);
    const unsigned n = gdi::GetDIBColorTable(dc.get(), 0, unsigned(table.size()), table.data());
    gdi::SetDIBColorTable(m_hDC.get(), 0, n, table.data());
  }
  gdi::BitBlt(m_hDC.get(), 0, 0, m_Width, m_Height, dc.get(), 0, 0, gdi::kSrcCopy);
  dc->Select(old);
  return uint8_t(source_bpp);
}

uint8_t cDIB::CreateFromBitmapFile(const std::string& filename) {
  std::error_code ec;
  const auto status = std::filesystem::status(filename, ec);
  if (!std::filesystem::exists(status)) Raise(kErrFileNotFound);
  if (std::filesystem::is_regular_file(status)) {
    const auto length = std::filesystem::file_size(filename, ec);
    if (!ec && length == 0) return 0;
  }

  Destroy();
  m_hDC = gdi::CreateCompatibleDC();
  if (!m_hDC) return 0;

  std::unique_ptr<gdi::DibSection> dib;
  try {
    const std::vector<uint8_t> file = ReadWholeFile(filename);
    dib = ReadBmp(file, nullptr);
  } catch (const RuntimeError&) {
    dib.reset();
  }
  if (!dib) {
    Destroy();
    return 0;
  }
  const int32_t stride = ScanlineBytes(dib->width(), dib->bpp());
  const int32_t size = MulInt32(stride, dib->height());
  m_hDIB = std::move(dib);
  m_hOldBitmap = m_hDC->Select(m_hDIB.get());
  m_Width = m_hDIB->width();
  m_Height = m_hDIB->height();
  m_BPP = m_hDIB->bpp();
  m_BytesPerScanline = stride;
  m_Size = size;
  m_lpBits = m_hDIB->bits();
  return uint8_t(m_BPP);
}

void cDIB::CloneTo(cDIB& oDIB) const {
  if (&oDIB == this) return;  // re-creating the target would destroy the source first
  oDIB.Create(m_Width, m_Height, m_BPP);
  if (!oDIB.m_hDIB || !m_hDIB) return;
  if (m_BPP <= 8) {
    std::vector<uint8_t> palette;
    GetPalette(palette);
    oDIB.SetPalette(palette);
  }
  std::memcpy(oDIB.m_lpBits, m_lpBits, size_t(std::min(m_Size, oDIB.m_Size)));
}

void cDIB::Destroy() {
  if (m_hDC) {
    if (m_hDIB) {
      m_hDC->Select(m_hOldBitmap);
      m_hDIB.reset();
    }
    m_hDC.reset();
  }
  m_hDIB.reset();
  m_hOldBitmap = nullptr;
  m_lpBits = nullptr;
  m_Width = m_Height = m_BPP = m_BytesPerScanline = m_Size = 0;
}

int32_t cDIB::LoadBlt(gdi::HDC hSrcDC, int32_t x, int32_t y, int32_t nWidth, int32_t nHeight) {
  if (!m_hDIB) return 0;
  if (nWidth < 1) nWidth = m_Width;
  if (nHeight < 1) nHeight = m_Height;
  return gdi::BitBlt(m_hDC.get(), 0, 0, nWidth, nHeight, hSrcDC, x, y, gdi::kSrcCopy);
}

int32_t cDIB::Stretch(gdi::HDC hDstDC, int32_t x, int32_t y, int32_t nWidth, int32_t nHeight,
                      int32_t xSrc, int32_t ySrc, int32_t nSrcWidth, int32_t nSrcHeight,
                      uint32_t lROP) const {
  if (!m_hDIB || !hDstDC) return 0;
  if (nSrcWidth < 1) nSrcWidth = m_Width;
  if (nSrcHeight < 1) nSrcHeight = m_Height;
  const int old_mode = hDstDC->SetStretchMode(gdi::kColorOnColor);
  const int result = gdi::StretchBlt(hDstDC, x, y, nWidth, nHeight, m_hDC.get(), xSrc, ySrc,
                                     nSrcWidth, nSrcHeight, lROP);
  hDstDC->SetStretchMode(old_mode);
  return result;
}

void cDIB::Cls(uint32_t BackColor) {
  if (!m_hDIB) return;
  gdi::FillRect(m_hDC.get(), 0, 0, m_Width, m_Height, TranslateColor(BackColor));
}

void cDIB::SetPalette(std::span<const uint8_t> Palette) {
  if (!m_hDIB || m_BPP > 8) return;
  std::vector<gdi::RGBQuad> table(Palette.size() / 4);
  for (size_t i = 0; i < table.size(); ++i)
    table[i] = {Palette[4 * i], Palette[4 * i + 1], Palette[4 * i + 2], Palette[4 * i + 3]};
  gdi::SetDIBColorTable(m_hDC.get(), 0, unsigned(table.size()), table.data());
}

void cDIB::GetPalette(std::vector<uint8_t>& Palette) const {
  if (!m_hDIB || m_BPP > 8) return;
  std::vector<gdi::RGBQuad> table(size_t(1) << m_BPP);
  gdi::GetDIBColorTable(m_hDC.get(), 0, unsigned(table.size()), table.data());
  Palette.assign(table.size() * 4, 0);
  for (size_t i = 0; i < table.size(); ++i) {
    Palette[4 * i] = table[i].blue;
    Palette[4 * i + 1] = table[i].green;
    Palette[4 * i + 2] = table[i].red;
    Palette[4 * i + 3] = table[i].reserved;
  }
}

void cDIB::Resize(int32_t NewWidth, int32_t NewHeight, bool StretchDIB) {
  if (!m_hDIB) return;
  cDIB temp;
  // A size that cannot be made leaves the bitmap as it was instead of discarding it.
  if (!temp.Create(NewWidth, NewHeight, m_BPP)) return;
  std::vector<uint8_t> palette;
  if (m_BPP <= 8) {
    GetPalette(palette);
    temp.SetPalette(palette);
  }
  if (StretchDIB)
    Stretch(temp.hDC(), 0, 0, NewWidth, NewHeight, 0, 0, 0, 0, gdi::kSrcCopy);
  else
    Stretch(temp.hDC(), 0, 0, m_Width, m_Height, 0, 0, 0, 0, gdi::kSrcCopy);
  const int32_t bpp = m_BPP;
  Create(NewWidth, NewHeight, bpp);
  if (bpp <= 8) SetPalette(palette);
  LoadBlt(temp.hDC(), 0, 0, 0, 0);
}

void cDIB::GetBestFitInfo(int32_t DstW, int32_t DstH, int32_t& bfx, int32_t& bfy, int32_t& bfW,
                          int32_t& bfH, bool StretchFit) const {
  if (!m_hDIB) return;
  const FitRect r = FitInBox({m_Width, m_Height}, DstW, DstH, StretchFit);
  bfW = r.width;
  bfH = r.height;
  bfx = r.x;
  bfy = r.y;
}

std::shared_ptr<Picture> cDIB::Image() const {
  if (!m_hDIB) return nullptr;
  try {
    const gdi::BitmapInfoHeader header = gdi::TopDown32Header(m_Width, m_Height);
    auto bitmap = gdi::DibSection::Create(header);
    if (!bitmap) return nullptr;
    auto dc = gdi::CreateCompatibleDC();
    gdi::DibSection* old = dc->Select(bitmap.get());
    Stretch(dc.get(), 0, 0, m_Width, m_Height, 0, 0, 0, 0, gdi::kSrcCopy);
    dc->Select(old);
    auto picture = std::make_shared<Picture>();
    picture->bitmap = std::move(bitmap);
    return picture;
  } catch (const std::exception&) {
    return nullptr;
  }
}

void MapDIBBits(BitsView& view, const cDIB& dib) {
  view.Detach();
  if (!dib.lpBits()) return;
  view.data_ = dib.lpBits();
  view.columns_ = dib.BytesPerScanline();
  view.rows_ = dib.Height();
  view.row_elems_ = size_t(dib.BytesPerScanline());
}

void MapDIBPixels(PixelView& view, const cDIB& dib) {
  view.Detach();
  if (!dib.lpBits() || dib.BPP() != 32) return;
  view.data_ = reinterpret_cast<Pixel32*>(dib.lpBits());
  view.columns_ = dib.Width();
  view.rows_ = dib.Height();
  view.row_elems_ = size_t(dib.Width());
}

}  // namespace qm
