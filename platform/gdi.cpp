#include "platform/gdi.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace qm::gdi {

namespace {
constexpr size_t kPixelPageBytes = 4096;
}  // namespace

void DibSection::PixelRelease::operator()(uint8_t* p) const noexcept {
  if (mapped != 0)
    munmap(p, mapped);
  else
    std::free(p);
}

std::unique_ptr<DibSection> DibSection::Create(const BitmapInfoHeader& header,
                                               std::span<const RGBQuad> colors) {
  return Make(header, colors, true);
}

std::unique_ptr<DibSection> DibSection::CreateForOverwrite(const BitmapInfoHeader& header,
                                                           std::span<const RGBQuad> colors) {
  return Make(header, colors, false);
}

std::unique_ptr<DibSection> DibSection::Make(const BitmapInfoHeader& header,
                                             std::span<const RGBQuad> colors, bool clear) {
  const int bpp = header.bit_count;
  if (!IsDibDepth(bpp)) return nullptr;
  const int64_t width = header.width;
  const int64_t height = header.height < 0 ? -int64_t(header.height) : int64_t(header.height);
  if (width <= 0 || height <= 0) return nullptr;
  const int64_t stride = int64_t(DibRowStride(uint64_t(width), uint64_t(bpp)));
  if (stride > std::numeric_limits<int32_t>::max() ||
      height > std::numeric_limits<int32_t>::max() / stride)
    return nullptr;

  std::unique_ptr<DibSection> dib(new DibSection());
  dib->width_ = int(width);
  dib->height_ = int(height);
  dib->bpp_ = bpp;
  dib->stride_ = int(stride);
  dib->top_down_ = header.height < 0;
  const size_t bytes = size_t(stride * height);
  try {
    if (bpp <= 8) dib->colors_.assign(size_t(1) << bpp, RGBQuad{});
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // Anonymous pages read as zero and are committed only when written; the heap would clear
  // (and so commit) every byte, or reuse pages that then need clearing.
  if (clear && bytes >= kPixelPageBytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    dib->bits_ = std::unique_ptr<uint8_t, PixelRelease>(static_cast<uint8_t*>(p), {bytes});
  } else {
    void* p = clear ? std::calloc(bytes, 1) : std::malloc(bytes);
    if (p == nullptr) return nullptr;
    dib->bits_ = std::unique_ptr<uint8_t, PixelRelease>(static_cast<uint8_t*>(p), {0});
  }
  dib->size_ = bytes;
  const size_t n = std::min(colors.size(), dib->colors_.size());
  std::copy_n(colors.begin(), n, dib->colors_.begin());
  return dib;
}

DibSection::DibSection(const DibSection& other)
    : width_(other.width_),
      height_(other.height_),
      bpp_(other.bpp_),
      stride_(other.stride_),
      top_down_(other.top_down_),
      colors_(other.colors_) {
  if (other.size_ == 0) return;
  void* p = std::malloc(other.size_);
  if (p == nullptr) throw std::bad_alloc();
  bits_ = std::unique_ptr<uint8_t, PixelRelease>(static_cast<uint8_t*>(p), {0});
  size_ = other.size_;
  std::memcpy(bits_.get(), other.bits_.get(), size_);
}

DibSection& DibSection::operator=(const DibSection& other) {
  if (this != &other) *this = DibSection(other);
  return *this;
}

std::unique_ptr<DeviceContext> CreateCompatibleDC() {
  return std::make_unique<DeviceContext>();
}

namespace {

// Truecolour values travel as blue | green << 8 | red << 16 | reserved << 24, the little-endian
// reading of a 32-bit pixel; palette indices travel as themselves.

struct Expand5Table {
  std::array<uint8_t, 32> v{};
  constexpr Expand5Table() {
    for (int i = 0; i < 32; ++i) v[i] = uint8_t((i << 3) | (i >> 2));
  }
};
constexpr Expand5Table kExpand5;

inline uint32_t Color16To32(uint32_t p) {
  return kExpand5.v[p & 31] | (uint32_t(kExpand5.v[(p >> 5) & 31]) << 8) |
         (uint32_t(kExpand5.v[(p >> 10) & 31]) << 16);
}
inline uint32_t Color32To16(uint32_t c) {
  return ((c >> 3) & 0x1F) | (((c >> 11) & 0x1F) << 5) | (((c >> 19) & 0x1F) << 10);
}
inline uint32_t QuadToValue(const RGBQuad& q) {
  return q.blue | (uint32_t(q.green) << 8) | (uint32_t(q.red) << 16);
}

int NearestIndex(std::span<const RGBQuad> table, int r, int g, int b) {
  int best = 0;
  int best_d = std::numeric_limits<int>::max();
  for (size_t i = 0; i < table.size(); ++i) {
    const int dr = table[i].red - r, dg = table[i].green - g, db = table[i].blue - b;
    const int d = dr * dr + dg * dg + db * db;
    if (d < best_d) {
      best_d = d;
      best = int(i);
      if (d == 0) break;
    }
  }
  return best;
}

// Maps truecolour values onto a colour table, remembering recent answers so that photographs,
// which repeat colours heavily, cost one lookup per pixel most of the time.
class NearestCache {
 public:
  explicit NearestCache(std::span<const RGBQuad> table) : table_(table) { keys_.fill(0xFFFFFFFFu); }
  uint32_t operator()(uint32_t value) {
    const uint32_t key = value & 0xFFFFFF;
    const size_t slot = (key * 2654435761u) >> 20;  // 12 bits
    if (keys_[slot] != key) {
      keys_[slot] = key;
      idx_[slot] =
          uint8_t(NearestIndex(table_, int(key >> 16), int((key >> 8) & 0xFF), int(key & 0xFF)));
    }
    return idx_[slot];
  }

 private:
  std::span<const RGBQuad> table_;
  std::array<uint32_t, 4096> keys_;
  std::array<uint8_t, 4096> idx_{};
};

// Converts a colour value into what the destination format stores.
uint32_t ColorToStored(const DibSection& dst, uint32_t value) {
  switch (dst.bpp()) {
    case 32:
      return value & 0xFFFFFF;
    case 24:
      return value & 0xFFFFFF;
    case 16:
      return Color32To16(value);
    default:
      return uint32_t(NearestIndex(dst.colors(), int((value >> 16) & 0xFF),
                                   int((value >> 8) & 0xFF), int(value & 0xFF)));
  }
}

template <int Bpp, bool Contiguous>
void GatherT(const uint8_t* row, const int32_t* cols, size_t n, uint32_t* out) {
  const uint32_t x0 = uint32_t(cols[0]);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t x = Contiguous ? x0 + uint32_t(i) : uint32_t(cols[i]);
    if constexpr (Bpp == 1) {
      out[i] = (row[x >> 3] >> (7 - (x & 7))) & 1;
    } else if constexpr (Bpp == 4) {
      out[i] = (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15;
    } else if constexpr (Bpp == 8) {
      out[i] = row[x];
    } else if constexpr (Bpp == 16) {
      out[i] = Color16To32(uint32_t(row[2 * x]) | (uint32_t(row[2 * x + 1]) << 8));
    } else if constexpr (Bpp == 24) {
      const uint8_t* p = row + size_t(x) * 3;
      out[i] = p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
    } else {
      const uint8_t* p = row + size_t(x) * 4;
      out[i] = p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    }
  }
}

template <bool Contiguous>
void GatherRow(const DibSection& src, int y, const int32_t* cols, size_t n, uint32_t* out) {
  const uint8_t* row = src.row(y);
  switch (src.bpp()) {
    case 1:
      return GatherT<1, Contiguous>(row, cols, n, out);
    case 4:
      return GatherT<4, Contiguous>(row, cols, n, out);
    case 8:
      return GatherT<8, Contiguous>(row, cols, n, out);
    case 16:
      return GatherT<16, Contiguous>(row, cols, n, out);
    case 24:
      return GatherT<24, Contiguous>(row, cols, n, out);
    default:
      return GatherT<32, Contiguous>(row, cols, n, out);
  }
}

// Source values of one row: palette indices for 1/4/8 bits, colour values otherwise. `cols`
// holds the source column of each destination column; `contiguous` says they run x0, x0 + 1...
void Gather(const DibSection& src, int y, const int32_t* cols, size_t n, bool contiguous,
            uint32_t* out) {
  if (contiguous)
    GatherRow<true>(src, y, cols, n, out);
  else
    GatherRow<false>(src, y, cols, n, out);
}

enum class Rop { kCopy, kAnd, kOr };

template <Rop R>
inline uint32_t Combine(uint32_t old, uint32_t v) {
  if constexpr (R == Rop::kCopy) return v;
  if constexpr (R == Rop::kAnd) return old & v;
  return old | v;
}

template <int Bpp, Rop R>
void PutT(uint8_t* row, int x0, const uint32_t* vals, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint32_t x = uint32_t(x0) + uint32_t(i);
    const uint32_t v = vals[i];
    if constexpr (Bpp == 1) {
      uint8_t& b = row[x >> 3];
      const int shift = 7 - int(x & 7);
      const uint32_t nv = Combine<R>((b >> shift) & 1, v) & 1;
      b = uint8_t((b & ~(1 << shift)) | (nv << shift));
    } else if constexpr (Bpp == 4) {
      uint8_t& b = row[x >> 1];
      const int shift = (x & 1) ? 0 : 4;
      const uint32_t nv = Combine<R>((b >> shift) & 15, v) & 15;
      b = uint8_t((b & ~(15 << shift)) | (nv << shift));
    } else if constexpr (Bpp == 8) {
      row[x] = uint8_t(Combine<R>(row[x], v));
    } else if constexpr (Bpp == 16) {
      uint8_t* p = row + size_t(x) * 2;
      const uint32_t nv = Combine<R>(p[0] | (uint32_t(p[1]) << 8), v);
      p[0] = uint8_t(nv);
      p[1] = uint8_t(nv >> 8);
    } else if constexpr (Bpp == 24) {
      uint8_t* p = row + size_t(x) * 3;
      const uint32_t nv = Combine<R>(p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16), v);
      p[0] = uint8_t(nv);
      p[1] = uint8_t(nv >> 8);
      p[2] = uint8_t(nv >> 16);
    } else {
      uint8_t* p = row + size_t(x) * 4;
      if constexpr (R == Rop::kCopy) {
        p[0] = uint8_t(v);
        p[1] = uint8_t(v >> 8);
        p[2] = uint8_t(v >> 16);
        p[3] = uint8_t(v >> 24);
      } else {
        const uint32_t old =
            p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
        const uint32_t nv = Combine<R>(old, v);
        p[0] = uint8_t(nv);
        p[1] = uint8_t(nv >> 8);
        p[2] = uint8_t(nv >> 16);
        p[3] = uint8_t(nv >> 24);
      }
    }
  }
}

