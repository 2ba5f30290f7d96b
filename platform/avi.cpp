#include "platform/avi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr size_t kBitmapInfoHeaderSize = 40;
constexpr size_t kAvihSize = 56;
constexpr size_t kStrhSize = 56;
// The header list is small in any real file; a larger one is refused rather than read.
constexpr uint64_t kMaxHeaderListBytes = 1u << 20;
constexpr uint64_t kMaxIndexBytes = uint64_t(64) << 20;
constexpr uint64_t kMaxFramePixels = uint64_t(1) << 28;

// ---- little-endian output ----

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
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
  uint64_t offset =
      0;  // of the chunk header: writer, from the 'movi' list type; reader, in the file
  uint32_t size = 0;
  uint32_t flags = 0;
};

}  // namespace

FourCC StringToFourCC(std::string_view text) {
  char c[4] = {' ', ' ', ' ', ' '};
  for (size_t i = 0; i < 4 && i < text.size(); ++i) c[i] = text[i];
  return MakeFourCC(c[0], c[1], c[2], c[3]);
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

class AviFile {
 public:
  ~AviFile() {
    if (fd_ >= 0) {
      Finish();
      ::close(fd_);
    }
  }

  // The whole header (everything before the first sample chunk) for the current state.
  std::vector<uint8_t> BuildHeader(uint64_t movi_bytes) const;
  // Writes index and final header. False when any write failed.
  bool Finish();

  int fd_ = -1;
  std::unique_ptr<AviStream> stream_;
  bool header_written_ = false;
  size_t header_size_ = 0;  // bytes before the movi list's first chunk
  uint64_t end_ = 0;        // current length of the file
  std::vector<IndexEntry> index_;
  uint32_t largest_sample_ = 0;
  bool finished_ = false;
};

std::vector<uint8_t> AviFile::BuildHeader(uint64_t movi_bytes) const {
  const AviStreamInfo* s = stream_ ? &stream_->info_ : nullptr;
  const std::vector<uint8_t> empty;
  const std::vector<uint8_t>& fmt = stream_ ? stream_->format_ : empty;
  uint32_t frames = uint32_t(index_.size());
  uint32_t width = s ? uint32_t(s->frame.right - s->frame.left) : 0;
  uint32_t height = s ? uint32_t(s->frame.bottom - s->frame.top) : 0;
  uint32_t buffer = s ? std::max(s->suggested_buffer_size, largest_sample_) : 0;

  std::vector<uint8_t> h;
  Put32(h, kRiff);
  Put32(h, 0);  // RIFF size, set below
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
  Put32(h, frames);
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
    Set32(h, strl_size_at, uint32_t(h.size() - strl_size_at - 4));
  }
  Set32(h, hdrl_size_at, uint32_t(h.size() - hdrl_size_at - 4));

  Put32(h, kList);
  Put32(h, uint32_t(4 + movi_bytes));
  Put32(h, kMovi);
  return h;
}

bool AviFile::Finish() {
  if (finished_) return true;
  finished_ = true;
  uint64_t movi_bytes = end_ - (header_written_ ? header_size_ : 0);
  if (!header_written_) movi_bytes = 0;
  std::vector<uint8_t> header = BuildHeader(movi_bytes);
  if (!header_written_) {
    header_size_ = header.size();
    end_ = header_size_;
  }
  std::vector<uint8_t> idx;
  idx.reserve(8 + index_.size() * 16);
  Put32(idx, kIdx1);
  Put32(idx, uint32_t(index_.size() * 16));
  for (const IndexEntry& e : index_) {
    Put32(idx, kChunk00db);
    Put32(idx, e.flags);
    Put32(idx, uint32_t(e.offset));
    Put32(idx, e.size);
  }
  uint64_t total = end_ + idx.size();
  if (total > kMaxAviFileBytes) return false;  // cannot happen: writes reserve room for it
  Set32(header, 4, uint32_t(total - 8));
  bool ok = WriteAllAt(fd_, idx.data(), idx.size(), end_) &&
            WriteAllAt(fd_, header.data(), header.size(), 0) &&
            ::ftruncate(fd_, static_cast<off_t>(total)) == 0;
  end_ = total;
  return ok;
}

