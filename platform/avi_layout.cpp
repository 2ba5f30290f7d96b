#include "platform/avi_layout.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>

#include "platform/bmp.h"
#include "platform/byte_reader.h"
#include "platform/gdi.h"

namespace qm::avi {

namespace {

std::atomic<uint64_t> g_segment_bytes{kDefaultSegmentBytes};

}  // namespace

bool ReadAllAt(int fd, uint8_t* data, size_t n, uint64_t offset) {
  while (n > 0) {
    ssize_t r = ::pread(fd, data, n, static_cast<off_t>(offset));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return false;
    data += r;
    n -= size_t(r);
    offset += uint64_t(r);
  }
  return true;
}

std::optional<BitmapFormat> ParseBitmapFormat(std::span<const uint8_t> block) {
  ByteReader r(block);
  gdi::BitmapInfoHeader info;
  if (!ReadBitmapInfoHeader(r, info)) return std::nullopt;
  const uint32_t size = info.size, compression = info.compression, clr_used = info.clr_used;
  const int32_t width = info.width, height = info.height;
  const uint16_t bit_count = info.bit_count;
  if (size < kBitmapInfoHeaderSize || size > block.size()) return std::nullopt;
  if (width <= 0 || height == 0 || height == std::numeric_limits<int32_t>::min())
    return std::nullopt;
  BitmapFormat f;
  f.width = width;
  f.height = height;
  f.bit_count = bit_count;
  f.compression = compression;
  f.header_size = size;
  uint64_t h = uint64_t(height < 0 ? -int64_t(height) : int64_t(height));
  if (uint64_t(width) * h > kMaxFramePixels) return std::nullopt;
  if (compression == 0) {
    if (!gdi::IsDibDepth(bit_count)) return std::nullopt;
    const uint64_t stride = gdi::DibRowStride(uint64_t(width), bit_count);
    f.image_size = stride * h;
    if (bit_count <= 8) {
      uint32_t full = 1u << bit_count;
      f.colors = clr_used == 0 ? full : clr_used;
      if (f.colors > full) return std::nullopt;
      if (uint64_t(size) + uint64_t(f.colors) * 4 > block.size()) return std::nullopt;
    }
  }
  return f;
}

uint64_t ClosingBytes(bool extended, bool first, uint64_t samples) {
  return (extended ? 8 + kStdIndexHead + kStdIndexEntry * samples : 0) +
         (first ? 8 + kLegacyIndexEntry * samples : 0);
}

bool SegmentTakes(uint64_t used, uint64_t samples, uint64_t chunk, bool extended, bool first,
                  uint64_t limit) {
  const uint64_t after = used + chunk + ClosingBytes(extended, first, samples + 1);
  return after <= limit || (samples == 0 && after <= kMaxAviFileBytes);
}

uint64_t SegmentCapacity(uint64_t head, uint64_t chunk, bool extended, bool first, uint64_t limit) {
  const uint64_t fixed = head + ClosingBytes(extended, first, 0);
  const uint64_t per_sample =
      chunk + ClosingBytes(extended, first, 1) - ClosingBytes(extended, first, 0);
  const uint64_t fits = limit >= fixed ? (limit - fixed) / per_sample : 0;
  return std::max<uint64_t>(fits, 1);
}

uint64_t ClassicHeaderBytes(uint64_t format_bytes) {
  return 12 + 12 + 8 + kAvihSize + 12 + 8 + kStrhSize + 8 + format_bytes + (format_bytes & 1) + 12;
}
uint64_t ExtendedHeaderExtra(uint64_t super_entries) {
  return 8 + kSuperIndexHead + kSuperIndexEntry * super_entries + kOdmlListBytes;
}

FilePlan PlanFile(uint64_t samples, uint64_t chunk, uint64_t classic_header, uint64_t limit) {
  FilePlan plan;
  if (samples <= SegmentCapacity(classic_header, chunk, false, true, limit)) {
    plan.bytes = classic_header + samples * chunk + ClosingBytes(false, true, samples);
    return plan;
  }
  plan.extended = true;
  uint64_t entries = kMinSuperEntries;
  for (;;) {
    const uint64_t header = classic_header + ExtendedHeaderExtra(entries);
    const uint64_t first = std::min(samples, SegmentCapacity(header, chunk, true, true, limit));
    const uint64_t per_later = SegmentCapacity(kAvixHeadBytes, chunk, true, false, limit);
    const uint64_t rest = samples - first;
    const uint64_t later = (rest + per_later - 1) / per_later;
    const uint64_t wanted = std::min<uint64_t>(kMaxSuperEntries, (1 + later) * 5 / 4 + 1);
    if (wanted > entries) {
      entries = wanted;
      continue;
    }
    plan.super_entries = uint32_t(entries);
    plan.bytes = header + first * chunk + ClosingBytes(true, true, first) + rest * chunk +
                 later * kAvixHeadBytes + later * ClosingBytes(true, false, 0) +
                 rest * kStdIndexEntry;
    return plan;
  }
}

FourCC StringToFourCC(std::string_view text) {
  char c[4] = {' ', ' ', ' ', ' '};
  for (size_t i = 0; i < 4 && i < text.size(); ++i) c[i] = text[i];
  return MakeFourCC(c[0], c[1], c[2], c[3]);
}

void SetSegmentBytesForTesting(uint64_t bytes) {
  g_segment_bytes = bytes == 0 ? kDefaultSegmentBytes : std::min(bytes, kMaxAviFileBytes);
}

uint64_t SegmentBytes() {
  return g_segment_bytes.load();
}

uint64_t AVIFileBytesFor(std::span<const uint8_t> format, uint64_t samples) {
  std::optional<BitmapFormat> f = ParseBitmapFormat(format);
  if (!f || f->compression != 0) return 0;
  const uint64_t kept = f->header_size + uint64_t(f->colors) * 4;
  const uint64_t chunk = 8 + f->image_size + (f->image_size & 1);
  return PlanFile(samples, chunk, ClassicHeaderBytes(kept), SegmentBytes()).bytes;
}

}  // namespace qm::avi
