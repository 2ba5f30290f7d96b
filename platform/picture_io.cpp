#include "platform/picture_io.h"

#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/bmp.h"
#include "platform/byte_reader.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace qm {

namespace {

using gdi::DibSection;

std::vector<PictureDecoder>& Decoders() {
  static std::vector<PictureDecoder> decoders;
  return decoders;
}

[[noreturn]] void RaiseInvalid(const std::string& path, const std::string& why) {
  Raise(kErrInvalidPicture, "Invalid picture: " + path + " (" + why + ")");
}

bool TooLarge(uint64_t width, uint64_t height) {
  return width == 0 || height == 0 || width * height > kMaxPicturePixels;
}

std::unique_ptr<DibSection> MakeBgrx(int width, int height) {
  const gdi::BitmapInfoHeader h = gdi::TopDown32Header(width, height);
  return DibSection::Create(h);
}

// For a decoder or copy that writes every pixel (32-bit rows have no padding).
std::unique_ptr<DibSection> MakeBgrxForOverwrite(int width, int height) {
  const gdi::BitmapInfoHeader h = gdi::TopDown32Header(width, height);
  return DibSection::CreateForOverwrite(h);
}

// Any bitmap as 32 bits top-down, colours through its colour table where it has one.
std::unique_ptr<DibSection> ToBgrx(const DibSection& src) {
  if (src.bpp() == 32 && src.top_down()) {
    auto copy = MakeBgrx(src.width(), src.height());
    if (copy) std::memcpy(copy->bits(), src.bits(), copy->size_bytes());
    return copy;
  }
  auto dst = MakeBgrx(src.width(), src.height());
  if (!dst) return nullptr;
  auto sdc = gdi::CreateCompatibleDC();
  auto ddc = gdi::CreateCompatibleDC();
  sdc->Select(const_cast<DibSection*>(&src));  // only read from
  ddc->Select(dst.get());
  int ok = gdi::BitBlt(ddc.get(), 0, 0, src.width(), src.height(), sdc.get(), 0, 0, gdi::kSrcCopy);
  if (!ok) return nullptr;
  // The reserved byte is documented as 0 whatever the source held there.
  for (int y = 0; y < dst->height(); ++y) {
    uint8_t* p = dst->row(y);
    for (int x = 0; x < dst->width(); ++x) p[4 * x + 3] = 0;
  }
  return dst;
}

// ---------------------------------------------------------------------------------------------
// JPEG

// The EXIF orientation (1-8) from the APP1 segment; 1 when absent or unreadable.
int JpegOrientation(std::span<const uint8_t> data) {
  ByteReader r(data);
  if (!r.Skip(2)) return 1;  // SOI
  for (;;) {
    uint8_t ff = 0, marker = 0;
    if (!r.U8(ff) || ff != 0xFF || !r.U8(marker)) return 1;
    while (marker == 0xFF) {  // fill bytes
      if (!r.U8(marker)) return 1;
    }
    if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) continue;
    if (marker == 0xDA || marker == 0xD9) return 1;  // image data starts: no EXIF before it
    uint8_t hi = 0, lo = 0;
    if (!r.U8(hi) || !r.U8(lo)) return 1;
    size_t len = (size_t(hi) << 8) | lo;
    if (len < 2) return 1;
    std::optional<ByteReader> seg = r.Sub(len - 2);
    if (!seg) return 1;
    if (marker != 0xE1) continue;
    auto sig = seg->Bytes(6);
    if (!sig || std::memcmp(sig->data(), "Exif\0\0", 6) != 0) continue;
    // TIFF structure: byte order, 42, offset of IFD0; offsets count from the TIFF header.
    auto tiff_bytes = seg->Bytes(seg->remaining());
    if (!tiff_bytes) return 1;
    ByteReader t(*tiff_bytes);
    uint8_t b0 = 0, b1 = 0;
    if (!t.U8(b0) || !t.U8(b1)) return 1;
    bool big = b0 == 'M' && b1 == 'M';
    if (!big && !(b0 == 'I' && b1 == 'I')) return 1;
    auto u16 = [&](uint16_t& v) {
      if (!t.U16LE(v)) return false;
      if (big) v = uint16_t((v >> 8) | (v << 8));
      return true;
    };
    auto u32 = [&](uint32_t& v) {
      if (!t.U32LE(v)) return false;
      if (big) v = __builtin_bswap32(v);
      return true;
    };
    uint16_t magic = 0;
    uint32_t ifd = 0;
    if (!u16(magic) || magic != 42 || !u32(ifd) || !t.Seek(ifd)) return 1;
    uint16_t count = 0;
    if (!u16(count)) return 1;
    for (uint16_t i = 0; i < count; ++i) {
      uint16_t tag = 0, type = 0, value = 0;
      uint32_t n = 0;
      if (!u16(tag) || !u16(type) || !u32(n) || !u16(value) || !t.Skip(2)) return 1;
      if (tag == 0x0112 && type == 3 && n == 1) return value >= 1 && value <= 8 ? value : 1;
    }
    return 1;
  }
}

