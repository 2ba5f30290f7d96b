// A video past 4 GiB, the size at which the intermediate video used to stop: 720 frames of
// 1920 x 1080 at 24 bits, written with the real segment size and read back by our reader and by
// ffprobe/ffmpeg. It needs about 4.5 GB in the temporary folder and skips itself without them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/avi.h"
#include "platform/fs.h"
#include "tests/support/external_tools.h"

namespace qm::avi {
namespace {

constexpr int kFrames = 720, kWidth = 1920, kHeight = 1080;
constexpr size_t kRow = size_t(kWidth) * 3, kFrameBytes = kRow * kHeight;

// Cheap pixels that still tell every frame and row apart: a fill of the frame's own byte, with
// the frame number stamped at the start of every row.
void FillFrame(std::vector<uint8_t>& pixels, int frame) {
  std::memset(pixels.data(), uint8_t(frame * 37 + 11), pixels.size());
  for (size_t y = 0; y < size_t(kHeight); ++y) {
    const uint32_t stamp = uint32_t(frame) << 12 | uint32_t(y);
    std::memcpy(pixels.data() + y * kRow, &stamp, 4);
  }
}

TEST(AviLarge, SevenHundredTwentyFullHdFramesGoPastFourGiB) {
  std::vector<uint8_t> format(40, 0);
  const uint32_t header[] = {40, uint32_t(kWidth), uint32_t(kHeight)};
  std::memcpy(format.data(), header, sizeof header);
  format[12] = 1;
  format[14] = 24;
  const uint64_t needed = AVIFileBytesFor(format, kFrames);
  ASSERT_GT(needed, uint64_t(kFrames) * kFrameBytes);
  PrivateTempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  const std::optional<uint64_t> free_bytes = FreeDiskBytes(dir.path());
  const uint64_t margin = uint64_t(256) << 20;
  if (!free_bytes || *free_bytes < needed + margin) {
    GTEST_SKIP() << "needs " << needed + margin << " bytes free in " << TempFolder() << ", has "
                 << (free_bytes ? std::to_string(*free_bytes) : std::string("an unknown amount"));
  }
  const std::string path = JoinPath(dir.path(), "large.avi");

  std::vector<uint8_t> pixels(kFrameBytes);
  {
    std::unique_ptr<AviFile> file;
    ASSERT_EQ(AVIFileOpen(file, path, kOfCreate | kOfWrite), kAviOk);
    AviStreamInfo info;
    info.type = kStreamTypeVideo;
    info.scale = 1;
    info.rate = 30;
    info.length = kFrames;
    info.frame = {0, 0, kWidth, kHeight};
    AviStream* stream = nullptr;
    ASSERT_EQ(AVIFileCreateStream(*file, stream, info), kAviOk);
    ASSERT_EQ(AVIStreamSetFormat(*stream, 0, format), kAviOk);
    for (int f = 0; f < kFrames; ++f) {
      FillFrame(pixels, f);
      ASSERT_EQ(AVIStreamWrite(*stream, f, 1, pixels, kAviIfKeyFrame), kAviOk) << "frame " << f;
    }
    ASSERT_EQ(AVIFileRelease(file), kAviOk);
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), needed);
  EXPECT_GT(uint64_t(st.st_size), uint64_t(4) << 30);

  std::unique_ptr<AviInputStream> in;
  ASSERT_EQ(AVIStreamOpenFromFile(in, path, kStreamTypeVideo, 0, 0), kAviOk);
  ASSERT_EQ(AVIStreamLength(*in), kFrames);
  auto frames = AVIStreamGetFrameOpen(*in);
  ASSERT_NE(frames, nullptr);
  for (int f = 0; f < kFrames; ++f) {
    FillFrame(pixels, f);
    std::span<const uint8_t> got = AVIStreamGetFrame(*frames, f);
    ASSERT_EQ(got.size(), 40 + kFrameBytes) << "frame " << f;
    ASSERT_EQ(0, std::memcmp(got.data() + 40, pixels.data(), kFrameBytes)) << "frame " << f;
  }
  frames.reset();
  in.reset();

  if (!testing::HaveTool("ffprobe") || !testing::HaveTool("ffmpeg")) {
    GTEST_SKIP() << "written and read back; ffprobe/ffmpeg not installed for the second opinion";
  }
  const std::string q = testing::ShellQuote(path);
  EXPECT_EQ(testing::CommandOutput("ffprobe -v error -count_frames -select_streams v:0 "
                                   "-show_entries stream=width,height,nb_frames,nb_read_frames "
                                   "-of csv=p=0 " +
                                   q + " 2>&1"),
            "1920,1080,720,720\n");
  // The last frame, found through the indexes of the last segment: its top row is row 1079.
  const std::string last = testing::CommandOutput("ffmpeg -v error -ss 23.95 -i " + q +
                                                  " -frames:v 1 -f rawvideo -pix_fmt bgr24 -");
  ASSERT_EQ(last.size(), kFrameBytes);
  FillFrame(pixels, kFrames - 1);
  EXPECT_EQ(0, std::memcmp(last.data(), pixels.data() + (kHeight - 1) * kRow, kRow));
}

}  // namespace
}  // namespace qm::avi
