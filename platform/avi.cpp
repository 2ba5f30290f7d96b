#include "platform/avi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "platform/bmp.h"
#include "platform/byte_reader.h"
#include "platform/gdi.h"

namespace qm::avi {

namespace {

constexpr FourCC kRiff = MakeFourCC('R', 'I', 'F', 'F');
constexpr FourCC kAvi = MakeFourCC('A', 'V', 'I', ' ');
constexpr FourCC kList = MakeFourCC('L', 'I', 'S', 'T');
constexpr FourCC kHdrl = MakeFourCC('h', 'd', 'r', 'l');
constexpr FourCC kAvih = MakeFourCC('a', 'v', 'i', 'h');
constexpr FourCC kStrl = MakeFourCC('s', 't', 'r', 'l');
constexpr FourCC kStrh = MakeFourCC('s', 't', 'r', 'h');
constexpr FourCC kStrf = MakeFourCC('s', 't', 'r', 'f');
constexpr FourCC kStrn = MakeFourCC('s', 't', 'r', 'n');
constexpr FourCC kMovi = MakeFourCC('m', 'o', 'v', 'i');
constexpr FourCC kRec = MakeFourCC('r', 'e', 'c', ' ');
constexpr FourCC kIdx1 = MakeFourCC('i', 'd', 'x', '1');
constexpr FourCC kChunk00db = MakeFourCC('0', '0', 'd', 'b');
constexpr FourCC kAvix = MakeFourCC('A', 'V', 'I', 'X');
constexpr FourCC kIndx = MakeFourCC('i', 'n', 'd', 'x');
constexpr FourCC kIx00 = MakeFourCC('i', 'x', '0', '0');
constexpr FourCC kOdml = MakeFourCC('o', 'd', 'm', 'l');
constexpr FourCC kDmlh = MakeFourCC('d', 'm', 'l', 'h');

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr size_t kBitmapInfoHeaderSize = 40;
constexpr size_t kAvihSize = 56;
constexpr size_t kStrhSize = 56;
// The header list is small in any real file; a larger one is refused rather than read.
constexpr uint64_t kMaxHeaderListBytes = 1u << 20;
constexpr uint64_t kMaxIndexBytes = uint64_t(64) << 20;
constexpr uint64_t kMaxFramePixels = uint64_t(1) << 28;

// The extended (OpenDML) structures. Index sizes count the bytes after the chunk header.
constexpr uint8_t kIndexOfIndexes = 0;
constexpr uint8_t kIndexOfChunks = 1;
constexpr uint64_t kSuperIndexHead = 24;  // longs per entry .. reserved words
constexpr uint64_t kSuperIndexEntry = 16;
constexpr uint64_t kStdIndexHead = 24;  // longs per entry .. base offset, reserved word
constexpr uint64_t kStdIndexEntry = 8;
constexpr uint64_t kLegacyIndexEntry = 16;
constexpr uint32_t kNotKeyFrame = 0x80000000u;  // in a standard index entry's size
constexpr uint64_t kDmlhSize = 248;
constexpr uint64_t kOdmlListBytes = 12 + 8 + kDmlhSize;
constexpr uint64_t kAvixHeadBytes = 24;  // 'RIFF' size 'AVIX' 'LIST' size 'movi'
// Super-index room: at least this much (4 KiB, 256 GiB of 1 GiB segments), at most what keeps
// the header list within what the reader accepts.
constexpr uint64_t kMinSuperEntries = 256;
constexpr uint64_t kMaxSuperEntries = 49152;

// ---- little-endian output ----

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
void Set32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}

bool WriteAllAt(int fd, const uint8_t* data, size_t n, uint64_t offset) {
  while (n > 0) {
    ssize_t w = ::pwrite(fd, data, n, static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) return false;
    data += w;
    n -= size_t(w);
    offset += uint64_t(w);
  }
  return true;
}

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

// Reads and checks a bitmap-information block; nullopt when it is not one we can trust.
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

struct IndexEntry {
  uint64_t offset = 0;  // of the sample's chunk header, in the file
  uint32_t size = 0;
  uint32_t flags = 0;
};

// ---- the segment rules, shared by the writer and the size it predicts ----

// Bytes a segment's closing indexes take for `samples` samples: the standard index ('ix00') in
// the extended form, the legacy index ('idx1') in the first segment.
uint64_t ClosingBytes(bool extended, bool first, uint64_t samples) {
  return (extended ? 8 + kStdIndexHead + kStdIndexEntry * samples : 0) +
         (first ? 8 + kLegacyIndexEntry * samples : 0);
}

// Whether a segment of `used` bytes (from its 'RIFF' or the file start) holding `samples`
// samples takes one more chunk of `chunk` bytes and stays within `limit` once closed. An empty
// segment takes any sample a RIFF can hold, so a sample larger than the limit still has a home.
bool SegmentTakes(uint64_t used, uint64_t samples, uint64_t chunk, bool extended, bool first,
                  uint64_t limit) {
  const uint64_t after = used + chunk + ClosingBytes(extended, first, samples + 1);
  return after <= limit || (samples == 0 && after <= kMaxAviFileBytes);
}

// The most samples a segment that starts with `head` bytes takes under the rule above.
uint64_t SegmentCapacity(uint64_t head, uint64_t chunk, bool extended, bool first, uint64_t limit) {
  const uint64_t fixed = head + ClosingBytes(extended, first, 0);
  const uint64_t per_sample =
      chunk + ClosingBytes(extended, first, 1) - ClosingBytes(extended, first, 0);
  const uint64_t fits = limit >= fixed ? (limit - fixed) / per_sample : 0;
  return std::max<uint64_t>(fits, 1);
}

// Bytes before the first sample chunk: the AVI 1.0 header for a format block of `format_bytes`,
// and what the extended header adds to it with `super_entries` super-index entries.
uint64_t ClassicHeaderBytes(uint64_t format_bytes) {
  return 12 + 12 + 8 + kAvihSize + 12 + 8 + kStrhSize + 8 + format_bytes + (format_bytes & 1) + 12;
}
uint64_t ExtendedHeaderExtra(uint64_t super_entries) {
  return 8 + kSuperIndexHead + kSuperIndexEntry * super_entries + kOdmlListBytes;
}

struct FilePlan {
  bool extended = false;
  uint32_t super_entries = 0;
  uint64_t bytes = 0;
};

// How the writer lays out `samples` chunks of `chunk` bytes each after a classic header of
// `classic_header` bytes: one AVI 1.0 file when they fit one segment, otherwise the extended form
// with room in the super index for a quarter more segments than planned.
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

std::atomic<uint64_t> g_segment_bytes{kDefaultSegmentBytes};

}  // namespace

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

