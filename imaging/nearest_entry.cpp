#include "imaging/nearest_entry.h"

namespace qm::quantize {

PaletteColours::PaletteColours(const Palette& palette) : count_(palette.entries) {
  for (int i = 0; i < count_; ++i) {
    b_[size_t(i)] = palette.table[size_t(i) * 4];
    g_[size_t(i)] = palette.table[size_t(i) * 4 + 1];
    r_[size_t(i)] = palette.table[size_t(i) * 4 + 2];
  }
}

WholeNearest::WholeNearest(const Palette& palette) {
  const size_t blocks = size_t(std::max(palette.entries, 0) + 3) / 4;
  r_.assign(blocks, Lanes{kFar, kFar, kFar, kFar});
  g_ = b_ = r_;
  index_.resize(blocks);
  for (size_t i = 0; i < blocks * 4; ++i) {
    index_[i / 4][i % 4] = int32_t(i);
    if (int(i) >= palette.entries) continue;
    r_[i / 4][i % 4] = float(palette.table[i * 4 + 2]);
    g_[i / 4][i % 4] = float(palette.table[i * 4 + 1]);
    b_[i / 4][i % 4] = float(palette.table[i * 4]);
  }
}

NearestCache::NearestCache(const Palette& palette) : PaletteColours(palette) {
  cells_.assign(size_t(1) << 18, kEmpty);
}

uint16_t NearestCache::Search(int r, int g, int b) const {
  int best = 0, best_d = INT32_MAX;
  for (int i = 0; i < count_; ++i) {
    const int d = Distance(r, g, b, i);
    if (d < best_d) best_d = d, best = i;
  }
  return uint16_t(best);
}

ExactNearest::ExactNearest(const Palette& palette) : PaletteColours(palette) {
  for (int i = 0; i < count_; ++i) {
    palette_.push_back(
        {0, uint8_t(r_[size_t(i)]), uint8_t(g_[size_t(i)]), uint8_t(b_[size_t(i)]), uint8_t(i)});
  }
  seen_.assign(kSeen, kNone);
  seen_index_.resize(kSeen);
}

template <int kBits>
void ExactNearest::Cells<kBits>::Make(size_t cell, std::span<const Candidate> from) {
  const size_t start = candidates_.size();
  Collect(cell, from, candidates_);
  first_[cell] = uint32_t(start);
  counts_[cell] = uint16_t(candidates_.size() - start);
}

template <int kBits>
void ExactNearest::Cells<kBits>::Collect(size_t cell, std::span<const Candidate> from,
                                         std::vector<Candidate>& out) {
  constexpr int kMask = (1 << kBits) - 1, kSide = (1 << kShift) - 1;
  const int lo[3] = {int(cell >> (2 * kBits)) << kShift, (int(cell >> kBits) & kMask) << kShift,
                     (int(cell) & kMask) << kShift};
  const size_t start = out.size();
  int limit = INT32_MAX;
  for (const Candidate& e : from) {
    const int c[3] = {e.red, e.green, e.blue};
    int n = 0, f = 0;
    for (int k = 0; k < 3; ++k) {
      const int v = c[k], l = lo[k], h = lo[k] + kSide;
      const int a = v < l ? l - v : v > h ? v - h : 0, z = std::max(v - l, h - v);
      n += a * a;
      f += z * z;
    }
    limit = std::min(limit, f);
    if (n <= limit) out.push_back({n, e.red, e.green, e.blue, e.index});
  }
  // Entries kept before the limit came down to its final value are dropped now.
  const auto kept = std::remove_if(out.begin() + ptrdiff_t(start), out.end(),
                                   [limit](const Candidate& e) { return e.near > limit; });
  out.erase(kept, out.end());
  std::sort(out.begin() + ptrdiff_t(start), out.end(), [](const Candidate& x, const Candidate& y) {
    return x.near != y.near ? x.near < y.near : x.index < y.index;
  });
}

void ExactNearest::MakeCell(size_t fine, int r, int g, int b) {
  const size_t coarse = coarse_.CellOf(r, g, b);
  if (!coarse_.Made(coarse)) coarse_.Make(coarse, palette_);
  list_.clear();
  Fine::Collect(fine, coarse_.List(coarse), list_);
  MakeBlocks(fine, list_);
}

void ExactNearest::MakeBlocks(size_t fine, std::span<const Candidate> list) {
  block_first_[fine] = uint32_t(blocks_.size());
  block_count_[fine] = uint16_t((list.size() + 3) / 4);
  for (size_t i = 0; i < list.size(); i += 4) {
    Block block{{kFar, kFar, kFar, kFar},
                {kFar, kFar, kFar, kFar},
                {kFar, kFar, kFar, kFar},
                {255, 255, 255, 255},
                list[i].near};
    for (size_t k = 0; k < 4 && i + k < list.size(); ++k) {
      const Candidate& c = list[i + k];
      block.red[k] = c.red, block.green[k] = c.green, block.blue[k] = c.blue;
      block.index[k] = c.index;
    }
    blocks_.push_back(block);
  }
}

}  // namespace qm::quantize
