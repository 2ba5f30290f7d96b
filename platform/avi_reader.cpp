// The AVI reader: AVI 1.0 files and the OpenDML extension, from a file or from memory. Nothing the
// file says is trusted before it is checked against the file and against avi_layout.h's limits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "platform/avi.h"
#include "platform/avi_layout.h"
#include "platform/byte_reader.h"
#include "platform/memory.h"

namespace qm::avi {

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

void std::default_delete<qm::avi::AviInputStream>::operator()(qm::avi::AviInputStream* p) const {
  delete p;
}
void std::default_delete<qm::avi::AviGetFrame>::operator()(qm::avi::AviGetFrame* p) const {
  delete p;
}
