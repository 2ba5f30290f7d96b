#include "imaging/mDither8bpp.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "platform/error.h"
#include "platform/numbers.h"
#include "platform/parallel.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm::mDither8bpp {

namespace {

constexpr int kLevel6Min = -51, kLevel6Max = 280;
constexpr int kLevel16Min = -8, kLevel16Max = 262;
constexpr int kErrMax = 255;
// A channel 0..255 plus one share of at most 112 either way.
constexpr int kSumMin = -112, kSumMax = 367;

constexpr std::array<int32_t, 16> kBayer16 = {1, 9,  3, 11, 13, 5, 15, 7,
                                              4, 12, 2, 10, 16, 8, 14, 6};

// A palette index with that entry's colour, for one lookup key.
struct KeyEntry {
  uint8_t index, red, green, blue;
};

// The constant tables, built once on first use and only read afterwards, so any number of
// threads may share them.
struct Tables {
  Tables();

  std::array<uint8_t, kLevel6Max - kLevel6Min + 1> level6{};
  std::array<uint8_t, kLevel16Max - kLevel16Min + 1> level16{};
  std::array<uint8_t, 216> cube_index{};
  std::array<int32_t, 16> bayer16{};
  std::array<int32_t, 16> bayer51{};
  std::array<int16_t, 2 * kErrMax + 1> diffuse1{}, diffuse3{}, diffuse5{}, diffuse7{};
  // Derived for the diffusion loop: per-channel key parts (level times 1, 6, 36 or 1, 16, 256).
  std::array<std::array<int16_t, 256>, 3> key6{}, key16{};
  // For each error e + 255 the four shares as 16-bit lanes: 7, 5, 1 and 3 sixteenths.
  std::array<uint64_t, 2 * kErrMax + 1> shares{};

  // Offset pointers so that tables are indexed by their natural (possibly negative) keys.
  const uint8_t* L6() const { return level6.data() - kLevel6Min; }
  const uint8_t* L16() const { return level16.data() - kLevel16Min; }

  static const Tables& Get() {
    static const Tables tables;
    return tables;
  }
};

}  // namespace

// What one context's reductions work on: the inverse colour map of its palette, a copy of that
// palette, each key's entry for the diffusion loop, and the views ReduceColors attaches.
struct Context::Work {
  std::array<uint8_t, 4096> lookup16{};
  std::array<KeyEntry, 4096> key_entries{};
  std::array<uint8_t, cPal8bpp::kTableBytes> palette_bytes{};

  PixelView source;
  BitsView destination;
  bool source_top_down = true;
  bool destination_top_down = true;
  int32_t last_column = -1;
  int32_t last_row = -1;

  // Picture row y (0 = top) of each side, whatever its storage order; checked once per row.
  Pixel32* SourceRow(int32_t y) const {
    return source.row(source_top_down ? y : source.rows() - 1 - y).data();
  }
  uint8_t* DestinationRow(int32_t y) const {
    const int32_t r = destination_top_down ? y : destination.rows() - 1 - y;
    const std::span<uint8_t> row = destination.row(r);
    if (static_cast<int64_t>(row.size()) <= last_column) Raise(kErrSubscript);
    return row.data();
  }
};

Context::Context() : work_(std::make_unique<Work>()) {}
Context::~Context() = default;

