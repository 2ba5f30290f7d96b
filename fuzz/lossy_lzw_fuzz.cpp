// Fuzz target: indices and a colour table -> cGIF::Save with a lossy level ->
// cGIF::LoadFromStream: the frame decodes whole at its size, with only indices the table holds,
// the transparent pixels exactly where they were, and every colour within the level's bound.
//
// Input layout: byte 0 width - 1, byte 1 height - 1 (so 1..256 each), byte 2 flags (bits 0-2:
// colour table bits - 1, bit 3 interlaced, bit 4 a transparent index), byte 3 the level (1..200,
// taken modulo 200 plus 1), byte 4 the entries the table holds (modulo 2^bits, plus 1), byte 5
// the transparent index (modulo the entries), then bytes read cyclically: three per table entry
// (red, green, blue), then one per pixel (modulo the entries). A mismatch aborts.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "gif/lossy_lzw_encoder.h"
#include "imaging/cDIB.h"
#include "platform/fs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  static qm::PrivateTempFolder folder;
  if (folder.path().empty()) return 0;
  const std::string path = qm::JoinPath(folder.path(), "lossy.gif");

  const int16_t width = int16_t(data[0] + 1);
  const int16_t height = int16_t(data[1] + 1);
  const uint8_t flags = data[2];
  const int bits = (flags & 7) + 1;
  const bool interlaced = (flags & 0x08) != 0;
  const bool transparent = (flags & 0x10) != 0;
  const int32_t level = data[3] % qm::kMaxLossyLevel + 1;
  const int entries = data[4] % (1 << bits) + 1;
  const uint8_t key = uint8_t(data[5] % entries);
  std::span<const uint8_t> rest(data + 6, size - 6);
  size_t cursor = 0;
  auto next = [&] { return rest[cursor++ % rest.size()]; };

  qm::cGIF out;
  out.FrameInsert(1, width, height);
  out.SetGlobalPaletteExists(true);
  out.SetGlobalPaletteEntries(int16_t(entries));
  uint8_t* palette = out.lpGlobalPalette();
  for (int i = 0; i < entries; ++i) {
    palette[i * 4 + 2] = next();
    palette[i * 4 + 1] = next();
    palette[i * 4] = next();
  }
  out.SetFrameInterlaced(1, interlaced);
  out.SetFrameUseTransparentColor(1, transparent);
  out.SetFrameTransparentColorIndex(1, key);
  std::vector<uint8_t> indices(size_t(width) * size_t(height));
  for (auto& v : indices) v = uint8_t(next() % entries);
  {
    qm::BitsView view;
    qm::MapDIBBits(view, *out.FrameDIBXOR(1));
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x)
        view.row(y)[size_t(x)] = indices[size_t(y) * size_t(width) + size_t(x)];
  }
  out.SetLossy(level);
  if (!out.Save(path)) abort();

  std::vector<uint8_t> file = qm::ReadWholeFile(path);
  qm::cGIF in;
  if (!in.LoadFromStream(file) || in.FramesCount() != 1) abort();
  const auto decoded = in.FrameDIBXOR(1);
  if (decoded->Width() != width || decoded->Height() != height) abort();
  if (in.Frame(1).DecodedRows != height) abort();
  const double bound = qm::LossyColourBound(level) + 1e-9;
  qm::BitsView view;
  qm::MapDIBBits(view, *decoded);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t was = indices[size_t(y) * size_t(width) + size_t(x)];
      const uint8_t got = view.row(y)[size_t(x)];
      if (got >= entries) abort();
      if (transparent && (got == key) != (was == key)) abort();
      double d2 = 0;
      for (int c = 0; c < 3; ++c) {
        const double d = double(palette[got * 4 + c]) - double(palette[was * 4 + c]);
        d2 += d * d;
      }
      if (std::sqrt(d2) > bound) abort();
    }
  }
  return 0;
}
