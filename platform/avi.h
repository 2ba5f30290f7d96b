// A small AVI writer and reader for one stream of uncompressed bitmap video, offering the calls
// the intermediate-video writer and the importer make, under the names of the platform library
// they stand in for.
//
// File layout written. A file that stays within SegmentBytes() (1 GiB unless a test set another)
// is a plain AVI 1.0 file:
//   RIFF 'AVI ' { LIST 'hdrl' { 'avih', LIST 'strl' { 'strh', 'strf' } },
//                 LIST 'movi' { '00db' chunk per sample, each padded to an even length },
//                 'idx1' (one entry per sample, key-frame flag 0x10) }
// A larger one uses the OpenDML (AVI 2.0) extension: the samples go on in further RIFF segments,
// each closed before it would pass SegmentBytes() (a segment always takes at least one sample),
// and each segment's 'movi' list ends with a standard index of its samples:
//   RIFF 'AVI ' { LIST 'hdrl' { 'avih', LIST 'strl' { 'strh', 'strf', 'indx' },
//                               LIST 'odml' { 'dmlh' } },
//                 LIST 'movi' { '00db'..., 'ix00' }, 'idx1' (this segment's samples only) }
//   RIFF 'AVIX' { LIST 'movi' { '00db'..., 'ix00' } }   (as many as needed)
// 'indx' is the super index (one entry per 'ix00': its offset, size and sample count), with room
// for more entries than are used; 'strh' and 'dmlh' count every sample, 'avih' only those of the
// first segment, which is what an AVI 1.0 reader finds through 'idx1'. Each 'ix00' counts its
// offsets from its segment's 'movi' list type and points at the sample data (after the chunk
// header); a sample that is not a key frame has bit 31 of its size set.
//
// The writer decides the layout when the first sample is written, from the stream's expected
// length (AviStreamInfo::length at creation). A file that grows past the first segment without
// that (or past what it promised) is still written correctly: its samples are moved once to make
// room for the extended header.
//
// Results: 0 (kAviOk) on success; a negative kAviErr* code otherwise (Failed() tells). Nothing
// here throws. The reader never trusts the file: every chunk size is checked against its parent
// list and the file, every index entry against the 'movi' lists, the headers are cross-checked
// (frame counts against the index, each sample's size against the bitmap format), index sizes are
// bounded before anything is allocated for them, and a damaged or truncated file fails to open or
// yields no frame for the damaged sample. Parsing goes through ByteReader only; offsets are 64-bit.
//
// Ownership: AVIFileOpen and AVIStreamOpenFromFile hand out owning pointers; a writer stream
// belongs to its file and is valid until the file is released. Releasing a file finishes it
// (indexes, final sizes); AVIFileRelease reports whether that worked, the destructor cannot.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace qm::avi {

using FourCC = uint32_t;

constexpr FourCC MakeFourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | (uint32_t(uint8_t(b)) << 8) | (uint32_t(uint8_t(c)) << 16) |
         (uint32_t(uint8_t(d)) << 24);
}
// The code of the first four characters of `text`, padded with spaces ("vids" -> 'vids').
FourCC StringToFourCC(std::string_view text);

inline constexpr FourCC kStreamTypeVideo = MakeFourCC('v', 'i', 'd', 's');
inline constexpr FourCC kHandlerDib = MakeFourCC('D', 'I', 'B', ' ');

// Result codes (the platform's values, so a caller printing them sees familiar numbers).
inline constexpr int kAviOk = 0;
inline constexpr int kAviErrUnsupported = int(0x80044065u);
inline constexpr int kAviErrBadFormat = int(0x80044066u);
inline constexpr int kAviErrMemory = int(0x80044067u);
inline constexpr int kAviErrBadParam = int(0x8004406Au);
inline constexpr int kAviErrBadSize = int(0x8004406Bu);
inline constexpr int kAviErrFileRead = int(0x8004406Du);
inline constexpr int kAviErrFileWrite = int(0x8004406Eu);
inline constexpr int kAviErrFileOpen = int(0x8004406Fu);
inline constexpr int kAviErrNoData = int(0x80044073u);
constexpr bool Failed(int result) {
  return result < 0;
}
constexpr bool Succeeded(int result) {
  return result >= 0;
}

