// --optimize end to end: a still photo with one moving patch converted with and without it, in
// every palette mode, displays the same frames in decoders we did not write (giflib composited
// here, ffmpeg and Pillow when installed) and is smaller.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "convert/driver.h"
#include "platform/fs.h"
#include "platform/host.h"
#include "platform/picture_io.h"
#include "tests/convert/convert_support.h"
#include "tests/gif/giflib_support.h"
#include "tests/support/external_tools.h"
#include "tests/support/fake_host.h"

namespace qm {
namespace {

using testing::ScratchDir;
using testing::ShellQuote;

struct Mode {
  std::string name;
  int palette_mode, dither_mode;
};
const std::vector<Mode> kModes = {{"halftone-ordered", 0, 1},
                                  {"halftone-nearest", 0, 0},
                                  {"optimal-ordered", 1, 1},
                                  {"optimal-diffusion", 1, 2},
                                  {"global-diffusion", 2, 2},
                                  {"local-diffusion", 3, 2}};

// Both files of each mode, converted once for the whole suite.
class OptimizeConversionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir;
    const char* old_temp = std::getenv("TEMP");
    const std::string saved_temp = old_temp ? old_temp : "";
    setenv("TEMP", dir_->path().c_str(), 1);

    // The photo stays; a 40 x 30 patch cut from its other corner crosses it in six steps.
    std::vector<std::string> pictures;
    for (int i = 0; i < 6; ++i) {
      auto picture = LoadPicture(testing::CorpusPath("photos/cameras/Canon_PowerShot_S40.jpg"));
      gdi::DibSection& bmp = *picture->bitmap;
      for (int y = 0; y < 30; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(bmp.row(100 + y + i * 5)) + 30 + i * 60;
        std::memcpy(row, reinterpret_cast<const uint32_t*>(bmp.row(300 + y)) + 400, 40 * 4);
      }
      pictures.push_back(dir_->File("scene" + std::to_string(i) + ".bmp"));
      ASSERT_TRUE(SavePictureAsBmp(*picture, pictures.back()));
    }

    testing::FakeHost host;
    ScopedHost scoped(&host);
    for (const Mode& mode : kModes) {
      for (bool optimize : {false, true}) {
        ConversionOptions options;
        options.palette_mode = mode.palette_mode;
        options.dither_mode = mode.dither_mode;
        options.optimize = optimize;
        cGIF gif;
        const std::string out = dir_->File(mode.name + (optimize ? "-opt.gif" : ".gif"));
        const ConversionResult r = StartConverting(pictures, "10", dir_->path(), gif, options, out);
        ASSERT_TRUE(r.gif_written) << out;
        files_[mode.name][optimize] = out;
      }
    }
    if (old_temp)
      setenv("TEMP", saved_temp.c_str(), 1);
    else
      unsetenv("TEMP");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::string File(const Mode& mode, bool optimize) { return files_[mode.name][optimize]; }

  static inline ScratchDir* dir_ = nullptr;
  static inline std::map<std::string, std::map<bool, std::string>> files_;
};

TEST_F(OptimizeConversionTest, GiflibCompositesTheSameFramesFromASmallerFile) {
  for (const Mode& mode : kModes) {
    const auto whole = testing::DecodeFileWithGiflib(File(mode, false));
    const auto optimized = testing::DecodeFileWithGiflib(File(mode, true));
    ASSERT_TRUE(whole.ok && optimized.ok) << mode.name;
    ASSERT_EQ(optimized.frames.size(), 6u) << mode.name;
    const auto shown = testing::CompositeFrames(optimized);
    EXPECT_EQ(shown, testing::CompositeFrames(whole)) << mode.name;
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(optimized.frames[i].delay, whole.frames[i].delay);
    for (size_t i = 1; i < 6; ++i) {
      EXPECT_LT(optimized.frames[i].width * optimized.frames[i].height, 480 * 360) << mode.name;
      EXPECT_EQ(optimized.frames[i - 1].disposal, 1) << mode.name;
    }
    EXPECT_LT(std::filesystem::file_size(File(mode, true)),
              std::filesystem::file_size(File(mode, false)))
        << mode.name;
  }
  // Per-frame palettes: the still part keeps its palette and indices, so it is left out.
  const Mode& local = kModes.back();
  EXPECT_LT(2 * std::filesystem::file_size(File(local, true)),
            std::filesystem::file_size(File(local, false)));
}

TEST_F(OptimizeConversionTest, FfmpegDecodesTheSameFrames) {
  if (!testing::HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  for (const Mode& mode : kModes) {
    auto frames = [](const std::string& gif) {
      return testing::CommandOutput("ffmpeg -v error -i " + ShellQuote(gif) +
                                    " -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
    };
    const std::string whole = frames(File(mode, false));
    ASSERT_EQ(whole.size(), size_t(6) * 480 * 360 * 3) << mode.name;
    EXPECT_TRUE(frames(File(mode, true)) == whole) << mode.name;
  }
}

TEST_F(OptimizeConversionTest, PillowCompositesTheSameFrames) {
  const std::string python = "/usr/bin/python3";
  if (testing::CommandOutput(python + " -c 'import PIL; print(1)' 2>/dev/null") != "1\n")
    GTEST_SKIP() << "Pillow is not installed";
  for (const Mode& mode : kModes) {
    auto frames = [&](const std::string& gif) {
      return testing::CommandOutput(
          python +
          " -c 'import sys, hashlib\nfrom PIL import Image, ImageSequence\n"
          "for f in ImageSequence.Iterator(Image.open(sys.argv[1])):\n"
          "  print(f.size, hashlib.sha256(f.convert(\"RGB\").tobytes()).hexdigest())' " +
          ShellQuote(gif));
    };
    const std::string whole = frames(File(mode, false));
    EXPECT_EQ(std::count(whole.begin(), whole.end(), '\n'), 6) << whole;
    EXPECT_EQ(frames(File(mode, true)), whole) << mode.name;
  }
}

}  // namespace
}  // namespace qm
