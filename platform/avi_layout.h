// The shape of the AVI files platform/avi.h writes and reads, shared by the writer
// (avi_writer.cpp), the size check (AVIFileBytesFor) and the reader (avi_reader.cpp): the chunk
// codes and structure sizes, the limits the reader enforces and the writer stays within, the
// bitmap format check, the index entry, and the rules that cut a file into RIFF segments. The
// writer lays a file out with exactly these rules and AVIFileBytesFor predicts its size with them,
// so the prediction is the size written. Internal to platform/; the file layout itself is
// described in avi.h.
//
// Ownership: plain values and pure functions. Errors: nothing here throws; a format that is not
// one to trust gives nullopt. Threads: every function may be called from any thread; the segment
// size (avi.h, SegmentBytes) is the one shared setting, held atomically.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/avi.h"

namespace qm::avi {

// ---- chunk and list codes ----

inline constexpr FourCC kRiff = MakeFourCC('R', 'I', 'F', 'F');
inline constexpr FourCC kAvi = MakeFourCC('A', 'V', 'I', ' ');
inline constexpr FourCC kList = MakeFourCC('L', 'I', 'S', 'T');
inline constexpr FourCC kHdrl = MakeFourCC('h', 'd', 'r', 'l');
inline constexpr FourCC kAvih = MakeFourCC('a', 'v', 'i', 'h');
inline constexpr FourCC kStrl = MakeFourCC('s', 't', 'r', 'l');
inline constexpr FourCC kStrh = MakeFourCC('s', 't', 'r', 'h');
inline constexpr FourCC kStrf = MakeFourCC('s', 't', 'r', 'f');
inline constexpr FourCC kStrn = MakeFourCC('s', 't', 'r', 'n');
inline constexpr FourCC kMovi = MakeFourCC('m', 'o', 'v', 'i');
inline constexpr FourCC kRec = MakeFourCC('r', 'e', 'c', ' ');
inline constexpr FourCC kIdx1 = MakeFourCC('i', 'd', 'x', '1');
inline constexpr FourCC kChunk00db = MakeFourCC('0', '0', 'd', 'b');
inline constexpr FourCC kAvix = MakeFourCC('A', 'V', 'I', 'X');
inline constexpr FourCC kIndx = MakeFourCC('i', 'n', 'd', 'x');
inline constexpr FourCC kIx00 = MakeFourCC('i', 'x', '0', '0');
inline constexpr FourCC kOdml = MakeFourCC('o', 'd', 'm', 'l');
inline constexpr FourCC kDmlh = MakeFourCC('d', 'm', 'l', 'h');

// ---- structure sizes and limits ----

inline constexpr uint32_t kAvifHasIndex = 0x10;
inline constexpr size_t kBitmapInfoHeaderSize = 40;
inline constexpr size_t kAvihSize = 56;
inline constexpr size_t kStrhSize = 56;
// The header list is small in any real file; a larger one is refused rather than read.
inline constexpr uint64_t kMaxHeaderListBytes = 1u << 20;
inline constexpr uint64_t kMaxIndexBytes = uint64_t(64) << 20;
inline constexpr uint64_t kMaxFramePixels = uint64_t(1) << 28;

// The extended (OpenDML) structures. Index sizes count the bytes after the chunk header.
inline constexpr uint8_t kIndexOfIndexes = 0;
inline constexpr uint8_t kIndexOfChunks = 1;
inline constexpr uint64_t kSuperIndexHead = 24;  // longs per entry .. reserved words
inline constexpr uint64_t kSuperIndexEntry = 16;
inline constexpr uint64_t kStdIndexHead = 24;  // longs per entry .. base offset, reserved word
inline constexpr uint64_t kStdIndexEntry = 8;
inline constexpr uint64_t kLegacyIndexEntry = 16;
inline constexpr uint32_t kNotKeyFrame = 0x80000000u;  // in a standard index entry's size
inline constexpr uint64_t kDmlhSize = 248;
inline constexpr uint64_t kOdmlListBytes = 12 + 8 + kDmlhSize;
inline constexpr uint64_t kAvixHeadBytes = 24;  // 'RIFF' size 'AVIX' 'LIST' size 'movi'
// Super-index room: at least this much (4 KiB, 256 GiB of 1 GiB segments), at most what keeps
// the header list within what the reader accepts.
inline constexpr uint64_t kMinSuperEntries = 256;
inline constexpr uint64_t kMaxSuperEntries = 49152;

// ---- little-endian fields ----

inline void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
inline void Put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
inline void Set32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}

// Reads exactly `n` bytes at `offset` of an open file, retrying interrupted and short reads;
// false on an error or at the end of the file.
bool ReadAllAt(int fd, uint8_t* data, size_t n, uint64_t offset);

// ---- the sample format ----

// What a bitmap-information block describes, after checking it.
struct BitmapFormat {
  int32_t width = 0;
  int32_t height = 0;  // as stored; negative means top-down rows
  uint16_t bit_count = 0;
  uint32_t compression = 0;
  uint64_t image_size = 0;  // rows padded to 4 bytes; uncompressed formats only
  uint32_t colors = 0;      // colour-table entries that follow the header
  size_t header_size = 0;   // the header's own size field
};

// Reads and checks a bitmap-information block; nullopt when it is not one we can trust (a size
// past the block, no width or height, more than kMaxFramePixels pixels, a depth no bitmap has, a
// colour table that does not fit).
std::optional<BitmapFormat> ParseBitmapFormat(std::span<const uint8_t> block);

// One sample as both index forms name it.
struct IndexEntry {
  uint64_t offset = 0;  // of the sample's chunk header, in the file
  uint32_t size = 0;
  uint32_t flags = 0;
};

// ---- the segment rules ----

// Bytes a segment's closing indexes take for `samples` samples: the standard index ('ix00') in
// the extended form, the legacy index ('idx1') in the first segment.
uint64_t ClosingBytes(bool extended, bool first, uint64_t samples);

// Whether a segment of `used` bytes (from its 'RIFF' or the file start) holding `samples`
// samples takes one more chunk of `chunk` bytes and stays within `limit` once closed. An empty
// segment takes any sample a RIFF can hold, so a sample larger than the limit still has a home.
bool SegmentTakes(uint64_t used, uint64_t samples, uint64_t chunk, bool extended, bool first,
                  uint64_t limit);

// The most samples a segment that starts with `head` bytes takes under the rule above.
uint64_t SegmentCapacity(uint64_t head, uint64_t chunk, bool extended, bool first, uint64_t limit);

// Bytes before the first sample chunk: the AVI 1.0 header for a format block of `format_bytes`,
// and what the extended header adds to it with `super_entries` super-index entries.
uint64_t ClassicHeaderBytes(uint64_t format_bytes);
uint64_t ExtendedHeaderExtra(uint64_t super_entries);

struct FilePlan {
  bool extended = false;
  uint32_t super_entries = 0;
  uint64_t bytes = 0;
};

// How the writer lays out `samples` chunks of `chunk` bytes each after a classic header of
// `classic_header` bytes: one AVI 1.0 file when they fit one segment, otherwise the extended form
// with room in the super index for a quarter more segments than planned.
FilePlan PlanFile(uint64_t samples, uint64_t chunk, uint64_t classic_header, uint64_t limit);

}  // namespace qm::avi
