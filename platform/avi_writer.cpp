// The AVI writer: one uncompressed video stream, laid out as avi_layout.h's segment rules say.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/avi.h"
#include "platform/avi_layout.h"

namespace qm::avi {

namespace {

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

}  // namespace

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

}  // namespace qm::avi

void std::default_delete<qm::avi::AviFile>::operator()(qm::avi::AviFile* p) const {
  delete p;
}
