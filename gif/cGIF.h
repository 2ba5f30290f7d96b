// cGIF: one GIF animation in memory: the logical screen, an optional global palette, the loop
// count and an ordered list of frames numbered from 1. Each frame is an 8-bit cDIB of palette
// indices (DIBXOR) with its placement, delay, disposal, transparency and optional local palette,
// plus a 1-bit mask (DIBAND, 1 where transparent) used when the frame is drawn.
//
// Filled either by the reader (LoadFromFile / LoadFromStream) or by a client that calls
// FrameInsert and sets the properties; written by Save.
//
// Ownership: the object owns its frame records; the records share their two cDIBs with whoever
// took them through FrameDIBXOR / FrameDIBAND.
//
// Errors: the model's operations raise RuntimeError to the caller: an nFrame outside the frames
// raises 9 (nothing changes), an insert past 32767 frames and out-of-range byte properties raise
// 6. Save, LoadFromFile and LoadFromStream catch every error and return false.
//
// What reading costs: the reader keeps at most kMaxGifFrames frames; images after that are
// stepped over (counted by ImagesNotRead) and the load still succeeds. A frame's bitmaps are
// made at its declared size when it is at most 2^28 pixels and the load's running total stays
// within 2^31 pixels (the object's LoadLimits); beyond that the frame keeps empty bitmaps. Declared
// pixels cost address space, not memory: bitmaps start as zeroed pages from the system, the
// decoder writes only the rows its data reaches, and the transparency mask is written only for
// those rows, so memory and time follow the bytes in the file (about one page per frame and per
// bitmap at least), whatever its headers declare. Pixels the data never reached are index 0 and
// opaque in DIBAND, whatever the transparent index.
//
// Palettes are 256 entries of 4 bytes each: blue, green, red, reserved.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "imaging/cDIB.h"
#include "platform/gdi.h"
#include "platform/host.h"

namespace qm {

class GifOutput;

// What one load may allocate from sizes written in a file. A frame above MaxFramePixels, or one
// that would take the load's running total above MaxLoadPixels, keeps empty bitmaps.
struct tGIFLoadLimits {
  uint64_t MaxFramePixels = uint64_t(1) << 28;
  uint64_t MaxLoadPixels = uint64_t(1) << 31;
};

// The most frames one animation holds: frame numbers are 16-bit.
inline constexpr int32_t kMaxGifFrames = 32767;

struct tGIFScreen {
  int16_t ScreenWidth = 0;
  int16_t ScreenHeight = 0;
  uint8_t Packed = 0;
  uint8_t ScreenBackgroundColorIndex = 0;
  uint8_t PixelAspect = 0;
};

struct tGIFFrame {
  std::shared_ptr<cDIB> DIBXOR;  // 8 bits per pixel, top-down
  std::shared_ptr<cDIB> DIBAND;  // 1 bit per pixel; table black, white
  int16_t Left = 0;
  int16_t Top = 0;
  bool Interlaced = false;
  bool UseTransparentColor = false;
  uint16_t TransparentColorIndex = 0;
  int16_t Delay = 0;
  uint8_t DisposalMethod = 0;
  bool UserInput = false;
  bool LocalPaletteUsed = false;
  bool LocalPaletteSorted = false;
  int16_t LocalPaletteEntries = 0;
  std::array<uint8_t, 1024> LocalPalette{};
  // Set by the reader: how many rows, in decoding order (mGIFLZWDec::RowInOrder), its data
  // reached; the other rows were never written and read as zero, so a caller may skip them
  // without touching (and committing) their memory. -1: every row may hold pixels.
  int32_t DecodedRows = -1;
};

class cGIF {
 public:
  cGIF();
  ~cGIF();
  cGIF(const cGIF&) = delete;
  cGIF& operator=(const cGIF&) = delete;