// Applies an EXIF orientation, so the picture stands as it was seen. With `clear_reserved` the
// fourth byte of every pixel becomes 0 on the way (the source then needs no pass of its own).
std::unique_ptr<DibSection> Orient(std::unique_ptr<DibSection> src, int orientation,
                                   bool clear_reserved) {
  if (orientation <= 1 || orientation > 8) return src;
  const int w = src->width(), h = src->height();
  const bool swap = orientation >= 5;
  auto dst = MakeBgrxForOverwrite(swap ? h : w, swap ? w : h);
  if (!dst) return nullptr;
  const int dw = dst->width(), dh = dst->height();
  // Destination (dx, dy) for source (x, y), written as a start point and steps per x and per y.
  int x0 = 0, y0 = 0, xdx = 1, xdy = 0, ydx = 0, ydy = 1;
  switch (orientation) {
    case 2:
      x0 = dw - 1, xdx = -1;
      break;  // mirror
    case 3:
      x0 = dw - 1, y0 = dh - 1, xdx = -1, ydy = -1;
      break;  // 180
    case 4:
      y0 = dh - 1, ydy = -1;
      break;  // flip
    case 5:
      xdx = 0, xdy = 1, ydx = 1, ydy = 0;
      break;  // transpose
    case 6:
      x0 = dw - 1, xdx = 0, xdy = 1, ydx = -1, ydy = 0;
      break;  // 90 clockwise
    case 7:
      x0 = dw - 1, y0 = dh - 1, xdx = 0, xdy = -1, ydx = -1, ydy = 0;
      break;  // transverse
    case 8:
      y0 = dh - 1, xdx = 0, xdy = -1, ydx = 1, ydy = 0;
      break;  // 90 anticlockwise
  }
  auto* out = reinterpret_cast<uint32_t*>(dst->bits());
  const ptrdiff_t ostride = dst->stride() / 4;
  const ptrdiff_t step = xdx + xdy * ostride;
  const uint32_t mask = clear_reserved ? 0x00FFFFFFu : 0xFFFFFFFFu;
  // Turning by a quarter writes a column per source row. A tile of 256 columns reads a kilobyte
  // of each source row in one run (narrow tiles stall on scattered reads: 32 columns took twice
  // as long on 1800 x 1200 photos) and keeps the 256 rows being written in the cache.
  const int tile = swap ? 256 : w;
  for (int tx = 0; tx < w; tx += tile) {
    const int tx_end = std::min(w, tx + tile);
    for (int y = 0; y < h; ++y) {
      const auto* in = reinterpret_cast<const uint32_t*>(src->row(y));
      uint32_t* o = out + (x0 + ydx * y) + ptrdiff_t(y0 + ydy * y) * ostride + tx * step;
      for (int x = tx; x < tx_end; ++x, o += step) *o = in[x] & mask;
    }
  }
  return dst;
}

struct TjHandle {
  tjhandle h = tjInitDecompress();
  ~TjHandle() {
    if (h) tjDestroy(h);
  }
};

