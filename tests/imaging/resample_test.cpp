#include "imaging/resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/picture_io.h"
#include "tests/support/external_tools.h"

namespace qm {
namespace {

const std::string kLandscape = std::string(QUILLOMAT_CORPUS_DIR) + "/photos/landscape/Landscape_";

std::unique_ptr<gdi::DibSection> MakeBitmap(int w, int h, bool top_down = true) {
  gdi::BitmapInfoHeader header;
  header.width = w;
  header.height = top_down ? -h : h;
  header.bit_count = 32;
  return gdi::DibSection::Create(header);
}

template <typename Fn>  // fn(x, y, pixel) fills blue, green, red
std::unique_ptr<gdi::DibSection> Painted(int w, int h, Fn fn, bool top_down = true) {
  auto dib = MakeBitmap(w, h, top_down);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) fn(x, y, dib->row(y) + 4 * x);
  return dib;
}

TEST(FitWithin, KeepsTheAspectInsideTheLimitAndNeverEnlarges) {
  struct {
    PictureSize picture;
    int32_t max_w, max_h;
    PictureSize fitted;
  } cases[] = {
      {{2400, 1600}, 800, 0, {800, 533}},     // width only
      {{2400, 1600}, 0, 400, {600, 400}},     // height only
      {{2400, 1600}, 800, 400, {600, 400}},   // both: height is the tighter
      {{2400, 1600}, 300, 1000, {300, 200}},  // both: width is the tighter
      {{1600, 2400}, 800, 0, {800, 1200}},    // portrait
      {{640, 480}, 800, 0, {640, 480}},       // already narrower: not enlarged
      {{640, 480}, 800, 600, {640, 480}},    {{640, 480}, 640, 480, {640, 480}},
      {{640, 480}, 0, 0, {640, 480}},  // no limit
      {{4000, 3000}, 1, 1, {1, 1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FitWithin(c.picture, c.max_w, c.max_h), c.fitted)
        << c.picture.width << "x" << c.picture.height << " within " << c.max_w << "x" << c.max_h;
  }
}

TEST(FitWithin, AThinStripKeepsOnePixel) {
  EXPECT_EQ(FitWithin({1, 5000}, 0, 100), (PictureSize{1, 100}));
  EXPECT_EQ(FitWithin({5000, 1}, 100, 0), (PictureSize{100, 1}));
  EXPECT_EQ(FitWithin({3, 5000}, 100, 100), (PictureSize{1, 100}));  // 0.06 rounds to 0
  EXPECT_EQ(FitWithin({5000, 2}, 800, 0), (PictureSize{800, 1}));    // 0.32 rounds to 0
  EXPECT_EQ(FitWithin({1, 1}, 5, 5), (PictureSize{1, 1}));
}

TEST(FitWithin, EverySizeStaysInsideTheLimitAndTouchesIt) {
  for (int pw : {1, 2, 7, 99, 640, 1999, 4000})
    for (int ph : {1, 3, 480, 1201, 3000})
      for (int mw : {0, 1, 50, 333, 800})
        for (int mh : {0, 1, 77, 600}) {
          const PictureSize f = FitWithin({pw, ph}, mw, mh);
          const std::string what = std::to_string(pw) + "x" + std::to_string(ph) + " in " +
                                   std::to_string(mw) + "x" + std::to_string(mh);
          ASSERT_GE(f.width, 1) << what;
          ASSERT_GE(f.height, 1) << what;
          ASSERT_LE(f.width, pw) << what;
          ASSERT_LE(f.height, ph) << what;
          ASSERT_LE(f.width, mw > 0 ? mw : pw) << what;
          ASSERT_LE(f.height, mh > 0 ? mh : ph) << what;
          const bool limited = (mw > 0 && pw > mw) || (mh > 0 && ph > mh);
          if (!limited) {
            ASSERT_EQ(f, (PictureSize{pw, ph})) << what;
            continue;
          }
          // Shrunk: one side meets its limit, the other keeps the ratio to within rounding.
          ASSERT_TRUE((mw > 0 && f.width == mw) || (mh > 0 && f.height == mh)) << what;
          const double exact_h = double(f.width) * ph / pw, exact_w = double(f.height) * pw / ph;
          ASSERT_TRUE(std::abs(f.height - exact_h) <= 1.0 || std::abs(f.width - exact_w) <= 1.0 ||
                      f.width == 1 || f.height == 1)
              << what;
        }
}

TEST(FitInBox, CentresAndEnlargesOnlyWhenAsked) {
  EXPECT_EQ(FitInBox({400, 600}, 300, 200, true), (FitRect{83, 0, 133, 200}));
  EXPECT_EQ(FitInBox({30, 20}, 300, 200, true), (FitRect{0, 0, 300, 200}));
  EXPECT_EQ(FitInBox({30, 20}, 300, 200, false), (FitRect{135, 90, 30, 20}));
  EXPECT_EQ(FitInBox({1, 900}, 300, 200, true), (FitRect{149, 0, 1, 200}));
  EXPECT_EQ(FitInBox({0, 900}, 300, 200, true), FitRect{});
}

TEST(Resample, FlatColourStaysFlatAndTheFourthByteIsZero) {
  // Bottom-up and a non-zero fourth byte in the source: the result is top-down with 0 there.
  auto src = Painted(
      37, 23, [](int, int, uint8_t* p) { p[0] = 10, p[1] = 200, p[2] = 90, p[3] = 0xAB; }, false);
  for (PictureSize to : {PictureSize{5, 3}, PictureSize{1, 1}, PictureSize{1, 40},
                         PictureSize{80, 1}, PictureSize{111, 70}}) {
    auto out = Resample(*src, to.width, to.height);
    ASSERT_TRUE(out) << to.width << "x" << to.height;
    ASSERT_EQ(out->width(), to.width);
    ASSERT_EQ(out->height(), to.height);
    ASSERT_TRUE(out->top_down());
    for (int y = 0; y < to.height; ++y)
      for (int x = 0; x < to.width; ++x) {
        const uint8_t* p = out->row(y) + 4 * x;
        ASSERT_NEAR(p[0], 10, 1) << to.width << "x" << to.height << " at " << x << "," << y;
        ASSERT_NEAR(p[1], 200, 1);
        ASSERT_NEAR(p[2], 90, 1);
        ASSERT_EQ(p[3], 0);
      }
  }
}

TEST(Resample, KeepsChannelsApartAndRowsInOrder) {
  // Red on top, blue below: no channel leaks into another and the top stays on top.
  auto src = Painted(64, 64, [](int, int y, uint8_t* p) {
    p[0] = y < 32 ? 0 : 255, p[1] = 0, p[2] = y < 32 ? 255 : 0, p[3] = 0;
  });
  auto out = Resample(*src, 16, 16);
  ASSERT_TRUE(out);
  for (int x = 0; x < 16; ++x) {
    const uint8_t* top = out->row(1) + 4 * x;
    const uint8_t* bottom = out->row(14) + 4 * x;
    EXPECT_EQ(top[2], 255);
    EXPECT_EQ(top[0], 0);
    EXPECT_EQ(bottom[0], 255);
    EXPECT_EQ(bottom[2], 0);
    for (int y = 0; y < 16; ++y) EXPECT_EQ(out->row(y)[4 * x + 1], 0);
  }
}

TEST(Resample, AveragesFineDetailInsteadOfPickingPixels) {
  // A one-pixel checkerboard shrunk four times is grey; picking pixels would keep black or
  // white, the aliasing a downscaling filter exists to avoid.
  auto src = Painted(256, 256, [](int x, int y, uint8_t* p) {
    const uint8_t v = (x + y) % 2 ? 255 : 0;
    p[0] = p[1] = p[2] = v, p[3] = 0;
  });
  auto out = Resample(*src, 64, 64);
  ASSERT_TRUE(out);
  for (int y = 2; y < 62; ++y)
    for (int x = 2; x < 62; ++x) ASSERT_NEAR(out->row(y)[4 * x + 1], 128, 6) << x << "," << y;
}

TEST(Resample, RefusesWhatItCannotMake) {
  auto src = MakeBitmap(8, 8);
  EXPECT_FALSE(Resample(*src, 0, 5));
  EXPECT_FALSE(Resample(*src, 5, -1));
  gdi::BitmapInfoHeader h8;
  h8.width = 8;
  h8.height = 8;
  h8.bit_count = 8;
  EXPECT_FALSE(Resample(*gdi::DibSection::Create(h8), 4, 4));
}

// Mean PSNR over red, green and blue of a bitmap against a PPM ("" or a size mismatch: -1).
double PsnrAgainstPpm(const gdi::DibSection& dib, const std::string& ppm) {
  int w = 0, h = 0, maxval = 0, used = 0;
  if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &w, &h, &maxval, &used) != 3 || maxval != 255 ||
      w != dib.width() || h != dib.height())
    return -1;
  const size_t start = size_t(used) + 1;
  if (ppm.size() < start + size_t(w) * size_t(h) * 3) return -1;
  double sum = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        const double d =
            double(dib.row(y)[4 * x + 2 - c]) -
            double(uint8_t(ppm[start + (size_t(y) * size_t(w) + size_t(x)) * 3 + size_t(c)]));
        sum += d * d;
      }
  const double mse = sum / (3.0 * w * h);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

