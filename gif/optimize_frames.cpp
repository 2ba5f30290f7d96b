#include "gif/optimize_frames.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/host.h"

namespace qm {
namespace {

// A screen pixel nothing has been drawn on; colours are 0x00RRGGBB.
constexpr uint32_t kEmpty = 0xFF000000u;

constexpr std::array<uint8_t, 8> kMaskTable = {0, 0, 0, 0, 255, 255, 255, 0};

// The colours a viewer gives a frame's indices: the table as Save writes it, padded with black up
// to its power-of-two size. Indices past that size have no colour.
struct ColourTable {
  std::array<uint32_t, 256> rgb{};
  int size = 0;
  std::unordered_map<uint32_t, uint8_t> index_of;  // filled on first use; the lowest index wins

  std::optional<uint8_t> Find(uint32_t colour) {
    if (index_of.empty()) {
      for (int i = size - 1; i >= 0; --i) index_of[rgb[size_t(i)]] = uint8_t(i);
    }
    const auto it = index_of.find(colour);
    if (it == index_of.end()) return std::nullopt;
    return it->second;
  }
};

std::optional<ColourTable> TableOf(cGIF& gif, const tGIFFrame& f) {
  const bool local = f.LocalPaletteUsed;
  if (!local && !gif.GlobalPaletteExists()) return std::nullopt;
  const int entries = local ? f.LocalPaletteEntries : gif.GlobalPaletteEntries();
  if (entries > 256) return std::nullopt;
  const uint8_t* p = local ? f.LocalPalette.data() : gif.lpGlobalPalette();
  ColourTable table;
  int bits = 1;
  while ((1 << bits) < entries) ++bits;
  table.size = 1 << bits;
  for (int i = 0; i < std::max(entries, 0); ++i) {
    const size_t o = size_t(i) * 4;
    table.rgb[size_t(i)] = uint32_t(p[o + 2]) << 16 | uint32_t(p[o + 1]) << 8 | uint32_t(p[o]);
  }
  return table;
}

// One frame placed on the screen: its index rows and the part of it inside the screen.
struct Placed {
  const tGIFFrame* frame = nullptr;
  BitsView bits;
  int32_t left = 0, top = 0, width = 0, height = 0;  // the frame's rectangle
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;            // its visible part, x1 / y1 exclusive

