#include "gif/mGIFLZWDec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "imaging/cDIB.h"

namespace qm::mGIFLZWDec {
namespace {

constexpr int kLastTableCode = 4096;  // entries may be added up to here, one past the 12-bit range
constexpr int kMaxCodeWidth = 12;
constexpr int kStackSize = 4001;  // longest string the decoder expands
static_assert(std::endian::native == std::endian::little,
              "the bit reader loads bytes in host order");

constexpr int kStartRows[4] = {0, 4, 2, 1};
constexpr int kRowSteps[4] = {8, 8, 4, 2};

constexpr std::array<uint32_t, 33> MakePowersOfTwo() {
  std::array<uint32_t, 33> t{};
  t[0] = 0;
  t[1] = 1;
  for (int k = 1; k <= 30; ++k) t[k + 1] = 2 * t[k];
  t[32] = 0x80000000u;
  return t;
}

constexpr std::array<uint32_t, 33> kPowersOfTwo = MakePowersOfTwo();

// The string table and the expansion stack of one decoding, about 18 KB: kept off the stack.
struct Tables {
  uint16_t prefix[kLastTableCode + 1];
  uint8_t suffix[kLastTableCode + 1];
  uint8_t first[kLastTableCode + 1];
  uint16_t length[kLastTableCode + 1];  // 0 marks a code that is not a pixel string
  uint8_t stack[kStackSize];