namespace {

using Work = Context::Work;

template <typename Table>
auto Checked(const Table& table, int32_t index, int32_t first) {
  const int64_t i = int64_t(index) - first;
  if (i < 0 || i >= static_cast<int64_t>(table.size())) Raise(kErrSubscript);
  return table[static_cast<size_t>(i)];
}

// Ordered dithering: the threshold of each matrix cell is subtracted from the channel before its
// level lookup. `offset` is the half step (26 or 8), `matrix` Bayer51 or Bayer16.
template <typename IndexOf>
void OrderedRows(const Work& w, const std::array<int32_t, 16>& matrix, int32_t offset,
                 IndexOf index_of) {
  const int32_t width = w.last_column + 1;
  // Every pixel depends only on itself and its place, so the two halves of the frame can be
  // done at once.
  ForRowsInTwo(w.last_row + 1, int64_t(width) * (w.last_row + 1), [&](int32_t first, int32_t last) {
    for (int32_t y = first; y < last; ++y) {
      const Pixel32* s = w.SourceRow(y);
      uint8_t* d = w.DestinationRow(y);
      const int32_t* cell = matrix.data() + 4 * (y & 3);
      const int32_t t[4] = {offset - cell[0], offset - cell[1], offset - cell[2], offset - cell[3]};
      int32_t x = 0;
      for (; x + 4 <= width; x += 4) {
        d[x] = index_of(s[x], t[0]);
        d[x + 1] = index_of(s[x + 1], t[1]);
        d[x + 2] = index_of(s[x + 2], t[2]);
        d[x + 3] = index_of(s[x + 3], t[3]);
      }
      for (; x < width; ++x) d[x] = index_of(s[x], t[x & 3]);
    }
  });
}

template <typename IndexOf>
void NearestRows(const Work& w, IndexOf index_of) {
  const int32_t width = w.last_column + 1;
  for (int32_t y = 0; y <= w.last_row; ++y) {
    const Pixel32* s = w.SourceRow(y);
    uint8_t* d = w.DestinationRow(y);
    for (int32_t x = 0; x < width; ++x) d[x] = index_of(s[x].red, s[x].green, s[x].blue);
  }
}

struct Channels {
  int r, g, b;
};

inline Channels Load(const Pixel32& p) {
  return {p.red, p.green, p.blue};
}

inline void Store(Pixel32& p, const Channels& c) {
  p.red = static_cast<uint8_t>(c.r);
  p.green = static_cast<uint8_t>(c.g);
  p.blue = static_cast<uint8_t>(c.b);
}

inline int ClampByte(int v) {
  return std::min(255, std::max(0, v));
}

// Adds one share table's entries for the three errors, which come offset by 255.
inline void Spread(Channels& c, const int16_t* share, int eR, int eG, int eB) {
  c.r = ClampByte(c.r + share[eR]);
  c.g = ClampByte(c.g + share[eG]);
  c.b = ClampByte(c.b + share[eB]);
}

// Per-channel parts of a lookup key: key = kr[R] + kg[G] + kb[B] for channel values 0..255.
struct KeyTables {
  const int16_t *kr, *kg, *kb;
};

// State of one row pass: the pixel being mapped, and the pixels below-left, below and
// below-right of it, all held in registers until their last share from this row has arrived.
struct RowPass {
  const Pixel32* cur;
  Pixel32* below;
  uint8_t* out;
  Channels here, left_below, under, right_below;
};

// One pixel of Floyd-Steinberg. The neighbours that exist are known per call site, so the
// per-pixel work has no branches: an error too small to spread is replaced by zero shares.
template <bool kRight, bool kLeft, bool kBelow>
inline void DiffuseStep(const Tables& m, RowPass& p, int32_t x, KeyTables keys,
                        const KeyEntry* entries) {
  const KeyEntry e = entries[keys.kr[p.here.r] + keys.kg[p.here.g] + keys.kb[p.here.b]];
  p.out[x] = e.index;
  int eR = p.here.r - e.red, eG = p.here.g - e.green, eB = p.here.b - e.blue;
  const bool spread = std::abs(eR) + std::abs(eG) + std::abs(eB) > 3;
  eR = spread ? eR + kErrMax : kErrMax;
  eG = spread ? eG + kErrMax : kErrMax;
  eB = spread ? eB + kErrMax : kErrMax;
  if constexpr (kRight) {
    p.here = Load(p.cur[x + 1]);
    Spread(p.here, m.diffuse7.data(), eR, eG, eB);
  }
  if constexpr (kBelow) {
    if constexpr (kRight) p.right_below = Load(p.below[x + 1]);
    Spread(p.under, m.diffuse5.data(), eR, eG, eB);
    if constexpr (kRight) Spread(p.right_below, m.diffuse1.data(), eR, eG, eB);
    if constexpr (kLeft) {
      Spread(p.left_below, m.diffuse3.data(), eR, eG, eB);
      Store(p.below[x - 1], p.left_below);
    }
    p.left_below = p.under;
    p.under = p.right_below;
  }
}

template <bool kBelow>
void DiffuseRow(const Tables& m, RowPass& p, int32_t last, KeyTables keys,
                const KeyEntry* entries) {
  p.here = Load(p.cur[0]);
  if constexpr (kBelow) p.under = Load(p.below[0]);
  if (last == 0) {
    DiffuseStep<false, false, kBelow>(m, p, 0, keys, entries);
  } else {
    DiffuseStep<true, false, kBelow>(m, p, 0, keys, entries);
    for (int32_t x = 1; x < last; ++x) DiffuseStep<true, true, kBelow>(m, p, x, keys, entries);
    DiffuseStep<false, true, kBelow>(m, p, last, keys, entries);
  }
  if constexpr (kBelow) Store(p.below[last], p.left_below);
}

#if defined(__SSE2__)
// The same step, split in two. The chain that decides the speed (pixel -> key -> entry -> error
// -> share -> next pixel) stays in scalar registers and is kept short: the key tables take the
// unclamped sums (-112..367) and clamp inside the lookup, so the clamp is off the chain. The
// three pixels below get their shares off the chain as 16-bit lanes of vectors (blue, green,
// red, reserved), one add, min and max for all channels; the reserved lane gets zero shares.
struct VectorPass {
  const Pixel32* cur;
  Pixel32* below;
  uint8_t* out;
  int r, g, b;         // the pixel being mapped, with the shares it got from its left
  __m128i under;       // high half: the pixel below it
  __m128i left_below;  // low half: the pixel below-left
};

inline __m128i LoadPixel(const Pixel32& p) {
  int32_t v;
  std::memcpy(&v, &p, 4);
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), _mm_setzero_si128());
}

