// The intermediate video at its limits: the free-space check before it is written (figures,
// message, and a conversion stopped by it) and a video long enough to need several RIFF
// segments, which must still give a GIF with every frame.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "convert/cDIBAVI.h"
#include "convert/driver.h"
#include "convert/temp_space.h"
#include "platform/avi.h"
#include "platform/fs.h"
#include "platform/picture_io.h"
#include "tests/convert/convert_support.h"
#include "tests/gif/giflib_support.h"
#include "tests/platform/avi_support.h"
#include "tests/support/fake_host.h"

namespace qm {
namespace {

using testing::FakeHost;
using testing::FolderEntries;
using testing::LandscapePhotos;
using testing::ScratchDir;

class ScopedFreeBytes {
 public:
  explicit ScopedFreeBytes(uint64_t bytes) { SetFreeDiskBytesForTesting(bytes); }
  ~ScopedFreeBytes() { SetFreeDiskBytesForTesting(std::nullopt); }
};

TEST(TempSpace, SizesReadInDecimalUnitsRoundedTheSafeWay) {
  EXPECT_EQ(ByteSizeText(0, true), "0 bytes");
  EXPECT_EQ(ByteSizeText(1, false), "1 byte");
  EXPECT_EQ(ByteSizeText(999, true), "999 bytes");
  EXPECT_EQ(ByteSizeText(1000, true), "1.0 kB");
  EXPECT_EQ(ByteSizeText(1001, true), "1.1 kB");
  EXPECT_EQ(ByteSizeText(1099, false), "1.0 kB");
  EXPECT_EQ(ByteSizeText(999999, false), "999.9 kB");
  EXPECT_EQ(ByteSizeText(999999, true), "1.0 MB") << "never 1000.0 kB";
  EXPECT_EQ(ByteSizeText(4'478'976'000, true), "4.5 GB");
  EXPECT_EQ(ByteSizeText(4'478'976'000, false), "4.4 GB");
  EXPECT_EQ(ByteSizeText(UINT64_MAX, false), "18.4 EB");
  EXPECT_EQ(ByteSizeText(UINT64_MAX, true), "18.5 EB");
}

TEST(TempSpace, TheShortageNamesTheFolderAndBothFigures) {
  EXPECT_EQ(NotEnoughSpaceMessage("/tmp/q", 720, 4'478'976'000, 1'234'000'000),
            "There is not enough free space in the temporary folder /tmp/q for the video of 720 "
            "pictures: it needs 4.5 GB, and 1.2 GB is free. Free some space there, or set TEMP to "
            "a folder on a larger disk.");
  EXPECT_NE(NotEnoughSpaceMessage("/t", 1, 2000, 10).find("of 1 picture:"), std::string::npos);

  ScratchDir dir;
  const std::optional<uint64_t> real = FreeDiskBytes(dir.path());
  ASSERT_TRUE(real.has_value()) << "a folder that exists has a free-space figure";
  EXPECT_GT(*real, 0u);
  EXPECT_FALSE(FreeDiskBytes(dir.File("missing")).has_value());
  EXPECT_FALSE(TempSpaceShortage(dir.File("missing"), 5, UINT64_MAX).has_value())
      << "an unknown figure never stops a conversion";
  {
    ScopedFreeBytes free(5000);
    EXPECT_EQ(FreeDiskBytes("/anywhere"), 5000u);
    EXPECT_FALSE(TempSpaceShortage(dir.path(), 2, 5000).has_value()) << "exactly enough";
    EXPECT_EQ(TempSpaceShortage(dir.path(), 2, 5001),
              NotEnoughSpaceMessage(dir.path(), 2, 5001, 5000));
  }
  EXPECT_EQ(FreeDiskBytes(dir.path()).has_value(), true) << "the real figure again";
}

class TempVideoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TEMP");
    had_temp_ = old != nullptr;
    if (old) old_temp_ = old;
    setenv("TEMP", temp.path().c_str(), 1);
  }
  void TearDown() override {
    if (had_temp_)
      setenv("TEMP", old_temp_.c_str(), 1);
    else
      unsetenv("TEMP");
  }
  ConversionResult Run(const std::vector<std::string>& files, const ConversionOptions& options) {
    return StartConverting(files, "5", out.path() + "/", gif, options);
  }

  FakeHost host;
  ScopedHost scoped{&host};
  ScratchDir temp;
  ScratchDir out;
  cGIF gif;

 private:
  bool had_temp_ = false;
  std::string old_temp_;
};

TEST_F(TempVideoTest, AShortTemporaryFolderStopsTheConversionBeforeAnyFrame) {
  std::vector<std::string> photos = LandscapePhotos();
  photos.resize(3);
  ScopedFreeBytes free(1'000'000);
  ConversionOptions keep;  // so that what the writer itself leaves can be seen
  keep.keep_temp = true;
  const ConversionResult r = Run(photos, keep);
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.gif_written);
  EXPECT_FALSE(FileExists(out.File("out.gif")));
  ASSERT_FALSE(r.temp_folder.empty());
  EXPECT_TRUE(FolderEntries(r.temp_folder).empty()) << "neither temp.avi nor temp.bmp left";
  std::filesystem::remove_all(r.temp_folder);
  EXPECT_EQ(host.progress_max, 0) << "no picture was written";

  // The figure the writer needs: the video of three frames of the first picture's bitmap.
  std::shared_ptr<Picture> first = LoadPicture(photos[0]);
  ASSERT_TRUE(SavePictureAsBmp(*first, out.File("first.bmp")));
  cDIBAVI dib;
  ASSERT_TRUE(dib.CreateFromFile(out.File("first.bmp")));
  const uint64_t needed = avi::AVIFileBytesFor(dib.BitmapInfo(), 3);
  EXPECT_GT(needed, 3 * uint64_t(dib.SizeImage()));
  const auto texts = host.MessageTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], NotEnoughSpaceMessage(r.temp_folder, 3, needed, 1'000'000));
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Exclamation);
  EXPECT_EQ(host.messages[0].title, "Quillomat");
  EXPECT_EQ(texts[1], "Unexpected error creating GIF file.");
}

TEST_F(TempVideoTest, AVideoOfSeveralSegmentsGivesTheSameGifWithEveryFrame) {
  std::vector<std::string> photos = LandscapePhotos();
  photos.resize(4);
  ASSERT_TRUE(Run(photos, {}).gif_written);
  const std::vector<uint8_t> plain = testing::ReadFile(out.File("out.gif"));

  ConversionOptions keep;
  keep.keep_temp = true;
  ConversionResult r;
  {
    testing::ScopedSegmentBytes segments(8 << 20);  // one 6.5 MB frame per segment
    r = Run(photos, keep);
  }
  ASSERT_TRUE(r.gif_written);
  const std::string video = JoinPath(r.temp_folder, "temp.avi");
  const std::vector<uint8_t> bytes = testing::ReadFile(video);
  std::filesystem::remove_all(r.temp_folder);
  size_t segments = 0;
  for (size_t pos = 0; pos + 12 <= bytes.size(); pos += 8 + testing::Get32(bytes, pos + 4))
    ++segments;
  EXPECT_EQ(segments, 4u);
  EXPECT_EQ(testing::ReadFile(out.File("out.gif")), plain);
  const auto g = testing::DecodeFileWithGiflib(out.File("out.gif"));
  ASSERT_TRUE(g.ok) << g.error;
  EXPECT_EQ(g.frames.size(), 4u);
}

}  // namespace
}  // namespace qm