TEST(Resample, MatchesImageMagicksResizeOfTheFullPicture) {
  if (!testing::HaveTool("convert")) GTEST_SKIP() << "ImageMagick not installed";
  // Full size through the filter, and the reduced decode the size options use, each against
  // ImageMagick's -resize of the whole picture. A plain box or nearest filter scores about 30 dB
  // lower at full size; a wrong reduction or turn is far below either bound.
  for (int k : {0, 6}) {
    const std::string path = kLandscape + std::to_string(k) + ".jpg";
    const std::string ref = testing::CommandOutput("convert " + testing::ShellQuote(path) +
                                                   " -auto-orient -resize 600x400! ppm:-");
    auto full = LoadPicture(path);
    auto from_full = Resample(*full->bitmap, 600, 400);
    ASSERT_TRUE(from_full);
    EXPECT_GT(PsnrAgainstPpm(*from_full, ref), 50.0) << path;

    PictureSize asked;
    auto reduced = LoadPictureReduced(path, [&](PictureSize upright) {
      asked = upright;
      return FitWithin(upright, 600, 0);
    });
    EXPECT_EQ(asked, (PictureSize{1800, 1200})) << path;
    EXPECT_LT(reduced->bitmap->width(), 1800) << path;
    auto from_reduced = Resample(*reduced->bitmap, 600, 400);
    ASSERT_TRUE(from_reduced);
    EXPECT_GT(PsnrAgainstPpm(*from_reduced, ref), 38.0) << path;
  }
}

}  // namespace
}  // namespace qm
