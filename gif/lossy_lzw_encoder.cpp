#include "gif/lossy_lzw_encoder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <vector>

#include "gif/cGIF.h"
#include "imaging/cDIB.h"
#include "platform/error.h"

namespace qm {
namespace {

constexpr int32_t kMaxBits = 12;
constexpr int32_t kTableLimit = 1 << kMaxBits;
constexpr uint16_t kNoCode = 0xFFFF;
// The children are found through a hash of (code, index) at most half full.
constexpr int32_t kHashBits = 13;
constexpr size_t kHashSlots = size_t(1) << kHashBits;
constexpr uint32_t kEmptySlot = 0xFFFFFFFF;  // no (code, index) key reaches it
// Errors are kept in sixteenths of a colour step, so the diffusion weights below divide exactly.
constexpr int32_t kFraction = 16;
// Diffusion weights in sixteenths: the next pixel of the row, then below left, below, below
// right. They add up to 13, not 16: a little of each error is dropped, which measured better
// (smaller files at the same blurred PSNR) than carrying all of it or less of it.
constexpr int32_t kRight = 6, kBelowLeft = 3, kBelow = 3, kBelowRight = 1;
// The closest children tried at each pixel of a string, and how many more table nodes may be
// looked into after the first (closest-first) descent for a longer string. More of either
// moved the blurred PSNR at the same size by under 0.01 dB; the descent alone lost 0.4 dB.
constexpr int kCandidates = 3;
constexpr int32_t kSearchBudget = 8;

// The largest distance (Euclidean RGB, in colour steps) between a pixel's target colour and a
// colour written for it. The curve follows gifsicle's scale in effect: on photos each level
// shrinks the file, and costs blurred PSNR, about as much as gifsicle's same level does.
double TargetThreshold(int32_t level) {
  return 1.4 * std::pow(double(level), 0.65);
}

// Left uninitialised by default: the encoder's large tables are filled as they are used.
struct Rgb {
  int32_t r, g, b;
  Rgb& operator+=(const Rgb& o) {
    r += o.r;
    g += o.g;
    b += o.b;
    return *this;
  }
};

inline Rgb operator-(const Rgb& a, const Rgb& b) {
  return {a.r - b.r, a.g - b.g, a.b - b.b};
}
inline int32_t Norm2(const Rgb& d) {
  return d.r * d.r + d.g * d.g + d.b * d.b;
}
// e * w / 16, rounded to the nearest (halves up) so that small errors do not grow when spread.
inline Rgb Part(const Rgb& e, int32_t w) {
  return {(e.r * w + 8) >> 4, (e.g * w + 8) >> 4, (e.b * w + 8) >> 4};
}

// Packs codes into data sub-blocks of up to 255 bytes.
class CodeWriter {
 public:
  explicit CodeWriter(GifOutput& out) : out_(out) {}
  void Put(int32_t code, int32_t width) {
    accumulator_ |= uint32_t(code) << bits_;
    bits_ += width;
    while (bits_ >= 8) {
      Byte(uint8_t(accumulator_));
      accumulator_ >>= 8;
      bits_ -= 8;
    }
  }
  void Finish() {
    if (bits_ > 0) Byte(uint8_t(accumulator_));
    accumulator_ = 0;
    bits_ = 0;
    Flush();
  }

 private:
  void Byte(uint8_t b) {
    packet_[size_t(++count_)] = b;
    if (count_ == 255) Flush();
  }
  void Flush() {
    if (count_ == 0) return;
    packet_[0] = uint8_t(count_);
    out_.Write(packet_.data(), size_t(count_) + 1);
    count_ = 0;
  }