// =====================================================================================
// Writing
// =====================================================================================

class AviStream {
 public:
  explicit AviStream(AviFile* file, const AviStreamInfo& info) : file_(file), info_(info) {}
  AviFile* file_;
  AviStreamInfo info_;
  std::vector<uint8_t> format_;
  uint64_t image_size_ = 0;
  bool format_set_ = false;
};

// One RIFF of the file: the first ('AVI ') starts at 0, the others ('AVIX') follow it.
struct Segment {
  uint64_t start = 0;    // its 'RIFF'
  uint64_t movi_at = 0;  // its 'movi' list type, from which both index forms count
  size_t first = 0;      // its first sample
  size_t count = 0;
  bool closed = false;
  uint64_t index_at = 0, index_bytes = 0;  // its standard index, once closed (none when empty)
  uint64_t movi_end = 0, end = 0;          // once closed
};

class AviFile {
 public:
  ~AviFile() {
    if (fd_ >= 0) {
      Finish();
      ::close(fd_);
    }
  }

  // The whole header (everything before the first sample chunk) for the current state, with
  // `movi_bytes` bytes in the first 'movi' list after its type.
  std::vector<uint8_t> BuildHeader(uint64_t movi_bytes) const;
  // Writes the first header, choosing the layout from the stream's expected length.
  bool Start();
  // Writes the segment's indexes (and for an 'AVIX', its final sizes) at the end of the file.
  bool CloseSegment(Segment& segment);
  // Closes the current segment and opens an 'AVIX' one after it.
  int NextSegment();
  // Turns a file written as AVI 1.0 into the extended form: moves its samples up by the room the
  // extended header needs (the first segment then passes the segment size by that and its
  // standard index, a few kilobytes). A failure part way leaves the file lost.
  bool ExtendHeader();
  // Writes indexes and final header. False when any write failed.
  bool Finish();

  int fd_ = -1;
  std::unique_ptr<AviStream> stream_;
  uint64_t limit_ = kDefaultSegmentBytes;
  bool header_written_ = false;
  size_t header_size_ = 0;  // bytes before the first 'movi' list's first chunk
  uint64_t end_ = 0;        // current length of the file
  std::vector<IndexEntry> index_;
  std::vector<Segment> segments_;
  bool extended_ = false;
  uint32_t super_entries_ = 0;
  uint32_t largest_sample_ = 0;
  bool lost_ = false;
  bool finished_ = false;
};

std::vector<uint8_t> AviFile::BuildHeader(uint64_t movi_bytes) const {
  const AviStreamInfo* s = stream_ ? &stream_->info_ : nullptr;
  const std::vector<uint8_t> empty;
  const std::vector<uint8_t>& fmt = stream_ ? stream_->format_ : empty;
  const uint32_t frames = uint32_t(index_.size());
  // An AVI 1.0 reader sees the first segment only, through its legacy index.
  const uint32_t first_frames = segments_.empty() ? frames : uint32_t(segments_.front().count);
  uint32_t width = s ? uint32_t(s->frame.right - s->frame.left) : 0;
  uint32_t height = s ? uint32_t(s->frame.bottom - s->frame.top) : 0;
  uint32_t buffer = s ? std::max(s->suggested_buffer_size, largest_sample_) : 0;

  std::vector<uint8_t> h;
  Put32(h, kRiff);
  Put32(h, 0);  // RIFF size, set by the caller
  Put32(h, kAvi);
  Put32(h, kList);
  size_t hdrl_size_at = h.size();
  Put32(h, 0);
  Put32(h, kHdrl);

  Put32(h, kAvih);
  Put32(h, kAvihSize);
  uint32_t usec = 0, bytes_per_sec = 0;
  if (s && s->rate > 0) {
    usec = uint32_t(
        std::min<uint64_t>((uint64_t(s->scale) * 1000000 + s->rate / 2) / s->rate, 0xFFFFFFFFu));
    bytes_per_sec = uint32_t(std::min<uint64_t>(
        (uint64_t(largest_sample_) * s->rate + s->scale - 1) / std::max(1u, s->scale),
        0xFFFFFFFFu));
  }
  Put32(h, usec);
  Put32(h, bytes_per_sec);
  Put32(h, 0);  // padding granularity
  Put32(h, kAvifHasIndex);
  Put32(h, first_frames);
  Put32(h, 0);  // initial frames
  Put32(h, s ? 1 : 0);
  Put32(h, buffer);
  Put32(h, width);
  Put32(h, height);
  for (int i = 0; i < 4; ++i) Put32(h, 0);

  if (s) {
    Put32(h, kList);
    size_t strl_size_at = h.size();
    Put32(h, 0);
    Put32(h, kStrl);
    Put32(h, kStrh);
    Put32(h, kStrhSize);
    Put32(h, s->type);
    Put32(h, s->handler);
    Put32(h, 0);  // flags
    Put16(h, s->priority);
    Put16(h, s->language);
    Put32(h, 0);  // initial frames
    Put32(h, s->scale);
    Put32(h, s->rate);
    Put32(h, 0);  // start
    Put32(h, frames);
    Put32(h, buffer);
    Put32(h, s->quality);
    Put32(h, 0);  // sample size: varies
    Put16(h, uint16_t(s->frame.left));
    Put16(h, uint16_t(s->frame.top));
    Put16(h, uint16_t(s->frame.right));
    Put16(h, uint16_t(s->frame.bottom));
    Put32(h, kStrf);
    Put32(h, uint32_t(fmt.size()));
    h.insert(h.end(), fmt.begin(), fmt.end());
    if (fmt.size() & 1) h.push_back(0);
    if (extended_) {
      Put32(h, kIndx);
      Put32(h, uint32_t(kSuperIndexHead + kSuperIndexEntry * super_entries_));
      Put16(h, 4);  // longs per entry
      h.push_back(0);
      h.push_back(kIndexOfIndexes);
      uint32_t used = 0;
      for (const Segment& seg : segments_) used += seg.index_bytes > 0;
      Put32(h, used);
      Put32(h, kChunk00db);
      for (int i = 0; i < 3; ++i) Put32(h, 0);
      for (const Segment& seg : segments_) {
        if (seg.index_bytes == 0) continue;
        Put64(h, seg.index_at);
        Put32(h, uint32_t(seg.index_bytes));
        Put32(h, uint32_t(seg.count));
      }
      h.resize(h.size() + kSuperIndexEntry * (super_entries_ - used), 0);
    }
    Set32(h, strl_size_at, uint32_t(h.size() - strl_size_at - 4));
    if (extended_) {
      Put32(h, kList);
      Put32(h, uint32_t(kOdmlListBytes - 8));
      Put32(h, kOdml);
      Put32(h, kDmlh);
      Put32(h, kDmlhSize);
      Put32(h, frames);
      h.resize(h.size() + kDmlhSize - 4, 0);
    }
  }
  Set32(h, hdrl_size_at, uint32_t(h.size() - hdrl_size_at - 4));

  Put32(h, kList);
  Put32(h, uint32_t(4 + movi_bytes));
  Put32(h, kMovi);
  return h;
}