inline void StorePixel(Pixel32& p, __m128i lanes) {
  const int32_t v = _mm_cvtsi128_si32(_mm_packus_epi16(lanes, lanes));
  std::memcpy(&p, &v, 4);
}

inline __m128i Load64(const uint64_t& v) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&v));
}

inline __m128i ClampLanes(__m128i v) {
  return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16(255));
}

template <bool kRight, bool kLeft, bool kBelow>
inline void VectorStep(const Tables& m, VectorPass& p, int32_t x, const int32_t* const* keys,
                       const KeyEntry* entries) {
  const int32_t wr = keys[0][p.r], wg = keys[1][p.g], wb = keys[2][p.b];
  const KeyEntry e = entries[(wr + wg + wb) & 0xFFFF];
  p.out[x] = e.index;
  const int eR = (wr >> 16) - e.red, eG = (wg >> 16) - e.green, eB = (wb >> 16) - e.blue;
  // The small-error test runs beside the share lookups rather than before them.
  const int keep = -int(std::abs(eR) + std::abs(eG) + std::abs(eB) > 3);
  if constexpr (kRight) {
    const int16_t* d7 = m.diffuse7.data() + kErrMax;
    const Pixel32& next = p.cur[x + 1];
    p.r = next.red + (d7[eR] & keep);
    p.g = next.green + (d7[eG] & keep);
    p.b = next.blue + (d7[eB] & keep);
  }
  if constexpr (kBelow) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i blue_green = _mm_unpacklo_epi16(Load64(m.shares[(eB & keep) + kErrMax]),
                                                  Load64(m.shares[(eG & keep) + kErrMax]));
    const __m128i red = _mm_unpacklo_epi16(Load64(m.shares[(eR & keep) + kErrMax]), zero);
    const __m128i under = ClampLanes(_mm_add_epi16(p.under, _mm_unpacklo_epi32(blue_green, red)));
    const __m128i right_below = kRight ? LoadPixel(p.below[x + 1]) : zero;
    const __m128i far = ClampLanes(_mm_add_epi16(_mm_unpacklo_epi64(right_below, p.left_below),
                                                 _mm_unpackhi_epi32(blue_green, red)));
    if constexpr (kLeft) StorePixel(p.below[x - 1], _mm_unpackhi_epi64(far, far));
    p.left_below = _mm_unpackhi_epi64(under, under);
    p.under = _mm_unpacklo_epi64(zero, far);
  }
}