  // Writes the string of `code` (length n) so that its last pixel lands at out[n - 1].
  void Expand(int code, int n, uint8_t* out) const {
    for (int i = n - 1; i >= 0; --i) {
      out[i] = suffix[code];
      code = prefix[code];
    }
  }
};

// The whole decoding loop. The bit reader and the pixel cursor live in locals, so the pixel
// stores (which may alias anything) do not force them back to memory.
void Run(Tables& t, std::span<const uint8_t> input, const BitsView& view, int32_t width,
         int32_t height, bool interlaced, int min_code_size, int32_t& rows_done, int32_t& x) {
  const uint8_t* const data = input.data();
  const size_t size = input.size();
  size_t pos = 0;
  uint64_t buffer = 0;
  int bits = 0;

  const int32_t last_row = height - 1;
  const int passes = interlaced ? 4 : 1;
  int pass = 0;
  int32_t y = 0;
  x = 0;
  rows_done = 0;
  uint8_t* row = view.row(0).data();

  // False when the data cannot supply `code_width` more bits.
  auto read_code = [&](int code_width, int& code) {
    if (bits < code_width) {
      if (size - pos >= 8) {
        const int taken = (63 - bits) >> 3;  // whole bytes that fit, at most 7
        uint64_t v;
        std::memcpy(&v, data + pos, 8);
        v &= (uint64_t(1) << (taken * 8)) - 1;
        buffer |= v << bits;
        pos += size_t(taken);
        bits += taken * 8;
      } else {
        while (bits <= 56 && pos < size) {
          buffer |= uint64_t(data[pos++]) << bits;
          bits += 8;
        }
        if (bits < code_width) return false;
      }
    }
    code = int(buffer & ((uint64_t(1) << code_width) - 1));
    buffer >>= code_width;
    bits -= code_width;
    return true;
  };
  // Moves to the start of the next row to fill; false when the bitmap is full.
  auto next_row = [&]() {
    x = 0;
    ++rows_done;
    y += interlaced ? kRowSteps[pass] : 1;
    while (y > last_row) {
      if (++pass >= passes) return false;
      y = kStartRows[pass];
    }
    row = view.row(y).data();
    return true;
  };
  // Places n pixels in order; false once the bitmap is full.
  auto place = [&](const uint8_t* s, int n) {
    while (n > 0) {
      const int k = std::min(n, width - x);
      std::memcpy(row + x, s, size_t(k));
      x += k;
      s += k;
      n -= k;
      if (x == width && !next_row()) return false;
    }
    return true;
  };

  const int clear = 1 << min_code_size;
  const int end = clear + 1;
  const int initial_width = min_code_size + 1;
  std::memset(t.length, 0, sizeof(t.length));
  for (int c = 0; c < clear && c < 256; ++c) {
    t.prefix[c] = 0;
    t.suffix[c] = uint8_t(c);
    t.first[c] = uint8_t(c);
    t.length[c] = 1;
  }

  int code_width = initial_width;
  int max_code = (1 << code_width) - 1;
  int next = clear + 2;
  bool first_code = true;
  int prev = 0;

  // The first code goes through the loop like any other: a stream that opens with a literal
  // instead of a clear code keeps its first pixel.
  int code;
  for (;;) {
    if (!read_code(code_width, code)) return;
    if (code == end) return;
    if (code == clear) {
      first_code = true;
      code_width = initial_width;
      max_code = (1 << code_width) - 1;
      next = clear + 2;
      continue;
    }
    if (first_code) {
      if (code >= clear || code > 255) return;
      first_code = false;
      prev = code;
      const uint8_t pixel = uint8_t(code);
      if (!place(&pixel, 1)) return;
      continue;
    }

    int n;
    uint8_t head;  // first pixel of the string for `code`
    if (code < next) {
      n = t.length[code];
      if (n == 0 || n > kStackSize) return;
      head = t.first[code];
      if (x + n <= width) {
        t.Expand(code, n, row + x);
        x += n;
        if (x == width && !next_row()) return;
      } else {
        t.Expand(code, n, t.stack);
        if (!place(t.stack, n)) return;
      }
    } else if (code == next) {
      // The string is not in the table yet: the previous string followed by its own first pixel.
      n = t.length[prev] + 1;
      if (n > kStackSize) return;
      head = t.first[prev];
      t.Expand(prev, n - 1, t.stack);
      t.stack[n - 1] = head;
      if (!place(t.stack, n)) return;
    } else {
      return;
    }

    // A full table stops growing; later codes keep using it until the next clear code.
    if (next <= kLastTableCode) {
      t.prefix[next] = uint16_t(prev);
      t.suffix[next] = head;
      t.first[next] = t.first[prev];
      t.length[next] = uint16_t(t.length[prev] + 1);
      ++next;
      if (next > max_code && code_width < kMaxCodeWidth) {
        ++code_width;
        max_code = (1 << code_width) - 1;
      }
    }
    prev = code;
  }
}

}  // namespace

const std::array<uint32_t, 33>& PowersOfTwo() {
  return kPowersOfTwo;
}

int32_t DecodeImage(tGIFFrame& frame, bool Interlaced, uint8_t MinCodeSize,
                    std::span<const uint8_t> Data) {
  const cDIB* dib = frame.DIBXOR.get();
  if (dib == nullptr || dib->BPP() != 8) return 0;
  if (MinCodeSize > 11) return 0;
  const int32_t width = dib->Width();
  const int32_t height = dib->Height();
  if (width <= 0 || height <= 0) return 0;

  BitsView view;
  MapDIBBits(view, *dib);
  if (!view.attached() || view.columns() < width || view.rows() < height) return 0;

  auto tables = std::make_unique<Tables>();
  int32_t rows_done = 0, x = 0;
  Run(*tables, Data, view, width, height, Interlaced, MinCodeSize, rows_done, x);
  return std::min(height, rows_done + (x > 0 ? 1 : 0));
}

int32_t RowInOrder(int32_t k, int32_t height, bool Interlaced) {
  if (!Interlaced) return k;
  for (int pass = 0; pass < 4; ++pass) {
    const int32_t start = kStartRows[pass];
    const int32_t step = kRowSteps[pass];
    const int32_t in_pass = start < height ? (height - start + step - 1) / step : 0;
    if (k < in_pass) return start + k * step;
    k -= in_pass;
  }
  return -1;
}

}  // namespace qm::mGIFLZWDec