bool AviFile::Start() {
  const AviStream& s = *stream_;
  if (s.info_.length > 0) {
    const uint64_t chunk = 8 + s.image_size_ + (s.image_size_ & 1);
    const FilePlan plan = PlanFile(s.info_.length, chunk, BuildHeader(0).size(), limit_);
    extended_ = plan.extended;
    super_entries_ = plan.super_entries;
  }
  std::vector<uint8_t> header = BuildHeader(0);
  if (!WriteAllAt(fd_, header.data(), header.size(), 0)) return false;
  header_written_ = true;
  header_size_ = header.size();
  end_ = header.size();
  Segment first;
  first.movi_at = header_size_ - 4;
  segments_.push_back(first);
  return true;
}

bool AviFile::CloseSegment(Segment& seg) {
  if (seg.closed) return true;
  const bool first = seg.start == 0;
  std::vector<uint8_t> out;
  if (extended_ && seg.count > 0) {
    Put32(out, kIx00);
    Put32(out, uint32_t(kStdIndexHead + kStdIndexEntry * seg.count));
    Put16(out, 2);  // longs per entry
    out.push_back(0);
    out.push_back(kIndexOfChunks);
    Put32(out, uint32_t(seg.count));
    Put32(out, kChunk00db);
    Put64(out, seg.movi_at);
    Put32(out, 0);
    for (size_t i = seg.first; i < seg.first + seg.count; ++i) {
      const IndexEntry& e = index_[i];
      Put32(out, uint32_t(e.offset + 8 - seg.movi_at));  // the data, past the chunk header
      Put32(out, e.size | ((e.flags & kAviIfKeyFrame) ? 0 : kNotKeyFrame));
    }
  }
  const uint64_t movi_end = end_ + out.size();
  if (first) {
    Put32(out, kIdx1);
    Put32(out, uint32_t(seg.count * kLegacyIndexEntry));
    for (size_t i = seg.first; i < seg.first + seg.count; ++i) {
      const IndexEntry& e = index_[i];
      Put32(out, kChunk00db);
      Put32(out, e.flags);
      Put32(out, uint32_t(e.offset - seg.movi_at));
      Put32(out, e.size);
    }
  }
  const uint64_t end = end_ + out.size();
  if (end - seg.start > kMaxAviFileBytes) return false;  // SegmentTakes keeps this from happening
  if (!WriteAllAt(fd_, out.data(), out.size(), end_)) return false;
  if (!first) {
    std::vector<uint8_t> sizes;
    Put32(sizes, uint32_t(end - seg.start - 8));
    Put32(sizes, kAvix);
    Put32(sizes, kList);
    Put32(sizes, uint32_t(movi_end - seg.movi_at));
    if (!WriteAllAt(fd_, sizes.data(), sizes.size(), seg.start + 4)) return false;
  }
  seg.closed = true;
  if (extended_ && seg.count > 0) {
    seg.index_at = end_;
    seg.index_bytes = 8 + kStdIndexHead + kStdIndexEntry * seg.count;
  }
  seg.movi_end = movi_end;
  seg.end = end;
  end_ = end;
  return true;
}

bool AviFile::ExtendHeader() {
  extended_ = true;
  super_entries_ = kMinSuperEntries;
  const std::vector<uint8_t> header = BuildHeader(end_ - header_size_);
  const uint64_t shift = header.size() - header_size_;
  // Last block first, so every byte is copied before its place is written over.
  std::vector<uint8_t> block(size_t(std::min<uint64_t>(uint64_t(8) << 20, end_ - header_size_)));
  for (uint64_t top = end_; top > header_size_;) {
    const size_t n = size_t(std::min<uint64_t>(block.size(), top - header_size_));
    top -= n;
    if (!ReadAllAt(fd_, block.data(), n, top) || !WriteAllAt(fd_, block.data(), n, top + shift)) {
      lost_ = true;
      return false;
    }
  }
  for (IndexEntry& e : index_) e.offset += shift;
  header_size_ += size_t(shift);
  end_ += shift;
  segments_.front().movi_at += shift;
  if (!WriteAllAt(fd_, header.data(), header.size(), 0)) {
    lost_ = true;
    return false;
  }
  return true;
}

int AviFile::NextSegment() {
  if (!extended_ && !ExtendHeader()) return kAviErrFileWrite;
  if (segments_.size() >= super_entries_) return kAviErrBadSize;
  if (!CloseSegment(segments_.back())) {
    if (::ftruncate(fd_, static_cast<off_t>(end_)) != 0) {
      // The indexes are written again when the file is finished.
    }
    return kAviErrFileWrite;
  }
  Segment next;
  next.start = end_;
  next.movi_at = end_ + 20;
  next.first = index_.size();
  std::vector<uint8_t> head;
  Put32(head, kRiff);
  Put32(head, 0);  // sizes follow when the segment is closed
  Put32(head, kAvix);
  Put32(head, kList);
  Put32(head, 0);
  Put32(head, kMovi);
  if (!WriteAllAt(fd_, head.data(), head.size(), end_)) {
    if (::ftruncate(fd_, static_cast<off_t>(end_)) != 0) {
      // The file ends with the closed segment either way once finished.
    }
    return kAviErrFileWrite;
  }
  segments_.push_back(next);
  end_ += head.size();
  return kAviOk;
}

bool AviFile::Finish() {
  if (finished_) return true;
  finished_ = true;
  if (lost_) {
    // Half-moved samples would read as wrong pictures; an empty file reads as none.
    if (::ftruncate(fd_, 0) != 0) {
      // Nothing more can be done with it.
    }
    return false;
  }
  if (!header_written_) {
    header_size_ = BuildHeader(0).size();
    end_ = header_size_;
    Segment first;
    first.movi_at = header_size_ - 4;
    segments_.push_back(first);
  }
  for (Segment& seg : segments_)
    if (!CloseSegment(seg)) return false;
  const Segment& first = segments_.front();
  std::vector<uint8_t> header = BuildHeader(first.movi_end - first.movi_at - 4);
  if (header.size() != header_size_) return false;  // the reserved room is fixed when opened
  Set32(header, 4, uint32_t(first.end - 8));
  return WriteAllAt(fd_, header.data(), header.size(), 0) &&
         ::ftruncate(fd_, static_cast<off_t>(end_)) == 0;
}