  bool LoadFromFile(const std::string& filename);
  bool LoadFromStream(std::span<const uint8_t> Stream);
  // Writes a GIF89a file (GIF87a when there are no frames), moving the host's progress bar and
  // yielding once per frame (the current host when none is named). False, after replacing
  // nothing or leaving a partial file, when the file is read-only or cannot be written, when a
  // global or local table has over 256 entries, when a frame has no table to use, has no pixels,
  // is not 8 bits per pixel, is over 32767 pixels wide or high, holds an index its table's code
  // size cannot carry, or has a disposal method of 64 or more, and when the object has never held
  // a frame. Between frames it looks for the host's cancel request and returns false, leaving a
  // partial file, when it finds one.
  bool Save(const std::string& filename);
  bool Save(const std::string& filename, Host& host);
  // The same bytes into any sink, e.g. a MemoryGifOutput (gif/mGIFLZWEnc.h), with the same
  // checks; what was written before a failure stays in the sink.
  bool Save(GifOutput& sink, Host& host);
  void Destroy();
  // Exchanges everything the two objects hold (frames, screen, palettes, settings).
  void Swap(cGIF& other) noexcept;
  void FrameDraw(gdi::HDC hDC, int16_t nFrame, int16_t Left, int16_t Top, float ScaleFactor,
                 bool ScreenCrop);
  void FrameMask(int16_t nFrame, uint8_t TransparentColorIndex);
  void FrameInsert(int16_t nFrame, int16_t Width, int16_t Height);
  void FrameRemove(int16_t nFrame);
  void FrameMoveUp(int16_t nFrame);
  void FrameMoveDown(int16_t nFrame);

  // The NETSCAPE2.0 looping extension's repeat count (0: for ever), written only while
  // LoopingExtension() is true. It is on for every new or emptied animation, so an animation
  // plays for ever unless a client turns the block off to have it play once; the reader turns it
  // on only when the file has the block.
  int16_t AnimationLoops() const { return m_AnimationLoops; }
  void SetAnimationLoops(int16_t v) { m_AnimationLoops = v; }
  bool LoopingExtension() const { return m_LoopingExtension; }
  void SetLoopingExtension(bool v) { m_LoopingExtension = v; }
  // How lossy Save's LZW compression is: 0 (every new or emptied animation, and every load)
  // writes the indices exactly; 1..200 lets it write colours close to the pixels' own for a
  // smaller file (gif/lossy_lzw_encoder.h). A level outside 0..200 raises 6, changing nothing.
  int32_t Lossy() const { return m_Lossy; }
  void SetLossy(int32_t level);
  int16_t ScreenWidth() const { return m_Screen.ScreenWidth; }
  void SetScreenWidth(int16_t v) { m_Screen.ScreenWidth = v; }
  int16_t ScreenHeight() const { return m_Screen.ScreenHeight; }
  void SetScreenHeight(int16_t v) { m_Screen.ScreenHeight = v; }
  uint8_t ScreenBackgroundColorIndex() const { return m_Screen.ScreenBackgroundColorIndex; }
  void SetScreenBackgroundColorIndex(uint8_t v) { m_Screen.ScreenBackgroundColorIndex = v; }
  float ScreenPixelAspectRatio() const;
  void SetScreenPixelAspectRatio(float New_Ratio);  // overflow (6) outside the byte range
  const tGIFScreen& Screen() const { return m_Screen; }
  const std::string& Signature() const { return m_Signature; }
  const std::string& Version() const { return m_Version; }

  uint8_t* lpGlobalPalette() { return m_GlobalPalette.data(); }
  std::span<uint8_t, 1024> GlobalPalette() { return m_GlobalPalette; }
  uint32_t GlobalPaletteRGBEntry(uint8_t nEntry) const;
  bool GlobalPaletteExists() const { return m_GlobalPaletteExists; }
  void SetGlobalPaletteExists(bool v) { m_GlobalPaletteExists = v; }
  bool GlobalPaletteSorted() const { return m_GlobalPaletteSorted; }
  void SetGlobalPaletteSorted(bool v) { m_GlobalPaletteSorted = v; }
  int16_t GlobalPaletteEntries() const { return m_GlobalPaletteEntries; }
  void SetGlobalPaletteEntries(int16_t v) { m_GlobalPaletteEntries = v; }

