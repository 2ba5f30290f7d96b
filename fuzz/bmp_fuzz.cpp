// Feeds arbitrary bytes to the BMP reader; whatever it accepts must also survive the 24-bit
// encoder and read back with the same geometry.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "platform/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto dib = qm::ReadBmp(std::span(data, size), &error);
  if (!dib) {
    if (error.empty()) std::abort();
    return 0;
  }
  // Keep the re-encoding cheap on large accepted inputs.
  if (dib->size_bytes() > (size_t(1) << 22)) return 0;
  const auto file = qm::EncodeBmp24(*dib);
  auto back = qm::ReadBmp(file, nullptr);
  if (!back || back->width() != dib->width() || back->height() != dib->height()) std::abort();
  return 0;
}