template <Rop R>
void PutRop(DibSection& dst, int y, int x0, const uint32_t* vals, size_t n) {
  uint8_t* row = dst.row(y);
  switch (dst.bpp()) {
    case 1:
      return PutT<1, R>(row, x0, vals, n);
    case 4:
      return PutT<4, R>(row, x0, vals, n);
    case 8:
      return PutT<8, R>(row, x0, vals, n);
    case 16:
      return PutT<16, R>(row, x0, vals, n);
    case 24:
      return PutT<24, R>(row, x0, vals, n);
    default:
      return PutT<32, R>(row, x0, vals, n);
  }
}

void Put(DibSection& dst, int y, int x0, const uint32_t* vals, size_t n, Rop rop) {
  switch (rop) {
    case Rop::kCopy:
      return PutRop<Rop::kCopy>(dst, y, x0, vals, n);
    case Rop::kAnd:
      return PutRop<Rop::kAnd>(dst, y, x0, vals, n);
    case Rop::kOr:
      return PutRop<Rop::kOr>(dst, y, x0, vals, n);
  }
}

bool ToRop(uint32_t code, Rop& rop) {
  switch (code) {
    case kSrcCopy:
      rop = Rop::kCopy;
      return true;
    case kSrcAnd:
      rop = Rop::kAnd;
      return true;
    case kSrcPaint:
      rop = Rop::kOr;
      return true;
    default:
      return false;
  }
}