int AVIFileOpen(std::unique_ptr<AviFile>& file, const std::string& path, uint32_t mode) {
  file.reset();
  if ((mode & (kOfCreate | kOfWrite)) != (kOfCreate | kOfWrite)) return kAviErrBadParam;
  // Read access too: a file that outgrows its first segment moves its samples.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return kAviErrFileOpen;
  file = std::make_unique<AviFile>();
  file->fd_ = fd;
  file->limit_ = SegmentBytes();
  return kAviOk;
}

int AVIFileCreateStream(AviFile& file, AviStream*& stream, const AviStreamInfo& info) {
  stream = nullptr;
  if (file.stream_) return kAviErrUnsupported;
  if (info.type != kStreamTypeVideo) return kAviErrUnsupported;
  if (info.scale == 0 || info.rate == 0) return kAviErrBadParam;
  int64_t w = int64_t(info.frame.right) - info.frame.left;
  int64_t h = int64_t(info.frame.bottom) - info.frame.top;
  auto in_range = [](int64_t v) { return v >= 0 && v <= 32767; };
  if (!in_range(info.frame.left) || !in_range(info.frame.top) || !in_range(info.frame.right) ||
      !in_range(info.frame.bottom) || w < 1 || h < 1)
    return kAviErrBadParam;
  file.stream_ = std::make_unique<AviStream>(&file, info);
  stream = file.stream_.get();
  return kAviOk;
}

int AVIStreamSetFormat(AviStream& stream, int32_t position, std::span<const uint8_t> format) {
  if (position != 0) return kAviErrBadParam;
  if (stream.file_->header_written_) return kAviErrUnsupported;
  std::optional<BitmapFormat> f = ParseBitmapFormat(format);
  if (!f || f->compression != 0) return kAviErrBadFormat;
  // Readers size their pictures from the frame rectangle, so the bitmap must be that size.
  const Rect& rc = stream.info_.frame;
  if (f->width != rc.right - rc.left || std::abs(f->height) != rc.bottom - rc.top)
    return kAviErrBadFormat;
  // Keep the header and the colour table only; anything after them is not part of the format.
  size_t keep = f->header_size + size_t(f->colors) * 4;
  stream.format_.assign(format.begin(), format.begin() + static_cast<ptrdiff_t>(keep));
  stream.image_size_ = f->image_size;
  stream.format_set_ = true;
  return kAviOk;
}

uint64_t AVIFileBytesFor(std::span<const uint8_t> format, uint64_t samples) {
  std::optional<BitmapFormat> f = ParseBitmapFormat(format);
  if (!f || f->compression != 0) return 0;
  const uint64_t kept = f->header_size + uint64_t(f->colors) * 4;
  const uint64_t chunk = 8 + f->image_size + (f->image_size & 1);
  return PlanFile(samples, chunk, ClassicHeaderBytes(kept), SegmentBytes()).bytes;
}

int AVIStreamWrite(AviStream& stream, int32_t start, int32_t samples, std::span<const uint8_t> data,
                   uint32_t flags) {
  AviFile& file = *stream.file_;
  if (file.fd_ < 0 || file.finished_ || file.lost_) return kAviErrFileWrite;
  if (!stream.format_set_) return kAviErrBadFormat;
  if (samples != 1 || start < 0 || uint64_t(start) != file.index_.size()) return kAviErrBadParam;
  if (data.size() != stream.image_size_) return kAviErrBadSize;
  if (!file.header_written_ && !file.Start()) return kAviErrFileWrite;
  const uint64_t chunk = 8 + data.size() + (data.size() & 1);
  auto takes = [&](const Segment& seg) {
    return SegmentTakes(file.end_ - seg.start, seg.count, chunk, file.extended_, seg.start == 0,
                        file.limit_);
  };
  if (!takes(file.segments_.back())) {
    if (file.segments_.back().count == 0) return kAviErrBadSize;
    if (int rc = file.NextSegment(); rc != kAviOk) return rc;
    if (!takes(file.segments_.back())) return kAviErrBadSize;
  }

  uint8_t chunk_header[8];
  for (int i = 0; i < 4; ++i) chunk_header[i] = uint8_t(kChunk00db >> (8 * i));
  for (int i = 0; i < 4; ++i) chunk_header[4 + i] = uint8_t(uint32_t(data.size()) >> (8 * i));
  const uint8_t pad = 0;
  bool ok = WriteAllAt(file.fd_, chunk_header, 8, file.end_) &&
            WriteAllAt(file.fd_, data.data(), data.size(), file.end_ + 8) &&
            ((data.size() & 1) == 0 || WriteAllAt(file.fd_, &pad, 1, file.end_ + 8 + data.size()));
  if (!ok) {
    // Drop whatever part of the sample reached the file, so the file stays consistent.
    if (::ftruncate(file.fd_, static_cast<off_t>(file.end_)) != 0) {
      // Nothing more to undo; the index never names the partial chunk.
    }
    return kAviErrFileWrite;
  }
  IndexEntry e;
  e.offset = file.end_;
  e.size = uint32_t(data.size());
  e.flags = flags & kAviIfKeyFrame;
  file.index_.push_back(e);
  file.segments_.back().count++;
  file.largest_sample_ = std::max(file.largest_sample_, e.size);
  file.end_ += chunk;
  return kAviOk;
}

void AVIStreamRelease(AviStream*& stream) {
  stream = nullptr;
}

int AVIFileRelease(std::unique_ptr<AviFile>& file) {
  if (!file) return kAviOk;
  bool ok = file->Finish();
  if (::close(file->fd_) != 0) ok = false;
  file->fd_ = -1;
  file.reset();
  return ok ? kAviOk : kAviErrFileWrite;
}

// =====================================================================================
// Reading
// =====================================================================================

namespace {

// Where the reader's bytes come from: a file read piecewise, or bytes in memory.
class Source {
 public:
  virtual ~Source() = default;
  virtual uint64_t size() const = 0;
  // Exactly n bytes at offset, or false.
  virtual bool ReadAt(uint64_t offset, size_t n, uint8_t* out) const = 0;

  std::optional<std::vector<uint8_t>> Read(uint64_t offset, uint64_t n) const {
    if (offset > size() || n > size() - offset) return std::nullopt;
    std::vector<uint8_t> v(static_cast<size_t>(n));
    if (n > 0 && !ReadAt(offset, static_cast<size_t>(n), v.data())) return std::nullopt;
    return v;
  }
};

class FileSource final : public Source {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
  bool ReadAt(uint64_t offset, size_t n, uint8_t* out) const override {
    if (offset > size_ || n > size_ - offset) return false;
    return ReadAllAt(fd_, out, n, offset);
  }