// Open modes.
inline constexpr uint32_t kOfRead = 0x0000;
inline constexpr uint32_t kOfWrite = 0x0001;
inline constexpr uint32_t kOfShareExclusive = 0x0010;
inline constexpr uint32_t kOfCreate = 0x1000;

// Sample flag: the sample is a key frame.
inline constexpr uint32_t kAviIfKeyFrame = 0x10;

// Largest RIFF segment, and so largest AVI 1.0 file: RIFF sizes and index offsets are 32-bit.
inline constexpr uint64_t kMaxAviFileBytes = 0xFFFFFFFFull;

// Size at which the writer closes a RIFF segment and opens the next. 1 GiB rather than the hard
// 4 GiB: readers that take RIFF sizes as signed stop at 2 GiB, so the first segment (all an AVI
// 1.0 reader sees) and every later one stay well inside what any reader handles, as other OpenDML
// writers do.
inline constexpr uint64_t kDefaultSegmentBytes = uint64_t(1) << 30;
// The segment size files opened from now on use. Tests set a small one to get several segments
// from a few megabytes; 0 restores kDefaultSegmentBytes. Not meant to change while a file is open
// elsewhere (each file keeps the value it was opened with).
void SetSegmentBytesForTesting(uint64_t bytes);
uint64_t SegmentBytes();

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// The stream header / stream information record. When creating a stream only type, handler,
// scale, rate, length, suggested_buffer_size, quality, frame and name are taken; the others are
// filled from what is written. There `length` is the number of samples the caller means to write
// (0: not known), used only to lay the file out; the header counts what was written. Reading fills
// every field from the file.
struct AviStreamInfo {
  FourCC type = 0;
  FourCC handler = 0;
  uint32_t flags = 0;
  uint32_t caps = 0;
  uint16_t priority = 0;
  uint16_t language = 0;
  uint32_t scale = 0;
  uint32_t rate = 0;  // samples per second = rate / scale
  uint32_t start = 0;
  uint32_t length = 0;  // samples
  uint32_t initial_frames = 0;
  uint32_t suggested_buffer_size = 0;
  uint32_t quality = 0;
  uint32_t sample_size = 0;
  Rect frame;  // right and bottom are the frame's width and height
  uint32_t edit_count = 0;
  uint32_t format_change_count = 0;
  std::string name;
};

class AviFile;         // a file being written
class AviStream;       // a video stream being written; owned by its AviFile
class AviInputStream;  // a video stream opened for reading
class AviGetFrame;     // hands out the frames of an AviInputStream as packed bitmaps

}  // namespace qm::avi

// The objects are opaque; deleting them happens where they are complete (avi_writer.cpp,
// avi_reader.cpp).
template <>
struct std::default_delete<qm::avi::AviFile> {
  void operator()(qm::avi::AviFile* p) const;
};
template <>
struct std::default_delete<qm::avi::AviInputStream> {
  void operator()(qm::avi::AviInputStream* p) const;
};
template <>
struct std::default_delete<qm::avi::AviGetFrame> {
  void operator()(qm::avi::AviGetFrame* p) const;
};

