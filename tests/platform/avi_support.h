// Shared by the AVI tests: little-endian patching, a tag search and a clip of frames whose
// every byte depends on the frame number, written through the AVI writer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/avi.h"

namespace qm::testing {

inline void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  std::memcpy(&v[at], &x, 4);
}
inline uint32_t Get32(const std::vector<uint8_t>& v, size_t at) {
  uint32_t x;
  std::memcpy(&x, &v[at], 4);
  return x;
}
inline size_t Find(const std::vector<uint8_t>& v, const char* tag, size_t from = 0) {
  for (size_t i = from; i + 4 <= v.size(); ++i)
    if (std::memcmp(&v[i], tag, 4) == 0) return i;
  return std::string::npos;
}

// A bitmap-information block and frames whose every byte depends on the frame number.
struct Clip {
  int width, height, bpp, frames;
  uint32_t rate;
  std::vector<uint8_t> format;
  std::vector<std::vector<uint8_t>> pixels;

  Clip(int w, int h, int b, int n, uint32_t r) : width(w), height(h), bpp(b), frames(n), rate(r) {
    int colors = bpp <= 8 ? 1 << bpp : 0;
    format.assign(40 + 4 * colors, 0);
    Put32(format, 0, 40);
    Put32(format, 4, uint32_t(w));
    Put32(format, 8, uint32_t(h));
    format[12] = 1;
    format[14] = uint8_t(bpp);
    for (int i = 0; i < colors; ++i) format[40 + 4 * i] = uint8_t(i * 3 + 1);
    size_t size = size_t((w * bpp + 31) / 32 * 4) * size_t(std::abs(h));
    for (int f = 0; f < n; ++f) {
      pixels.emplace_back(size);
      for (size_t i = 0; i < size; ++i) pixels.back()[i] = uint8_t(i * 31 + f * 7 + 1);
    }
  }

  // Writes every frame; `expected_length` is the stream length announced at creation (0: none).
  int Write(const std::string& path, uint32_t expected_length = 0) const {
    std::unique_ptr<avi::AviFile> file;
    int rc = avi::AVIFileOpen(file, path, avi::kOfCreate | avi::kOfWrite);
    if (rc) return rc;
    avi::AviStreamInfo info;
    info.type = avi::StringToFourCC("vids");
    info.scale = 1;
    info.rate = rate;
    info.length = expected_length;
    info.suggested_buffer_size = uint32_t(pixels.empty() ? 0 : pixels[0].size());
    info.frame = {0, 0, width, std::abs(height)};
    avi::AviStream* stream = nullptr;
    if ((rc = avi::AVIFileCreateStream(*file, stream, info))) return rc;
    if ((rc = avi::AVIStreamSetFormat(*stream, 0, format))) return rc;
    for (int f = 0; f < frames; ++f)
      if ((rc = avi::AVIStreamWrite(*stream, f, 1, pixels[size_t(f)], avi::kAviIfKeyFrame)))
        return rc;
    avi::AVIStreamRelease(stream);
    return avi::AVIFileRelease(file);
  }
};

// Sets the writer's segment size for one scope.
class ScopedSegmentBytes {
 public:
  explicit ScopedSegmentBytes(uint64_t bytes) { avi::SetSegmentBytesForTesting(bytes); }
  ~ScopedSegmentBytes() { avi::SetSegmentBytesForTesting(0); }
  ScopedSegmentBytes(const ScopedSegmentBytes&) = delete;
  ScopedSegmentBytes& operator=(const ScopedSegmentBytes&) = delete;
};

}  // namespace qm::testing
