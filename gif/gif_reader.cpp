// The lenient GIF reader: LoadFromFile, LoadFromStream and DecodeFrame of cGIF.
//
// Once the six-byte header has been accepted, damage never fails a load: a block whose bytes run
// past the end of the stream has no effect and ends the block loop, so a truncated file keeps the
// frames met so far. Every read goes through ByteReader, and every bitmap size taken from the file
// is checked against the decoding limits before anything is allocated.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWDec.h"
#include "platform/byte_reader.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace qm {
namespace {

constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kTrailer = 0x3B;
constexpr uint8_t kGraphicControlLabel = 0xF9;
constexpr uint8_t kApplicationLabel = 0xFF;

// Moves n bytes on; a move past the end leaves the reader at the end, which ends the block loop.
void Advance(ByteReader& r, size_t n) {
  if (!r.Skip(n)) r.Seek(r.size());
}

uint16_t LE16(std::span<const uint8_t> b, size_t at) {
  return uint16_t(b[at] | (b[at + 1] << 8));
}

// Bits of `value` selected by `mask`, shifted down to bit 0.
uint8_t GetBits(uint8_t value, uint8_t mask) {
  if (mask < 1) return 0;
  unsigned v = value & mask;
  unsigned m = mask;
  while ((m & 1) == 0) {
    v >>= 1;
    m >>= 1;
  }
  return uint8_t(v);
}

// Reads `entries` red, green, blue triplets into a blue, green, red, reserved palette. Entries
// past the end of the stream stay as they were; the reader then sits at the end.
void ReadColorTable(ByteReader& r, int entries, std::array<uint8_t, 1024>& palette) {
  const size_t bytes = size_t(entries) * 3;
  const size_t whole = std::min(bytes, r.remaining()) / 3;
  auto table = r.Bytes(whole * 3);
  if (table) {
    for (size_t i = 0; i < whole; ++i) {
      palette[4 * i] = (*table)[3 * i + 2];
      palette[4 * i + 1] = (*table)[3 * i + 1];
      palette[4 * i + 2] = (*table)[3 * i];
    }
  }
  Advance(r, bytes - whole * 3);
}

// Appends the payloads of the sub-blocks starting at the reader to `data` (emptied first). The
// reader is left on the terminating zero length, or at the end of a truncated stream, in which
// case the bytes that were there are kept.
void CollectSubBlocks(ByteReader& r, std::vector<uint8_t>& data) {
  data.clear();
  for (;;) {
    auto length = r.Peek();
    if (!length || *length == 0) return;
    r.Skip(1);
    const size_t take = std::min<size_t>(*length, r.remaining());
    auto payload = r.Bytes(take);
    data.insert(data.end(), payload->begin(), payload->end());
    if (take < *length) return;
  }
}

// With the reader on an extension's label, steps over its sub-blocks and stops on the terminator.
void SkipSubBlocks(ByteReader& r) {
  Advance(r, 1);
  for (;;) {
    auto length = r.Peek();
    if (!length || *length == 0) return;
    Advance(r, size_t(*length) + 1);
  }
}

}  // namespace

bool cGIF::LoadFromFile(const std::string& filename) {
  try {
    std::vector<uint8_t> bytes = ReadWholeFile(filename);
    if (bytes.empty()) {
      Destroy();
      return false;
    }
    return LoadFromStream(bytes);
  } catch (...) {
    Destroy();
    return false;
  }
}

