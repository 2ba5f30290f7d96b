#include "convert/cDIBAVI.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/bmp.h"
#include "platform/byte_reader.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/gdi.h"
#include "platform/host.h"

namespace qm {

namespace {

constexpr uint16_t kBitmapType = 19778;  // "BM"
constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;

bool IsFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void Tell(Host& host, const std::string& text, MsgIcon icon) {
  host.MessageBox(text, MsgButtons::Ok, icon, kAppTitle);
}

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

}  // namespace

uint32_t UncompressedImageSize(int32_t width, int32_t height, int32_t bit_count) {
  if (!gdi::IsDibDepth(bit_count)) return 0;
  if (width <= 0 || height == 0 || height == INT32_MIN) return 0;
  const uint64_t rows = uint64_t(height < 0 ? -int64_t(height) : int64_t(height));
  const uint64_t stride = gdi::DibRowStride(uint64_t(width), uint64_t(bit_count));
  const uint64_t total = stride * rows;
  if (total > 0x7FFFFFFFu) return 0;
  return uint32_t(total);
}

bool cDIBAVI::CreateFromFile(const std::string& filename) {
  return CreateFromFile(filename, CurrentHost());
}

bool cDIBAVI::CreateFromFile(const std::string& filename, Host& host) {
  if (!IsFile(filename)) {
    Tell(host, "File does not exist:\r\n" + filename, MsgIcon::Critical);
    return false;
  }
  // The file is read into the spare buffer and the pixels stay where they were read; the spare
  // and the held buffer change places only on success, so a refused file changes no pixels.
  FrameBytes& data = m_Spare;
  try {
    ReadWholeFileInto(filename, data);
  } catch (const RuntimeError& e) {
    if (e.number() == kErrPermissionDenied) {
      Tell(host, "File is locked - cannot access:\r\n" + filename, MsgIcon::Critical);
    } else {
      Tell(host, e.description(), MsgIcon::Information);
    }
    return false;
  }

  ByteReader in(data);
  tBitmapFileHeader fh;
  const bool have_file_header = in.U16LE(fh.bfType) && in.U32LE(fh.bfSize) &&
                                in.U16LE(fh.bfReserved1) && in.U16LE(fh.bfReserved2) &&
                                in.U32LE(fh.bfOffBits);
  auto refuse = [&] {
    Tell(host, "File is not a supported bitmap format:\r\n" + filename, MsgIcon::Information);
    return false;
  };
  if (!have_file_header || fh.bfType != kBitmapType) {
    if (have_file_header) m_FileHeader = fh;
    return refuse();
  }
  m_FileHeader = fh;

  tBitmapInfoHeader ih;
  if (!ReadBitmapInfoHeader(in, ih)) {
    return refuse();
  }
  if (ih.size_image == 0 && ih.compression == 0) {
    ih.size_image = UncompressedImageSize(ih.width, ih.height, int16_t(ih.bit_count));
  }
  // The blocks must lie inside the file: the information block from offset 14 up to the bits
  // offset, the pixels from the bits offset for the image size.
  const uint64_t file_len = data.size();
  if (ih.size_image == 0 || fh.bfOffBits < kFileHeaderSize + kInfoHeaderSize ||
      uint64_t(fh.bfOffBits) > file_len ||
      uint64_t(fh.bfOffBits) + uint64_t(ih.size_image) > file_len) {
    return refuse();
  }
  ByteReader info(data, kFileHeaderSize);
  auto info_bytes = info.Bytes(fh.bfOffBits - kFileHeaderSize);
  ByteReader pixels(data, fh.bfOffBits);
  auto pixel_bytes = pixels.Bytes(ih.size_image);
  if (!info_bytes || !pixel_bytes) return refuse();

  m_InfoHeader = ih;
  m_BitmapInfo.assign(info_bytes->begin(), info_bytes->end());
  // The block carries the header as the stream will use it, with the image size filled in.
  std::memcpy(m_BitmapInfo.data() + 20, &ih.size_image, 4);
  m_Store.swap(m_Spare);
  m_BitsOffset = fh.bfOffBits;
  m_BitsSize = pixel_bytes->size();
  return true;
}

bool cDIBAVI::CreateFromPackedDIBPointer(std::span<const uint8_t> packed) {
  ByteReader in(packed);
  tBitmapInfoHeader ih;
  if (!ReadBitmapInfoHeader(in, ih)) {
    return false;
  }
  m_InfoHeader = ih;
  if (int16_t(ih.bit_count) < 16 || int32_t(ih.size_image) < 1) return false;
  auto pixel_bytes = in.Bytes(ih.size_image);
  if (!pixel_bytes) return false;

  m_Store.assign(pixel_bytes->begin(), pixel_bytes->end());
  m_BitsOffset = 0;
  m_BitsSize = m_Store.size();
  m_BitmapInfo.assign(packed.begin(), packed.begin() + kInfoHeaderSize);
  m_FileHeader.bfType = kBitmapType;
  m_FileHeader.bfSize = kFileHeaderSize + kInfoHeaderSize + ih.size_image;
  m_FileHeader.bfReserved1 = 0;
  m_FileHeader.bfReserved2 = 0;
  m_FileHeader.bfOffBits = kFileHeaderSize + kInfoHeaderSize;
  return true;
}

bool cDIBAVI::WriteToFile(const std::string& filename) const {
  std::vector<uint8_t> head;
  head.reserve(kFileHeaderSize);
  PutU16(head, m_FileHeader.bfType);
  PutU32(head, m_FileHeader.bfSize);
  PutU16(head, m_FileHeader.bfReserved1);
  PutU16(head, m_FileHeader.bfReserved2);
  PutU32(head, m_FileHeader.bfOffBits);

  int fd = ::open(filename.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (std::span<const uint8_t> part :
       {std::span<const uint8_t>(head), std::span<const uint8_t>(m_BitmapInfo), Bits()})
    ok = ok && WriteAll(fd, part);
  if (::close(fd) != 0) ok = false;
  return ok;
}

const uint8_t* cDIBAVI::PointerToBits() const {
  if (m_BitsSize == 0) Raise(kErrSubscript);
  return m_Store.data() + m_BitsOffset;
}

const uint8_t* cDIBAVI::PointerToBitmapInfo() const {
  if (m_BitmapInfo.empty()) Raise(kErrSubscript);
  return m_BitmapInfo.data();
}

}  // namespace qm