 private:
  int fd_;
  uint64_t size_;
};

class MemorySource final : public Source {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  bool ReadAt(uint64_t offset, size_t n, uint8_t* out) const override {
    if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
    if (n > 0) std::memcpy(out, bytes_.data() + offset, n);
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
};

struct ChunkHeader {
  FourCC id = 0;
  uint32_t size = 0;
};

FourCC SampleId(uint32_t stream_index, char a, char b) {
  return MakeFourCC(char('0' + stream_index / 10), char('0' + stream_index % 10), a, b);
}

}  // namespace

class AviInputStream {
 public:
  std::unique_ptr<Source> source_;
  AviStreamInfo info_;
  std::vector<uint8_t> format_;
  std::vector<IndexEntry> index_;  // absolute file offsets of chunk headers
  FourCC id_db_ = 0, id_dc_ = 0;
};

class AviGetFrame {
 public:
  AviInputStream* stream_ = nullptr;
  BitmapFormat format_;
  FrameBytes frame_;  // header + colour table + pixels of the last frame
  size_t pixels_at_ = 0;
};

namespace {

// What the header list says beyond the chosen stream's own header and format.
struct HeaderFacts {
  uint32_t stream_index = 0;
  uint32_t stream_count = 0;
  uint32_t avih_frames = 0;
  std::optional<std::vector<uint8_t>> super_index;  // the chosen stream's 'indx' body
  std::optional<uint32_t> dmlh_frames;              // the extended header's frame count
};

// Parses the 'hdrl' list body (after its type) and picks the stream.
int ParseHeaderList(ByteReader hdrl, FourCC type, int32_t number, AviInputStream& out,
                    HeaderFacts& facts) {
  bool have_avih = false, found = false;
  int32_t seen_of_type = 0;
  facts.stream_count = 0;
  while (hdrl.remaining() >= 8) {
    uint32_t id = 0, size = 0;
    hdrl.U32LE(id);
    hdrl.U32LE(size);
    std::optional<ByteReader> body = hdrl.Sub(size);
    if (!body) return kAviErrBadFormat;  // chunk larger than its list
    if (size & 1) hdrl.Skip(1);
    if (id == kAvih) {
      if (size < kAvihSize) return kAviErrBadFormat;
      uint32_t skip = 0;
      body->U32LE(skip);  // microseconds per frame
      body->U32LE(skip);  // max bytes per second
      body->U32LE(skip);  // padding
      body->U32LE(skip);  // flags
      body->U32LE(facts.avih_frames);
      have_avih = true;
    } else if (id == kList) {
      uint32_t list_type = 0;
      if (!body->U32LE(list_type)) return kAviErrBadFormat;
      if (list_type == kOdml) {
        while (body->remaining() >= 8) {
          uint32_t oid = 0, osize = 0;
          body->U32LE(oid);
          body->U32LE(osize);
          std::optional<ByteReader> obody = body->Sub(osize);
          if (!obody) return kAviErrBadFormat;
          if (osize & 1) body->Skip(1);
          uint32_t total = 0;
          if (oid == kDmlh && !facts.dmlh_frames) {
            if (!obody->U32LE(total)) return kAviErrBadFormat;
            facts.dmlh_frames = total;
          }
        }
        continue;
      }
      if (list_type != kStrl) continue;
      uint32_t this_index = facts.stream_count++;
      std::optional<AviStreamInfo> strh;
      std::optional<std::vector<uint8_t>> strf, indx;
      std::string name;
      while (body->remaining() >= 8) {
        uint32_t sid = 0, ssize = 0;
        body->U32LE(sid);
        body->U32LE(ssize);
        std::optional<std::span<const uint8_t>> sbody = body->Bytes(ssize);
        if (!sbody) return kAviErrBadFormat;
        if (ssize & 1) body->Skip(1);
        if (sid == kStrh && !strh) {
          ByteReader r(*sbody);
          AviStreamInfo s;
          if (!r.U32LE(s.type) || !r.U32LE(s.handler) || !r.U32LE(s.flags) ||
              !r.U16LE(s.priority) || !r.U16LE(s.language) || !r.U32LE(s.initial_frames) ||
              !r.U32LE(s.scale) || !r.U32LE(s.rate) || !r.U32LE(s.start) || !r.U32LE(s.length) ||
              !r.U32LE(s.suggested_buffer_size) || !r.U32LE(s.quality) || !r.U32LE(s.sample_size))
            return kAviErrBadFormat;
          uint16_t l = 0, t = 0, rr = 0, b = 0;
          if (r.U16LE(l) && r.U16LE(t) && r.U16LE(rr) && r.U16LE(b)) {
            s.frame = {int16_t(l), int16_t(t), int16_t(rr), int16_t(b)};
          }
          strh = s;
        } else if (sid == kStrf && !strf) {
          strf.emplace(sbody->begin(), sbody->end());
        } else if (sid == kIndx && !indx) {
          indx.emplace(sbody->begin(), sbody->end());
        } else if (sid == kStrn) {
          for (uint8_t c : *sbody) {
            if (c == 0) break;
            name.push_back(char(c));
          }
        }
      }
      if (!strh || !strf) return kAviErrBadFormat;
      if (found || strh->type != type) continue;
      if (seen_of_type++ != number) continue;
      found = true;
      facts.stream_index = this_index;
      facts.super_index = std::move(indx);
      out.info_ = *strh;
      out.info_.name = name;
      out.format_ = std::move(*strf);
    }
  }
  if (!have_avih) return kAviErrBadFormat;
  if (!found) return kAviErrNoData;
  return kAviOk;
}

// One RIFF of the file and its 'movi' list (the chunks after the list type).
struct RiffExtent {
  uint64_t begin = 0, end = 0;  // the RIFF body after its form type
  uint64_t movi_begin = 0, movi_end = 0;
  bool has_movi = false;
};

// A bound on what an index may make the reader hold, whatever the file claims: as many samples
// as a legacy index of kMaxIndexBytes would list.
constexpr uint64_t kMaxIndexEntries = kMaxIndexBytes / kLegacyIndexEntry;
// Each RIFF takes a read at opening; far more than any writer makes (4 PiB of 1 GiB segments).
constexpr size_t kMaxRiffs = size_t(1) << 22;

// True when the chunk whose header is at `at` and whose data ends at `data_end` lies inside one
// 'movi' list. The extents are in file order.
bool InsideMovi(const std::vector<RiffExtent>& riffs, uint64_t at, uint64_t data_end) {
  auto after = std::upper_bound(riffs.begin(), riffs.end(), at,
                                [](uint64_t v, const RiffExtent& r) { return v < r.movi_begin; });
  if (after == riffs.begin()) return false;
  const RiffExtent& r = *std::prev(after);
  return r.has_movi && at >= r.movi_begin && data_end <= r.movi_end;
}

// Reads a standard index body (from its longs-per-entry field) into the stream's samples.
int ReadStandardIndex(ByteReader r, const std::vector<RiffExtent>& riffs, AviInputStream& s) {
  uint16_t longs = 0;
  uint8_t sub_type = 0, index_type = 0;
  uint32_t entries = 0, chunk_id = 0, reserved = 0;
  uint64_t base = 0;
  uint32_t base_low = 0, base_high = 0;
  if (!r.U16LE(longs) || !r.U8(sub_type) || !r.U8(index_type) || !r.U32LE(entries) ||
      !r.U32LE(chunk_id) || !r.U32LE(base_low) || !r.U32LE(base_high) || !r.U32LE(reserved))
    return kAviErrBadFormat;
  base = uint64_t(base_low) | (uint64_t(base_high) << 32);
  if (longs != 2 || sub_type != 0 || index_type != kIndexOfChunks) return kAviErrBadFormat;
  if (chunk_id != s.id_db_ && chunk_id != s.id_dc_) return kAviErrBadFormat;
  if (entries > r.remaining() / kStdIndexEntry) return kAviErrBadFormat;
  if (s.index_.size() + uint64_t(entries) > kMaxIndexEntries) return kAviErrBadFormat;
  s.index_.reserve(s.index_.size() + entries);
  for (uint32_t i = 0; i < entries; ++i) {
    uint32_t offset = 0, size_and_flag = 0;
    r.U32LE(offset);
    r.U32LE(size_and_flag);
    const uint32_t size = size_and_flag & ~kNotKeyFrame;
    if (base > std::numeric_limits<uint64_t>::max() - offset - uint64_t(size))
      return kAviErrBadFormat;
    const uint64_t data = base + offset;
    if (data < 8 || !InsideMovi(riffs, data - 8, data + size)) return kAviErrBadFormat;
    s.index_.push_back({data - 8, size, (size_and_flag & kNotKeyFrame) ? 0 : kAviIfKeyFrame});
  }
  return kAviOk;
}

// Reads the samples of an extended ('indx') index: a super index naming one standard index per
// segment, or, as the format also allows, a standard index in place. Returns kAviErrNoData when
// the super index names nothing, so the caller can fall back to the legacy index.
int ReadExtendedIndex(const Source& src, std::span<const uint8_t> indx,
                      const std::vector<RiffExtent>& riffs, uint32_t stream_index,
                      AviInputStream& s) {
  ByteReader r(indx);
  uint16_t longs = 0;
  uint8_t sub_type = 0, index_type = 0;
  uint32_t entries = 0, chunk_id = 0;
  if (!r.U16LE(longs) || !r.U8(sub_type) || !r.U8(index_type) || !r.U32LE(entries) ||
      !r.U32LE(chunk_id))
    return kAviErrBadFormat;
  if (index_type == kIndexOfChunks) return ReadStandardIndex(ByteReader(indx), riffs, s);
  if (index_type != kIndexOfIndexes || longs != 4 || sub_type != 0 || !r.Skip(12))
    return kAviErrBadFormat;
  if (chunk_id != s.id_db_ && chunk_id != s.id_dc_) return kAviErrBadFormat;
  if (entries > r.remaining() / kSuperIndexEntry) return kAviErrBadFormat;
  if (entries == 0) return kAviErrNoData;
  const FourCC ix_id =
      MakeFourCC('i', 'x', char('0' + stream_index / 10), char('0' + stream_index % 10));
  // Standard indexes in file order without overlap: each byte of the file is read as an index at
  // most once, so the work stays in proportion to the file.
  uint64_t previous_end = 0;
  for (uint32_t i = 0; i < entries; ++i) {
    uint32_t low = 0, high = 0, size = 0, duration = 0;
    r.U32LE(low);
    r.U32LE(high);
    r.U32LE(size);
    r.U32LE(duration);
    const uint64_t at = uint64_t(low) | (uint64_t(high) << 32);
    if (size < 8 + kStdIndexHead || size > kMaxIndexBytes || at < previous_end)
      return kAviErrBadFormat;
    if (at > src.size() || size > src.size() - at) return kAviErrBadFormat;
    auto riff = std::find_if(riffs.begin(), riffs.end(), [&](const RiffExtent& x) {
      return at >= x.begin && at + size <= x.end;
    });
    if (riff == riffs.end()) return kAviErrBadFormat;
    previous_end = at + size;
    std::optional<std::vector<uint8_t>> chunk = src.Read(at, size);
    if (!chunk) return kAviErrFileRead;
    ByteReader cr(*chunk);
    uint32_t id = 0, body_size = 0;
    cr.U32LE(id);
    cr.U32LE(body_size);
    std::optional<ByteReader> body = cr.Sub(body_size);
    if (id != ix_id || !body) return kAviErrBadFormat;
    const size_t before = s.index_.size();
    if (int rc = ReadStandardIndex(*body, riffs, s); rc != kAviOk) return rc;
    if (s.index_.size() - before != duration) return kAviErrBadFormat;
  }
  return kAviOk;
}

// Collects the stream's samples by walking the 'movi' list when the file has no index.
bool ScanMovi(const Source& src, uint64_t begin, uint64_t end, AviInputStream& s, int depth) {
  uint64_t pos = begin;
  while (end - pos >= 8) {
    uint8_t hb[8];
    if (!src.ReadAt(pos, 8, hb)) return false;
    ByteReader r(hb);
    ChunkHeader c;
    r.U32LE(c.id);
    r.U32LE(c.size);
    uint64_t body_end = pos + 8 + uint64_t(c.size);
    if (body_end > end) return false;
    if (c.id == kList) {
      uint8_t tb[4];
      if (c.size < 4 || !src.ReadAt(pos + 8, 4, tb)) return false;
      if (depth < 2 && MakeFourCC(char(tb[0]), char(tb[1]), char(tb[2]), char(tb[3])) == kRec &&
          !ScanMovi(src, pos + 12, body_end, s, depth + 1))
        return false;
    } else if (c.id == s.id_db_ || c.id == s.id_dc_) {
      s.index_.push_back({pos, c.size, kAviIfKeyFrame});
    }
    pos = std::min(end, body_end + (c.size & 1));
  }
  return true;
}

// Walks the chunks of one RIFF body: the header list and legacy index when `first`, and the
// first 'movi' list in any RIFF.
int WalkRiff(const Source& src, RiffExtent& riff, bool first,
             std::optional<std::vector<uint8_t>>* hdrl, std::optional<std::vector<uint8_t>>* idx1) {
  uint64_t pos = riff.begin;
  while (riff.end - pos >= 8) {
    uint8_t hb[12];
    if (!src.ReadAt(pos, 8, hb)) return kAviErrBadFormat;
    ByteReader r(std::span<const uint8_t>(hb, 8));
    ChunkHeader c;
    r.U32LE(c.id);
    r.U32LE(c.size);
    uint64_t body = pos + 8, body_end = body + uint64_t(c.size);
    if (body_end > riff.end) return kAviErrBadFormat;  // chunk larger than its RIFF
    if (c.id == kList) {
      if (c.size < 4 || !src.ReadAt(body, 4, hb + 8)) return kAviErrBadFormat;
      FourCC list_type = MakeFourCC(char(hb[8]), char(hb[9]), char(hb[10]), char(hb[11]));
      if (first && list_type == kHdrl && !*hdrl) {
        if (c.size - 4 > kMaxHeaderListBytes) return kAviErrBadFormat;
        *hdrl = src.Read(body + 4, c.size - 4);
        if (!*hdrl) return kAviErrFileRead;
      } else if (list_type == kMovi && !riff.has_movi) {
        riff.has_movi = true;
        riff.movi_begin = body + 4;
        riff.movi_end = body_end;
      }
    } else if (first && c.id == kIdx1 && !*idx1) {
      if (c.size > kMaxIndexBytes) return kAviErrBadFormat;
      *idx1 = src.Read(body, c.size);
      if (!*idx1) return kAviErrFileRead;
    }
    pos = std::min(riff.end, body_end + (c.size & 1));
  }
  return kAviOk;
}

int OpenFromSource(std::unique_ptr<AviInputStream>& stream, std::unique_ptr<Source> src,
                   FourCC type, int32_t number) {
  stream.reset();
  if (number < 0) return kAviErrBadParam;
  const uint64_t file_size = src->size();
  uint8_t head[12];
  if (!src->ReadAt(0, 12, head)) return kAviErrBadFormat;
  ByteReader hr(head);
  uint32_t riff = 0, riff_size = 0, form = 0;
  hr.U32LE(riff);
  hr.U32LE(riff_size);
  hr.U32LE(form);
  if (riff != kRiff || form != kAvi || riff_size < 4) return kAviErrBadFormat;
  uint64_t riff_end = 8 + uint64_t(riff_size);
  if (riff_end > file_size) return kAviErrBadFormat;  // truncated

  auto s = std::make_unique<AviInputStream>();
  std::optional<std::vector<uint8_t>> hdrl, idx1;
  std::vector<RiffExtent> riffs(1);
  riffs[0].begin = 12;
  riffs[0].end = riff_end;
  if (int rc = WalkRiff(*src, riffs[0], true, &hdrl, &idx1); rc != kAviOk) return rc;
  if (!hdrl || !riffs[0].has_movi) return kAviErrBadFormat;
  // Extended files go on in 'AVIX' RIFFs; anything else after the first RIFF is not ours to read.
  for (uint64_t pos = riff_end + (riff_size & 1); pos <= file_size && file_size - pos >= 12;) {
    if (!src->ReadAt(pos, 12, head)) return kAviErrFileRead;
    ByteReader xr(head);
    xr.U32LE(riff);
    xr.U32LE(riff_size);
    xr.U32LE(form);
    if (riff != kRiff || form != kAvix) break;
    if (riff_size < 4 || pos + 8 + uint64_t(riff_size) > file_size) return kAviErrBadFormat;
    if (riffs.size() >= kMaxRiffs) return kAviErrBadFormat;
    RiffExtent x;
    x.begin = pos + 12;
    x.end = pos + 8 + uint64_t(riff_size);
    if (int rc = WalkRiff(*src, x, false, nullptr, nullptr); rc != kAviOk) return rc;
    riffs.push_back(x);
    pos = x.end + (riff_size & 1);
  }

  HeaderFacts facts;
  int rc = ParseHeaderList(ByteReader(*hdrl), type, number, *s, facts);
  if (rc != kAviOk) return rc;
  if (facts.stream_index > 99) return kAviErrUnsupported;
  AviStreamInfo& info = s->info_;
  if (info.scale == 0 || info.rate == 0) return kAviErrBadFormat;

  // The frame rectangle decides the size of every picture made from the stream, so it must be
  // the bitmap's own size.
  if (type == kStreamTypeVideo) {
    std::optional<BitmapFormat> f = ParseBitmapFormat(s->format_);
    if (!f) return kAviErrBadFormat;
    int32_t h = f->height < 0 ? -f->height : f->height;
    if (info.frame.right == 0 && info.frame.bottom == 0 && info.frame.left == 0 &&
        info.frame.top == 0) {
      info.frame = {0, 0, f->width, h};
    } else if (info.frame.left != 0 || info.frame.top != 0 || info.frame.right != f->width ||
               info.frame.bottom != h) {
      return kAviErrBadFormat;
    }
  }

  s->id_db_ = SampleId(facts.stream_index, 'd', 'b');
  s->id_dc_ = SampleId(facts.stream_index, 'd', 'c');
  bool indexed = false;
  if (facts.super_index) {
    rc = ReadExtendedIndex(*src, *facts.super_index, riffs, facts.stream_index, *s);
    if (rc != kAviOk && rc != kAviErrNoData) return rc;
    indexed = rc == kAviOk;
  }
  const uint64_t movi_type_at = riffs[0].movi_begin - 4, movi_end = riffs[0].movi_end;
  if (!indexed && idx1) {
    ByteReader r(*idx1);
    std::optional<uint64_t> base;
    while (r.remaining() >= 16) {
      uint32_t id = 0, flags = 0, offset = 0, size = 0;
      r.U32LE(id);
      r.U32LE(flags);
      r.U32LE(offset);
      r.U32LE(size);
      if (id != s->id_db_ && id != s->id_dc_) continue;
      if (!base) {
        // Offsets normally count from the 'movi' type; some writers use file offsets.
        uint8_t cb[8];
        for (uint64_t candidate : {movi_type_at, uint64_t(0)}) {
          uint64_t at = candidate + offset;
          if (!src->ReadAt(at, 8, cb)) continue;
          ByteReader cr(cb);
          uint32_t cid = 0, csize = 0;
          cr.U32LE(cid);
          cr.U32LE(csize);
          if (cid == id && csize == size) {
            base = candidate;
            break;
          }
        }
        if (!base) return kAviErrBadFormat;
      }
      uint64_t at = *base + offset;
      if (at < movi_type_at + 4 || at + 8 + uint64_t(size) > movi_end) return kAviErrBadFormat;
      s->index_.push_back({at, size, flags});
    }
  } else if (!indexed) {
    for (const RiffExtent& x : riffs)
      if (x.has_movi && !ScanMovi(*src, x.movi_begin, x.movi_end, *s, 0)) return kAviErrBadFormat;
  }

  // Header counts must agree with what the file holds: a count that promises more samples than
  // exist would otherwise be trusted by every caller. In an extended file the main header may
  // count the first RIFF only, as an AVI 1.0 reader sees it.
  if (s->index_.size() != info.length) return kAviErrBadFormat;
  const uint64_t in_first =
      uint64_t(std::count_if(s->index_.begin(), s->index_.end(),
                             [&](const IndexEntry& e) { return e.offset < riff_end; }));
  if (facts.stream_count == 1 && facts.avih_frames != info.length &&
      (riffs.size() == 1 || facts.avih_frames != in_first))
    return kAviErrBadFormat;
  if (facts.dmlh_frames && facts.stream_count == 1 && *facts.dmlh_frames != info.length)
    return kAviErrBadFormat;
  if (uint64_t(info.start) + info.length > uint64_t(std::numeric_limits<int32_t>::max()))
    return kAviErrBadFormat;

  s->source_ = std::move(src);
  stream = std::move(s);
  return kAviOk;
}

}  // namespace

int AVIStreamOpenFromFile(std::unique_ptr<AviInputStream>& stream, const std::string& path,
                          FourCC type, int32_t number, uint32_t /*mode*/) {
  stream.reset();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kAviErrFileOpen;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return kAviErrFileOpen;
  }
  auto src = std::make_unique<FileSource>(fd, uint64_t(st.st_size));
  return OpenFromSource(stream, std::move(src), type, number);
}