  // The limits of this object's loads (tests and fuzz targets lower them).
  const tGIFLoadLimits& LoadLimits() const { return m_LoadLimits; }
  void SetLoadLimits(const tGIFLoadLimits& limits) { m_LoadLimits = limits; }

  int16_t FramesCount() const { return m_FramesCount; }
  // Images of the last load past the kMaxGifFrames the model numbers: read over, not kept.
  int64_t ImagesNotRead() const { return m_ImagesNotRead; }
  std::shared_ptr<cDIB> FrameDIBXOR(int16_t nFrame) const;
  std::shared_ptr<cDIB> FrameDIBAND(int16_t nFrame) const;
  int16_t FrameDelay(int16_t nFrame) const;
  void SetFrameDelay(int16_t nFrame, int16_t New_Delay);
  bool FrameInterlaced(int16_t nFrame) const;
  void SetFrameInterlaced(int16_t nFrame, bool v);
  int16_t FrameLeft(int16_t nFrame) const;
  void SetFrameLeft(int16_t nFrame, int16_t v);
  int16_t FrameTop(int16_t nFrame) const;
  void SetFrameTop(int16_t nFrame, int16_t v);
  int32_t FrameDisposalMethod(int16_t nFrame) const;
  void SetFrameDisposalMethod(int16_t nFrame, int32_t v);  // overflow (6) outside 0..255
  bool FrameUseTransparentColor(int16_t nFrame) const;
  void SetFrameUseTransparentColor(int16_t nFrame, bool v);
  uint8_t FrameTransparentColorIndex(int16_t nFrame) const;
  void SetFrameTransparentColorIndex(int16_t nFrame, int32_t v);  // keeps the low 8 bits
  bool FrameUserInput(int16_t nFrame) const;
  void SetFrameUserInput(int16_t nFrame, bool v);
  uint8_t* lpLocalPalette(int16_t nFrame);
  uint32_t LocalPaletteRGBEntry(int16_t nFrame, uint8_t nEntry) const;
  bool LocalPaletteUsed(int16_t nFrame) const;
  void SetLocalPaletteUsed(int16_t nFrame, bool v);
  bool LocalPaletteSorted(int16_t nFrame) const;
  void SetLocalPaletteSorted(int16_t nFrame, bool v);
  int16_t LocalPaletteEntries(int16_t nFrame) const;
  void SetLocalPaletteEntries(int16_t nFrame, int16_t v);

  // The frame record itself (1-based); error 9 outside the frame store.
  tGIFFrame& Frame(int16_t nFrame);
  const tGIFFrame& Frame(int16_t nFrame) const;

 private:
  // Reader helpers (the reader's own translation unit defines them).
  void DecodeFrame(int16_t nFrame, uint8_t MinCodeSize, std::span<const uint8_t> Data);

  std::string m_Signature;
  std::string m_Version;
  tGIFScreen m_Screen;
  int16_t m_AnimationLoops = 0;
  bool m_LoopingExtension = true;
  int32_t m_Lossy = 0;
  bool m_GlobalPaletteExists = false;
  bool m_GlobalPaletteSorted = false;
  int16_t m_GlobalPaletteEntries = 0;
  std::array<uint8_t, 1024> m_GlobalPalette{};
  std::vector<tGIFFrame> m_Frames;  // slot i holds frame i + 1; empty = never allocated
  int16_t m_FramesCount = 0;
  int64_t m_ImagesNotRead = 0;
  tGIFLoadLimits m_LoadLimits;
};

}  // namespace qm
