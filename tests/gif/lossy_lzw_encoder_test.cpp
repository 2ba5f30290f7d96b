// The lossy LZW encoder through cGIF::Save, read back by giflib: the frame keeps its size, only
// colours it used, its transparent pixels exactly and every colour within the level's bound,
// and the file shrinks as the level rises.
#include "gif/lossy_lzw_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWEnc.h"
#include "imaging/cDIB.h"
#include "platform/fs.h"
#include "tests/gif/giflib_support.h"
#include "tests/support/error_of.h"

namespace qm {
namespace {

// A 16 x 15 grid of red and green shades 8 apart, blue fixed: neighbours are close enough for
// the lower levels to swap. Entries from 240 on are black and unused; 245 is the transparent one.
constexpr int kGridColours = 240;
constexpr uint8_t kTransparent = 245;

void FillGridPalette(uint8_t* bgrx) {
  for (int i = 0; i < kGridColours; ++i) {
    bgrx[i * 4] = 96;
    bgrx[i * 4 + 1] = uint8_t(i / 16 * 8);
    bgrx[i * 4 + 2] = uint8_t(i % 16 * 8);
  }
}

// Two smooth ramps with the one-step noise of a dither, and transparent holes.
std::vector<uint8_t> PhotoLikeIndices(int w, int h) {
  std::mt19937 rng(7);
  std::vector<uint8_t> px(size_t(w) * size_t(h));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int r = std::clamp(x * 15 / w + int(rng() % 3) - 1, 0, 15);
      const int g = std::clamp(y * 14 / h + int(rng() % 3) - 1, 0, 14);
      const bool hole = (x / 8 + y / 8) % 7 == 0 || rng() % 50 == 0;
      px[size_t(y) * size_t(w) + size_t(x)] = hole ? kTransparent : uint8_t(g * 16 + r);
    }
  }
  return px;
}

double Distance(const std::vector<uint8_t>& rgb, uint8_t a, uint8_t b) {
  double sum = 0;
  for (int c = 0; c < 3; ++c) {
    const double d =
        double(rgb[size_t(a) * 3 + size_t(c)]) - double(rgb[size_t(b) * 3 + size_t(c)]);
    sum += d * d;
  }
  return std::sqrt(sum);
}

std::vector<uint8_t> SaveFrame(const std::vector<uint8_t>& px, int w, int h, int32_t level,
                               bool interlaced, bool set_level) {
  cGIF gif;
  gif.FrameInsert(1, int16_t(w), int16_t(h));
  gif.SetGlobalPaletteExists(true);
  gif.SetGlobalPaletteEntries(256);
  FillGridPalette(gif.lpGlobalPalette());
  gif.SetFrameUseTransparentColor(1, true);
  gif.SetFrameTransparentColorIndex(1, kTransparent);
  gif.SetFrameInterlaced(1, interlaced);
  BitsView view;
  MapDIBBits(view, *gif.FrameDIBXOR(1));
  for (int y = 0; y < h; ++y) std::copy_n(px.begin() + ptrdiff_t(y) * w, w, view.row(y).begin());
  view.Detach();
  if (set_level) gif.SetLossy(level);
  PrivateTempFolder tmp;
  const std::string path = JoinPath(tmp.path(), "f.gif");
  EXPECT_TRUE(gif.Save(path));
  return ReadWholeFile(path);
}