  // The index the frame draws at screen pixel (x, y), or nothing where it leaves the screen be.
  std::optional<uint8_t> DrawnAt(int32_t x, int32_t y) const {
    if (x < x0 || x >= x1 || y < y0 || y >= y1) return std::nullopt;
    const uint8_t index = bits.row(y - top)[size_t(x - left)];
    if (frame->UseTransparentColor && index == (frame->TransparentColorIndex & 0xFF))
      return std::nullopt;
    return index;
  }
};

std::optional<Placed> Place(const tGIFFrame& f, int32_t screen_w, int32_t screen_h) {
  const cDIB* dib = f.DIBXOR.get();
  if (!dib || dib->BPP() != 8 || dib->Width() <= 0 || dib->Height() <= 0) return std::nullopt;
  if (dib->Width() > 32767 || dib->Height() > 32767 || f.DisposalMethod > 3) return std::nullopt;
  Placed p;
  p.frame = &f;
  MapDIBBits(p.bits, *dib);
  if (p.bits.columns() < dib->Width()) return std::nullopt;
  // The file holds positions as unsigned 16-bit numbers.
  p.left = uint16_t(f.Left);
  p.top = uint16_t(f.Top);
  p.width = dib->Width();
  p.height = dib->Height();
  p.x0 = std::min(p.left, screen_w);
  p.y0 = std::min(p.top, screen_h);
  p.x1 = std::min(p.left + p.width, screen_w);
  p.y1 = std::min(p.top + p.height, screen_h);
  return p;
}

// Draws the frame's opaque pixels onto the screen; false when an index lies past its table.
bool Draw(const Placed& p, const ColourTable& table, std::vector<uint32_t>& screen,
          int32_t screen_w) {
  const bool transparent = p.frame->UseTransparentColor;
  const uint8_t clear = uint8_t(p.frame->TransparentColorIndex & 0xFF);
  for (int32_t y = 0; y < p.height; ++y) {
    const uint8_t* row = p.bits.row(y).data();
    if (*std::max_element(row, row + p.width) >= table.size) return false;
    const int32_t sy = p.top + y;
    if (sy < p.y0 || sy >= p.y1) continue;
    uint32_t* out = screen.data() + size_t(sy) * size_t(screen_w);
    for (int32_t sx = p.x0; sx < p.x1; ++sx) {
      const uint8_t index = row[sx - p.left];
      if (!(transparent && index == clear)) out[sx] = table.rgb[index];
    }
  }
  return true;
}

// What a frame becomes: its new bitmap, position and transparent index.
struct Difference {
  std::shared_ptr<cDIB> dib, mask;
  int16_t left = 0, top = 0;
  bool transparent = false;
  uint8_t clear = 0;
};

std::shared_ptr<cDIB> NewIndexBitmap(int32_t w, int32_t h) {
  auto dib = std::make_shared<cDIB>();
  if (!dib->Create(w, h, 8)) return nullptr;
  return dib;
}

// The frame that turns `before` into `after` when drawn over it; nothing when no frame can.
std::optional<Difference> Differ(const std::vector<uint32_t>& before,
                                 const std::vector<uint32_t>& after, int32_t screen_w,
                                 int32_t screen_h, const Placed& frame, ColourTable& table) {
  int32_t x0 = screen_w, x1 = -1, y0 = screen_h, y1 = -1;
  for (int32_t y = 0; y < screen_h; ++y) {
    const uint32_t* b = before.data() + size_t(y) * size_t(screen_w);
    const uint32_t* a = after.data() + size_t(y) * size_t(screen_w);
    if (std::memcmp(a, b, size_t(screen_w) * 4) == 0) continue;
    int32_t first = 0, last = screen_w - 1;
    while (a[first] == b[first]) ++first;
    while (a[last] == b[last]) --last;
    x0 = std::min(x0, first);
    x1 = std::max(x1, last);
    y0 = std::min(y0, y);
    y1 = y;
  }

  Difference d;
  if (x1 < 0) {
    // Nothing changed; the frame stays for its delay as one pixel showing nothing.
    d.dib = NewIndexBitmap(1, 1);
    if (!d.dib) return std::nullopt;
    d.transparent = true;
    d.clear = uint8_t(table.size - 1);
    d.dib->lpBits()[0] = d.clear;
    return d;
  }

  const int32_t w = x1 - x0 + 1, h = y1 - y0 + 1;
  std::vector<uint8_t> indices(size_t(w) * size_t(h));
  std::vector<bool> changed(indices.size());
  std::array<bool, 256> used{};
  auto index_for = [&](int32_t x, int32_t y, uint32_t colour) -> std::optional<uint8_t> {
    if (colour == kEmpty) return std::nullopt;
    if (const auto drawn = frame.DrawnAt(x, y); drawn && table.rgb[*drawn] == colour) return drawn;
    return table.Find(colour);
  };
  for (int32_t y = 0; y < h; ++y) {
    const size_t screen_row = size_t(y0 + y) * size_t(screen_w);
    for (int32_t x = 0; x < w; ++x) {
      const size_t s = screen_row + size_t(x0 + x);
      if (after[s] == before[s]) continue;
      const auto index = index_for(x0 + x, y0 + y, after[s]);
      if (!index) return std::nullopt;
      const size_t i = size_t(y) * size_t(w) + size_t(x);
      indices[i] = *index;
      changed[i] = true;
      used[*index] = true;
    }
  }

  int clear = table.size - 1;
  while (clear >= 0 && used[size_t(clear)]) --clear;
  d.transparent = clear >= 0;
  d.clear = uint8_t(std::max(clear, 0));
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const size_t i = size_t(y) * size_t(w) + size_t(x);
      if (changed[i]) continue;
      if (d.transparent) {
        indices[i] = d.clear;
        continue;
      }
      // Every index is taken: the unchanged pixel is drawn again in its own colour.
      const size_t s = size_t(y0 + y) * size_t(screen_w) + size_t(x0 + x);
      const auto index = index_for(x0 + x, y0 + y, after[s]);
      if (!index) return std::nullopt;
      indices[i] = *index;
    }
  }

  d.dib = NewIndexBitmap(w, h);
  if (!d.dib) return std::nullopt;
  BitsView out;
  MapDIBBits(out, *d.dib);
  for (int32_t y = 0; y < h; ++y)
    std::memcpy(out.row(y).data(), indices.data() + size_t(y) * size_t(w), size_t(w));
  d.left = int16_t(x0);
  d.top = int16_t(y0);
  return d;
}

