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

class LzwEncoder {
 public:
  LzwEncoder(GifOutput& out, int32_t initial_width) : out_(out), initial_width_(initial_width) {
    code_width_ = initial_width_;
    max_code_ = BitMasks[code_width_];
    clear_code_ = 1 << (initial_width_ - 1);
    end_code_ = clear_code_ + 1;
    next_code_ = clear_code_ + 2;
  }

  void Compress(std::span<const uint8_t* const> rows_in_order, int32_t width) {
    ResetHash();
    OutputCode(clear_code_);
    int32_t prefix = rows_in_order[0][0];
    int32_t* const keys = keys_.data();
    int32_t* const codes = codes_.data();
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
          bool found = false;
          for (;;) {
            slot -= step;
            if (slot < 0) slot += kHashSize;
            if (keys[slot] == key) {
              found = true;
              break;
            }
            if (keys[slot] <= 0) break;
          }
          if (found) {
            prefix = codes[slot];
            continue;
          }
        }
        OutputCode(prefix);
        prefix = pixel;
        if (next_code_ < kTableLimit) {
          codes[slot] = next_code_++;
          keys[slot] = key;
        } else {
          ClearTable();
        }
      }
    }
    OutputCode(prefix);
    OutputCode(end_code_);
  }

 private:
  void ResetHash() { keys_.fill(-1); }

  void ClearTable() {
    ResetHash();
    clear_flag_ = true;
    next_code_ = clear_code_ + 2;
    OutputCode(clear_code_);
  }

  void OutputCode(int32_t code) {
    accumulator_ &= BitMasks[accumulated_bits_];
    if (accumulated_bits_ > 0)
      accumulator_ |= code << accumulated_bits_;
    else
      accumulator_ = code;
    accumulated_bits_ += code_width_;
    while (accumulated_bits_ >= 8) {
      AddPacketByte(uint8_t(accumulator_ & 255));
      accumulator_ >>= 8;
      accumulated_bits_ -= 8;
    }
    if (next_code_ > max_code_ || clear_flag_) {
      if (clear_flag_) {
        code_width_ = initial_width_;
        max_code_ = BitMasks[code_width_];
        clear_flag_ = false;
      } else {
        ++code_width_;
        max_code_ = code_width_ == kMaxBits ? kTableLimit : BitMasks[code_width_];
      }
    }
    if (code == end_code_) {
      while (accumulated_bits_ > 0) {
        AddPacketByte(uint8_t(accumulator_ & 255));
        accumulator_ >>= 8;
        accumulated_bits_ -= 8;
      }
      FlushPacket();
    }
  }

  void AddPacketByte(uint8_t b) {
    packet_[++packet_count_] = b;
    if (packet_count_ == 254) FlushPacket();
  }

  void FlushPacket() {
    if (packet_count_ > 0) {
      packet_[0] = uint8_t(packet_count_);
      out_.Write(packet_.data(), size_t(packet_count_) + 1);
      packet_count_ = 0;
    }
  }

  GifOutput& out_;
  const int32_t initial_width_;
  int32_t code_width_ = 0;
  int32_t max_code_ = 0;
  int32_t clear_code_ = 0;
  int32_t end_code_ = 0;
  int32_t next_code_ = 0;
  bool clear_flag_ = false;
  int32_t accumulator_ = 0;
  int32_t accumulated_bits_ = 0;
  std::array<int32_t, kHashSize> keys_;
  std::array<int32_t, kHashSize> codes_;
  std::array<uint8_t, 256> packet_{};
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
  auto encoder = std::make_unique<LzwEncoder>(out, InitialWidth);
  encoder->Compress(ordered, width);
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