template <bool kBelow>
void VectorRow(const Tables& m, VectorPass& p, int32_t last, const int32_t* const* keys,
               const KeyEntry* entries) {
  p.r = p.cur[0].red, p.g = p.cur[0].green, p.b = p.cur[0].blue;
  if constexpr (kBelow) p.under = _mm_unpacklo_epi64(_mm_setzero_si128(), LoadPixel(p.below[0]));
  if (last == 0) {
    VectorStep<false, false, kBelow>(m, p, 0, keys, entries);
  } else {
    VectorStep<true, false, kBelow>(m, p, 0, keys, entries);
    for (int32_t x = 1; x < last; ++x) VectorStep<true, true, kBelow>(m, p, x, keys, entries);
    VectorStep<false, true, kBelow>(m, p, last, keys, entries);
  }
  if constexpr (kBelow) StorePixel(p.below[last], p.left_below);
}

inline void StartRow(VectorPass& p, bool below) {
  p.r = p.cur[0].red, p.g = p.cur[0].green, p.b = p.cur[0].blue;
  if (below) p.under = _mm_unpacklo_epi64(_mm_setzero_si128(), LoadPixel(p.below[0]));
}

// Two rows at once, the lower two pixels behind the upper, so that the two chains overlap. A
// pixel of the lower row is mapped only after the upper row has sent it its last share (from
// the pixel above-right), and the upper row goes first in each round so the pixel to its
// right in the lower row receives that share before the lower row's own, as in reading order.
template <bool kLowerBelow>
void VectorPair(const Tables& m, VectorPass& a, VectorPass& b, int32_t last,
                const int32_t* const* keys, const KeyEntry* entries) {
  StartRow(a, true);
  VectorStep<true, false, true>(m, a, 0, keys, entries);
  VectorStep<true, true, true>(m, a, 1, keys, entries);
  StartRow(b, kLowerBelow);
  VectorStep<true, true, true>(m, a, 2, keys, entries);
  VectorStep<true, false, kLowerBelow>(m, b, 0, keys, entries);
  for (int32_t x = 3; x < last; ++x) {
    VectorStep<true, true, true>(m, a, x, keys, entries);
    VectorStep<true, true, kLowerBelow>(m, b, x - 2, keys, entries);
  }
  VectorStep<false, true, true>(m, a, last, keys, entries);
  StorePixel(a.below[last], a.left_below);
  VectorStep<true, true, kLowerBelow>(m, b, last - 2, keys, entries);
  VectorStep<true, true, kLowerBelow>(m, b, last - 1, keys, entries);
  VectorStep<false, true, kLowerBelow>(m, b, last, keys, entries);
  if constexpr (kLowerBelow) StorePixel(b.below[last], b.left_below);
}
#endif

// Floyd-Steinberg over the working copy, in reading order; each neighbour is clamped as soon as
// it receives a share, and shares that would leave the frame are dropped. Pixels of the current
// row are not written back: nothing reads them again.
//
// The loop is bound by the chain pixel -> index -> error -> share -> next pixel, so `entries`
// gives, for each key, the palette index and that entry's colour in one load.
void DiffuseRows(const Work& w, KeyTables keys, const KeyEntry* entries) {
  const Tables& m = Tables::Get();
#if defined(__SSE2__)
  // For an unclamped sum v: the key part of the clamped value in the low 16 bits, the clamped
  // value itself above them (key parts are below 4096, so three of them never carry).
  std::array<std::array<int32_t, kSumMax - kSumMin + 1>, 3> wide;
  const int16_t* parts[3] = {keys.kr, keys.kg, keys.kb};
  const int32_t* wide_keys[3];
  for (int c = 0; c < 3; ++c) {
    for (int v = kSumMin; v <= kSumMax; ++v)
      wide[c][v - kSumMin] = parts[c][ClampByte(v)] | ClampByte(v) << 16;
    wide_keys[c] = wide[c].data() - kSumMin;
  }
  const int32_t last = w.last_column;
  int32_t y = 0;
  if (last >= 3) {
    for (; y + 1 <= w.last_row; y += 2) {
      VectorPass a{w.SourceRow(y), w.SourceRow(y + 1), w.DestinationRow(y), 0, 0, 0, {}, {}};
      VectorPass b{a.below, nullptr, w.DestinationRow(y + 1), 0, 0, 0, {}, {}};
      if (y + 1 < w.last_row) {
        b.below = w.SourceRow(y + 2);
        VectorPair<true>(m, a, b, last, wide_keys, entries);
      } else {
        VectorPair<false>(m, a, b, last, wide_keys, entries);
      }
    }
  }
  for (; y <= w.last_row; ++y) {
    VectorPass p{w.SourceRow(y), nullptr, w.DestinationRow(y), 0, 0, 0, {}, {}};
    if (y < w.last_row) {
      p.below = w.SourceRow(y + 1);
      VectorRow<true>(m, p, last, wide_keys, entries);
    } else {
      VectorRow<false>(m, p, last, wide_keys, entries);
    }
  }
#else
  for (int32_t y = 0; y <= w.last_row; ++y) {
    RowPass p{w.SourceRow(y), nullptr, w.DestinationRow(y), {}, {}, {}, {}};
    if (y < w.last_row) {
      p.below = w.SourceRow(y + 1);
      DiffuseRow<true>(m, p, w.last_column, keys, entries);
    } else {
      DiffuseRow<false>(m, p, w.last_column, keys, entries);
    }
  }
#endif
}

