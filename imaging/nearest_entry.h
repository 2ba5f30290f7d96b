// nearest_entry: the nearest entry of a fitted palette (quantize.h's Palette) to a colour, by
// squared RGB distance. Three searches, each for the code that uses it:
//   ExactNearest  the exact answer, for error diffusion (fitted_diffusion.cpp): on a palette of
//                 close shades an approximate one is noise. Candidate lists per cell of the colour
//                 cube, compared four at a time, behind a cache of recent colours.
//   NearestCache  the answer for the centre of the colour's cell of 6 bits a channel, for the
//                 ordered dither (fitted_ordered_dither.cpp), whose offsets are coarser than that.
//   WholeNearest  the exact answer by a search of every entry, for the few thousand colours of a
//                 palette's refinement (quantize.cpp) and of new colours (fitted_new_colours.cpp).
// Internal to imaging/.
//
// Ownership: each object copies the palette's colours and owns its tables; it keeps no reference
// to the palette. Errors: none are raised; the palette must hold at least one entry (the dithers
// check), and colours are 0..255 a channel. Threads: one ExactNearest or NearestCache serves one
// thread (a search fills its tables as it goes); make one per frame being mapped.
//
// The hot calls (Nearest, and ExactNearest's search of a made cell) are defined here so that they
// inline into the dithers' pixel loops; making a cell's lists is in nearest_entry.cpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "imaging/quantize.h"

namespace qm::quantize {

// Four floats or integers in one register: a pixel's red, green, blue and an unused lane in the
// diffusion (every lane does the same IEEE single-precision arithmetic the channels would do one
// by one), or four palette entries in the nearest-entry search.
using Lanes = float __attribute__((vector_size(16)));
using IntLanes = int32_t __attribute__((vector_size(16)));

// A palette's colours as separate channels, and the squared RGB distance to one of them.
class PaletteColours {
 public:
  explicit PaletteColours(const Palette& palette);
  int red(int i) const { return r_[size_t(i)]; }
  int green(int i) const { return g_[size_t(i)]; }
  int blue(int i) const { return b_[size_t(i)]; }

 protected:
  int Distance(int r, int g, int b, int i) const {
    const int dr = r - r_[size_t(i)], dg = g - g_[size_t(i)], db = b - b_[size_t(i)];
    return dr * dr + dg * dg + db * db;
  }
  int count_;
  std::array<int, 256> r_{}, g_{}, b_{};
};

// The nearest palette entry of a colour by a search of every entry, four at a time: for a few
// thousand colours that is cheaper than making ExactNearest's cells. Read-only once made, so one
// object may serve several threads.
class WholeNearest {
 public:
  explicit WholeNearest(const Palette& palette);
  // The nearest entry (the lowest index among equals) and its squared distance. Distance and
  // index share one key, and the distances are exact in single precision.
  std::pair<int, int> Nearest(int r, int g, int b) const {
    const Lanes red = {float(r), float(r), float(r), float(r)};
    const Lanes green = {float(g), float(g), float(g), float(g)};
    const Lanes blue = {float(b), float(b), float(b), float(b)};
    IntLanes best = {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
    for (size_t k = 0; k < r_.size(); ++k) {
      const Lanes dr = red - r_[k], dg = green - g_[k], db = blue - b_[k];
      const IntLanes key =
          __builtin_convertvector(dr * dr + dg * dg + db * db, IntLanes) << 8 | index_[k];
      best = key < best ? key : best;
    }
    const int key = std::min(std::min(best[0], best[1]), std::min(best[2], best[3]));
    return {key & 0xFF, key >> 8};
  }

 private:
  static constexpr float kFar = -1000.0f;  // padding: (1255^2 * 3) << 8 still fits 31 bits
  std::vector<Lanes> r_, g_, b_;
  std::vector<IntLanes> index_;
};

// Nearest palette entry of a colour, cached per cell of 6 bits a channel (filled on first use:
// a frame touches a fraction of the cells).
class NearestCache : public PaletteColours {
 public:
  explicit NearestCache(const Palette& palette);
  uint8_t Nearest(int r, int g, int b) {
    const size_t cell = size_t(r >> 2) << 12 | size_t(g >> 2) << 6 | size_t(b >> 2);
    uint16_t& hit = cells_[cell];
    if (hit == kEmpty) hit = Search((r & ~3) + 2, (g & ~3) + 2, (b & ~3) + 2);
    return uint8_t(hit);
  }

