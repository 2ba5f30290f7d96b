// Fuzz target: arbitrary bytes through cGIF::LoadFromStream. Any crash, sanitizer report or
// access outside the stream is a bug; a false result is fine.
#include <cstddef>
#include <cstdint>
#include <span>

#include "gif/cGIF.h"
#include "gif/mGIFLZWDec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Small inputs may declare huge frames; keep each run within the fuzzer's memory budget.
  auto& limits = qm::mGIFLZWDec::Limits();
  limits.MaxFramePixels = uint64_t(1) << 16;
  limits.MaxLoadPixels = uint64_t(1) << 18;

  qm::cGIF gif;
  if (gif.LoadFromStream(std::span<const uint8_t>(data, size))) {
    // Touch what a caller would read: every frame's bitmap geometry and settings.
    for (int16_t n = 1; n <= gif.FramesCount(); ++n) {
      auto xor_dib = gif.FrameDIBXOR(n);
      auto and_dib = gif.FrameDIBAND(n);
      if (!xor_dib || !and_dib) __builtin_trap();
      if (xor_dib->Width() != and_dib->Width() || xor_dib->Height() != and_dib->Height())
        __builtin_trap();
    }
  }
  return 0;
}
