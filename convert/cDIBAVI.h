// cDIBAVI: one uncompressed Windows bitmap held the way a video stream wants it: the
// information header plus colour table as one block (the stream format) and the pixel bytes as
// another (one video sample).
//
// CreateFromFile reads a BMP file; CreateFromPackedDIBPointer takes a packed bitmap from memory
// (a 40-byte information header followed directly by the pixels, no colour table); WriteToFile
// writes what the object holds back as a BMP file. Each successful Create... replaces the whole
// state; a new object holds empty blocks.
//
// Errors: CreateFromFile tells the user itself, through its host (the current host when none is
// named), when the file is
// missing ("File does not exist:"), cannot be opened ("File is locked - cannot access:", or the
// system's description) or is not a bitmap it can take ("File is not a supported bitmap
// format:"), and returns false. Every header field is checked against the file's length before
// it is used, so a damaged or truncated file is refused with that last message and never read
// out of bounds. An image-size field of 0 is computed from width, height and bit count.
// The address properties raise subscript out of range (9) while their block is empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/gdi.h"
#include "platform/host.h"
#include "platform/memory.h"

namespace qm {

class cDIBAVI {
 public:
  bool CreateFromFile(const std::string& filename);
  bool CreateFromFile(const std::string& filename, Host& host);
  // `packed` is the whole packed bitmap; its length bounds every read. Refused (false) when the
  // bit count is below 16, the image size below 1, or the pixels do not fit in `packed`.
  bool CreateFromPackedDIBPointer(std::span<const uint8_t> packed);
  // Replaces any existing file (a longer old file is truncated). False when it cannot be written.
  bool WriteToFile(const std::string& filename) const;

  // The header fields as 32-bit signed values; the 16-bit ones are sign-extended.
  int32_t FileType() const { return int16_t(m_FileHeader.bfType); }
  int32_t SizeFileHeader() const { return int32_t(m_FileHeader.bfSize); }
  int32_t BitOffset() const { return int32_t(m_FileHeader.bfOffBits); }
  int32_t SizeInfoHeader() const { return int32_t(m_InfoHeader.size); }
  int32_t Width() const { return m_InfoHeader.width; }
  int32_t Height() const { return m_InfoHeader.height; }
  int32_t Planes() const { return int16_t(m_InfoHeader.planes); }
  int32_t BitCount() const { return int16_t(m_InfoHeader.bit_count); }
  int32_t Compression() const { return int32_t(m_InfoHeader.compression); }
  int32_t SizeImage() const { return int32_t(m_InfoHeader.size_image); }
  int32_t XPPM() const { return m_InfoHeader.x_pels_per_meter; }
  int32_t YPPM() const { return m_InfoHeader.y_pels_per_meter; }
  int32_t ClrUsed() const { return int32_t(m_InfoHeader.clr_used); }
  int32_t ClrImportant() const { return int32_t(m_InfoHeader.clr_important); }

  // Valid until the next Create... or the object's end.
  const uint8_t* PointerToBits() const;
  const uint8_t* PointerToBitmapInfo() const;
  int32_t SizeBitmapInfo() const { return int32_t(m_BitmapInfo.size()); }

  // The two blocks as spans (empty when nothing is held).
  std::span<const uint8_t> Bits() const {
    return std::span<const uint8_t>(m_Store).subspan(m_BitsOffset, m_BitsSize);
  }
  std::span<const uint8_t> BitmapInfo() const { return m_BitmapInfo; }

 private:
  struct tBitmapFileHeader {
    uint16_t bfType = 0;
    uint32_t bfSize = 0;
    uint16_t bfReserved1 = 0;
    uint16_t bfReserved2 = 0;
    uint32_t bfOffBits = 0;
  };
  using tBitmapInfoHeader = gdi::BitmapInfoHeader;

  tBitmapFileHeader m_FileHeader;
  tBitmapInfoHeader m_InfoHeader{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // empty: every field 0
  std::vector<uint8_t> m_BitmapInfo;
  // The pixels are m_BitsSize bytes of m_Store from m_BitsOffset (a read file is kept whole);
  // m_Spare is the buffer the next file is read into.
  FrameBytes m_Store;
  size_t m_BitsOffset = 0;
  size_t m_BitsSize = 0;
  FrameBytes m_Spare;
};

// Byte length of uncompressed pixel rows of the given geometry (rows padded to 4 bytes); 0 when
// the geometry is not a valid uncompressed bitmap or the size does not fit in 31 bits.
uint32_t UncompressedImageSize(int32_t width, int32_t height, int32_t bit_count);

}  // namespace qm