TEST(LossyLzwEncoderTest, KeepsSizeTransparencyAndBoundWhileTheFileShrinks) {
  const int w = 320, h = 200;
  const std::vector<uint8_t> px = PhotoLikeIndices(w, h);
  const std::vector<uint8_t> exact = SaveFrame(px, w, h, 0, false, false);
  EXPECT_EQ(SaveFrame(px, w, h, 0, false, true), exact) << "level 0 is the exact encoder";

  size_t previous = exact.size();
  for (const int32_t level : {20, 80, 200}) {
    for (const bool interlaced : {false, true}) {
      const std::vector<uint8_t> bytes = SaveFrame(px, w, h, level, interlaced, true);
      const testing::GiflibResult g = testing::DecodeWithGiflib(bytes);
      ASSERT_TRUE(g.ok) << level;
      ASSERT_EQ(g.frames.size(), 1u);
      const testing::GiflibFrame& f = g.frames[0];
      ASSERT_EQ(f.width, w);
      ASSERT_EQ(f.height, h);
      ASSERT_EQ(f.indices.size(), px.size());
      const double bound = LossyColourBound(level) + 1e-9;
      size_t changed = 0;
      for (size_t i = 0; i < px.size(); ++i) {
        const uint8_t got = f.indices[i];
        ASSERT_EQ(got == kTransparent, px[i] == kTransparent) << "pixel " << i << " at " << level;
        ASSERT_TRUE(got < kGridColours || got == kTransparent) << int(got);
        ASSERT_LE(Distance(g.global_rgb, got, px[i]), bound) << "pixel " << i << " at " << level;
        changed += got != px[i];
      }
      EXPECT_GT(changed, 0u) << level;
      if (!interlaced) {
        EXPECT_LT(bytes.size(), previous * 49 / 50) << level;
        previous = bytes.size();
      }
    }
  }
}

// Narrow and long frames: strings that wrap over many rows, code-table resets, small code sizes.
TEST(LossyLzwEncoderTest, NarrowFramesAndTableResetsDecodeToTheirSize) {
  std::mt19937 rng(11);
  for (const int w : {1, 2, 5}) {
    const int h = 24000 / w;
    MemoryGifOutput out;
    std::vector<uint8_t> px(size_t(w) * size_t(h));
    for (auto& p : px) p = uint8_t(rng() % 4 == 0 ? rng() % 4 : 1);
    std::vector<const uint8_t*> rows;
    for (int y = 0; y < h; ++y) rows.push_back(px.data() + size_t(y) * size_t(w));
    LossyColours colours;
    colours.entries = 4;
    for (int i = 0; i < 4; ++i) colours.palette[size_t(i) * 4 + 1] = uint8_t(i * 20);
    EncodePixelsLossy(out, rows, w, 3, false, colours, 60);
    // Wrap the data in the smallest GIF around it for giflib.
    std::vector<uint8_t> file = {
        'G',  'I', 'F', '8', '9', 'a', uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8),
        0x81, 0,   0};
    for (int i = 0; i < 4; ++i) file.insert(file.end(), {0, uint8_t(i * 20), 0});
    file.insert(file.end(),
                {0x2C, 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 0, 2});
    file.insert(file.end(), out.bytes.begin(), out.bytes.end());
    file.insert(file.end(), {0, 0x3B});
    const testing::GiflibResult g = testing::DecodeWithGiflib(file);
    ASSERT_TRUE(g.ok) << w;
    ASSERT_EQ(g.frames.size(), 1u);
    ASSERT_EQ(g.frames[0].indices.size(), px.size()) << w;
    for (size_t i = 0; i < px.size(); ++i) {
      const int got = g.frames[0].indices[i];
      ASSERT_LT(got, 4) << w << " pixel " << i;
      ASSERT_LE(std::abs(got - int(px[i])) * 20, LossyColourBound(60)) << w << " pixel " << i;
    }
  }
}

TEST(LossyLzwEncoderTest, TheLevelIsAModelPropertyFrom0To200) {
  cGIF gif;
  EXPECT_EQ(gif.Lossy(), 0);
  gif.SetLossy(200);
  EXPECT_EQ(testing::ErrorOf([&] { gif.SetLossy(-1); }), kErrOverflow);
  EXPECT_EQ(testing::ErrorOf([&] { gif.SetLossy(201); }), kErrOverflow);
  EXPECT_EQ(gif.Lossy(), 200);
  gif.Destroy();
  EXPECT_EQ(gif.Lossy(), 0) << "an emptied animation is saved exactly";
}

}  // namespace
}  // namespace qm
