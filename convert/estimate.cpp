#include "convert/estimate.h"

#include <algorithm>

namespace qm {

namespace {
// Header 6, screen descriptor 7, a full global colour table 768, the NETSCAPE2.0 block 19 and the
// trailer 1.
constexpr int64_t kFixedBytes = 6 + 7 + 768 + 19 + 1;
}  // namespace

std::vector<int32_t> EstimateSample(int32_t count) {
  std::vector<int32_t> sample;
  if (count <= 0) return sample;
  if (count <= kEstimateFrames) {
    for (int32_t i = 0; i < count; ++i) sample.push_back(i);
    return sample;
  }
  const int32_t runs = kEstimateFrames / kEstimateRun;
  for (int32_t r = 0; r < runs; ++r) {
    // Run starts at 0 and at even steps up to the last full run at the end of the list.
    const int64_t start = int64_t(count - kEstimateRun) * r / (runs - 1);
    for (int32_t k = 0; k < kEstimateRun; ++k) sample.push_back(int32_t(start) + k);
  }
  sample.erase(std::unique(sample.begin(), sample.end()), sample.end());
  return sample;
}

int64_t ScaleEstimate(int64_t sample_bytes, int32_t sample_frames, int32_t count) {
  if (sample_bytes <= 0 || sample_frames <= 0 || count <= 0) return 0;
  if (sample_frames >= count) return sample_bytes;
  const int64_t fixed = std::min(kFixedBytes, sample_bytes);
  const long double per_frame = (long double)(sample_bytes - fixed) / sample_frames;
  return fixed + int64_t(per_frame * count + 0.5L);
}

}  // namespace qm