// Fills w.key_entries[0..count) from a key-to-index table and the context's palette copy.
const KeyEntry* MakeKeyEntries(Work& w, const uint8_t* index_of_key, int count) {
  for (int k = 0; k < count; ++k) {
    const uint8_t index = index_of_key[k];
    const uint8_t* q = w.palette_bytes.data() + 4 * index;
    w.key_entries[k] = KeyEntry{index, q[2], q[1], q[0]};
  }
  return w.key_entries.data();
}

auto CubeNearest(const Tables& t) {
  return [l6 = t.L6(), cube = t.cube_index.data()](int r, int gr, int b) {
    return cube[l6[r] + 6 * l6[gr] + 36 * l6[b]];
  };
}

auto OptimalNearest(const Tables& t, const Work& w) {
  return [l16 = t.L16(), lut = w.lookup16.data()](int r, int gr, int b) {
    return lut[l16[r] + 16 * l16[gr] + 256 * l16[b]];
  };
}

// Detaches the views however ReduceColors ends: the working copy they may point into is gone.
struct ViewsGuard {
  Work& w;
  ~ViewsGuard() {
    w.source.Detach();
    w.destination.Detach();
    w.last_column = -1;
    w.last_row = -1;
  }
};

Tables::Tables() {
  bayer16 = kBayer16;
  for (int i = 0; i < 16; ++i) bayer51[i] = CLng(kBayer16[i] * 51 / 16.0);
  for (int i = 0; i < 216; ++i) cube_index[i] = static_cast<uint8_t>(i);
  for (int k = kLevel6Min; k <= kLevel6Max; ++k)
    level6[k - kLevel6Min] = static_cast<uint8_t>(std::clamp(CLng(k / 51.0), 0, 5));
  for (int k = kLevel16Min; k <= kLevel16Max; ++k)
    level16[k - kLevel16Min] = static_cast<uint8_t>(std::clamp(CLng(k / 17.0), 0, 15));
  for (int e = -kErrMax; e <= kErrMax; ++e) {
    diffuse1[e + kErrMax] = static_cast<int16_t>(CLng(1 * e / 16.0));
    diffuse3[e + kErrMax] = static_cast<int16_t>(CLng(3 * e / 16.0));
    diffuse5[e + kErrMax] = static_cast<int16_t>(CLng(5 * e / 16.0));
    diffuse7[e + kErrMax] = static_cast<int16_t>(CLng(7 * e / 16.0));
    const int i = e + kErrMax;
    shares[i] = uint64_t(uint16_t(diffuse7[i])) | uint64_t(uint16_t(diffuse5[i])) << 16 |
                uint64_t(uint16_t(diffuse1[i])) << 32 | uint64_t(uint16_t(diffuse3[i])) << 48;
  }
  for (int c = 0; c < 256; ++c) {
    const int l6 = level6[c - kLevel6Min], l16 = level16[c - kLevel16Min];
    key6[0][c] = int16_t(l6), key6[1][c] = int16_t(6 * l6), key6[2][c] = int16_t(36 * l6);
    key16[0][c] = int16_t(l16), key16[1][c] = int16_t(16 * l16);
    key16[2][c] = int16_t(256 * l16);
  }
}

}  // namespace

