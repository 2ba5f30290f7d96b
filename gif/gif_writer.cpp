// cGIF::Save: writes the animation as a GIF file, one function per block of the format.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWEnc.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/host.h"

namespace qm {
namespace {

// Buffered, sequential file output; every failure raises.
class FileGifOutput : public GifOutput {
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
  void Put(uint8_t b) { Write(&b, 1); }
  void PutU16(uint16_t v) {
    const uint8_t b[2] = {uint8_t(v & 0xFF), uint8_t(v >> 8)};
    Write(b, 2);
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
    while (n > 0) {
      const ssize_t w = ::write(fd_, data, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) Raise(kErrPermissionDenied);
      data += w;
      n -= size_t(w);
    }
  }

  int fd_ = -1;
  std::vector<uint8_t> buffer_;
};

// Smallest n >= 1 with 2^n >= entries.
int ColourTableBits(int32_t entries) {
  int n = 1;
  while ((int32_t(1) << n) < entries) ++n;
  return n;
}

void WriteHeader(FileGifOutput& out, bool has_frames) {
  out.Write(reinterpret_cast<const uint8_t*>(has_frames ? "GIF89a" : "GIF87a"), 6);
}

void WriteScreenDescriptor(FileGifOutput& out, const tGIFScreen& screen) {
  out.PutU16(uint16_t(screen.ScreenWidth));
  out.PutU16(uint16_t(screen.ScreenHeight));
  out.Put(screen.Packed);
  out.Put(screen.ScreenBackgroundColorIndex);
  out.Put(screen.PixelAspect);
}

// The palette is stored blue, green, red, reserved; the file wants red, green, blue, padded with
// zero entries up to 2^bits.
void WriteColourTable(FileGifOutput& out, const std::array<uint8_t, 1024>& palette, int32_t entries,
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

void WriteLoopingExtension(FileGifOutput& out, int16_t loops) {
  static constexpr uint8_t kHead[14] = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S',
                                        'C',  'A',  'P',  'E', '2', '.', '0'};
  out.Write(kHead, sizeof kHead);
  out.Put(0x03);
  out.Put(0x01);
  out.PutU16(uint16_t(loops));
  out.Put(0x00);
}

void WriteGraphicControl(FileGifOutput& out, const tGIFFrame& f) {
  const int packed = (f.UseTransparentColor ? 1 : 0) + (f.UserInput ? 2 : 0) + f.DisposalMethod * 4;
  if (packed > 255) Raise(kErrOverflow);
  const uint8_t head[4] = {0x21, 0xF9, 0x04, uint8_t(packed)};
  out.Write(head, 4);
  out.PutU16(uint16_t(f.Delay));
  out.Put(f.UseTransparentColor ? uint8_t(f.TransparentColorIndex & 0xFF) : 0);
  out.Put(0x00);
}

void WriteImageDescriptor(FileGifOutput& out, const tGIFFrame& f, int table_bits) {
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

void WriteImageData(FileGifOutput& out, const tGIFFrame& f, int code_size) {
  out.Put(uint8_t(code_size));
  EncodeImage(out, f, uint8_t(code_size + 1), f.Interlaced);
  out.Put(0x00);
}

void WriteTrailer(FileGifOutput& out) {
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
  try {
    if (filename.empty() || IsReadOnlyFile(filename)) return false;
    DeleteFileQuiet(filename);
    FileGifOutput out(filename);
    if (m_Frames.empty()) return false;  // never had a frame store

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

    if (has_frames) WriteLoopingExtension(out, m_AnimationLoops);

    Host& host = CurrentHost();
    host.SetProgressMax(m_FramesCount);
    for (int16_t n = 1; n <= m_FramesCount; ++n) {
      host.SetProgressValue(n);
      host.Yield();
      const tGIFFrame& f = m_Frames[size_t(n) - 1];
      const cDIB* dib = f.DIBXOR.get();
      if (!dib || dib->BPP() != 8 || dib->Width() <= 0 || dib->Height() <= 0) return false;
      if (dib->Width() > 32767 || dib->Height() > 32767) return false;
      if (!f.LocalPaletteUsed && !m_GlobalPaletteExists) return false;
      if (f.LocalPaletteUsed && f.LocalPaletteEntries > 256) return false;

      WriteGraphicControl(out, f);
      const int table_bits =
          f.LocalPaletteUsed ? ColourTableBits(f.LocalPaletteEntries) : global_bits;
      const int code_size = std::max(2, table_bits);
      if (!IndicesFit(*dib, code_size)) return false;
      WriteImageDescriptor(out, f, table_bits);
      if (f.LocalPaletteUsed)
        WriteColourTable(out, f.LocalPalette, f.LocalPaletteEntries, table_bits);
      WriteImageData(out, f, code_size);
    }
    WriteTrailer(out);
    out.Close();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace qm