int AVIStreamOpenFromMemory(std::unique_ptr<AviInputStream>& stream, std::span<const uint8_t> bytes,
                            FourCC type, int32_t number) {
  return OpenFromSource(stream, std::make_unique<MemorySource>(bytes), type, number);
}

int32_t AVIStreamLength(const AviInputStream& stream) {
  return int32_t(stream.info_.length);
}

int32_t AVIStreamStart(const AviInputStream& stream) {
  return int32_t(stream.info_.start);
}

int32_t AVIStreamSampleToTime(const AviInputStream& stream, int32_t sample) {
  if (sample < 0 || stream.info_.rate == 0) return -1;
  // 2^31 * 2^32 * 1000 does not fit 64 bits; 128-bit keeps every stored value exact.
  unsigned __int128 num = (unsigned __int128)uint64_t(sample) * stream.info_.scale * 1000u;
  unsigned __int128 ms = (num + stream.info_.rate / 2) / stream.info_.rate;
  if (ms > (unsigned __int128)std::numeric_limits<int32_t>::max()) return -1;
  return int32_t(ms);
}

int AVIStreamInfo(const AviInputStream& stream, AviStreamInfo& info, int32_t size) {
  if (size < 0) return kAviErrBadParam;
  info = stream.info_;
  return kAviOk;
}