void InitDitherTables() {
  Tables::Get();
}

Context& DefaultContext() {
  static Context context;
  return context;
}

void SetPaletteMode(int32_t mode) {
  DefaultContext().SetPaletteMode(mode);
}
void SetDitherMode(int32_t mode) {
  DefaultContext().SetDitherMode(mode);
}
int32_t PaletteMode() {
  return DefaultContext().PaletteMode();
}
int32_t DitherMode() {
  return DefaultContext().DitherMode();
}

void BuildOptimalPalette(Context& context, const cDIB& source, cPal8bpp& palette) {
  cDIB thumbnail;
  source.CloneTo(thumbnail);
  int32_t bfx = 0, bfy = 0, bfW = 0, bfH = 0;
  thumbnail.GetBestFitInfo(50, 50, bfx, bfy, bfW, bfH, false);
  thumbnail.Resize(bfW, bfH, true);
  palette.CreateOptimal(thumbnail, 256, 6, 1.0f, 1.0f, 1.0f);
  BuildLookup16(context, palette);
}

void BuildLookup16(Context& context, const cPal8bpp& palette) {
  std::array<uint8_t, 4096>& lookup16 = context.work().lookup16;
  for (int b = 0; b < 16; ++b)
    for (int gr = 0; gr < 16; ++gr)
      for (int r = 0; r < 16; ++r)
        lookup16[r + 16 * gr + 256 * b] =
            palette.ClosestIndex(static_cast<uint8_t>(17 * r), static_cast<uint8_t>(17 * gr),
                                 static_cast<uint8_t>(17 * b));
}

void ReduceColors(Context& context, cDIB& source, cDIB& destination, cPal8bpp& palette,
                  bool KeepPalette) {
  if (source.BPP() != 32 || !source.hDIB()) Raise(kErrSubscript);
  // Re-creating the destination would destroy a source that is the same bitmap.
  if (&source == &destination) Raise(kErrInvalidCall);
  Work& w = context.work();

  if (!KeepPalette) {
    if (context.PaletteMode() == 0) {
      palette.CreateHalftone(4);
    } else if (context.PaletteMode() == 1) {
      BuildOptimalPalette(context, source, palette);
    }
  }
  const auto table = palette.lpPalette();
  std::memcpy(w.palette_bytes.data(), table.data(), table.size());

  cDIB working;
  cDIB* read = &source;
  if (context.DitherMode() == 2) {
    source.CloneTo(working);
    read = &working;
  }

  destination.Create(source.Width(), source.Height(), 8);
  destination.SetPalette(w.palette_bytes);

  ViewsGuard guard{w};
  MapDIBPixels(w.source, *read);
  MapDIBBits(w.destination, destination);
  // A copy holds the source's memory rows in the source's order, so the source says which
  // memory row is the top of the picture.
  w.source_top_down = source.hDIB()->top_down();
  w.destination_top_down = destination.hDIB() ? destination.hDIB()->top_down() : true;
  w.last_column = source.Width() - 1;
  w.last_row = source.Height() - 1;
  // The pixel view must cover the frame; a copy that failed leaves it empty.
  if (w.source.columns() != source.Width() || w.source.rows() != source.Height())
    Raise(kErrSubscript);

  switch (context.PaletteMode() * 3 + context.DitherMode()) {
    case 0:
      ReduceHalftoneNone(context);
      break;
    case 1:
      ReduceHalftoneOrdered(context);
      break;
    case 2:
      ReduceHalftoneDiffuse(context);
      break;
    case 3:
      ReduceOptimalNone(context);
      break;
    case 4:
      ReduceOptimalOrdered(context);
      break;
    case 5:
      ReduceOptimalDiffuse(context);
      break;
    default:
      break;
  }
}

