// cGIF::Save: writes the animation as a GIF file, one function per block of the format.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "gif/cGIF.h"
#include "gif/lossy_lzw_encoder.h"
#include "gif/mGIFLZWEnc.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/host.h"

namespace qm {
namespace {

// Buffered, sequential file output; every failure raises.
class FileGifOutput final : public GifOutput {
 public:
  explicit FileGifOutput(const std::string& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) Raise(kErrPermissionDenied);
    buffer_.reserve(kCapacity);
  }
  ~FileGifOutput() override {
    if (fd_ >= 0) ::close(fd_);
  }
  FileGifOutput(const FileGifOutput&) = delete;
  FileGifOutput& operator=(const FileGifOutput&) = delete;

  void Write(const uint8_t* data, size_t n) override {
    if (buffer_.size() + n > kCapacity) Flush();
    if (n >= kCapacity) {
      WriteAll(data, n);
      return;
    }
    buffer_.insert(buffer_.end(), data, data + n);
  }

  // Writes what is buffered and closes; raises when any of it failed.
  void Close() {
    Flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) Raise(kErrPermissionDenied);
  }

 private:
  static constexpr size_t kCapacity = 64 * 1024;

  void Flush() {
    WriteAll(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  void WriteAll(const uint8_t* data, size_t n) {
    if (!qm::WriteAll(fd_, {data, n})) Raise(kErrPermissionDenied);
  }

  int fd_ = -1;
  std::vector<uint8_t> buffer_;
};

// The blocks of the file go to any sink; these add the format's small fields.
class GifWriter {
 public:
  explicit GifWriter(GifOutput& out) : out_(out) {}
  void Write(const uint8_t* data, size_t n) { out_.Write(data, n); }
  void Put(uint8_t b) { out_.Write(&b, 1); }
  void PutU16(uint16_t v) {
    const uint8_t b[2] = {uint8_t(v & 0xFF), uint8_t(v >> 8)};
    out_.Write(b, 2);
  }

 private:
  GifOutput& out_;
};

// Smallest n >= 1 with 2^n >= entries.
int ColourTableBits(int32_t entries) {
  int n = 1;
  while ((int32_t(1) << n) < entries) ++n;
  return n;
}

void WriteHeader(GifWriter& out, bool has_frames) {
  out.Write(reinterpret_cast<const uint8_t*>(has_frames ? "GIF89a" : "GIF87a"), 6);
}

void WriteScreenDescriptor(GifWriter& out, const tGIFScreen& screen) {
  out.PutU16(uint16_t(screen.ScreenWidth));
  out.PutU16(uint16_t(screen.ScreenHeight));
  out.Put(screen.Packed);
  out.Put(screen.ScreenBackgroundColorIndex);
  out.Put(screen.PixelAspect);
}

// The palette is stored blue, green, red, reserved; the file wants red, green, blue, padded with
// zero entries up to 2^bits.
void WriteColourTable(GifWriter& out, const std::array<uint8_t, 1024>& palette, int32_t entries,
                      int bits) {
  std::vector<uint8_t> table(size_t(3) << bits, 0);
  const int32_t used = std::clamp<int32_t>(entries, 0, 256);
  for (int32_t i = 0; i < used; ++i) {
    table[size_t(i) * 3] = palette[size_t(i) * 4 + 2];
    table[size_t(i) * 3 + 1] = palette[size_t(i) * 4 + 1];
    table[size_t(i) * 3 + 2] = palette[size_t(i) * 4];
  }
  out.Write(table.data(), table.size());
}

void WriteLoopingExtension(GifWriter& out, int16_t loops) {
  static constexpr uint8_t kHead[14] = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S',
                                        'C',  'A',  'P',  'E', '2', '.', '0'};
  out.Write(kHead, sizeof kHead);
  out.Put(0x03);
  out.Put(0x01);
  out.PutU16(uint16_t(loops));
  out.Put(0x00);
}

void WriteGraphicControl(GifWriter& out, const tGIFFrame& f) {
  const int packed = (f.UseTransparentColor ? 1 : 0) + (f.UserInput ? 2 : 0) + f.DisposalMethod * 4;
  if (packed > 255) Raise(kErrOverflow);
  const uint8_t head[4] = {0x21, 0xF9, 0x04, uint8_t(packed)};
  out.Write(head, 4);
  out.PutU16(uint16_t(f.Delay));
  out.Put(f.UseTransparentColor ? uint8_t(f.TransparentColorIndex & 0xFF) : 0);
  out.Put(0x00);
}

void WriteImageDescriptor(GifWriter& out, const tGIFFrame& f, int table_bits) {
  out.Put(0x2C);
  out.PutU16(uint16_t(f.Left));
  out.PutU16(uint16_t(f.Top));
  out.PutU16(uint16_t(f.DIBXOR->Width()));
  out.PutU16(uint16_t(f.DIBXOR->Height()));
  const int packed = (f.LocalPaletteUsed ? 0x80 : 0) | (f.Interlaced ? 0x40 : 0) |
                     (f.LocalPaletteSorted ? 0x20 : 0) | (table_bits - 1);
  out.Put(uint8_t(packed));
}

// Indices at or above 2^code_size would be written as control codes and corrupt the stream.
bool IndicesFit(const cDIB& dib, int code_size) {
  if (code_size >= 8) return true;
  const uint8_t limit = uint8_t(1u << code_size);
  BitsView view;
  MapDIBBits(view, dib);
  const int32_t width = dib.Width();
  if (width > view.columns()) return false;
  for (int32_t y = 0; y < dib.Height(); ++y) {
    const uint8_t* p = view.row(y).data();
    uint8_t highest = 0;
    for (int32_t x = 0; x < width; ++x) highest = std::max(highest, p[x]);
    if (highest >= limit) return false;
  }
  return true;
}

// One frame's image data, encoded away from the file so frames can be encoded side by side.
// `fits` is false when the frame cannot be written (the caller then fails as it would have when
// reaching that frame); `bytes` then stays empty.
struct EncodedFrame {
  bool fits = false;
  std::vector<uint8_t> bytes;
};

// Frames below this many pixels are encoded on the writing thread: starting a worker costs more.
constexpr int64_t kSmallFramePixels = 64 * 64;

// Checks and encodes one frame on its own: reads only the frame's index bitmap, which nothing
// changes while the file is written.
EncodedFrame EncodeFrame(std::shared_ptr<const cDIB> dib, int code_size, bool interlaced,
                         const LossyColours& colours, int32_t lossy) {
  EncodedFrame result;
  if (!dib || dib->BPP() != 8 || dib->Width() <= 0 || dib->Height() <= 0) return result;
  if (!IndicesFit(*dib, code_size)) return result;
  tGIFFrame frame;
  frame.DIBXOR = std::const_pointer_cast<cDIB>(dib);
  MemoryGifOutput data;
  // Typical photographs compress to under half their index bytes; growth beyond is amortised.
  data.bytes.reserve(size_t(dib->Width()) * size_t(dib->Height()) / 2 + 256);
  if (lossy > 0)
    EncodeImageLossy(data, frame, uint8_t(code_size + 1), interlaced, colours, lossy);
  else
    EncodeImage(data, frame, uint8_t(code_size + 1), interlaced);
  result.bytes = std::move(data.bytes);
  result.fits = true;
  return result;
}

void WriteImageData(GifWriter& out, int code_size, const std::vector<uint8_t>& data) {
  out.Put(uint8_t(code_size));
  out.Write(data.data(), data.size());
  out.Put(0x00);
}

void WriteTrailer(GifWriter& out) {
  out.Put(0x3B);
}

// A file without any write permission bit is protected: Save must not replace it.
bool IsReadOnlyFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool cGIF::Save(const std::string& filename) {
  return Save(filename, CurrentHost());
}

bool cGIF::Save(const std::string& filename, Host& host) {
  try {
    if (filename.empty() || IsReadOnlyFile(filename)) return false;
    DeleteFileQuiet(filename);
    FileGifOutput file(filename);
    if (!Save(static_cast<GifOutput&>(file), host)) return false;
    file.Close();
    return true;
  } catch (...) {
    return false;
  }
}

bool cGIF::Save(GifOutput& sink, Host& host) {
  try {
    if (m_Frames.empty()) return false;  // never had a frame store
    GifWriter out(sink);

    const bool has_frames = m_FramesCount >= 1;
    WriteHeader(out, has_frames);

    int global_bits = 0;
    if (m_GlobalPaletteExists) {
      if (m_GlobalPaletteEntries > 256) return false;
      global_bits = ColourTableBits(m_GlobalPaletteEntries);
      m_Screen.Packed = uint8_t(0x80 + (global_bits - 1) * 16 + (m_GlobalPaletteSorted ? 8 : 0) +
                                (global_bits - 1));
    } else {
      m_Screen.Packed = 0;
    }
    WriteScreenDescriptor(out, m_Screen);
    if (m_GlobalPaletteExists)
      WriteColourTable(out, m_GlobalPalette, m_GlobalPaletteEntries, global_bits);

    if (has_frames && m_LoopingExtension) WriteLoopingExtension(out, m_AnimationLoops);

    // Frames are encoded ahead on worker threads, a bounded number at a time so at most that
    // many encoded frames are held; the file is still written strictly in frame order, and every
    // check fails at the same frame, in the same order, as a frame-by-frame write would.
    auto table_bits_of = [&](const tGIFFrame& f) {
      return f.LocalPaletteUsed ? ColourTableBits(f.LocalPaletteEntries) : global_bits;
    };
    auto can_encode = [&](const tGIFFrame& f) {
      return (f.LocalPaletteUsed || m_GlobalPaletteExists) &&
             !(f.LocalPaletteUsed && f.LocalPaletteEntries > 256);
    };
    const size_t in_flight = std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
    std::deque<std::future<EncodedFrame>> pending;
    // Frame numbers are counted in 32 bits: a 16-bit counter would wrap after the last of
    // kMaxGifFrames frames instead of ending the loop.
    int32_t next_to_start = 1;
    auto start_more = [&](int32_t current) {
      while (next_to_start <= m_FramesCount &&
             (pending.size() < in_flight || next_to_start == current)) {
        const tGIFFrame& f = m_Frames[size_t(next_to_start) - 1];
        std::shared_ptr<const cDIB> dib = f.DIBXOR;
        const int code_size = can_encode(f) ? std::max(2, table_bits_of(f)) : 0;
        if (code_size == 0) {
          // Never written: the frame loop stops at this frame's check first.
          std::promise<EncodedFrame> none;
          none.set_value(EncodedFrame{});
          pending.push_back(none.get_future());
        } else {
          const bool small = !dib || int64_t(dib->Width()) * dib->Height() < kSmallFramePixels;
          const auto policy =
              small ? std::launch::deferred : std::launch::async | std::launch::deferred;
          LossyColours colours;
          if (m_Lossy > 0) {
            colours.palette = f.LocalPaletteUsed ? f.LocalPalette : m_GlobalPalette;
            colours.entries = f.LocalPaletteUsed ? f.LocalPaletteEntries : m_GlobalPaletteEntries;
            colours.transparent = f.UseTransparentColor ? int32_t(f.TransparentColorIndex) : -1;
          }
          pending.push_back(std::async(policy, EncodeFrame, std::move(dib), code_size, f.Interlaced,
                                       colours, m_Lossy));
        }
        ++next_to_start;
      }
    };

    host.SetProgressStage("Writing GIF");
    host.SetProgressMax(m_FramesCount);
    for (int32_t n = 1; n <= int32_t(m_FramesCount); ++n) {
      start_more(n);
      host.SetProgressValue(n);
      host.Yield();
      if (host.CancelRequested()) return false;
      const tGIFFrame& f = m_Frames[size_t(n) - 1];
      const cDIB* dib = f.DIBXOR.get();
      if (!dib || dib->BPP() != 8 || dib->Width() <= 0 || dib->Height() <= 0) return false;
      if (dib->Width() > 32767 || dib->Height() > 32767) return false;
      if (!can_encode(f)) return false;

      WriteGraphicControl(out, f);
      const int table_bits = table_bits_of(f);
      const int code_size = std::max(2, table_bits);
      EncodedFrame encoded = pending.front().get();
      pending.pop_front();
      if (!encoded.fits) return false;
      WriteImageDescriptor(out, f, table_bits);
      if (f.LocalPaletteUsed)
        WriteColourTable(out, f.LocalPalette, f.LocalPaletteEntries, table_bits);
      WriteImageData(out, code_size, encoded.bytes);
    }
    WriteTrailer(out);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace qm
