// Fuzz target: arbitrary bytes through cGIF::LoadFromStream with the reader's own limits. Any
// crash, sanitizer report or access outside the stream is a bug; a false result is fine. A file
// that makes the reader commit memory its bytes do not account for shows up as the fuzzer's RSS
// limit (-rss_limit_mb), since declared but untouched pixels are never committed.
#include <cstddef>
#include <cstdint>
#include <span>

#include "gif/cGIF.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qm::cGIF gif;
  if (gif.LoadFromStream(std::span<const uint8_t>(data, size))) {
    if (gif.FramesCount() < 0 || gif.FramesCount() > qm::kMaxGifFrames) __builtin_trap();
    if (gif.ImagesNotRead() > 0 && gif.FramesCount() != qm::kMaxGifFrames) __builtin_trap();
    // Touch what a caller would read: every frame's bitmap geometry and settings. The counter
    // is wider than the frame numbers so that the last one, 32767, ends the loop.
    for (int32_t k = 1; k <= gif.FramesCount(); ++k) {
      const auto n = int16_t(k);
      auto xor_dib = gif.FrameDIBXOR(n);
      auto and_dib = gif.FrameDIBAND(n);
      if (!xor_dib || !and_dib) __builtin_trap();
      if (xor_dib->Width() != and_dib->Width() || xor_dib->Height() != and_dib->Height())
        __builtin_trap();
      (void)gif.FrameDelay(n);
      (void)gif.FrameDisposalMethod(n);
    }
  }
  return 0;
}