std::span<const uint8_t> AVIStreamFormat(const AviInputStream& stream) {
  return stream.format_;
}

std::unique_ptr<AviGetFrame> AVIStreamGetFrameOpen(AviInputStream& stream,
                                                   const void* requested_format) {
  if (requested_format != nullptr) return nullptr;
  std::optional<BitmapFormat> f = ParseBitmapFormat(stream.format_);
  if (!f || f->compression != 0) return nullptr;
  if (stream.info_.sample_size != 0 && stream.info_.sample_size != f->image_size) return nullptr;
  auto g = std::make_unique<AviGetFrame>();
  g->stream_ = &stream;
  g->format_ = *f;
  size_t table = size_t(f->colors) * 4;
  g->pixels_at_ = kBitmapInfoHeaderSize + table;
  g->frame_.resize(g->pixels_at_);
  std::memcpy(g->frame_.data(), stream.format_.data(), kBitmapInfoHeaderSize);
  std::memcpy(g->frame_.data() + kBitmapInfoHeaderSize, stream.format_.data() + f->header_size,
              table);
  // A plain 40-byte header with the sizes that match the bytes that follow it.
  std::vector<uint8_t> hdr(g->frame_.begin(), g->frame_.begin() + kBitmapInfoHeaderSize);
  Set32(hdr, 0, kBitmapInfoHeaderSize);
  Set32(hdr, 20, uint32_t(f->image_size));
  Set32(hdr, 32, f->colors);
  std::copy(hdr.begin(), hdr.end(), g->frame_.begin());
  return g;
}

