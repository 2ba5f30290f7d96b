// Hand-made GIF image data for reader tests: every pixel written as a clear code followed by its
// literal, so the codes stay 9 bits wide. Valid LZW that a reader must decode, compressed not at
// all, and simple enough to build by hand for files whose headers lie about the data.
#pragma once

#include <cstdint>
#include <vector>

namespace qm::testing {

// The LZW codes (minimum code size 8) for `pixels`, ending with the end code, unblocked.
inline std::vector<uint8_t> NineBitLzw(const std::vector<uint8_t>& pixels) {
  std::vector<uint8_t> data;
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](int code) {
    acc |= uint32_t(code) << bits;
    for (bits += 9; bits >= 8; bits -= 8, acc >>= 8) data.push_back(uint8_t(acc));
  };
  for (uint8_t p : pixels) put(256), put(p);
  put(257);
  if (bits) data.push_back(uint8_t(acc));
  return data;
}

}  // namespace qm::testing
