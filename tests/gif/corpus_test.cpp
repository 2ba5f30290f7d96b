// The reader against giflib on every GIF of the shared corpus: frame count, geometry and the raw
// indices of every frame giflib decodes whole. Where giflib rejects a file, the reader must still
// load it leniently: true, the frames met, nothing outside the bitmaps touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "imaging/cDIB.h"
#include "tests/gif/giflib_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> CorpusGifs() {
  std::vector<std::string> files;
  for (const char* sub : {"gif/suite", "gif/edge"}) {
    const fs::path dir = fs::path(QUILLOMAT_CORPUS_DIR) / sub;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
      if (e.is_regular_file() && e.path().extension() == ".gif") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> Indices(const cDIB& dib) {
  std::vector<uint8_t> out;
  if (dib.BPP() != 8) return out;
  BitsView view;
  MapDIBBits(view, dib);
  for (int32_t y = 0; y < dib.Height(); ++y) {
    auto row = view.row(y);
    out.insert(out.end(), row.begin(), row.begin() + dib.Width());
  }
  return out;
}

class CorpusAgreement : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusAgreement, MatchesGiflib) {
  const std::string path = GetParam();
  const std::string stem = fs::path(path).stem();
  const testing::GiflibResult ref = testing::DecodeFileWithGiflib(path);
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromFile(path)) << "every corpus file has a valid header";

  // When giflib stops at a damaged image it still counts it, but its pixels are unreliable.
  const size_t whole =
      ref.ok ? ref.frames.size() : (ref.frames.empty() ? 0 : ref.frames.size() - 1);
  if (ref.ok) {
    ASSERT_EQ(size_t(gif.FramesCount()), ref.frames.size());
  } else {
    // Lenient: every image giflib met is there too, decoded as far as its data go.
    ASSERT_GE(size_t(gif.FramesCount()), ref.frames.size()) << "giflib error " << ref.error;
  }
  EXPECT_EQ(gif.ScreenWidth(), int16_t(ref.screen_width));
  EXPECT_EQ(gif.ScreenHeight(), int16_t(ref.screen_height));
  EXPECT_EQ(gif.GlobalPaletteExists(), ref.has_global_table);
  if (ref.loop_count >= 0) {
    EXPECT_EQ(gif.AnimationLoops(), ref.loop_count);
  }

  for (size_t i = 0; i < ref.frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    const testing::GiflibFrame& f = ref.frames[i];
    const int16_t n = int16_t(i + 1);
    EXPECT_EQ(gif.FrameLeft(n), int16_t(f.left));
    EXPECT_EQ(gif.FrameTop(n), int16_t(f.top));
    EXPECT_EQ(gif.FrameInterlaced(n), f.interlaced);
    EXPECT_EQ(gif.LocalPaletteUsed(n), f.has_local_table);
    const cDIB& dib = *gif.FrameDIBXOR(n);
    EXPECT_EQ(dib.Width(), f.width);
    EXPECT_EQ(dib.Height(), f.height);
    EXPECT_EQ(gif.FrameDIBAND(n)->Width(), dib.Width());
    EXPECT_EQ(gif.FrameDIBAND(n)->Height(), dib.Height());
    if (stem == "multiple-graphic-controls") {
      // Two controls before one image: giflib reports the first (200 ms); the reader keeps the
      // one nearest the image (300 ms), as its documentation says.
      EXPECT_EQ(gif.FrameDelay(n), 30);
    } else if (f.has_control) {
      EXPECT_EQ(gif.FrameDelay(n), f.delay);
      EXPECT_EQ(gif.FrameDisposalMethod(n), f.disposal);
      EXPECT_EQ(gif.FrameUseTransparentColor(n), f.transparent >= 0);
      if (f.transparent >= 0) {
        EXPECT_EQ(gif.FrameTransparentColorIndex(n), f.transparent);
      }
    }
    if (i < whole && !f.indices.empty()) {
      EXPECT_EQ(Indices(dib), f.indices);
    }
  }
}

TEST_P(CorpusAgreement, TruncatedCopiesKeepTheFramesMet) {
  std::ifstream in(GetParam(), std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(file.size(), 13u);
  for (size_t cut :
       {size_t(13), file.size() / 3, file.size() / 2, file.size() * 2 / 3, file.size() - 1}) {
    SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(file.size()));
    const std::span<const uint8_t> part(file.data(), cut);
    const testing::GiflibResult ref = testing::DecodeWithGiflib(part);
    cGIF gif;
    ASSERT_TRUE(gif.LoadFromStream(part));
    ASSERT_GE(size_t(gif.FramesCount()), ref.frames.size());
    const size_t whole =
        ref.ok ? ref.frames.size() : (ref.frames.empty() ? 0 : ref.frames.size() - 1);
    for (size_t i = 0; i < whole; ++i) {
      const cDIB& dib = *gif.FrameDIBXOR(int16_t(i + 1));
      EXPECT_EQ(dib.Width(), ref.frames[i].width);
      if (!ref.frames[i].indices.empty()) {
        EXPECT_EQ(Indices(dib), ref.frames[i].indices);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SharedCorpus, CorpusAgreement, ::testing::ValuesIn(CorpusGifs()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = fs::path(info.param).parent_path().filename();
                           name += "_" + fs::path(info.param).stem().string();
                           std::replace_if(
                               name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
                           return name;
                         });

TEST(CorpusAgreementSetup, FindsTheCorpus) {
  // An empty list would make the parameterised suite pass vacuously.
  EXPECT_GE(CorpusGifs().size(), 20u);
}

}  // namespace
}  // namespace qm