bool cGIF::LoadFromStream(std::span<const uint8_t> Stream) {
  Destroy();
  if (Stream.size() < 6) return false;
  m_Signature.assign(Stream.begin(), Stream.begin() + 3);
  if (m_Signature != "GIF") return false;
  m_Version.assign(Stream.begin() + 3, Stream.begin() + 6);
  if (m_Version != "87a" && m_Version != "89a") return false;

  ByteReader r(Stream, 6);
  uint64_t pixels_made = 0;
  m_LoopingExtension = false;  // until the file shows one
  std::vector<uint8_t> data;

  if (auto screen = r.Bytes(7)) {
    m_Screen.ScreenWidth = int16_t(LE16(*screen, 0));
    m_Screen.ScreenHeight = int16_t(LE16(*screen, 2));
    m_Screen.Packed = (*screen)[4];
    m_Screen.ScreenBackgroundColorIndex = (*screen)[5];
    m_Screen.PixelAspect = (*screen)[6];
  } else {
    Advance(r, 7);
  }
  m_GlobalPaletteExists = (m_Screen.Packed & 0x80) != 0;
  if (m_GlobalPaletteExists) {
    m_GlobalPaletteSorted = (m_Screen.Packed & 0x08) != 0;
    m_GlobalPaletteEntries = int16_t(2 << (m_Screen.Packed & 7));
    ReadColorTable(r, m_GlobalPaletteEntries, m_GlobalPalette);
  }

  auto slot = [this](size_t count) -> tGIFFrame& {
    if (m_Frames.size() < count) m_Frames.resize(count);
    return m_Frames[count - 1];
  };

  // One image from just after its separator: descriptor, local table, data; then its pixels.
  auto read_image = [&]() {
    const bool counted = m_FramesCount < kMaxGifFrames;
    if (!counted) ++m_ImagesNotRead;
    tGIFFrame scratch;
    tGIFFrame* frame = &scratch;
    if (counted) {
      frame = &slot(size_t(m_FramesCount) + 1);
      ++m_FramesCount;
    }
    tGIFFrame& f = *frame;
    f.DIBXOR = std::make_shared<cDIB>();
    f.DIBAND = std::make_shared<cDIB>();

    uint16_t width = 0, height = 0;
    uint8_t packed = 0;
    if (auto d = r.Bytes(9)) {
      f.Left = int16_t(LE16(*d, 0));
      f.Top = int16_t(LE16(*d, 2));
      width = LE16(*d, 4);
      height = LE16(*d, 6);
      packed = (*d)[8];
    } else {
      Advance(r, 9);
    }
    f.Interlaced = (packed & 0x40) != 0;
    f.LocalPaletteUsed = (packed & 0x80) != 0;
    if (f.LocalPaletteUsed) {
      f.LocalPaletteSorted = (packed & 0x20) != 0;
      f.LocalPaletteEntries = int16_t(2 << (packed & 7));
      ReadColorTable(r, f.LocalPaletteEntries, f.LocalPalette);
    } else {
      f.LocalPaletteSorted = m_GlobalPaletteSorted;
      f.LocalPaletteEntries = m_GlobalPaletteEntries;
      f.LocalPalette = m_GlobalPalette;
    }

    const tGIFLoadLimits& limits = m_LoadLimits;
    const uint64_t pixels = uint64_t(width) * height;
    if (counted && pixels > 0 && pixels <= limits.MaxFramePixels &&
        pixels_made + pixels <= limits.MaxLoadPixels) {
      try {
        if (f.DIBXOR->Create(width, height, 8) && f.DIBAND->Create(width, height, 1)) {
          pixels_made += pixels;
        } else {
          f.DIBXOR->Destroy();
          f.DIBAND->Destroy();
        }
      } catch (...) {
        f.DIBXOR->Destroy();
        f.DIBAND->Destroy();
      }
    }

    uint8_t min_code_size = 0;
    if (!r.U8(min_code_size)) Advance(r, 1);
    CollectSubBlocks(r, data);

    if (!counted) return;
    try {
      DecodeFrame(m_FramesCount, min_code_size, data);
    } catch (...) {
      // A decoding failure ends only this image; its pixels placed so far stay.
      frame->DecodedRows = -1;
    }
  };

  try {
    while (!r.at_end()) {
      const uint8_t block = *r.Peek();
      if (block == kTrailer) break;
      if (block == kExtensionIntroducer) {
        Advance(r, 1);
        const auto label = r.Peek();
        if (label == kGraphicControlLabel) {
          Advance(r, 1);
          tGIFFrame scratch;
          tGIFFrame& next =
              m_FramesCount < kMaxGifFrames ? slot(size_t(m_FramesCount) + 1) : scratch;
          if (auto gce = r.Bytes(5)) {
            const uint8_t packed = (*gce)[1];
            next.Delay = int16_t(LE16(*gce, 2));
            next.DisposalMethod = GetBits(packed, 0x1C);
            next.UserInput = (packed & 0x02) != 0;
            next.UseTransparentColor = (packed & 0x01) != 0;
            if (next.UseTransparentColor) next.TransparentColorIndex = (*gce)[4];
          } else {
            Advance(r, 5);
          }
        } else if (label == kApplicationLabel) {
          Advance(r, 1);
          auto app = r.Bytes(12);
          if (!app) {
            Advance(r, 12);
          } else {
            CollectSubBlocks(r, data);
            static constexpr char kNetscape[] = "NETSCAPE2.0";
            if (std::memcmp(app->data() + 1, kNetscape, 11) == 0 && data.size() >= 3) {
              const uint16_t loops = uint16_t(data[1] | (data[2] << 8));
              m_LoopingExtension = true;
              if (loops <= 32767) m_AnimationLoops = int16_t(loops);
            }
          }
        } else if (label) {
          SkipSubBlocks(r);
        }
      } else if (block == kImageSeparator) {
        Advance(r, 1);
        read_image();
      }
      Advance(r, 1);
    }
  } catch (...) {
    // Only resource exhaustion gets here; the frames read so far stay.
  }
  return true;
}

