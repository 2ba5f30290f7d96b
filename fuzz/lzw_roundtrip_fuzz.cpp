// Fuzz target: indices -> cGIF::Save -> cGIF::LoadFromStream -> the same indices.
//
// Input layout: byte 0 width - 1, byte 1 height - 1 (so 1..256 each), byte 2 flags (bits 0-2:
// colour table bits - 1, bit 3 interlaced, bit 4 local instead of global table, bit 5 a second
// frame), then pixel indices, repeated cyclically to fill the frames and masked to the table
// size. A mismatch aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "imaging/cDIB.h"
#include "platform/fs.h"

namespace {

void Fill(qm::cDIB& dib, std::span<const uint8_t> source, size_t& cursor, uint8_t mask) {
  qm::BitsView view;
  qm::MapDIBBits(view, dib);
  for (int32_t y = 0; y < dib.Height(); ++y) {
    auto row = view.row(y);
    for (int32_t x = 0; x < dib.Width(); ++x) {
      row[size_t(x)] = source.empty() ? 0 : uint8_t(source[cursor % source.size()] & mask);
      ++cursor;
    }
  }
}

bool SameIndices(const qm::cDIB& a, const qm::cDIB& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.BPP() != 8 || b.BPP() != 8)
    return false;
  qm::BitsView va, vb;
  qm::MapDIBBits(va, a);
  qm::MapDIBBits(vb, b);
  for (int32_t y = 0; y < a.Height(); ++y) {
    auto ra = va.row(y);
    auto rb = vb.row(y);
    for (int32_t x = 0; x < a.Width(); ++x)
      if (ra[size_t(x)] != rb[size_t(x)]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static qm::PrivateTempFolder folder;
  if (folder.path().empty()) return 0;
  const std::string path = qm::JoinPath(folder.path(), "roundtrip.gif");

  const int16_t width = int16_t(data[0] + 1);
  const int16_t height = int16_t(data[1] + 1);
  const uint8_t flags = data[2];
  const int bits = (flags & 7) + 1;
  const int16_t entries = int16_t(1 << bits);
  const uint8_t mask = uint8_t(entries - 1);
  const bool interlaced = (flags & 0x08) != 0;
  const bool local = (flags & 0x10) != 0;
  const int frames = (flags & 0x20) ? 2 : 1;
  std::span<const uint8_t> indices(data + 3, size - 3);

  qm::cGIF out;
  size_t cursor = 0;
  for (int32_t k = 1; k <= frames; ++k) {
    const auto n = int16_t(k);
    out.FrameInsert(n, width, height);
    Fill(*out.FrameDIBXOR(n), indices, cursor, mask);
    out.SetFrameInterlaced(n, interlaced);
    if (local) {
      out.SetLocalPaletteUsed(n, true);
      out.SetLocalPaletteEntries(n, entries);
    }
  }
  out.SetGlobalPaletteExists(!local);
  out.SetGlobalPaletteEntries(local ? 0 : entries);
  if (!out.Save(path)) abort();

  std::vector<uint8_t> file = qm::ReadWholeFile(path);
  qm::cGIF in;
  if (!in.LoadFromStream(file)) abort();
  if (in.FramesCount() != frames) abort();
  for (int32_t k = 1; k <= frames; ++k) {
    const auto n = int16_t(k);
    if (in.FrameInterlaced(n) != interlaced) abort();
    if (!SameIndices(*out.FrameDIBXOR(n), *in.FrameDIBXOR(n))) abort();
  }
  return 0;
}
