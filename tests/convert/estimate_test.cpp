// Which pictures stand in for a list in the size estimate, and how their size is scaled up. The
// estimate itself is checked against real conversions by the window tests.
#include "convert/estimate.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qm {
namespace {

TEST(EstimateSample, AShortListIsTakenWhole) {
  EXPECT_TRUE(EstimateSample(0).empty());
  EXPECT_TRUE(EstimateSample(-3).empty());
  EXPECT_EQ(EstimateSample(1), (std::vector<int32_t>{0}));
  const std::vector<int32_t> all = EstimateSample(kEstimateFrames);
  ASSERT_EQ(all.size(), size_t(kEstimateFrames));
  for (int32_t i = 0; i < kEstimateFrames; ++i) EXPECT_EQ(all[size_t(i)], i);
}

TEST(EstimateSample, ALongListGivesRunsOfNeighboursFromStartToEnd) {
  for (int32_t count : {kEstimateFrames + 1, 50, 1000, 32767}) {
    const std::vector<int32_t> s = EstimateSample(count);
    ASSERT_EQ(s.size(), size_t(kEstimateFrames)) << count;
    EXPECT_TRUE(std::is_sorted(s.begin(), s.end())) << count;
    EXPECT_EQ(std::adjacent_find(s.begin(), s.end()), s.end()) << "duplicate, " << count;
    EXPECT_EQ(s.front(), 0);
    EXPECT_EQ(s.back(), count - 1);
    for (size_t r = 0; r < s.size(); r += size_t(kEstimateRun)) {
      for (size_t k = 1; k < size_t(kEstimateRun); ++k) EXPECT_EQ(s[r + k], s[r] + int32_t(k));
    }
  }
}

TEST(ScaleEstimate, CountsTheFixedPartOnceAndScalesTheFrames) {
  EXPECT_EQ(ScaleEstimate(5000, 10, 10), 5000);  // the whole list was converted
  const int64_t fixed = 6 + 7 + 768 + 19 + 1;
  EXPECT_EQ(ScaleEstimate(fixed + 12 * 1000, 12, 120), fixed + 120 * 1000);
  EXPECT_EQ(ScaleEstimate(fixed + 12 * 1000, 12, 12), fixed + 12 * 1000);
  // Nothing known: no estimate rather than a made-up one.
  EXPECT_EQ(ScaleEstimate(0, 12, 100), 0);
  EXPECT_EQ(ScaleEstimate(1000, 0, 100), 0);
  // A tiny sample smaller than the fixed part is not scaled below zero.
  EXPECT_GE(ScaleEstimate(100, 2, 1000), 100);
  // The largest list does not overflow.
  EXPECT_GT(ScaleEstimate(int64_t(1) << 40, 12, 32767), int64_t(1) << 40);
}

}  // namespace
}  // namespace qm
