#include "imaging/cPal8bpp.h"

#include <algorithm>

#include "platform/error.h"

namespace qm {

namespace {

struct Rgb {
  uint8_t r, g, b;
};

// The EGA colours: entries 0..7 are the low half, 8..15 the high half.
constexpr Rgb kEga[16] = {
    {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128}, {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0}, {255, 255, 0},
    {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};

}  // namespace

cPal8bpp::~cPal8bpp() {
  Destroy();
}

void cPal8bpp::Initialize(int16_t InitialEntries) {
  Destroy();
  m_Entries = InitialEntries;
  m_Palette = std::make_unique<std::array<uint8_t, kTableBytes>>();
}

void cPal8bpp::Destroy() {
  m_Entries = 0;
  m_Palette.reset();
  m_hPal.reset();
}

void cPal8bpp::BuildLogicalPalette() {
  m_hPal.reset();
  // A count beyond the table would make the logical palette read past its 1024 bytes.
  if (m_Entries < 0 || m_Entries > kTableEntries) Raise(kErrSubscript);
  if (m_Entries > 0 && !m_Palette) Raise(kErrSubscript);
  std::vector<gdi::PaletteEntry> entries(static_cast<size_t>(m_Entries));
  for (int i = 0; i < m_Entries; ++i) {
    const uint8_t* q = m_Palette->data() + i * 4;
    entries[i] = gdi::PaletteEntry{q[kRed], q[kGreen], q[kBlue], 0};
  }
  m_hPal = std::make_unique<gdi::LogicalPalette>(std::move(entries));
}

uint8_t cPal8bpp::ClosestIndex(uint8_t R, uint8_t G, uint8_t B) const {
  // Without a logical palette the platform query answers "invalid" (all bits set), no byte.
  if (!m_hPal) Raise(kErrOverflow);
  const int index = gdi::GetNearestPaletteIndex(*m_hPal, gdi::RGB(R, G, B));
  if (index < 0 || index > 255) Raise(kErrOverflow);
  return static_cast<uint8_t>(index);
}

void cPal8bpp::ClosestColor(uint8_t R, uint8_t G, uint8_t B, uint8_t& cR, uint8_t& cG,
                            uint8_t& cB) const {
  const uint8_t index = ClosestIndex(R, G, B);
  cR = rgbR(index);
  cG = rgbG(index);
  cB = rgbB(index);
}

bool cPal8bpp::IsGreyScale() const {
  if (m_Entries <= 0) return false;
  if (!m_Palette || m_Entries > kTableEntries) Raise(kErrSubscript);
  for (int i = 0; i < m_Entries; ++i) {
    const uint8_t* q = m_Palette->data() + i * 4;
    if (q[kRed] != q[kGreen] || q[kGreen] != q[kBlue]) return false;
  }
  return true;
}

void cPal8bpp::CreateGreyScale(int32_t GreyLevels) {
  Initialize(0);
  int entries = 0, step = 0;
  switch (GreyLevels) {
    case 0:
      entries = 2, step = 255;
      break;
    case 1:
      entries = 16, step = 17;
      break;
    case 2:
      entries = 256, step = 1;
      break;
    default:
      Raise(kErrDivisionByZero);
  }
  m_Entries = static_cast<int16_t>(entries);
  for (int i = 0; i <= 255 / step; ++i) {
    const auto v = static_cast<uint8_t>(i * step);
    SetEntry(i, v, v, v);
  }
  BuildLogicalPalette();
}

void cPal8bpp::CreateEGA() {
  Initialize(0);
  m_Entries = 16;
  SetLowColors(0);
  SetHighColors(8);
  BuildLogicalPalette();
}

void cPal8bpp::CreateHalftone(int32_t HalftoneLevels) {
  Initialize(0);
  static constexpr int kSteps[] = {256, 128, 85, 64, 51};
  if (HalftoneLevels < 0 || HalftoneLevels > 4) Raise(kErrSubscript);
  const int step = kSteps[HalftoneLevels];
  uint8_t levels[6];
  int n = 0;
  for (int v = 0; v <= 256; v += step) levels[n++] = static_cast<uint8_t>(std::min(v, 255));
  int index = 0;
  for (int b = 0; b < n; ++b)
    for (int g = 0; g < n; ++g)
      for (int r = 0; r < n; ++r) SetEntry(index++, levels[r], levels[g], levels[b]);
  m_Entries = static_cast<int16_t>(index);
  BuildLogicalPalette();
}

void cPal8bpp::CreateWebsafe() {
  Initialize(0);
  m_Entries = 256;
  SetLowColors(0);
  SetHighColors(248);
  int index = 8;
  for (int b = 0; b <= 255; b += 51)
    for (int g = 0; g <= 255; g += 51)
      for (int r = 0; r <= 255; r += 51) {
        const bool corner = (r == 0 || r == 255) && (g == 0 || g == 255) && (b == 0 || b == 255);
        if (!corner) SetEntry(index++, uint8_t(r), uint8_t(g), uint8_t(b));
      }
  // Entry 216 stays black; then the greys 8..248.
  for (int k = 1; k <= 31; ++k) SetEntry(216 + k, uint8_t(8 * k), uint8_t(8 * k), uint8_t(8 * k));
  BuildLogicalPalette();
}

std::span<const uint8_t, cPal8bpp::kTableBytes> cPal8bpp::lpPalette() const {
  if (!m_Palette) Raise(kErrSubscript);
  return std::span<const uint8_t, kTableBytes>(*m_Palette);
}

uint8_t cPal8bpp::Channel(uint8_t PalEntry, int channel) const {
  if (!m_Palette) Raise(kErrSubscript);
  return (*m_Palette)[PalEntry * 4 + channel];
}

uint8_t& cPal8bpp::Channel(uint8_t PalEntry, int channel) {
  if (!m_Palette) Raise(kErrSubscript);
  return (*m_Palette)[PalEntry * 4 + channel];
}

void cPal8bpp::SetEntry(int index, uint8_t r, uint8_t g, uint8_t b) {
  uint8_t* q = m_Palette->data() + index * 4;
  q[kBlue] = b;
  q[kGreen] = g;
  q[kRed] = r;
  q[3] = 0;
}

void cPal8bpp::SetLowColors(int start) {
  for (int i = 0; i < 8; ++i) SetEntry(start + i, kEga[i].r, kEga[i].g, kEga[i].b);
}

void cPal8bpp::SetHighColors(int start) {
  for (int i = 0; i < 8; ++i) SetEntry(start + i, kEga[8 + i].r, kEga[8 + i].g, kEga[8 + i].b);
}

}  // namespace qm