// Nearest-neighbour mapping of `count` destination positions starting at `origin` onto `span`
// source positions starting at `src_origin`, clipped to [0, dst_limit) on the destination side
// and [0, src_limit) on the source side. The mapping is monotonic, so the valid destination
// positions form one run: `first` is the first of them and `map` holds their source positions.
void MapAxis(int64_t origin, int64_t count, int64_t src_origin, int64_t span, bool mirror,
             int64_t dst_limit, int64_t src_limit, int64_t& first, std::vector<int32_t>& map) {
  map.clear();
  const int64_t lo = std::max<int64_t>(origin, 0);
  const int64_t hi = std::min<int64_t>(origin + count, dst_limit);
  first = lo;
  if (lo >= hi) return;
  map.reserve(size_t(hi - lo));
  for (int64_t d = lo; d < hi; ++d) {
    int64_t i = d - origin;
    if (mirror) i = count - 1 - i;
    const int64_t s = src_origin + (count == span ? i : i * span / count);
    if (s < 0 || s >= src_limit) {
      if (map.empty()) {
        first = d + 1;
        continue;
      }
      break;  // past the valid run
    }
    map.push_back(int32_t(s));
  }
}

// The colour-on-colour copy behind both BitBlt and StretchBlt. Sizes may be negative (mirror).
int Blit(HDC dst_dc, int64_t x, int64_t y, int64_t w, int64_t h, HDC src_dc, int64_t xs, int64_t ys,
         int64_t ws, int64_t hs, uint32_t rop_code) {
  Rop rop;
  if (!dst_dc || !src_dc || !dst_dc->selected() || !src_dc->selected() || !ToRop(rop_code, rop))
    return 0;
  DibSection& dst = *dst_dc->selected();
  if (w == 0 || h == 0 || ws == 0 || hs == 0) return 1;

  bool mirror_x = false, mirror_y = false;
  if (w < 0) x += w, w = -w, mirror_x = !mirror_x;
  if (h < 0) y += h, h = -h, mirror_y = !mirror_y;
  if (ws < 0) xs += ws, ws = -ws, mirror_x = !mirror_x;
  if (hs < 0) ys += hs, hs = -hs, mirror_y = !mirror_y;

  // Copying a bitmap onto itself reads from a snapshot so overlapping rectangles stay right.
  std::unique_ptr<DibSection> snapshot;
  const DibSection* src_ptr = src_dc->selected();
  if (src_ptr == &dst) {
    try {
      snapshot = std::make_unique<DibSection>(dst);
    } catch (const std::bad_alloc&) {
      return 0;
    }
    src_ptr = snapshot.get();
  }
  const DibSection& src = *src_ptr;

  int64_t col0, row0;
  std::vector<int32_t> cols, rows;
  MapAxis(x, w, xs, ws, mirror_x, dst.width(), src.width(), col0, cols);
  MapAxis(y, h, ys, hs, mirror_y, dst.height(), src.height(), row0, rows);
  if (cols.empty() || rows.empty()) return 1;
  const size_t n = cols.size();

  const bool src_paletted = src.bpp() <= 8;
  const bool dst_paletted = dst.bpp() <= 8;
  const bool same_table = src_paletted && src.bpp() == dst.bpp() &&
                          std::equal(src.colors().begin(), src.colors().end(), dst.colors().begin(),
                                     dst.colors().end(), [](const RGBQuad& a, const RGBQuad& b) {
                                       return QuadToValue(a) == QuadToValue(b);
                                     });
  const bool same_values = same_table || (!src_paletted && src.bpp() == dst.bpp());

  // Straight row copies when nothing needs converting or combining.
  const bool contiguous = ws == w && !mirror_x;
  if (same_values && rop == Rop::kCopy && contiguous && dst.bpp() >= 8) {
    const size_t bytes_pp = size_t(dst.bpp() / 8);
    for (size_t r = 0; r < rows.size(); ++r)
      std::memcpy(dst.row(int(row0 + int64_t(r))) + size_t(col0) * bytes_pp,
                  src.row(rows[r]) + size_t(cols[0]) * bytes_pp, n * bytes_pp);
    return 1;
  }

  // Per-pixel conversion is one table lookup for paletted sources.
  std::vector<uint32_t> lut;
  if (src_paletted) {
    lut.resize(src.colors().size());
    for (size_t i = 0; i < lut.size(); ++i)
      lut[i] = same_table ? uint32_t(i) : ColorToStored(dst, QuadToValue(src.colors()[i]));
  }
  std::unique_ptr<NearestCache> cache;
  if (!src_paletted && dst_paletted) cache = std::make_unique<NearestCache>(dst.colors());

  // Fused row loops for the copies the program makes most: 8-bit frames into 32-bit pictures
  // and 1-bit masks, and 24/32-bit conversions of whole pictures.
  if (rop == Rop::kCopy && contiguous) {
    const size_t x0 = size_t(cols[0]), dx0 = size_t(col0);
    auto each_row = [&](auto&& body) {
      for (size_t r = 0; r < rows.size(); ++r)
        body(src.row(rows[r]), dst.row(int(row0 + int64_t(r))));
    };
    if (src.bpp() == 8 && dst.bpp() == 32) {
      each_row([&](const uint8_t* s, uint8_t* d) {
        s += x0;
        d += dx0 * 4;
        for (size_t i = 0; i < n; ++i) {
          const uint32_t v = lut[s[i]];
          d[4 * i] = uint8_t(v);
          d[4 * i + 1] = uint8_t(v >> 8);
          d[4 * i + 2] = uint8_t(v >> 16);
          d[4 * i + 3] = 0;
        }
      });
      return 1;
    }
    if (src.bpp() == 8 && dst.bpp() == 1 && dx0 % 8 == 0) {
      each_row([&](const uint8_t* s, uint8_t* d) {
        s += x0;
        d += dx0 / 8;
        size_t i = 0;
        for (; i + 8 <= n; i += 8)
          d[i / 8] = uint8_t(lut[s[i]] << 7 | lut[s[i + 1]] << 6 | lut[s[i + 2]] << 5 |
                             lut[s[i + 3]] << 4 | lut[s[i + 4]] << 3 | lut[s[i + 5]] << 2 |
                             lut[s[i + 6]] << 1 | lut[s[i + 7]]);
        if (i < n) {
          uint8_t keep = uint8_t(0xFF >> (n - i)), bits = 0;
          for (size_t k = i; k < n; ++k) bits |= uint8_t(lut[s[k]] << (7 - (k - i)));
          d[i / 8] = uint8_t((d[i / 8] & keep) | bits);
        }
      });
      return 1;
    }
    if (src.bpp() == 24 && dst.bpp() == 32) {
      each_row([&](const uint8_t* s, uint8_t* d) {
        s += x0 * 3;
        d += dx0 * 4;
        for (size_t i = 0; i < n; ++i, s += 3, d += 4) {
          d[0] = s[0];
          d[1] = s[1];
          d[2] = s[2];
          d[3] = 0;
        }
      });
      return 1;
    }
    if (src.bpp() == 32 && dst.bpp() == 24) {
      each_row([&](const uint8_t* s, uint8_t* d) {
        s += x0 * 4;
        d += dx0 * 3;
        for (size_t i = 0; i < n; ++i, s += 4, d += 3) {
          d[0] = s[0];
          d[1] = s[1];
          d[2] = s[2];
        }
      });
      return 1;
    }
  }

  std::vector<uint32_t> vals(n);
  for (size_t r = 0; r < rows.size(); ++r) {
    Gather(src, rows[r], cols.data(), n, contiguous, vals.data());
    if (src_paletted) {
      const uint32_t* t = lut.data();
      for (auto& v : vals) v = t[v];
    } else if (dst_paletted) {
      for (auto& v : vals) v = (*cache)(v);
    } else if (dst.bpp() == 16) {
      for (auto& v : vals) v = Color32To16(v);
    }
    Put(dst, int(row0 + int64_t(r)), int(col0), vals.data(), n, rop);
  }
  return 1;
}

}  // namespace