namespace qm::avi {

// ---- Writing ----

// Creates (or truncates) `path` for writing. `mode` must include kOfCreate and kOfWrite.
int AVIFileOpen(std::unique_ptr<AviFile>& file, const std::string& path, uint32_t mode);

// Adds the file's one video stream: type kStreamTypeVideo, scale and rate above 0, the frame
// rectangle within 1..32767 pixels each way. A second stream is refused (kAviErrUnsupported).
int AVIFileCreateStream(AviFile& file, AviStream*& stream, const AviStreamInfo& info);

// Sets the sample format: a bitmap-information block (40-byte header, then the colour table,
// which 1/4/8-bit formats must hold). Only uncompressed formats (compression 0) with a positive
// width and a non-zero height are taken. `position` must be 0, and the format is fixed once a
// sample was written.
int AVIStreamSetFormat(AviStream& stream, int32_t position, std::span<const uint8_t> format);

// Appends one sample: `start` must be the number of samples written so far, `samples` 1, and
// `data` exactly the format's image size (rows padded to 4 bytes). kAviErrBadSize when the data
// does not match the format, or a segment cannot take it (a sample past kMaxAviFileBytes, or the
// super index full); kAviErrFileWrite on a failed write. On failure nothing of the sample is kept;
// when moving the samples for the extended header fails, the file is lost (released empty).
int AVIStreamWrite(AviStream& stream, int32_t start, int32_t samples, std::span<const uint8_t> data,
                   uint32_t flags);

// The size in bytes of the file the writer makes from `samples` samples in `format` (a block
// AVIStreamSetFormat takes) when the stream was created with that length; 0 when the format is
// not one the writer takes. For checking the free space before writing.
uint64_t AVIFileBytesFor(std::span<const uint8_t> format, uint64_t samples);

// Releases a writer stream handle (the stream stays part of its file); sets it to null.
void AVIStreamRelease(AviStream*& stream);

// Finishes the file (index, header sizes and counts), closes it and drops the object. 0 when the
// whole file was written; kAviErrFileWrite otherwise. A null pointer gives 0.
int AVIFileRelease(std::unique_ptr<AviFile>& file);

// ---- Reading ----

// Opens stream `number` (counted among the streams of `type`; only 0 exists in files this reader
// takes) of an AVI file. kAviErrFileOpen when the file cannot be opened, kAviErrBadFormat when
// it is not a well-formed AVI or the headers disagree, kAviErrNoData when it has no such stream.
// `mode` is accepted for the platform's signature; the file is only read.
int AVIStreamOpenFromFile(std::unique_ptr<AviInputStream>& stream, const std::string& path,
                          FourCC type, int32_t number, uint32_t mode);
// The same over bytes in memory; the bytes must outlive the stream.
int AVIStreamOpenFromMemory(std::unique_ptr<AviInputStream>& stream, std::span<const uint8_t> bytes,
                            FourCC type, int32_t number);

int32_t AVIStreamLength(const AviInputStream& stream);  // samples
int32_t AVIStreamStart(const AviInputStream& stream);   // first sample number
// Start time of `sample` in milliseconds, rounded to nearest: sample * scale * 1000 / rate;
// -1 when the sample is negative or the time does not fit.
int32_t AVIStreamSampleToTime(const AviInputStream& stream, int32_t sample);
// Fills `info` (at most `size` bytes' worth is the platform's rule; any size >= 0 works here).
int AVIStreamInfo(const AviInputStream& stream, AviStreamInfo& info, int32_t size);
// The stream's format block as stored ('strf'); valid while the stream is open.
std::span<const uint8_t> AVIStreamFormat(const AviInputStream& stream);

// Prepares frame reading (the stream must outlive the result); null when the format is not an
// uncompressed 1/4/8/16/24/32-bit bitmap or its size is implausible. `requested_format` must be
// null (the stored format is used).
std::unique_ptr<AviGetFrame> AVIStreamGetFrameOpen(AviInputStream& stream,
                                                   const void* requested_format = nullptr);
// Sample `position` as a packed bitmap: 40-byte header (size_image filled), colour table, rows.
// Empty when the position is out of range or the sample is missing, short or unreadable. The
// bytes stay valid until the next call on the same object or its release.
std::span<const uint8_t> AVIStreamGetFrame(AviGetFrame& frames, int32_t position);
void AVIStreamGetFrameClose(std::unique_ptr<AviGetFrame>& frames);

void AVIStreamRelease(std::unique_ptr<AviInputStream>& stream);

}  // namespace qm::avi