void ReduceHalftoneNone(Context& context) {
  NearestRows(context.work(), CubeNearest(Tables::Get()));
}

void ReduceOptimalNone(Context& context) {
  NearestRows(context.work(), OptimalNearest(Tables::Get(), context.work()));
}

void ReduceHalftoneOrdered(Context& context) {
  const Tables& t = Tables::Get();
  OrderedRows(context.work(), t.bayer51, 26,
              [l6 = t.L6(), cube = t.cube_index.data()](const Pixel32& p, int32_t k) {
                return cube[l6[p.red + k] + 6 * l6[p.green + k] + 36 * l6[p.blue + k]];
              });
}

void ReduceOptimalOrdered(Context& context) {
  const Tables& t = Tables::Get();
  OrderedRows(context.work(), t.bayer16, 8,
              [l16 = t.L16(), lut = context.work().lookup16.data()](const Pixel32& p, int32_t k) {
                return lut[l16[p.red + k] + 16 * l16[p.green + k] + 256 * l16[p.blue + k]];
              });
}

void ReduceHalftoneDiffuse(Context& context) {
  const Tables& t = Tables::Get();
  Work& w = context.work();
  DiffuseRows(w, {t.key6[0].data(), t.key6[1].data(), t.key6[2].data()},
              MakeKeyEntries(w, t.cube_index.data(), int(t.cube_index.size())));
}

void ReduceOptimalDiffuse(Context& context) {
  const Tables& t = Tables::Get();
  Work& w = context.work();
  DiffuseRows(w, {t.key16[0].data(), t.key16[1].data(), t.key16[2].data()},
              MakeKeyEntries(w, w.lookup16.data(), int(w.lookup16.size())));
}

// The classic routines, on the default context.
void BuildOptimalPalette(const cDIB& source, cPal8bpp& palette) {
  BuildOptimalPalette(DefaultContext(), source, palette);
}
void BuildLookup16(const cPal8bpp& palette) {
  BuildLookup16(DefaultContext(), palette);
}
void ReduceColors(cDIB& source, cDIB& destination, cPal8bpp& palette, bool KeepPalette) {
  ReduceColors(DefaultContext(), source, destination, palette, KeepPalette);
}
void ReduceHalftoneNone() {
  ReduceHalftoneNone(DefaultContext());
}
void ReduceHalftoneOrdered() {
  ReduceHalftoneOrdered(DefaultContext());
}
void ReduceHalftoneDiffuse() {
  ReduceHalftoneDiffuse(DefaultContext());
}
void ReduceOptimalNone() {
  ReduceOptimalNone(DefaultContext());
}
void ReduceOptimalOrdered() {
  ReduceOptimalOrdered(DefaultContext());
}
void ReduceOptimalDiffuse() {
  ReduceOptimalDiffuse(DefaultContext());
}

uint8_t Level6(int32_t k) {
  return Checked(Tables::Get().level6, k, kLevel6Min);
}
uint8_t Level16(int32_t k) {
  return Checked(Tables::Get().level16, k, kLevel16Min);
}
uint8_t CubeIndex(int32_t i) {
  return Checked(Tables::Get().cube_index, i, 0);
}
uint8_t Lookup16(const Context& context, int32_t i) {
  return Checked(context.work().lookup16, i, 0);
}
uint8_t Lookup16(int32_t i) {
  return Lookup16(DefaultContext(), i);
}
int32_t Bayer16(int32_t i) {
  return Checked(Tables::Get().bayer16, i, 0);
}
int32_t Bayer51(int32_t i) {
  return Checked(Tables::Get().bayer51, i, 0);
}
int32_t Diffuse1(int32_t e) {
  return Checked(Tables::Get().diffuse1, e, -kErrMax);
}
int32_t Diffuse3(int32_t e) {
  return Checked(Tables::Get().diffuse3, e, -kErrMax);
}
int32_t Diffuse5(int32_t e) {
  return Checked(Tables::Get().diffuse5, e, -kErrMax);
}
int32_t Diffuse7(int32_t e) {
  return Checked(Tables::Get().diffuse7, e, -kErrMax);
}

}  // namespace qm::mDither8bpp
