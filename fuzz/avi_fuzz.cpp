// Feeds arbitrary bytes to the AVI reader as a file in memory and reads everything it offers:
// stream information, timing and every frame.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/avi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qm::avi;
  std::unique_ptr<AviInputStream> stream;
  if (AVIStreamOpenFromMemory(stream, std::span<const uint8_t>(data, size), kStreamTypeVideo, 0) !=
      kAviOk)
    return 0;
  AviStreamInfo info;
  AVIStreamInfo(*stream, info, 140);
  int32_t start = AVIStreamStart(*stream);
  int32_t length = AVIStreamLength(*stream);
  AVIStreamSampleToTime(*stream, start + length);
  std::unique_ptr<AviGetFrame> frames = AVIStreamGetFrameOpen(*stream);
  if (!frames) return 0;
  volatile uint32_t sink = 0;
  for (int32_t i = start; i < start + length; ++i) {
    std::span<const uint8_t> frame = AVIStreamGetFrame(*frames, i);
    // Touch the first and last byte so a bad span shows under the sanitizers.
    if (!frame.empty()) sink = sink + frame.front() + frame.back();
  }
  AVIStreamGetFrameClose(frames);
  AVIStreamRelease(stream);
  return 0;
}