void cGIF::DecodeFrame(int16_t nFrame, uint8_t MinCodeSize, std::span<const uint8_t> Data) {
  tGIFFrame& f = m_Frames.at(size_t(nFrame) - 1);
  if (!f.DIBXOR || f.DIBXOR->BPP() != 8 || !f.DIBAND) return;

  std::array<uint8_t, 1024> colors = f.LocalPalette;
  const uint8_t transparent = uint8_t(f.TransparentColorIndex);
  if (f.UseTransparentColor) std::fill_n(colors.begin() + 4 * transparent, 3, uint8_t(0));
  f.DIBXOR->SetPalette(colors);
  static constexpr uint8_t kBlackWhite[8] = {0, 0, 0, 0, 255, 255, 255, 0};
  f.DIBAND->SetPalette(kBlackWhite);

  const int32_t rows = mGIFLZWDec::DecodeImage(f, f.Interlaced, MinCodeSize, Data);
  f.DecodedRows = rows;
  if (!f.UseTransparentColor || rows <= 0) return;

  // The mask of the rows the data reached; the others keep their zero (opaque) bits, and bytes
  // already right are not stored, so untouched pages stay uncommitted.
  BitsView xor_bits, and_bits;
  MapDIBBits(xor_bits, *f.DIBXOR);
  MapDIBBits(and_bits, *f.DIBAND);
  const int32_t width = f.DIBXOR->Width();
  const int32_t height = f.DIBXOR->Height();
  if (f.DIBAND->Width() != width || f.DIBAND->Height() != height) return;
  for (int32_t k = 0; k < rows; ++k) {
    const int32_t y = mGIFLZWDec::RowInOrder(k, height, f.Interlaced);
    if (y < 0) break;
    const std::span<const uint8_t> in = xor_bits.row(y);
    const std::span<uint8_t> out = and_bits.row(y);
    for (int32_t x0 = 0; x0 < width; x0 += 8) {
      uint8_t bits = 0;
      const int32_t n = std::min<int32_t>(8, width - x0);
      for (int32_t i = 0; i < n; ++i)
        bits |= uint8_t((in[size_t(x0 + i)] == transparent ? 1 : 0) << (7 - i));
      if (out[size_t(x0 / 8)] != bits) out[size_t(x0 / 8)] = bits;
    }
  }
}

}  // namespace qm
