#include "gif/cGIF.h"

#include <utility>

#include "gif/lossy_lzw_encoder.h"
#include "platform/error.h"
#include "platform/numbers.h"

namespace qm {
namespace {

constexpr uint8_t kMaskTable[8] = {0, 0, 0, 0, 255, 255, 255, 0};

uint32_t PaletteRGB(const std::array<uint8_t, 1024>& palette, uint8_t nEntry) {
  const size_t i = size_t(nEntry) * 4;
  return uint32_t(palette[i + 2]) | (uint32_t(palette[i + 1]) << 8) | (uint32_t(palette[i]) << 16);
}

}  // namespace

cGIF::cGIF() = default;

cGIF::~cGIF() = default;

void cGIF::Swap(cGIF& other) noexcept {
  using std::swap;
  swap(m_Signature, other.m_Signature);
  swap(m_Version, other.m_Version);
  swap(m_Screen, other.m_Screen);
  swap(m_AnimationLoops, other.m_AnimationLoops);
  swap(m_LoopingExtension, other.m_LoopingExtension);
  swap(m_Lossy, other.m_Lossy);
  swap(m_GlobalPaletteExists, other.m_GlobalPaletteExists);
  swap(m_GlobalPaletteSorted, other.m_GlobalPaletteSorted);
  swap(m_GlobalPaletteEntries, other.m_GlobalPaletteEntries);
  swap(m_GlobalPalette, other.m_GlobalPalette);
  swap(m_Frames, other.m_Frames);
  swap(m_FramesCount, other.m_FramesCount);
  swap(m_ImagesNotRead, other.m_ImagesNotRead);
  swap(m_LoadLimits, other.m_LoadLimits);
}

void cGIF::Destroy() {
  m_Signature = "0  ";
  m_Version = "0  ";
  m_Screen = tGIFScreen{};
  m_GlobalPalette.fill(0);
  m_GlobalPaletteSorted = false;
  m_GlobalPaletteEntries = 0;
  m_AnimationLoops = 0;
  m_LoopingExtension = true;
  m_Lossy = 0;
  m_Frames.clear();
  m_Frames.resize(1);
  m_FramesCount = 0;
  m_ImagesNotRead = 0;
}

tGIFFrame& cGIF::Frame(int16_t nFrame) {
  if (nFrame < 1 || size_t(nFrame) > m_Frames.size()) Raise(kErrSubscript);
  return m_Frames[size_t(nFrame) - 1];
}

const tGIFFrame& cGIF::Frame(int16_t nFrame) const {
  if (nFrame < 1 || size_t(nFrame) > m_Frames.size()) Raise(kErrSubscript);
  return m_Frames[size_t(nFrame) - 1];
}

void cGIF::FrameInsert(int16_t nFrame, int16_t Width, int16_t Height) {
  const bool was_empty = m_FramesCount == 0;
  if (!was_empty && nFrame < 1) Raise(kErrSubscript);
  const int16_t new_count = AddInt16(m_FramesCount, 1);

  // Build the new record before touching the store, so a failure leaves the animation as it was.
  tGIFFrame fresh;
  fresh.DIBXOR = std::make_shared<cDIB>();
  if (fresh.DIBXOR->Create(Width, Height, 8)) fresh.DIBXOR->Cls(0);
  fresh.DIBAND = std::make_shared<cDIB>();
  if (fresh.DIBAND->Create(Width, Height, 1)) {
    fresh.DIBAND->SetPalette(kMaskTable);
    fresh.DIBAND->Cls(0);
  }

  m_Frames.resize(size_t(new_count));
  m_FramesCount = new_count;
  int16_t position = new_count;
  if (!was_empty && nFrame < new_count) {
    for (int16_t i = int16_t(new_count - 1); i >= nFrame; --i) FrameMoveDown(i);
    position = nFrame;
  }
  m_Frames[size_t(position) - 1] = std::move(fresh);
  if (m_FramesCount == 1) {
    m_Screen.ScreenWidth = Width;
    m_Screen.ScreenHeight = Height;
  }
}

void cGIF::FrameRemove(int16_t nFrame) {
  if (nFrame < 1 || nFrame > m_FramesCount) Raise(kErrSubscript);
  m_Frames.erase(m_Frames.begin() + (nFrame - 1));
  --m_FramesCount;
  if (m_FramesCount == 0) {
    m_Frames.clear();
    m_Frames.resize(1);
  }
}

void cGIF::FrameMoveUp(int16_t nFrame) {
  if (nFrame < 2 || nFrame > m_FramesCount) Raise(kErrSubscript);
  std::swap(m_Frames[size_t(nFrame) - 2], m_Frames[size_t(nFrame) - 1]);
}

void cGIF::FrameMoveDown(int16_t nFrame) {
  if (nFrame < 1 || nFrame >= m_FramesCount) Raise(kErrSubscript);
  std::swap(m_Frames[size_t(nFrame) - 1], m_Frames[size_t(nFrame)]);
}

void cGIF::FrameMask(int16_t nFrame, uint8_t TransparentColorIndex) {
  if (nFrame < 1 || nFrame > m_FramesCount) Raise(kErrSubscript);
  tGIFFrame& f = m_Frames[size_t(nFrame) - 1];
  if (!f.DIBXOR || !f.DIBAND) Raise(kErrSubscript);
  std::array<uint8_t, 1024> colour = f.LocalPalette;
  const size_t t = size_t(TransparentColorIndex) * 4;
  if (f.UseTransparentColor) {
    colour[t] = colour[t + 1] = colour[t + 2] = 0;
    std::array<uint8_t, 1024> mask{};
    mask[t] = mask[t + 1] = mask[t + 2] = 255;
    // The colour conversion into the black/white mask turns the one white entry into 1 bits.
    f.DIBXOR->SetPalette(mask);
    f.DIBAND->LoadBlt(f.DIBXOR->hDC());
    f.DIBXOR->SetPalette(colour);
  } else {
    f.DIBAND->Cls(0);
    f.DIBXOR->SetPalette(colour);
  }
}

void cGIF::FrameDraw(gdi::HDC hDC, int16_t nFrame, int16_t Left, int16_t Top, float ScaleFactor,
                     bool ScreenCrop) {
  if (nFrame < 1 || nFrame > m_FramesCount) Raise(kErrSubscript);
  const tGIFFrame& f = m_Frames[size_t(nFrame) - 1];
  if (!f.DIBXOR || !f.DIBAND) Raise(kErrSubscript);
  int32_t w = f.DIBXOR->Width();
  int32_t h = f.DIBXOR->Height();
  if (ScreenCrop) {
    if (int32_t(f.Left) + w > m_Screen.ScreenWidth) w = int32_t(m_Screen.ScreenWidth) - f.Left;
    if (int32_t(f.Top) + h > m_Screen.ScreenHeight) h = int32_t(m_Screen.ScreenHeight) - f.Top;
  }
  if (w < 0) w = 0;
  if (h < 0) h = 0;
  const double scale = ScaleFactor;
  const int32_t x = CLng(double(Left) + double(f.Left) * scale);
  const int32_t y = CLng(double(Top) + double(f.Top) * scale);
  const int32_t dw = CLng(double(w) * scale);
  const int32_t dh = CLng(double(h) * scale);
  // A zero source size would mean "the whole bitmap" to Stretch; nothing of the frame is visible.
  if (w == 0 || h == 0 || dw == 0 || dh == 0) return;
  if (f.UseTransparentColor) {
    f.DIBAND->Stretch(hDC, x, y, dw, dh, 0, 0, w, h, gdi::kSrcAnd);
    f.DIBXOR->Stretch(hDC, x, y, dw, dh, 0, 0, w, h, gdi::kSrcPaint);
  } else {
    f.DIBXOR->Stretch(hDC, x, y, dw, dh, 0, 0, w, h, gdi::kSrcCopy);
  }
}

void cGIF::SetLossy(int32_t level) {
  if (level < 0 || level > kMaxLossyLevel) Raise(kErrOverflow);
  m_Lossy = level;
}

float cGIF::ScreenPixelAspectRatio() const {
  return (float(m_Screen.PixelAspect) + 15.0f) / 64.0f;
}

void cGIF::SetScreenPixelAspectRatio(float New_Ratio) {
  m_Screen.PixelAspect = CByte(double(New_Ratio) * 64.0 - 15.0);
}

uint32_t cGIF::GlobalPaletteRGBEntry(uint8_t nEntry) const {
  if (!m_GlobalPaletteExists) return 0;
  return PaletteRGB(m_GlobalPalette, nEntry);
}

std::shared_ptr<cDIB> cGIF::FrameDIBXOR(int16_t nFrame) const {
  return Frame(nFrame).DIBXOR;
}
std::shared_ptr<cDIB> cGIF::FrameDIBAND(int16_t nFrame) const {
  return Frame(nFrame).DIBAND;
}

int16_t cGIF::FrameDelay(int16_t nFrame) const {
  return Frame(nFrame).Delay;
}
void cGIF::SetFrameDelay(int16_t nFrame, int16_t New_Delay) {
  Frame(nFrame).Delay = New_Delay;
}
bool cGIF::FrameInterlaced(int16_t nFrame) const {
  return Frame(nFrame).Interlaced;
}
void cGIF::SetFrameInterlaced(int16_t nFrame, bool v) {
  Frame(nFrame).Interlaced = v;
}
int16_t cGIF::FrameLeft(int16_t nFrame) const {
  return Frame(nFrame).Left;
}
void cGIF::SetFrameLeft(int16_t nFrame, int16_t v) {
  Frame(nFrame).Left = v;
}
int16_t cGIF::FrameTop(int16_t nFrame) const {
  return Frame(nFrame).Top;
}
void cGIF::SetFrameTop(int16_t nFrame, int16_t v) {
  Frame(nFrame).Top = v;
}

int32_t cGIF::FrameDisposalMethod(int16_t nFrame) const {
  return Frame(nFrame).DisposalMethod;
}
void cGIF::SetFrameDisposalMethod(int16_t nFrame, int32_t v) {
  tGIFFrame& f = Frame(nFrame);
  if (v < 0 || v > 255) Raise(kErrOverflow);
  f.DisposalMethod = uint8_t(v);
}

bool cGIF::FrameUseTransparentColor(int16_t nFrame) const {
  return Frame(nFrame).UseTransparentColor;
}
void cGIF::SetFrameUseTransparentColor(int16_t nFrame, bool v) {
  Frame(nFrame).UseTransparentColor = v;
}
uint8_t cGIF::FrameTransparentColorIndex(int16_t nFrame) const {
  return uint8_t(Frame(nFrame).TransparentColorIndex & 0xFF);
}
void cGIF::SetFrameTransparentColorIndex(int16_t nFrame, int32_t v) {
  Frame(nFrame).TransparentColorIndex = uint16_t(uint32_t(v) & 0xFF);
}
bool cGIF::FrameUserInput(int16_t nFrame) const {
  return Frame(nFrame).UserInput;
}
void cGIF::SetFrameUserInput(int16_t nFrame, bool v) {
  Frame(nFrame).UserInput = v;
}

uint8_t* cGIF::lpLocalPalette(int16_t nFrame) {
  return Frame(nFrame).LocalPalette.data();
}
uint32_t cGIF::LocalPaletteRGBEntry(int16_t nFrame, uint8_t nEntry) const {
  return PaletteRGB(Frame(nFrame).LocalPalette, nEntry);
}
bool cGIF::LocalPaletteUsed(int16_t nFrame) const {
  return Frame(nFrame).LocalPaletteUsed;
}
void cGIF::SetLocalPaletteUsed(int16_t nFrame, bool v) {
  Frame(nFrame).LocalPaletteUsed = v;
}
bool cGIF::LocalPaletteSorted(int16_t nFrame) const {
  return Frame(nFrame).LocalPaletteSorted;
}
void cGIF::SetLocalPaletteSorted(int16_t nFrame, bool v) {
  Frame(nFrame).LocalPaletteSorted = v;
}
int16_t cGIF::LocalPaletteEntries(int16_t nFrame) const {
  return Frame(nFrame).LocalPaletteEntries;
}
void cGIF::SetLocalPaletteEntries(int16_t nFrame, int16_t v) {
  Frame(nFrame).LocalPaletteEntries = v;
}

}  // namespace qm