  GifOutput& out_;
  std::array<uint8_t, 256> packet_{};
  int32_t count_ = 0;
  uint32_t accumulator_ = 0;
  int32_t bits_ = 0;
};

// 256 bits, one per index.
using Mask = std::array<uint64_t, 4>;
inline void Set(Mask& m, int32_t i) {
  m[size_t(i) >> 6] |= uint64_t(1) << (i & 63);
}
inline bool Has(const Mask& m, uint8_t i) {
  return (m[i >> 6] >> (i & 63)) & 1;
}

class LossyLzwEncoder {
 public:
  // `used`: the indices the frame holds; no other can appear in a string.
  LossyLzwEncoder(const LossyColours& colours, int32_t level, const Mask& used) {
    const double target = TargetThreshold(level) * kFraction;
    const double bound = LossyColourBound(level) * kFraction;
    target2_ = int32_t(target * target);
    bound2_ = int32_t(bound * bound);
    const int32_t entries = std::clamp(colours.entries, 0, 256);
    for (int32_t i = 0; i < 256; ++i) {
      const size_t at = size_t(i) * 4;
      colour_[size_t(i)] = {colours.palette[at + 2] * kFraction,
                            colours.palette[at + 1] * kFraction, colours.palette[at] * kFraction};
      exact_only_[size_t(i)] = i >= entries || i == colours.transparent;
    }
    // Which indices may stand for which: within the bound, and within the target threshold for
    // a pixel that carries no error (the common case, so most children fail one bit test).
    const int32_t near2 = std::min(target2_, bound2_);
    for (int32_t p = 0; p < 256; ++p) {
      Mask& tight = tight_[size_t(p)];
      Mask& loose = loose_[size_t(p)];
      tight = Mask{};
      loose = Mask{};
      Set(tight, p);
      Set(loose, p);
      if (exact_only_[size_t(p)] || !Has(used, uint8_t(p))) continue;
      for (int32_t s = 0; s < entries; ++s) {
        if (s == p || exact_only_[size_t(s)] || !Has(used, uint8_t(s))) continue;
        const int32_t d2 = Norm2(colour_[size_t(p)] - colour_[size_t(s)]);
        if (d2 <= bound2_) Set(loose, s);
        if (d2 <= near2) {
          Set(tight, s);
          any_close_ = true;
        }
      }
    }
  }

  // False when no two colours the frame uses are within the threshold: a pixel can then only be
  // replaced once an error is carried, and errors only come from replaced pixels, so the exact
  // encoder gives the same pixels.
  bool AnyClose() const { return any_close_; }