std::unique_ptr<DibSection> DecodeJpeg(std::span<const uint8_t> data, const std::string& path,
                                       const NeededSize* needed) {
  if (data.size() > 0xFFFFFFFFu) RaiseInvalid(path, "file too large");
  TjHandle tj;
  if (!tj.h) Raise(kErrInvalidCall, "The JPEG decoder could not be started");
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(tj.h, data.data(), static_cast<unsigned long>(data.size()), &width,
                          &height, &subsamp, &colorspace) != 0)
    RaiseInvalid(path, std::string("damaged JPEG: ") + tjGetErrorStr2(tj.h));
  if (width <= 0 || height <= 0 || TooLarge(uint64_t(width), uint64_t(height)))
    RaiseInvalid(path, "JPEG too large: " + std::to_string(width) + "x" + std::to_string(height));
  const int orientation = JpegOrientation(data);
  if (needed) {
    // The need is for the upright picture; a quarter turn swaps the stored sides.
    const bool swap = orientation >= 5;
    const PictureSize upright = swap ? PictureSize{height, width} : PictureSize{width, height};
    PictureSize want = (*needed)(upright);
    if (swap) std::swap(want.width, want.height);
    const PictureSize reduced = ChooseJpegReduction({width, height}, want).size;
    width = reduced.width;
    height = reduced.height;
  }
  auto dib = MakeBgrxForOverwrite(width, height);
  if (!dib) RaiseInvalid(path, "JPEG too large");
  // Warnings such as a premature end of data are failures: a partly decoded picture is grey at
  // the bottom, and converting it silently would lose the picture.
  int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
  const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
  int rc;
  if (cmyk) {
    // TurboJPEG gives CMYK pictures only as CMYK; as in Adobe's files the values are inverted.
    rc = tjDecompress2(tj.h, data.data(), static_cast<unsigned long>(data.size()), dib->bits(),
                       width, dib->stride(), height, TJPF_CMYK, flags);
    if (rc == 0) {
      for (int y = 0; y < height; ++y) {
        uint8_t* p = dib->row(y);
        for (int x = 0; x < width; ++x, p += 4) {
          unsigned c = p[0], m = p[1], yy = p[2], k = p[3];
          p[0] = uint8_t((yy * k + 127) / 255);
          p[1] = uint8_t((m * k + 127) / 255);
          p[2] = uint8_t((c * k + 127) / 255);
          p[3] = 0;
        }
      }
    }
  } else {
    rc = tjDecompress2(tj.h, data.data(), static_cast<unsigned long>(data.size()), dib->bits(),
                       width, dib->stride(), height, TJPF_BGRX, flags);
  }
  if (rc != 0) RaiseInvalid(path, std::string("damaged JPEG: ") + tjGetErrorStr2(tj.h));
  if (!cmyk && orientation <= 1) {
    // TJPF_BGRX leaves the fourth byte unspecified; turning the picture clears it otherwise.
    // The rows have no padding, so the pixels are one run of 32-bit words.
    uint8_t* p = dib->bits();
    static_assert(std::endian::native == std::endian::little);
    for (size_t i = 0, n = dib->size_bytes() / 4; i < n; ++i, p += 4) {
      uint32_t v;
      std::memcpy(&v, p, 4);
      v &= 0x00FFFFFFu;
      std::memcpy(p, &v, 4);
    }
  }
  auto oriented = Orient(std::move(dib), orientation, !cmyk);
  if (!oriented) RaiseInvalid(path, "JPEG too large");
  return oriented;
}

// ---------------------------------------------------------------------------------------------
// PNG

// Everything the libpng callbacks and the decoder touch lives here, outside the frame that
// calls setjmp, so nothing it holds is lost or left half-destroyed by a longjmp.
struct PngState {
  ByteReader reader;
  std::string error;
  std::unique_ptr<DibSection> dib;
  std::vector<png_bytep> rows;
};

void PngError(png_structp png, png_const_charp message) {
  auto* st = static_cast<PngState*>(png_get_error_ptr(png));
  st->error = message ? message : "error";
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

void PngRead(png_structp png, png_bytep out, size_t n) {
  auto* st = static_cast<PngState*>(png_get_io_ptr(png));
  auto bytes = st->reader.Bytes(n);
  if (!bytes) png_error(png, "truncated file");
  std::memcpy(out, bytes->data(), n);
}

// Decodes into st->dib; false with st->error on any failure.
bool DecodePngInto(PngState* st) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, st, PngError, PngWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, st, PngRead);
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_read_info(png, info);
  png_uint_32 width = png_get_image_width(png, info);
  png_uint_32 height = png_get_image_height(png, info);
  if (TooLarge(width, height)) {
    st->error = "PNG too large: " + std::to_string(width) + "x" + std::to_string(height);
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  const bool has_alpha = (png_get_color_type(png, info) & PNG_COLOR_MASK_ALPHA) != 0 ||
                         png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_bgr(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);  // only where there is no alpha already
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t(width) * 4) {
    st->error = "unexpected PNG layout";
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  st->dib = MakeBgrx(int(width), int(height));
  if (!st->dib) {
    st->error = "PNG too large";
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  st->rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) st->rows[y] = st->dib->row(int(y));
  png_read_image(png, st->rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  // Transparent parts are shown over white, the usual page colour, rather than in whatever
  // colour the transparent pixels happen to store; the fourth byte becomes 0.
  for (png_uint_32 y = 0; y < height; ++y) {
    uint8_t* p = st->rows[y];
    uint8_t* const end = p + size_t(width) * 4;
    if (has_alpha) {
      for (; p != end; p += 4) {
        const unsigned a = p[3], white = 255 * (255 - a);
        p[0] = uint8_t((p[0] * a + white + 127) / 255);
        p[1] = uint8_t((p[1] * a + white + 127) / 255);
        p[2] = uint8_t((p[2] * a + white + 127) / 255);
        p[3] = 0;
      }
    } else {
      for (; p != end; p += 4) p[3] = 0;
    }
  }
  return true;
}

std::unique_ptr<DibSection> DecodePng(std::span<const uint8_t> data, const std::string& path) {
  PngState st;
  st.reader = ByteReader(data);
  if (!DecodePngInto(&st)) {
    RaiseInvalid(path, "damaged PNG: " + (st.error.empty() ? std::string("error") : st.error));
  }
  return std::move(st.dib);
}

bool StartsWith(std::span<const uint8_t> data, std::initializer_list<uint8_t> magic) {
  if (data.size() < magic.size()) return false;
  return std::equal(magic.begin(), magic.end(), data.begin());
}

}  // namespace

