#include "gif/mGIFLZWDec.h"

#include <algorithm>
#include <bit>
#include <cstring>

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

std::array<uint32_t, 33> MakePowersOfTwo() {
  std::array<uint32_t, 33> t{};
  t[0] = 0;
  t[1] = 1;
  for (int k = 1; k <= 30; ++k) t[k + 1] = 2 * t[k];
  t[32] = 0x80000000u;
  return t;
}

std::array<uint32_t, 33>& PowersTable() {
  static std::array<uint32_t, 33> table = MakePowersOfTwo();
  return table;
}

// One frame's decoding: the bit reader over the data, the string table and the pixel cursor.
class Decoder {
 public:
  Decoder(std::span<const uint8_t> data, const BitsView& view, int32_t width, int32_t height,
          bool interlaced)
      : data_(data.data()),
        size_(data.size()),
        view_(view),
        width_(width),
        last_row_(height - 1),
        passes_(interlaced ? 4 : 1),
        interlaced_(interlaced) {
    row_ = view_.row(0).data();
  }

  void Run(int min_code_size);

 private:
  // Refills the bit buffer; false when the data cannot supply `width` more bits.
  bool ReadCode(int width, int& code) {
    if (bits_ < width) {
      if (size_ - pos_ >= 8) {
        const int taken = (63 - bits_) >> 3;  // whole bytes that fit, at most 7
        uint64_t v;
        std::memcpy(&v, data_ + pos_, 8);
        v &= (uint64_t(1) << (taken * 8)) - 1;
        buffer_ |= v << bits_;
        pos_ += size_t(taken);
        bits_ += taken * 8;
      } else {
        while (bits_ <= 56 && pos_ < size_) {
          buffer_ |= uint64_t(data_[pos_++]) << bits_;
          bits_ += 8;
        }
        if (bits_ < width) return false;
      }
    }
    code = int(buffer_ & ((uint64_t(1) << width) - 1));
    buffer_ >>= width;
    bits_ -= width;
    return true;
  }

  // Moves the cursor to the start of the next row to fill; false when the bitmap is full.
  bool NextRow() {
    x_ = 0;
    y_ += interlaced_ ? kRowSteps[pass_] : 1;
    while (y_ > last_row_) {
      if (++pass_ >= passes_) return false;
      y_ = kStartRows[pass_];
    }
    row_ = view_.row(y_).data();
    return true;
  }

  // Places n pixels in order; false once the bitmap is full.
  bool Place(const uint8_t* s, int n) {
    while (n > 0) {
      const int k = std::min(n, width_ - x_);
      std::memcpy(row_ + x_, s, size_t(k));
      x_ += k;
      s += k;
      n -= k;
      if (x_ == width_ && !NextRow()) return false;
    }
    return true;
  }

  // Writes the string of `code` (length n) so that its last pixel lands at out[n - 1].
  void Expand(int code, int n, uint8_t* out) const {
    for (int i = n - 1; i >= 0; --i) {
      out[i] = suffix_[code];
      code = prefix_[code];
    }
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  uint64_t buffer_ = 0;
  int bits_ = 0;

  const BitsView& view_;
  int32_t width_;
  int32_t last_row_;
  int passes_;
  bool interlaced_;
  int pass_ = 0;
  int32_t x_ = 0;
  int32_t y_ = 0;
  uint8_t* row_ = nullptr;

  uint16_t prefix_[kLastTableCode + 1];
  uint8_t suffix_[kLastTableCode + 1];
  uint8_t first_[kLastTableCode + 1];
  uint16_t length_[kLastTableCode + 1];  // 0 marks a code that is not a pixel string
  uint8_t stack_[kStackSize];
};

void Decoder::Run(int min_code_size) {
  const int clear = 1 << min_code_size;
  const int end = clear + 1;
  const int initial_width = min_code_size + 1;

  std::memset(length_, 0, sizeof(length_));
  for (int c = 0; c < clear && c < 256; ++c) {
    prefix_[c] = 0;
    suffix_[c] = uint8_t(c);
    first_[c] = uint8_t(c);
    length_[c] = 1;
  }

  int width = initial_width;
  int max_code = (1 << width) - 1;
  int next = clear + 2;
  bool first_code = true;
  int prev = 0;

  // The first code goes through the loop like any other: a stream that opens with a literal
  // instead of a clear code keeps its first pixel.
  int code;
  for (;;) {
    if (!ReadCode(width, code)) return;
    if (code == end) return;
    if (code == clear) {
      first_code = true;
      width = initial_width;
      max_code = (1 << width) - 1;
      next = clear + 2;
      continue;
    }
    if (first_code) {
      if (code >= clear || code > 255) return;
      first_code = false;
      prev = code;
      const uint8_t pixel = uint8_t(code);
      if (!Place(&pixel, 1)) return;
      continue;
    }

    int n;
    uint8_t head;  // first pixel of the string for `code`
    if (code < next) {
      n = length_[code];
      if (n == 0 || n > kStackSize) return;
      head = first_[code];
      if (x_ + n <= width_) {
        Expand(code, n, row_ + x_);
        x_ += n;
        if (x_ == width_ && !NextRow()) return;
      } else {
        Expand(code, n, stack_);
        if (!Place(stack_, n)) return;
      }
    } else if (code == next) {
      // The string is not in the table yet: the previous string followed by its own first pixel.
      n = length_[prev] + 1;
      if (n > kStackSize) return;
      head = first_[prev];
      Expand(prev, n - 1, stack_);
      stack_[n - 1] = head;
      if (!Place(stack_, n)) return;
    } else {
      return;
    }

    // A full table stops growing; later codes keep using it until the next clear code.
    if (next <= kLastTableCode) {
      prefix_[next] = uint16_t(prev);
      suffix_[next] = head;
      first_[next] = first_[prev];
      length_[next] = uint16_t(length_[prev] + 1);
      ++next;
      if (next > max_code && width < kMaxCodeWidth) {
        ++width;
        max_code = (1 << width) - 1;
      }
    }
    prev = code;
  }
}

}  // namespace

const std::array<uint32_t, 33>& PowersOfTwo() {
  return PowersTable();
}

void BuildPowersOfTwo() {
  PowersTable() = MakePowersOfTwo();
}

DecodeLimits& Limits() {
  static DecodeLimits limits;
  return limits;
}

void DecodeImage(tGIFFrame& frame, bool Interlaced, uint8_t MinCodeSize,
                 std::span<const uint8_t> Data) {
  const cDIB* dib = frame.DIBXOR.get();
  if (dib == nullptr || dib->BPP() != 8) return;
  if (MinCodeSize > 11) return;
  const int32_t width = dib->Width();
  const int32_t height = dib->Height();
  if (width <= 0 || height <= 0) return;

  BitsView view;
  MapDIBBits(view, *dib);
  if (!view.attached() || view.columns() < width || view.rows() < height) return;

  // About 18 KB of tables: keep them off the stack.
  auto decoder = std::make_unique<Decoder>(Data, view, width, height, Interlaced);
  decoder->Run(MinCodeSize);
}

}  // namespace qm::mGIFLZWDec