int AVIFileOpen(std::unique_ptr<AviFile>& file, const std::string& path, uint32_t mode) {
  file.reset();
  if ((mode & (kOfCreate | kOfWrite)) != (kOfCreate | kOfWrite)) return kAviErrBadParam;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return kAviErrFileOpen;
  file = std::make_unique<AviFile>();
  file->fd_ = fd;
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
  if (file.fd_ < 0 || file.finished_) return kAviErrFileWrite;
  if (!stream.format_set_) return kAviErrBadFormat;
  if (samples != 1 || start < 0 || uint64_t(start) != file.index_.size()) return kAviErrBadParam;
  if (data.size() != stream.image_size_) return kAviErrBadSize;
  if (!file.header_written_) {
    std::vector<uint8_t> header = file.BuildHeader(0);
    if (!WriteAllAt(file.fd_, header.data(), header.size(), 0)) return kAviErrFileWrite;
    file.header_written_ = true;
    file.header_size_ = header.size();
    file.end_ = header.size();
  }
  uint64_t padded = data.size() + (data.size() & 1);
  uint64_t after = file.end_ + 8 + padded;
  uint64_t index_bytes = 8 + (file.index_.size() + 1) * 16;
  if (after + index_bytes > kMaxAviFileBytes) return kAviErrBadSize;

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
  // Offsets count from the 'movi' list type, which sits 4 bytes before the first chunk.
  e.offset = file.end_ - (file.header_size_ - 4);
  e.size = uint32_t(data.size());
  e.flags = flags & kAviIfKeyFrame;
  file.index_.push_back(e);
  file.largest_sample_ = std::max(file.largest_sample_, e.size);
  file.end_ = after;
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
  std::vector<uint8_t> frame_;  // header + colour table + pixels of the last frame
  size_t pixels_at_ = 0;
};

namespace {

// Parses the 'hdrl' list body (after its type) and picks the stream.
int ParseHeaderList(ByteReader hdrl, FourCC type, int32_t number, AviInputStream& out,
                    uint32_t& stream_index, uint32_t& avih_frames, uint32_t& stream_count) {
  bool have_avih = false, found = false;
  int32_t seen_of_type = 0;
  stream_count = 0;
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
      body->U32LE(avih_frames);
      have_avih = true;
    } else if (id == kList) {
      uint32_t list_type = 0;
      if (!body->U32LE(list_type)) return kAviErrBadFormat;
      if (list_type != kStrl) continue;
      uint32_t this_index = stream_count++;
      std::optional<AviStreamInfo> strh;
      std::optional<std::vector<uint8_t>> strf;
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
      stream_index = this_index;
      out.info_ = *strh;
      out.info_.name = name;
      out.format_ = std::move(*strf);
    }
  }
  if (!have_avih) return kAviErrBadFormat;
  if (!found) return kAviErrNoData;
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
  uint64_t movi_type_at = 0, movi_end = 0;
  bool have_movi = false;
  uint64_t pos = 12;
  while (riff_end - pos >= 8) {
    uint8_t hb[12];
    if (!src->ReadAt(pos, 8, hb)) return kAviErrBadFormat;
    ByteReader r(std::span<const uint8_t>(hb, 8));
    ChunkHeader c;
    r.U32LE(c.id);
    r.U32LE(c.size);
    uint64_t body = pos + 8, body_end = body + uint64_t(c.size);
    if (body_end > riff_end) return kAviErrBadFormat;  // chunk larger than the file's RIFF
    if (c.id == kList) {
      if (c.size < 4 || !src->ReadAt(body, 4, hb + 8)) return kAviErrBadFormat;
      FourCC list_type = MakeFourCC(char(hb[8]), char(hb[9]), char(hb[10]), char(hb[11]));
      if (list_type == kHdrl && !hdrl) {
        if (c.size - 4 > kMaxHeaderListBytes) return kAviErrBadFormat;
        hdrl = src->Read(body + 4, c.size - 4);
        if (!hdrl) return kAviErrFileRead;
      } else if (list_type == kMovi && !have_movi) {
        have_movi = true;
        movi_type_at = body;
        movi_end = body_end;
      }
    } else if (c.id == kIdx1 && !idx1) {
      if (c.size > kMaxIndexBytes) return kAviErrBadFormat;
      idx1 = src->Read(body, c.size);
      if (!idx1) return kAviErrFileRead;
    }
    pos = std::min(riff_end, body_end + (c.size & 1));
  }
  if (!hdrl || !have_movi) return kAviErrBadFormat;

  uint32_t stream_index = 0, avih_frames = 0, stream_count = 0;
  int rc =
      ParseHeaderList(ByteReader(*hdrl), type, number, *s, stream_index, avih_frames, stream_count);
  if (rc != kAviOk) return rc;
  if (stream_index > 99) return kAviErrUnsupported;
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

  s->id_db_ = SampleId(stream_index, 'd', 'b');
  s->id_dc_ = SampleId(stream_index, 'd', 'c');
  if (idx1) {
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
  } else if (!ScanMovi(*src, movi_type_at + 4, movi_end, *s, 0)) {
    return kAviErrBadFormat;
  }

  // Header counts must agree with what the file holds: a count that promises more samples than
  // exist would otherwise be trusted by every caller.
  if (s->index_.size() != info.length) return kAviErrBadFormat;
  if (stream_count == 1 && avih_frames != info.length) return kAviErrBadFormat;
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
