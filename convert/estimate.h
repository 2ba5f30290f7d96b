// Estimating the size of out.gif before converting: a few of the listed pictures are converted
// with the same options (by a separate process, so the estimate shares no state with a
// conversion running in the window), and the size of that small animation is scaled up to the
// whole list. These two functions choose the pictures and do the scaling; they touch no host.
#pragma once

#include <cstdint>
#include <vector>

namespace qm {

// Up to this many pictures stand in for the list.
inline constexpr int32_t kEstimateFrames = 12;
// The pictures are taken in runs of consecutive ones, so that frames stored as their changes
// from the frame before are estimated from real neighbours.
inline constexpr int32_t kEstimateRun = 4;

// The 0-based positions, ascending, of the pictures that stand in for a list of `count`: all of
// them for a short list, else kEstimateFrames / kEstimateRun runs spread evenly, the first run at
// the start of the list.
std::vector<int32_t> EstimateSample(int32_t count);

// The whole animation's size from `sample_bytes`, the size of the animation made of
// `sample_frames` of the `count` pictures. The parts of the file that do not grow with the frames
// (header, screen, global colour table, loop block, trailer) are counted once.
int64_t ScaleEstimate(int64_t sample_bytes, int32_t sample_frames, int32_t count);

}  // namespace qm
