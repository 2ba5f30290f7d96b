#include "platform/bmp.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "platform/byte_reader.h"
#include "platform/fs.h"
#include "platform/gdi.h"
#include "platform/memory.h"

namespace qm {

namespace {

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;

std::unique_ptr<gdi::DibSection> Fail(std::string* error, const char* why) {
  if (error) *error = why;
  return nullptr;
}

bool HeaderSizeKnown(uint32_t size) {
  // BITMAPINFOHEADER, V2 (with RGB masks), V3 (with alpha mask), V4, V5.
  return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

}  // namespace

std::unique_ptr<gdi::DibSection> ReadBmp(std::span<const uint8_t> file, std::string* error) {
  ByteReader in(file);
  uint8_t b, m;
  uint32_t file_size_field, reserved, off_bits;
  if (!in.U8(b) || !in.U8(m) || !in.U32LE(file_size_field) || !in.U32LE(reserved) ||
      !in.U32LE(off_bits))
    return Fail(error, "file too short for a bitmap file header");
  if (b != 'B' || m != 'M') return Fail(error, "not a bitmap file (no BM signature)");

  uint32_t header_size;
  if (!in.U32LE(header_size)) return Fail(error, "file too short for an information header");
  if (!HeaderSizeKnown(header_size)) return Fail(error, "unsupported information header size");
  if (!in.Seek(kFileHeaderSize)) return Fail(error, "file too short for an information header");
  auto header_reader = in.Sub(header_size);
  if (!header_reader) return Fail(error, "information header runs past the end of the file");
  ByteReader h = *header_reader;

  gdi::BitmapInfoHeader info;
  if (!ReadBitmapInfoHeader(h, info)) return Fail(error, "information header truncated");
  const uint16_t planes = info.planes, bit_count = info.bit_count;

  if (planes != 1) return Fail(error, "plane count is not 1");
  if (!gdi::IsDibDepth(bit_count)) return Fail(error, "unsupported bit depth");
  if (info.width <= 0) return Fail(error, "width is not positive");
  if (info.height == 0 || info.height == std::numeric_limits<int32_t>::min())
    return Fail(error, "height is zero or out of range");

  size_t table_start = kFileHeaderSize + header_size;
  if (info.compression == kBiBitfields) {
    if (bit_count != 32) return Fail(error, "bit fields are only supported for 32-bit files");
    // The masks follow a 40-byte header and sit inside the larger ones.
    ByteReader masks(file, kFileHeaderSize + 40);
    uint32_t red, green, blue;
    if (!masks.U32LE(red) || !masks.U32LE(green) || !masks.U32LE(blue))
      return Fail(error, "bit field masks run past the end of the file");
    if (red != 0x00FF0000 || green != 0x0000FF00 || blue != 0x000000FF)
      return Fail(error, "unsupported bit field masks");
    if (header_size == 40) table_start += 12;
  } else if (info.compression != kBiRgb) {
    return Fail(error, "compressed bitmaps are not supported");
  }

  std::vector<gdi::RGBQuad> colors;
  if (bit_count <= 8) {
    const uint32_t max_colors = 1u << bit_count;
    const uint32_t count = info.clr_used ? info.clr_used : max_colors;
    if (count > max_colors) return Fail(error, "colour count too big for the bit depth");
    ByteReader table(file);
    if (!table.Seek(table_start)) return Fail(error, "colour table starts past the end");
    auto bytes = table.Bytes(size_t(count) * 4);
    if (!bytes) return Fail(error, "colour table runs past the end of the file");
    colors.resize(count);
    for (uint32_t i = 0; i < count; ++i)
      colors[i] = {(*bytes)[4 * i], (*bytes)[4 * i + 1], (*bytes)[4 * i + 2], 0};
    table_start += size_t(count) * 4;
  }
  if (off_bits < table_start) return Fail(error, "pixel data offset overlaps the headers");

  const int64_t rows = info.height < 0 ? -int64_t(info.height) : int64_t(info.height);
  const int64_t stride = int64_t(gdi::DibRowStride(uint64_t(info.width), bit_count));
  if (stride > std::numeric_limits<int32_t>::max() ||
      rows > std::numeric_limits<int32_t>::max() / stride)
    return Fail(error, "dimensions too large");
  const size_t pixel_bytes = size_t(stride * rows);
  ByteReader pixels(file);
  if (!pixels.Seek(off_bits)) return Fail(error, "pixel data offset is past the end of the file");
  auto data = pixels.Bytes(pixel_bytes);
  if (!data) return Fail(error, "pixel data runs past the end of the file");

  gdi::BitmapInfoHeader make;
  make.width = info.width;
  make.height = info.height;
  make.bit_count = bit_count;
  auto dib = gdi::DibSection::Create(make, colors);
  if (!dib || dib->size_bytes() != pixel_bytes) return Fail(error, "out of memory");
  std::memcpy(dib->bits(), data->data(), pixel_bytes);
  if (error) error->clear();
  return dib;
}

bool ReadBitmapInfoHeader(ByteReader& in, gdi::BitmapInfoHeader& h) {
  return in.U32LE(h.size) && in.I32LE(h.width) && in.I32LE(h.height) && in.U16LE(h.planes) &&
         in.U16LE(h.bit_count) && in.U32LE(h.compression) && in.U32LE(h.size_image) &&
         in.I32LE(h.x_pels_per_meter) && in.I32LE(h.y_pels_per_meter) && in.U32LE(h.clr_used) &&
         in.U32LE(h.clr_important);
}

namespace {

// Byte length of the 24-bit file for `dib`; 0 when it cannot be encoded.
size_t Bmp24FileSize(const gdi::DibSection& dib) {
  const int width = dib.width(), height = dib.height();
  if (width <= 0 || height <= 0) return 0;
  const uint64_t stride = gdi::DibRowStride(uint64_t(width), 24);
  const uint64_t image = stride * uint64_t(height);
  const uint64_t total = uint64_t(kFileHeaderSize) + 40 + image;
  if (total > std::numeric_limits<uint32_t>::max() || image > size_t(PTRDIFF_MAX)) return 0;
  return size_t(total);
}

constexpr size_t kBmp24HeaderSize = kFileHeaderSize + 40;

// The file and information headers of the 24-bit file for `dib` (kBmp24HeaderSize bytes).
void FillBmp24Header(const gdi::DibSection& dib, uint8_t* file, size_t total) {
  const int width = dib.width(), height = dib.height();
  const size_t stride = size_t(gdi::DibRowStride(uint64_t(width), 24));
  const size_t image = stride * size_t(height);
  uint8_t* p = file;
  auto u16 = [&](uint32_t v) {
    *p++ = uint8_t(v);
    *p++ = uint8_t(v >> 8);
  };
  auto u32 = [&](uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  *p++ = 'B';
  *p++ = 'M';
  u32(uint32_t(total));
  u32(0);
  u32(kBmp24HeaderSize);
  u32(40);
  u32(uint32_t(width));
  u32(uint32_t(height));  // bottom-up
  u16(1);
  u16(24);
  u32(kBiRgb);
  u32(uint32_t(image));
  for (int i = 0; i < 4; ++i) u32(0);  // resolution and colour counts
}

// Blue, green, red of each 32-bit pixel; four pixels go as three 32-bit words.
void PackBgr(const uint8_t* in, uint8_t* out, int width) {
  static_assert(std::endian::native == std::endian::little);
  int x = 0;
  for (; x + 4 <= width; x += 4, in += 16, out += 12) {
    uint32_t a, b, c, d;
    std::memcpy(&a, in, 4);
    std::memcpy(&b, in + 4, 4);
    std::memcpy(&c, in + 8, 4);
    std::memcpy(&d, in + 12, 4);
    const uint32_t w[3] = {(a & 0xFFFFFFu) | (b << 24), ((b >> 8) & 0xFFFFu) | (c << 16),
                           ((c >> 16) & 0xFFu) | (d << 8)};
    std::memcpy(out, w, 12);
  }
  for (; x < width; ++x, in += 4, out += 3) {
    out[0] = in[0];
    out[1] = in[1];
    out[2] = in[2];
  }
}

// File rows [first, first + count) of the pixel block (file row 0 is the bottom picture row)
// into `out`, padding included: every byte of those rows is written. False when a row cannot be
// converted.
bool FillBmp24Rows(const gdi::DibSection& dib, int first, int count, uint8_t* out) {
  const int width = dib.width(), height = dib.height();
  const size_t stride = size_t(gdi::DibRowStride(uint64_t(width), 24));
  const size_t row_bytes = size_t(width) * 3;
  auto picture_row = [&](int file_row) { return height - 1 - file_row; };
  auto out_row = [&](int file_row) { return out + size_t(file_row - first) * stride; };
  for (int k = first; k < first + count; ++k)
    std::memset(out_row(k) + row_bytes, 0, stride - row_bytes);

  if (dib.bpp() == 24) {
    for (int k = first; k < first + count; ++k)
      std::memcpy(out_row(k), dib.row(picture_row(k)), row_bytes);
    return true;
  }
  if (dib.bpp() == 32) {
    for (int k = first; k < first + count; ++k) PackBgr(dib.row(picture_row(k)), out_row(k), width);
    return true;
  }

  // Other depths go through the colour conversion of a block copy, a row at a time through a
  // one-row bitmap.
  gdi::BitmapInfoHeader row_header;
  row_header.width = width;
  row_header.height = -1;
  row_header.bit_count = 24;
  auto staging = gdi::DibSection::Create(row_header);
  if (!staging) return false;
  // The source is only read: a block copy never writes through its source surface.
  auto src_dc = gdi::CreateCompatibleDC();
  auto row_dc = gdi::CreateCompatibleDC();
  src_dc->Select(const_cast<gdi::DibSection*>(&dib));
  row_dc->Select(staging.get());
  for (int k = first; k < first + count; ++k) {
    if (!gdi::BitBlt(row_dc.get(), 0, 0, width, 1, src_dc.get(), 0, picture_row(k), gdi::kSrcCopy))
      return false;
    std::memcpy(out_row(k), staging->bits(), row_bytes);
  }
  return true;
}

// Writes the whole file into `file` (Bmp24FileSize bytes, contents undefined on entry: every
// byte, row padding included, is written). False when a row cannot be converted.
bool FillBmp24(const gdi::DibSection& dib, uint8_t* file, size_t total) {
  FillBmp24Header(dib, file, total);
  return FillBmp24Rows(dib, 0, dib.height(), file + kBmp24HeaderSize);
}

}  // namespace

std::vector<uint8_t> EncodeBmp24(const gdi::DibSection& dib) {
  const size_t total = Bmp24FileSize(dib);
  if (total == 0) return {};
  std::vector<uint8_t> file;
  try {
    file.resize(total);
  } catch (const std::bad_alloc&) {
    return {};
  }
  if (!FillBmp24(dib, file.data(), total)) return {};
  return file;
}

bool WriteBmp24(const gdi::DibSection& dib, const std::string& path) {
  const size_t total = Bmp24FileSize(dib);
  if (total == 0) return false;
  if (dib.bpp() != 24 && dib.bpp() != 32) {
    // A conversion that fails must leave no file, so the whole file is made first.
    std::vector<uint8_t> file = EncodeBmp24(dib);
    return !file.empty() && WriteEncodedBmp(file, path);
  }
  // The file goes out in bands of rows, so a picture never needs a second whole-file buffer.
  constexpr size_t kBandBytes = size_t(4) << 20;
  const size_t stride = size_t(gdi::DibRowStride(uint64_t(dib.width()), 24));
  const int band_rows = int(std::clamp<size_t>(kBandBytes / stride, 1, size_t(dib.height())));
  FrameBlock band;
  try {
    band = FrameBlock(std::max(kBmp24HeaderSize, size_t(band_rows) * stride), false);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  FillBmp24Header(dib, band.data(), total);
  bool ok = WriteAll(fd, {band.data(), kBmp24HeaderSize});
  for (int first = 0; ok && first < dib.height(); first += band_rows) {
    const int count = std::min(band_rows, dib.height() - first);
    ok = FillBmp24Rows(dib, first, count, band.data()) &&
         WriteAll(fd, {band.data(), size_t(count) * stride});
  }
  if (::close(fd) != 0) ok = false;
  return ok;
}

bool WriteEncodedBmp(std::span<const uint8_t> file, const std::string& path) {
  const size_t total = file.size();
  if (total == 0) return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, file);
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace qm
