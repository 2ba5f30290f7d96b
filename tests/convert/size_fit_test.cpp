// A size cap: the GIF lands under it (and not far under), keeps every frame and its timing, says
// what it chose; a cap nothing can meet writes nothing and says how small it can get.

#include "convert/size_fit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/driver.h"
#include "tests/convert/convert_support.h"
#include "tests/gif/giflib_support.h"
#include "tests/support/external_tools.h"
#include "tests/support/fake_host.h"

namespace qm {
namespace {

using testing::LandscapePhotos;
using testing::ScratchDir;

class SizeFitTest : public ::testing::Test {
 protected:
  ConversionResult Run(const ConversionOptions& options, MemoryGifOutput& memory) {
    ConversionJob job;
    // Different scenes: the landscape photos are one scene in eight orientations.
    const std::string landscape = LandscapePhotos()[0];
    const std::string large = testing::CorpusPath("photos/cameras/Reconyx_HC500_Hyperfire.jpg");
    const std::string small = testing::CorpusPath("photos/cameras/Canon_PowerShot_S40.jpg");
    job.files = {landscape, large, small, LandscapePhotos()[5], large};
    job.fps_text = "5";
    job.options = options;
    job.options.delays_cs = {40, 10};
    job.host = &host;
    job.memory = &memory;
    return Convert(job, gif);
  }
  testing::FakeHost host;
  cGIF gif;
};

TEST_F(SizeFitTest, UnderTheCapWithEveryFrameAndItsDelay) {
  ConversionOptions options;
  ApplyBestPreset(options);
  options.max_width = 360;
  MemoryGifOutput uncapped;
  ASSERT_TRUE(Run(options, uncapped).gif_written);
  const int64_t full = int64_t(uncapped.bytes.size());

  // A cap the GIF fits anyway changes nothing.
  options.max_bytes = full + 1000;
  MemoryGifOutput roomy;
  const ConversionResult lossless = Run(options, roomy);
  ASSERT_TRUE(lossless.fit.has_value());
  EXPECT_EQ(lossless.fit->lossy, 0);
  EXPECT_EQ(roomy.bytes, uncapped.bytes);

  // Reached with the lossy level alone, then only with smaller frames as well.
  for (double share : {0.7, 0.25}) {
    SCOPED_TRACE(share);
    options.max_bytes = int64_t(full * share);
    MemoryGifOutput capped;
    host.messages.clear();
    const ConversionResult r = Run(options, capped);
    ASSERT_TRUE(r.gif_written) << r.error;
    ASSERT_TRUE(r.fit.has_value());
    const int64_t bytes = int64_t(capped.bytes.size());
    EXPECT_LE(bytes, options.max_bytes);
    EXPECT_GE(bytes, 0.85 * options.max_bytes);
    EXPECT_EQ(r.fit->bytes, bytes);
    EXPECT_GT(r.fit->lossy, 0);
    EXPECT_LE(r.fit->width, 360);
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Done."});

    const auto g = testing::DecodeWithGiflib(capped.bytes);
    ASSERT_TRUE(g.ok);
    ASSERT_EQ(g.frames.size(), 5u);
    EXPECT_EQ(g.frames[0].delay, 40);
    EXPECT_EQ(g.frames[4].delay, 10);
    EXPECT_EQ(g.screen_width, r.fit->width);
    if (share < 0.5) {
      EXPECT_LT(r.fit->width, 360) << "the frames had to get smaller";
    }
  }
}

TEST_F(SizeFitTest, ACapNothingMeetsWritesNothingAndSaysHowSmallItGets) {
  ScratchDir out;
  testing::WriteFile(out.File("out.gif"), {'o', 'l', 'd'});
  ConversionOptions options;
  options.max_bytes = 400;  // above the fixed overhead of five frames, below any real picture
  ScopedHost scoped(&host);
  const ConversionResult r =
      StartConverting(LandscapePhotos(), "5", out.path() + "/", gif, options);
  EXPECT_FALSE(r.gif_written);
  EXPECT_EQ(r.error.rfind("The smallest GIF of these pictures is ", 0), 0u) << r.error;
  EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{r.error});
  EXPECT_EQ(testing::ReadFile(out.File("out.gif")), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(testing::FolderEntries(out.path()), std::vector<std::string>{"out.gif"});
}

TEST(SizeFitCliTest, SaysWhatItChoseAndRefusesCapsBelowAnyGif) {
  ScratchDir work;
  const std::string photo = testing::ShellQuote(LandscapePhotos()[0]);
  const std::string cli = testing::ShellQuote(QUILLOMAT_CLI) + " ";
  std::string out;
  ASSERT_EQ(testing::RunCommand("cd " + testing::ShellQuote(work.path()) + " && " + cli +
                                    "--best --width 200 --max-size 20K --out f.gif " + photo,
                                &out),
            0)
      << out;
  EXPECT_NE(out.find("fitted: lossy "), std::string::npos) << out;
  EXPECT_NE(out.find(" of 20 KB"), std::string::npos) << out;
  EXPECT_LE(testing::ReadFile(work.File("f.gif")).size(), 20u * 1024);

  for (const char* cap : {"0", "1.5", "2G", "7.5", "2000000M", "x"}) {
    EXPECT_EQ(testing::RunCommand(cli + "--max-size " + cap + " " + photo, &out), 2) << cap;
    EXPECT_NE(out.find("--max-size takes a size in bytes, or with K or M"), std::string::npos)
        << out;
  }
  EXPECT_EQ(testing::RunCommand(cli + "--max-size 40 " + photo, &out), 2);
  EXPECT_NE(out.find("is less than any GIF of 1 frame takes"), std::string::npos) << out;
}

}  // namespace
}  // namespace qm