void RegisterPictureDecoder(PictureDecoder decoder) {
  if (decoder) Decoders().push_back(std::move(decoder));
}

JpegReduction ChooseJpegReduction(PictureSize stored, PictureSize at_least) {
  JpegReduction best{1, 1, stored};
  int count = 0;
  const tjscalingfactor* factors = tjGetScalingFactors(&count);
  for (int i = 0; factors && i < count; ++i) {
    const tjscalingfactor f = factors[i];
    if (f.num <= 0 || f.denom <= 0 || f.num >= f.denom) continue;
    const PictureSize size{TJSCALED(stored.width, f), TJSCALED(stored.height, f)};
    if (size.width < at_least.width || size.height < at_least.height) continue;
    if (int64_t(f.num) * best.denom < int64_t(best.num) * f.denom) best = {f.num, f.denom, size};
  }
  return best;
}

namespace {

std::shared_ptr<Picture> Load(const std::string& path, const NeededSize* needed) {
  // The JPEG decoder asks before it decodes; every other format is asked once it has the size.
  bool asked = false;
  NeededSize ask_once;
  if (needed) {
    ask_once = [&](PictureSize upright) {
      asked = true;
      return (*needed)(upright);
    };
  }
  std::vector<uint8_t> data = ReadWholeFile(path);
  std::span<const uint8_t> bytes(data);
  std::unique_ptr<DibSection> dib;
  if (bytes.empty()) RaiseInvalid(path, "empty file");
  if (StartsWith(bytes, {0xFF, 0xD8, 0xFF})) {
    dib = DecodeJpeg(bytes, path, needed ? &ask_once : nullptr);
  } else if (StartsWith(bytes, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) {
    dib = DecodePng(bytes, path);
  } else if (StartsWith(bytes, {'B', 'M'})) {
    std::string why;
    auto raw = ReadBmp(bytes, &why);
    if (!raw) RaiseInvalid(path, "damaged BMP: " + why);
    if (TooLarge(uint64_t(raw->width()), uint64_t(raw->height()))) RaiseInvalid(path, "too large");
    dib = ToBgrx(*raw);
    if (!dib) RaiseInvalid(path, "BMP too large");
  } else {
    for (const PictureDecoder& decode : Decoders()) {
      std::shared_ptr<Picture> p = decode(bytes);
      if (!p || !p->bitmap) continue;
      if (TooLarge(uint64_t(p->bitmap->width()), uint64_t(p->bitmap->height())))
        RaiseInvalid(path, "too large");
      dib = ToBgrx(*p->bitmap);
      if (!dib) RaiseInvalid(path, "too large");
      break;
    }
    if (!dib) {
      if (StartsWith(bytes, {'G', 'I', 'F', '8'}) && !Decoders().empty())
        RaiseInvalid(path, "damaged GIF file");
      RaiseInvalid(path, "not a JPEG, PNG, BMP or GIF file");
    }
  }
  if (needed && !asked) ask_once({dib->width(), dib->height()});
  auto picture = std::make_shared<Picture>();
  picture->bitmap = std::move(dib);
  return picture;
}

}  // namespace

std::shared_ptr<Picture> LoadPicture(const std::string& path) {
  return Load(path, nullptr);
}

std::shared_ptr<Picture> LoadPictureReduced(const std::string& path, const NeededSize& needed) {
  return Load(path, needed ? &needed : nullptr);
}

bool SavePictureAsBmp(const Picture& picture, const std::string& path) {
  if (!picture.bitmap) return false;
  return WriteBmp24(*picture.bitmap, path);
}

}  // namespace qm