  // pixels: width * height indices in the order they are sent. Errors go to the row below only
  // when that is the picture's next row (not for interlaced frames).
  void Compress(GifOutput& out, const uint8_t* pixels, int32_t width, int32_t height,
                bool diffuse_down, int32_t initial_width) {
    pixels_ = pixels;
    width_ = width;
    height_rows_ = height;
    count_ = int64_t(width) * height;
    diffuse_down_ = diffuse_down && height > 1;
    // Deep enough for the longest string plus the row below it; a power of two so that a row's
    // slot is a mask away.
    ring_rows_ = 1;
    while (ring_rows_ < (kTableLimit + width - 1) / width + 3) ring_rows_ *= 2;
    ring_.assign(size_t(ring_rows_) * size_t(width), Rgb{});
    ready_rows_ = ring_rows_;
    carry_ = Rgb{};
    x_ = 0;
    row_ = 0;

    CodeWriter writer(out);
    const int32_t clear_code = 1 << (initial_width - 1);
    const int32_t end_code = clear_code + 1;
    int32_t code_width = initial_width;
    int32_t max_code = BitMasks[code_width];
    int32_t next_code = clear_code + 2;
    bool clear_flag = false;
    // The code width follows the decoder's: it grows after a code once the table has passed the
    // width's last code, and a clear code (sent at 12 bits) returns it to the initial width.
    auto emit = [&](int32_t code) {
      writer.Put(code, code_width);
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

    ResetTable(clear_code);
    emit(clear_code);
    int64_t pos = 0;
    while (pos < count_) {
      const int32_t length = Search(pos);
      Commit(pos, length);
      pos += length;
      emit(best_code_);
      if (pos >= count_) break;
      if (next_code < kTableLimit) {
        AddChild(best_code_, pixels_[pos], next_code++);
      } else {
        ResetTable(clear_code);
        clear_flag = true;
        next_code = clear_code + 2;
        emit(clear_code);
      }
    }
    emit(end_code);
    writer.Finish();
  }

 private:
  struct Level {
    uint16_t node;
    int32_t x, row;   // this pixel's place
    Rgb error;        // the target minus the colour written for this pixel
    Rgb next_target;  // what the next pixel should look like after this one
    int32_t count, next;
    uint16_t candidate[kCandidates];
  };

  void ResetTable(int32_t clear_code) {
    hash_.fill(kEmptySlot);
    for (int32_t i = 0; i < clear_code; ++i) {
      children_[size_t(i)] = Mask{};
      parent_[size_t(i)] = kNoCode;
      suffix_[size_t(i)] = uint8_t(i);
      length_[size_t(i)] = 1;
      height_[size_t(i)] = 0;
    }
  }

  // The table's next code `fresh`: `code` followed by `index`. A string the table already holds
  // gets its code number (the decoder counts it) but no node, so searches do not look at it twice.
  void AddChild(int32_t code, uint8_t index, int32_t fresh) {
    if (Has(children_[size_t(code)], index)) return;
    Set(children_[size_t(code)], index);
    const uint32_t key = uint32_t(code << 8) | index;
    size_t slot = HashSlot(key);
    while (hash_[slot] != kEmptySlot) slot = (slot + 1) & (kHashSlots - 1);
    hash_[slot] = (key << kMaxBits) | uint32_t(fresh);
    children_[size_t(fresh)] = Mask{};
    parent_[size_t(fresh)] = uint16_t(code);
    suffix_[size_t(fresh)] = index;
    length_[size_t(fresh)] = uint16_t(length_[size_t(code)] + 1);
    height_[size_t(fresh)] = 0;
    // Each node knows how far its longest string goes, so a search skips branches that
    // cannot beat the longest string found.
    uint16_t h = 1;
    for (uint16_t a = uint16_t(code); a != kNoCode && height_[a] < h; a = parent_[a], ++h)
      height_[a] = h;
  }

  static size_t HashSlot(uint32_t key) { return (key * 2654435761u) >> (32 - kHashBits); }
  // The child of `code` that ends in `index`; it must exist.
  uint16_t Child(int32_t code, uint8_t index) const {
    const uint32_t key = uint32_t(code << 8) | index;
    size_t slot = HashSlot(key);
    while ((hash_[slot] >> kMaxBits) != key) slot = (slot + 1) & (kHashSlots - 1);
    return uint16_t(hash_[slot] & (kTableLimit - 1));
  }

  Rgb DownError(int32_t row, int32_t x) const {
    return ring_[size_t(row & (ring_rows_ - 1)) * size_t(width_) + size_t(x)];
  }

  // The target colour of the pixel at (row, x) given the error of the pixel before it.
  Rgb Target(uint8_t index, int32_t row, int32_t x, const Rgb& error_before) const {
    Rgb t = colour_[index];
    if (exact_only_[index]) return t;
    if (x != 0) t += Part(error_before, kRight);
    if (diffuse_down_) t += DownError(row, x);
    return t;
  }

  // Lists the closest acceptable children of level d's node for the pixel after it, leaving out
  // those whose strings cannot be longer than the best found.
  void Expand(int32_t d) {
    Level& level = levels_[size_t(d)];
    level.count = 0;
    level.next = 0;
    const int64_t q = pos0_ + d + 1;
    const Mask& children = children_[level.node];
    if (q >= count_ || (children[0] | children[1] | children[2] | children[3]) == 0) return;
    int32_t x = level.x + 1, row = level.row;
    if (x == width_) {
      x = 0;
      ++row;
    }
    const uint8_t p = pixels_[q];
    const Rgb t = Target(p, row, x, level.error);
    level.next_target = t;
    const Rgb& original = colour_[p];
    const bool carried = t.r != original.r || t.g != original.g || t.b != original.b;
    const Mask& allowed = carried ? loose_[p] : tight_[p];
    const int32_t need = best_length_ - (d + 2);
    int32_t dist[kCandidates];
    for (int32_t w = 0; w < 4; ++w) {
      for (uint64_t bits = children[size_t(w)] & allowed[size_t(w)]; bits != 0; bits &= bits - 1) {
        const uint8_t s = uint8_t(w * 64 + __builtin_ctzll(bits));
        const uint16_t c = Child(level.node, s);
        if (int32_t(height_[c]) <= need) continue;
        const int32_t d2 = Norm2(t - colour_[s]);
        if (d2 > target2_ && s != p) continue;
        int32_t k = level.count;
        if (k == kCandidates) {
          if (d2 >= dist[kCandidates - 1]) continue;
          --k;
        } else {
          ++level.count;
        }
        for (; k > 0 && dist[k - 1] > d2; --k) {
          dist[k] = dist[k - 1];
          level.candidate[k] = level.candidate[k - 1];
        }
        dist[k] = d2;
        level.candidate[k] = c;
      }
    }
  }

  // Finds the longest string from the table that matches the pixels from pos closely enough;
  // sets best_code_ and returns its length.
  int32_t Search(int64_t pos) {
    pos0_ = pos;
    const int32_t row0 = row_;
    const int32_t x0 = x_;
    while (ready_rows_ < row0 + ring_rows_) {
      const size_t slot = size_t(ready_rows_ & (ring_rows_ - 1)) * size_t(width_);
      std::fill_n(ring_.begin() + ptrdiff_t(slot), width_, Rgb{});
      ++ready_rows_;
    }
    const uint8_t p0 = pixels_[pos];
    best_code_ = p0;
    best_length_ = 1;
    Level& root = levels_[0];
    root.node = p0;
    root.x = x0;
    root.row = row0;
    root.error = exact_only_[p0] ? Rgb{} : carry_;
    if (!exact_only_[p0] && diffuse_down_) root.error += DownError(row0, x0);
    Expand(0);

    int32_t depth = 0;
    int32_t budget = kSearchBudget;
    bool descending = true;
    while (depth >= 0) {
      Level& level = levels_[size_t(depth)];
      if (level.next == level.count) {
        --depth;
        descending = false;
        continue;
      }
      if (!descending && --budget < 0) break;
      const uint16_t c = level.candidate[level.next++];
      if (int32_t(length_[c]) + int32_t(height_[c]) <= best_length_) continue;
      Level& child = levels_[size_t(depth) + 1];
      child.node = c;
      child.x = level.x + 1;
      child.row = level.row;
      if (child.x == width_) {
        child.x = 0;
        ++child.row;
      }
      child.error = level.next_target - colour_[suffix_[c]];
      ++depth;
      descending = true;
      if (depth + 1 > best_length_) {
        best_length_ = depth + 1;
        best_code_ = c;
      }
      Expand(depth);
    }
    return best_length_;
  }

  // Spreads the errors of the chosen string: along the row as the search saw them, then to the
  // row below (only now, so the search and this walk agree on every target).
  void Commit(int64_t pos, int32_t length) {
    uint16_t c = uint16_t(best_code_);
    for (int32_t k = length - 1; k >= 0; --k) {
      path_[size_t(k)] = suffix_[c];
      c = parent_[c];
    }
    const int32_t x0 = x_, row0 = row_;
    int32_t x = x0, row = row0;
    Rgb before = carry_;
    for (int32_t k = 0; k < length; ++k) {
      const uint8_t p = pixels_[pos + k];
      Rgb t = colour_[p];
      if (!exact_only_[p]) {
        t += before;
        if (diffuse_down_) t += DownError(row, x);
      }
      errors_[size_t(k)] = t - colour_[path_[size_t(k)]];
      if (++x == width_) {
        x = 0;
        ++row;
        before = Rgb{};
      } else {
        before = Part(errors_[size_t(k)], kRight);
      }
    }
    carry_ = before;
    x_ = x;
    row_ = row;
    if (!diffuse_down_) return;
    x = x0;
    row = row0;
    for (int32_t k = 0; k < length; ++k) {
      const Rgb& e = errors_[size_t(k)];
      if (row + 1 < height_rows_ && (e.r | e.g | e.b) != 0) {
        Rgb* below = &ring_[size_t((row + 1) & (ring_rows_ - 1)) * size_t(width_)];
        if (x > 0) below[x - 1] += Part(e, kBelowLeft);
        below[x] += Part(e, kBelow);
        if (x + 1 < width_) below[x + 1] += Part(e, kBelowRight);
      }
      if (++x == width_) {
        x = 0;
        ++row;
      }
    }
  }

  // Colours, thresholds, and per index the indices that may replace it.
  std::array<Mask, 256> tight_;
  std::array<Mask, 256> loose_;
  std::array<Rgb, 256> colour_;
  std::array<bool, 256> exact_only_;
  bool any_close_ = false;
  int32_t target2_ = 0;
  int32_t bound2_ = 0;

  // The code table as a tree: each node's first child, next sibling, parent and last index, the
  // length of its string and the depth of its deepest descendant.
  std::array<Mask, kTableLimit> children_;  // which indices each node's children end in
  // Each child as (code * 256 + index) * 4096 + its own code.
  std::array<uint32_t, kHashSlots> hash_;
  std::array<uint16_t, kTableLimit> parent_;
  std::array<uint8_t, kTableLimit> suffix_;
  std::array<uint16_t, kTableLimit> length_;
  std::array<uint16_t, kTableLimit> height_;

  // The frame and the errors carried: along the row (carry_ into the next pixel to send) and to
  // the rows below, in a ring of rows deep enough for the longest string.
  const uint8_t* pixels_ = nullptr;
  int32_t width_ = 0;
  int32_t height_rows_ = 0;
  int64_t count_ = 0;
  bool diffuse_down_ = false;
  std::vector<Rgb> ring_;
  int32_t ring_rows_ = 0;
  int32_t ready_rows_ = 0;
  Rgb carry_{};
  int32_t x_ = 0, row_ = 0;  // the place of the next pixel to send

  // One search: the levels of the string being tried, and the longest found.
  std::array<Level, kTableLimit> levels_;
  int64_t pos0_ = 0;
  int32_t best_code_ = 0;
  int32_t best_length_ = 0;
  std::array<uint8_t, kTableLimit> path_;
  std::array<Rgb, kTableLimit> errors_;
};

}  // namespace

double LossyColourBound(int32_t level) {
  return level <= 0 ? 0.0 : 1.5 * TargetThreshold(level);
}

void EncodePixelsLossy(GifOutput& out, std::span<const uint8_t* const> rows, int32_t width,
                       uint8_t InitialWidth, bool Interlaced, const LossyColours& colours,
                       int32_t level) {
  if (InitialWidth < 3 || InitialWidth > 9) Raise(kErrInvalidCall);
  if (level < 0 || level > kMaxLossyLevel) Raise(kErrInvalidCall);
  if (level == 0) {
    EncodePixels(out, rows, width, InitialWidth, Interlaced);
    return;
  }
  if (width <= 0 || rows.empty()) return;
  if (rows.size() > size_t(INT32_MAX) || int64_t(width) * int64_t(rows.size()) > INT32_MAX)
    Raise(kErrOverflow);
  const int32_t height = int32_t(rows.size());
  std::vector<uint8_t> pixels(size_t(width) * size_t(height));
  std::array<bool, 256> seen{};
  uint8_t* to = pixels.data();
  for (int32_t y : EncodingRowOrder(height, Interlaced)) {
    const uint8_t* from = rows[size_t(y)];
    for (int32_t x = 0; x < width; ++x) seen[from[x]] = true;
    std::copy_n(from, width, to);
    to += width;
  }
  Mask used{};
  for (int32_t i = 0; i < 256; ++i)
    if (seen[size_t(i)]) Set(used, i);
  auto encoder = std::make_unique<LossyLzwEncoder>(colours, level, used);
  if (!encoder->AnyClose()) {
    EncodePixels(out, rows, width, InitialWidth, Interlaced);
    return;
  }
  encoder->Compress(out, pixels.data(), width, height, !Interlaced, InitialWidth);
}

void EncodeImageLossy(GifOutput& out, const tGIFFrame& frame, uint8_t InitialWidth, bool Interlaced,
                      const LossyColours& colours, int32_t level) {
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
  EncodePixelsLossy(out, rows, width, InitialWidth, Interlaced, colours, level);
  view.Detach();
}

}  // namespace qm
