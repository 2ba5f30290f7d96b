#include "gif/mGIFLZWEnc.h"

#include <algorithm>
#include <array>
#include <climits>
#include <memory>

#include "gif/cGIF.h"
#include "imaging/cDIB.h"
#include "platform/error.h"

namespace qm {
namespace {

constexpr int32_t kHashSize = 5003;  // prime; the probe arithmetic below depends on it
constexpr int32_t kHashShift = 4;    // prefix codes are spread by 2^4 when hashing
constexpr int32_t kMaxBits = 12;
constexpr int32_t kTableLimit = 1 << kMaxBits;

// One call's encoder. The working state lives in locals of Compress so that the hot loop keeps
// it in registers; only the packet and the table live in the object.
class LzwEncoder {
 public:
  explicit LzwEncoder(GifOutput& out) : out_(out) {}

  void Compress(std::span<const uint8_t* const> rows_in_order, int32_t width,
                int32_t initial_width) {
    int32_t code_width = initial_width;
    int32_t max_code = BitMasks[code_width];
    const int32_t clear_code = 1 << (initial_width - 1);
    const int32_t end_code = clear_code + 1;
    int32_t next_code = clear_code + 2;
    bool clear_flag = false;
    uint32_t accumulator = 0;
    int32_t accumulated_bits = 0;
    int32_t* const keys = keys_.data();
    uint16_t* const codes = codes_.data();
    packet_count_ = 0;

    auto output_code = [&](int32_t code) __attribute__((always_inline)) {
      // Whole bytes go out without a data-dependent loop: two bytes are always stored, and
      // the count advances by the number that are complete.
      accumulator &= uint32_t(BitMasks[accumulated_bits]);
      accumulator |= uint32_t(code) << accumulated_bits;
      accumulated_bits += code_width;
      const int32_t whole = accumulated_bits >> 3;
      packet_[size_t(packet_count_) + 1] = uint8_t(accumulator);
      packet_[size_t(packet_count_) + 2] = uint8_t(accumulator >> 8);
      packet_count_ += whole;
      accumulator >>= whole * 8;
      accumulated_bits &= 7;
      if (packet_count_ >= 254) SendFullPacket();
      if (next_code > max_code || clear_flag) {
        if (clear_flag) {
          code_width = initial_width;
          max_code = BitMasks[code_width];
          clear_flag = false;
        } else {
          ++code_width;
          max_code = code_width == kMaxBits ? kTableLimit : BitMasks[code_width];
        }
      }
    };
    auto reset_hash = [&] { std::fill_n(keys, kHashSize, -1); };

    reset_hash();
    output_code(clear_code);
    int32_t prefix = rows_in_order[0][0];
    for (size_t r = 0; r < rows_in_order.size(); ++r) {
      const uint8_t* p = rows_in_order[r] + (r == 0 ? 1 : 0);
      const uint8_t* const end = rows_in_order[r] + width;
      for (; p < end; ++p) {
        const int32_t pixel = *p;
        const int32_t key = (pixel << kMaxBits) + prefix;
        int32_t slot = (pixel << kHashShift) ^ prefix;
        if (keys[slot] == key) {
          prefix = codes[slot];
          continue;
        }
        if (keys[slot] >= 0) {
          // Secondary probe. A slot whose key is 0 ends the chain like an empty one does, and
          // the new entry then replaces it; the exact output bytes depend on keeping that.
          const int32_t step = slot == 0 ? 1 : kHashSize - slot;
          for (;;) {
            slot -= step;
            slot += (slot >> 31) & kHashSize;
            if (keys[slot] == key || keys[slot] <= 0) break;
          }
          if (keys[slot] == key) {
            prefix = codes[slot];
            continue;
          }
        }
        output_code(prefix);
        prefix = pixel;
        if (next_code < kTableLimit) {
          codes[slot] = uint16_t(next_code++);
          keys[slot] = key;
        } else {
          // Table full: start afresh. The clear code goes out at the current width (12).
          reset_hash();
          clear_flag = true;
          next_code = clear_code + 2;
          output_code(clear_code);
        }
      }
    }
    output_code(prefix);
    output_code(end_code);
    while (accumulated_bits > 0) {
      AddPacketByte(uint8_t(accumulator));
      accumulator >>= 8;
      accumulated_bits -= 8;
    }
    FlushPacket();
  }

 private:
  void AddPacketByte(uint8_t b) {
    packet_[size_t(++packet_count_)] = b;
    if (packet_count_ == 254) FlushPacket();
  }

  // Sends the first 254 bytes as one sub-block and keeps the rest for the next.
  void SendFullPacket() {
    const uint8_t carry = packet_[255];
    packet_[0] = 254;
    out_.Write(packet_.data(), 255);
    packet_count_ -= 254;
    packet_[1] = carry;
  }

  void FlushPacket() {
    if (packet_count_ > 0) {
      packet_[0] = uint8_t(packet_count_);
      out_.Write(packet_.data(), size_t(packet_count_) + 1);
      packet_count_ = 0;
    }
  }

  GifOutput& out_;
  // Keys (pixel * 4096 + prefix code, -1 when empty) apart from the codes: the probe loop reads
  // only keys, and 20 KB of them stay in the first-level cache.
  std::array<int32_t, kHashSize> keys_;
  std::array<uint16_t, kHashSize> codes_;
  std::array<uint8_t, 258> packet_{};  // length byte, 254 data bytes, room for two more
  int32_t packet_count_ = 0;
};

}  // namespace

std::vector<int32_t> EncodingRowOrder(int32_t height, bool Interlaced) {
  std::vector<int32_t> order;
  if (height <= 0) return order;
  order.reserve(size_t(height));
  if (!Interlaced) {
    for (int32_t y = 0; y < height; ++y) order.push_back(y);
    return order;
  }
  static constexpr int32_t kStart[4] = {0, 4, 2, 1};
  static constexpr int32_t kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass)
    for (int32_t y = kStart[pass]; y < height; y += kStep[pass]) order.push_back(y);
  return order;
}

void EncodePixels(GifOutput& out, std::span<const uint8_t* const> rows, int32_t width,
                  uint8_t InitialWidth, bool Interlaced) {
  if (InitialWidth < 3 || InitialWidth > 9) Raise(kErrInvalidCall);
  if (width <= 0 || rows.empty()) return;
  if (rows.size() > size_t(INT32_MAX)) Raise(kErrOverflow);
  std::vector<const uint8_t*> ordered;
  ordered.reserve(rows.size());
  for (int32_t y : EncodingRowOrder(int32_t(rows.size()), Interlaced)) ordered.push_back(rows[y]);
  // 40 KB of tables: keep them off the stack.
  auto encoder = std::make_unique<LzwEncoder>(out);
  encoder->Compress(ordered, width, InitialWidth);
}

void EncodeImage(GifOutput& out, const tGIFFrame& frame, uint8_t InitialWidth, bool Interlaced) {
  const cDIB* dib = frame.DIBXOR.get();
  if (!dib || dib->BPP() != 8) return;
  const int32_t width = dib->Width();
  const int32_t height = dib->Height();
  if (width <= 0 || height <= 0) return;
  BitsView view;
  MapDIBBits(view, *dib);
  if (width > view.columns() || height > view.rows()) Raise(kErrSubscript);
  std::vector<const uint8_t*> rows(static_cast<size_t>(height));
  for (int32_t y = 0; y < height; ++y) rows[size_t(y)] = view.row(y).data();
  EncodePixels(out, rows, width, InitialWidth, Interlaced);
  view.Detach();
}

}  // namespace qm