 private:
  static constexpr uint16_t kEmpty = 0xFFFF;
  uint16_t Search(int r, int g, int b) const;
  std::vector<uint16_t> cells_;
};

// The exact nearest palette entry by squared RGB distance, the lowest index among equals. The
// colour cube is cut into cells; a cell's candidates, made on first use, are the entries that can
// be nearest to some colour in it (no farther from the cell than the nearest farthest entry), in
// order of their distance from the cell, so a search stops at the first candidate farther than
// its best so far. Small cells keep the lists short; each is made from the list of the large cell
// around it, which already holds every entry that can be nearest there.
class ExactNearest : public PaletteColours {
 public:
  explicit ExactNearest(const Palette& palette);
  // Diffused colours repeat: the last answer for each of many exact colours is kept.
  uint8_t Nearest(int r, int g, int b) {
    const uint32_t colour = uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
    const size_t slot = (colour * 2654435761u) >> (32 - kSeenBits);
    if (seen_[slot] == colour) return seen_index_[slot];
    const uint8_t index = Search(r, g, b);
    seen_[slot] = colour;
    seen_index_[slot] = index;
    return index;
  }

 private:
  struct Candidate {
    int32_t near;  // squared distance from the cell
    uint8_t red, green, blue, index;
  };

  static constexpr uint32_t kUnmade = UINT32_MAX;

  // Candidate lists of cells 2^(8 - kBits) levels wide.
  template <int kBits>
  class Cells {
   public:
    static constexpr size_t kCount = size_t(1) << (3 * kBits);
    Cells() : first_(kCount, kUnmade), counts_(kCount) {}
    static size_t CellOf(int r, int g, int b) {
      return size_t(r >> kShift) << (2 * kBits) | size_t(g >> kShift) << kBits |
             size_t(b >> kShift);
    }
    bool Made(size_t cell) const { return first_[cell] != kUnmade; }
    std::span<const Candidate> List(size_t cell) const {
      return {candidates_.data() + first_[cell], counts_[cell]};
    }
    // Makes the cell's list from `from`, which holds every entry that can be nearest in it.
    void Make(size_t cell, std::span<const Candidate> from);
    // Appends the cell's list, made from `from`, to `out`.
    static void Collect(size_t cell, std::span<const Candidate> from, std::vector<Candidate>& out);

   private:
    static constexpr int kShift = 8 - kBits;
    std::vector<uint32_t> first_;
    std::vector<uint16_t> counts_;
    std::vector<Candidate> candidates_;
  };

  // Four candidates of a small cell's list side by side. Distances are at most 3 * 255^2 and
  // exact in single precision; the padding lanes lie so far off that they never win.
  struct Block {
    Lanes red, green, blue;
    IntLanes index;
    int32_t near;  // of the block's first candidate, the nearest of the four
  };

  // Makes the blocks of the small cell `fine`, which holds the colour (r, g, b).
  void MakeCell(size_t fine, int r, int g, int b);
  // Packs a small cell's list into blocks and notes where they are.
  void MakeBlocks(size_t fine, std::span<const Candidate> list);

  // The lowest (distance, index) of the guess and the list, four candidates at a time: a block
  // is looked at while its nearest candidate is no farther than the best so far, so none that
  // could win or tie is skipped.
  uint8_t Search(int r, int g, int b) {
    const size_t fine = Fine::CellOf(r, g, b);
    if (block_first_[fine] == kUnmade) MakeCell(fine, r, g, b);
    int32_t best = Distance(r, g, b, guess_) << 8 | guess_;
    IntLanes best_lanes = {best, best, best, best};
    const Lanes red = {float(r), float(r), float(r), float(r)};
    const Lanes green = {float(g), float(g), float(g), float(g)};
    const Lanes blue = {float(b), float(b), float(b), float(b)};
    const Block* block = blocks_.data() + block_first_[fine];
    const Block* const end = block + block_count_[fine];
    for (; block != end && block->near <= best >> 8; ++block) {
      const Lanes dr = red - block->red, dg = green - block->green, db = blue - block->blue;
      const IntLanes d = __builtin_convertvector(dr * dr + dg * dg + db * db, IntLanes);
      const IntLanes key = d << 8 | block->index;
      best_lanes = key < best_lanes ? key : best_lanes;
      const IntLanes half = __builtin_shufflevector(best_lanes, best_lanes, 2, 3, 0, 1);
      const IntLanes two = half < best_lanes ? half : best_lanes;
      best = std::min(two[0], two[1]);
    }
    guess_ = best & 0xFF;
    return uint8_t(guess_);
  }

  static constexpr int kSeenBits = 15;
  static constexpr size_t kSeen = size_t(1) << kSeenBits;
  static constexpr uint32_t kNone = UINT32_MAX;  // no colour: colours have 24 bits
  std::vector<Candidate> palette_;
  using Fine = Cells<5>;  // only their blocks are kept
  Cells<4> coarse_;
  int guess_ = 0;  // the last answer: neighbouring pixels are usually near the same entry
  static constexpr float kFar = -1000.0f;  // (1255^2 * 3) << 8 still fits 31 bits
  std::vector<Candidate> list_;            // a small cell's list on its way into blocks
  std::vector<Block> blocks_;
  std::vector<uint32_t> block_first_ = std::vector<uint32_t>(Fine::kCount, kUnmade);
  std::vector<uint16_t> block_count_ = std::vector<uint16_t>(Fine::kCount);
  std::vector<uint32_t> seen_;
  std::vector<uint8_t> seen_index_;
};

}  // namespace qm::quantize