// Gives the frame's new bitmap its colours and makes the mask drawing it in the window, as
// FrameMask makes them; false when there is no memory for the mask.
bool Finish(Difference& d, std::array<uint8_t, 1024> colours) {
  auto mask = std::make_shared<cDIB>();
  if (!mask->Create(d.dib->Width(), d.dib->Height(), 1)) return false;
  mask->SetPalette(kMaskTable);
  if (d.transparent) {
    BitsView in, out;
    MapDIBBits(in, *d.dib);
    MapDIBBits(out, *mask);
    for (int32_t y = 0; y < d.dib->Height(); ++y) {
      const uint8_t* row = in.row(y).data();
      uint8_t* bits = out.row(y).data();
      for (int32_t x = 0; x < d.dib->Width(); ++x)
        if (row[x] == d.clear) bits[x / 8] |= uint8_t(0x80 >> (x % 8));
    }
    std::fill_n(colours.begin() + size_t(d.clear) * 4, 3, uint8_t(0));
  }
  d.dib->SetPalette(colours);
  d.mask = std::move(mask);
  return true;
}

bool Optimize(cGIF& gif, Host& host) {
  const int16_t count = gif.FramesCount();
  if (count < 2) return true;
  const int32_t screen_w = gif.ScreenWidth(), screen_h = gif.ScreenHeight();
  if (screen_w <= 0 || screen_h <= 0) return false;

  const size_t pixels = size_t(screen_w) * size_t(screen_h);
  std::vector<uint32_t> screen(pixels, kEmpty), saved;
  // The screen as shown after each frame, shared by the comparisons that read it.
  using Shown = std::shared_ptr<const std::vector<uint32_t>>;
  Shown shown;
  std::vector<Difference> differences;
  differences.reserve(size_t(count) - 1);
  // Frames are drawn in order here while earlier ones are compared on other threads; a few at a
  // time, so at most that many pairs of screens are held.
  std::deque<std::future<std::optional<Difference>>> comparing;
  const size_t in_flight = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  auto finish_oldest = [&] {
    std::optional<Difference> d = comparing.front().get();
    comparing.pop_front();
    if (!d) return false;
    differences.push_back(std::move(*d));
    return true;
  };
  // int32_t counters: an int16_t one wraps after frame 32767 instead of ending the loop.
  for (int32_t n = 1; n <= count; ++n) {
    host.Yield();
    if (host.CancelRequested()) return false;
    const tGIFFrame& f = gif.Frame(int16_t(n));
    std::optional<ColourTable> table = TableOf(gif, f);
    std::optional<Placed> placed = Place(f, screen_w, screen_h);
    if (!table || !placed) return false;

    if (f.DisposalMethod == 3) saved = screen;
    if (!Draw(*placed, *table, screen, screen_w)) return false;
    Shown now = std::make_shared<const std::vector<uint32_t>>(screen);
    if (n > 1) {
      if (comparing.size() >= in_flight && !finish_oldest()) return false;
      comparing.push_back(
          std::async(std::launch::async, [before = shown, now, screen_w, screen_h, frame = *placed,
                                          colours = std::move(*table)]() mutable {
            std::optional<Difference> d = Differ(*before, *now, screen_w, screen_h, frame, colours);
            if (d && !Finish(*d, frame.frame->LocalPalette)) d.reset();
            return d;
          }));
    }

    // What the next frame is drawn over, by the original disposal.
    shown = std::move(now);
    if (f.DisposalMethod == 3) {
      screen.swap(saved);
    } else if (f.DisposalMethod == 2) {
      for (int32_t y = placed->y0; y < placed->y1; ++y)
        std::fill_n(screen.begin() + ptrdiff_t(size_t(y) * size_t(screen_w) + size_t(placed->x0)),
                    placed->x1 - placed->x0, kEmpty);
    }
  }
  while (!comparing.empty()) {
    if (!finish_oldest()) return false;
  }

  // Everything is made; only now does the animation change.
  for (int32_t n = 2; n <= count; ++n) {
    tGIFFrame& before = gif.Frame(int16_t(n - 1));
    if (before.DisposalMethod > 1) before.DisposalMethod = 1;
    tGIFFrame& f = gif.Frame(int16_t(n));
    Difference& d = differences[size_t(n) - 2];
    f.DIBXOR = std::move(d.dib);
    f.DIBAND = std::move(d.mask);
    f.Left = d.left;
    f.Top = d.top;
    f.UseTransparentColor = d.transparent;
    f.TransparentColorIndex = d.clear;
  }
  return true;
}

}  // namespace

bool OptimizeFrames(cGIF& gif, Host& host) {
  try {
    return Optimize(gif, host);
  } catch (const std::bad_alloc&) {
    return false;  // nothing has changed before the last allocation
  }
}

}  // namespace qm