int BitBlt(HDC dst, int x, int y, int w, int h, HDC src, int xs, int ys, uint32_t rop) {
  Rop unused;
  if (!dst || !src || !dst->selected() || !src->selected() || !ToRop(rop, unused)) return 0;
  if (w <= 0 || h <= 0) return 1;
  return Blit(dst, x, y, w, h, src, xs, ys, w, h, rop);
}

int StretchBlt(HDC dst, int x, int y, int w, int h, HDC src, int xs, int ys, int ws, int hs,
               uint32_t rop) {
  return Blit(dst, x, y, w, h, src, xs, ys, ws, hs, rop);
}

int FillRect(HDC dst_dc, int left, int top, int right, int bottom, ColorRef color) {
  if (!dst_dc || !dst_dc->selected()) return 0;
  DibSection& dst = *dst_dc->selected();
  const int x0 = std::max(left, 0), x1 = std::min(right, dst.width());
  const int y0 = std::max(top, 0), y1 = std::min(bottom, dst.height());
  if (x0 >= x1 || y0 >= y1) return 1;
  const uint32_t value = (color >> 16 & 0xFF) | (color & 0xFF00) | ((color & 0xFF) << 16);
  const uint32_t stored = ColorToStored(dst, value);
  std::vector<uint32_t> vals(size_t(x1 - x0), stored);
  Put(dst, y0, x0, vals.data(), vals.size(), Rop::kCopy);
  // Every row of the rectangle gets the same bytes; when the rectangle covers whole bytes the
  // first row is copied instead of being built pixel by pixel again.
  const int bpp = dst.bpp();
  if ((int64_t(x0) * bpp) % 8 == 0 && (int64_t(x1) * bpp) % 8 == 0) {
    const size_t begin = size_t(int64_t(x0) * bpp / 8), len = size_t(int64_t(x1 - x0) * bpp / 8);
    const uint8_t* first = dst.row(y0) + begin;
    for (int y = y0 + 1; y < y1; ++y) std::memcpy(dst.row(y) + begin, first, len);
  } else {
    for (int y = y0 + 1; y < y1; ++y) Put(dst, y, x0, vals.data(), vals.size(), Rop::kCopy);
  }
  return 1;
}