std::span<const uint8_t> AVIStreamGetFrame(AviGetFrame& frames, int32_t position) {
  const AviInputStream& s = *frames.stream_;
  int64_t i = int64_t(position) - int64_t(s.info_.start);
  if (i < 0 || uint64_t(i) >= s.index_.size()) return {};
  const IndexEntry& e = s.index_[size_t(i)];
  const uint64_t need = frames.format_.image_size;
  if (e.size < need) return {};
  uint8_t hb[8];
  if (!s.source_->ReadAt(e.offset, 8, hb)) return {};
  ByteReader r(hb);
  uint32_t id = 0, size = 0;
  r.U32LE(id);
  r.U32LE(size);
  if ((id != s.id_db_ && id != s.id_dc_) || size != e.size) return {};
  frames.frame_.resize(frames.pixels_at_ + size_t(need));
  if (!s.source_->ReadAt(uint64_t(e.offset) + 8, size_t(need),
                         frames.frame_.data() + frames.pixels_at_))
    return {};
  return frames.frame_;
}

void AVIStreamGetFrameClose(std::unique_ptr<AviGetFrame>& frames) {
  frames.reset();
}

void AVIStreamRelease(std::unique_ptr<AviInputStream>& stream) {
  stream.reset();
}

}  // namespace qm::avi

void std::default_delete<qm::avi::AviFile>::operator()(qm::avi::AviFile* p) const {
  delete p;
}
void std::default_delete<qm::avi::AviInputStream>::operator()(qm::avi::AviInputStream* p) const {
  delete p;
}
void std::default_delete<qm::avi::AviGetFrame>::operator()(qm::avi::AviGetFrame* p) const {
  delete p;
}
