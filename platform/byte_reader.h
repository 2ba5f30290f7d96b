// ByteReader: the one bounds-checked reader every file parser (BMP, GIF, AVI) reads through.
// A read that would pass the end has no effect: it returns false (or nullopt) and leaves the
// position where it was. Nothing here can access memory outside the span it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace qm {

class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(std::span<const uint8_t> data, size_t pos = 0) : data_(data), pos_(pos) {}

  size_t size() const { return data_.size(); }
  size_t position() const { return pos_; }
  size_t remaining() const { return pos_ <= data_.size() ? data_.size() - pos_ : 0; }
  bool at_end() const { return pos_ >= data_.size(); }
  bool has(size_t n) const { return n <= remaining(); }

  // Moves to `pos`; false (and no move) beyond the end. pos == size() is allowed.
  bool Seek(size_t pos) {
    if (pos > data_.size()) return false;
    pos_ = pos;
    return true;
  }
  bool Skip(size_t n) {
    if (!has(n)) return false;
    pos_ += n;
    return true;
  }

  // Peek without moving; nullopt at the end.
  std::optional<uint8_t> Peek(size_t ahead = 0) const {
    if (ahead >= remaining()) return std::nullopt;
    return data_[pos_ + ahead];
  }

  bool U8(uint8_t& v) {
    if (!has(1)) return false;
    v = data_[pos_++];
    return true;
  }
  bool U16LE(uint16_t& v) {
    if (!has(2)) return false;
    v = uint16_t(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return true;
  }
  bool U32LE(uint32_t& v) {
    if (!has(4)) return false;
    v = uint32_t(data_[pos_]) | (uint32_t(data_[pos_ + 1]) << 8) |
        (uint32_t(data_[pos_ + 2]) << 16) | (uint32_t(data_[pos_ + 3]) << 24);
    pos_ += 4;
    return true;
  }
  bool I32LE(int32_t& v) {
    uint32_t u;
    if (!U32LE(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  // The next n bytes as a span, moving past them; nullopt (no move) when fewer remain.
  std::optional<std::span<const uint8_t>> Bytes(size_t n) {
    if (!has(n)) return std::nullopt;
    auto s = data_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  // A reader over the next n bytes (a chunk body), moving past them.
  std::optional<ByteReader> Sub(size_t n) {
    auto b = Bytes(n);
    if (!b) return std::nullopt;
    return ByteReader(*b);
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

}  // namespace qm