unsigned GetDIBColorTable(HDC dc, unsigned start, unsigned count, RGBQuad* out) {
  if (!dc || !dc->selected() || !out) return 0;
  auto table = dc->selected()->colors();
  if (start >= table.size()) return 0;
  const unsigned n = unsigned(std::min<size_t>(count, table.size() - start));
  std::copy_n(table.begin() + start, n, out);
  return n;
}

unsigned SetDIBColorTable(HDC dc, unsigned start, unsigned count, const RGBQuad* in) {
  if (!dc || !dc->selected() || !in) return 0;
  auto table = dc->selected()->colors();
  if (start >= table.size()) return 0;
  const unsigned n = unsigned(std::min<size_t>(count, table.size() - start));
  std::copy_n(in, n, table.begin() + start);
  return n;
}

int GetNearestPaletteIndex(const LogicalPalette& palette, ColorRef color) {
  const auto& e = palette.entries();
  if (e.empty()) return -1;
  const int r = int(color & 0xFF), g = int((color >> 8) & 0xFF), b = int((color >> 16) & 0xFF);
  int best = 0;
  int best_d = std::numeric_limits<int>::max();
  for (size_t i = 0; i < e.size(); ++i) {
    const int dr = e[i].red - r, dg = e[i].green - g, db = e[i].blue - b;
    const int d = dr * dr + dg * dg + db * db;
    if (d < best_d) {
      best_d = d;
      best = int(i);
    }
  }
  return best;
}

}  // namespace qm::gdi
