// The reader against giflib on every GIF of the shared corpus, whole and cut short: frame count,
// geometry and the raw indices of every frame giflib decodes whole. Where giflib gives up, the
// reader still loads leniently: true, and at least the images giflib met.
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
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(QUILLOMAT_CORPUS_DIR) / sub, ec))
      if (e.path().extension() == ".gif") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> Indices(const cDIB& dib) {
  std::vector<uint8_t> out;
  BitsView view;
  MapDIBBits(view, dib);
  for (int32_t y = 0; y < dib.Height(); ++y) {
    auto row = view.row(y);
    out.insert(out.end(), row.begin(), row.begin() + dib.Width());
  }
  return out;
}

void ExpectAgreement(std::span<const uint8_t> bytes) {
  const testing::GiflibResult ref = testing::DecodeWithGiflib(bytes);
  cGIF gif;
  ASSERT_TRUE(gif.LoadFromStream(bytes));
  // giflib counts the image it gave up in, but leaves its pixels undefined.
  size_t whole = ref.frames.size();
  if (ref.ok) {
    ASSERT_EQ(size_t(gif.FramesCount()), ref.frames.size());
    EXPECT_EQ(gif.ScreenWidth(), int16_t(ref.screen_width));
    EXPECT_EQ(gif.ScreenHeight(), int16_t(ref.screen_height));
    if (ref.loop_count >= 0) {
      EXPECT_EQ(gif.AnimationLoops(), ref.loop_count) << "the last loop count wins";
    }
    EXPECT_EQ(gif.LoopingExtension(), ref.loop_count >= 0);
  } else {
    ASSERT_GE(size_t(gif.FramesCount()), ref.frames.size()) << "giflib error " << ref.error;
    whole -= whole > 0 ? 1 : 0;
  }
  for (size_t i = 0; i < ref.frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    const testing::GiflibFrame& f = ref.frames[i];
    const int16_t n = int16_t(i + 1);
    EXPECT_EQ(gif.FrameLeft(n), int16_t(f.left));
    EXPECT_EQ(gif.FrameTop(n), int16_t(f.top));
    EXPECT_EQ(gif.FrameInterlaced(n), f.interlaced);
    const cDIB& dib = *gif.FrameDIBXOR(n);
    EXPECT_EQ(dib.Width(), f.width);
    EXPECT_EQ(dib.Height(), f.height);
    EXPECT_EQ(gif.FrameDIBAND(n)->Width(), dib.Width());
    if (i < whole && !f.indices.empty()) {
      EXPECT_EQ(Indices(dib), f.indices);
    }
  }
}

class CorpusAgreement : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusAgreement, WholeAndTruncated) {
  std::ifstream in(GetParam(), std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(file.size(), 13u);
  ExpectAgreement(file);
  cGIF gif;
  EXPECT_TRUE(gif.LoadFromFile(GetParam()));
  for (size_t cut : {size_t(13), file.size() / 3, file.size() / 2, file.size() - 1}) {
    SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(file.size()));
    ExpectAgreement(std::span<const uint8_t>(file.data(), cut));
  }
}

INSTANTIATE_TEST_SUITE_P(SharedCorpus, CorpusAgreement, ::testing::ValuesIn(CorpusGifs()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = fs::path(info.param).parent_path().filename();
                           name += "_" + fs::path(info.param).stem().string();
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST(CorpusAgreementSetup, FindsTheCorpus) {
  EXPECT_GE(CorpusGifs().size(), 20u);
}

}  // namespace
}  // namespace qm
