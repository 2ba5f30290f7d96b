#include "platform/avi.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tests/platform/avi_support.h"
#include "tests/support/external_tools.h"

namespace qm::avi {
namespace {

using testing::HaveTool;
std::string RunCommand(const std::string& cmd) {
  return testing::CommandOutput(cmd);
}

using testing::Clip;
using testing::Find;
using testing::Get32;
using testing::Put32;

class AviTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return JoinPath(dir_.path(), name); }
  PrivateTempFolder dir_;
};

TEST_F(AviTest, RoundTripKeepsFramesFormatAndTiming) {
  const Clip clips[] = {{33, 17, 24, 5, 8}, {7, 5, 8, 3, 1},  {64, -48, 32, 2, 30},
                        {9, 2, 1, 4, 25},   {1, 1, 24, 1, 5}, {3, 3, 4, 10, 10}};
  for (const Clip& c : clips) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << "x" << c.bpp);
    std::string path = Path("clip.avi");
    ASSERT_EQ(c.Write(path), kAviOk);
    std::unique_ptr<AviInputStream> s;
    ASSERT_EQ(AVIStreamOpenFromFile(s, path, kStreamTypeVideo, 0, kOfShareExclusive), kAviOk);
    EXPECT_EQ(AVIStreamLength(*s), c.frames);
    EXPECT_EQ(AVIStreamStart(*s), 0);
    AviStreamInfo info;
    ASSERT_EQ(AVIStreamInfo(*s, info, 140), kAviOk);
    EXPECT_EQ(info.type, kStreamTypeVideo);
    EXPECT_EQ(info.rate, c.rate);
    EXPECT_EQ(info.scale, 1u);
    EXPECT_EQ(info.frame.right, c.width);
    EXPECT_EQ(info.frame.bottom, std::abs(c.height));
    // n samples at rate r end at n * 1000 / r ms, rounded to nearest.
    EXPECT_EQ(AVIStreamSampleToTime(*s, c.frames), (c.frames * 2000 / int(c.rate) + 1) / 2);
    auto frames = AVIStreamGetFrameOpen(*s);
    ASSERT_NE(frames, nullptr);
    const size_t table = c.format.size() - 40;
    for (int f = 0; f < c.frames; ++f) {
      std::span<const uint8_t> got = AVIStreamGetFrame(*frames, f);
      ASSERT_EQ(got.size(), 40 + table + c.pixels[size_t(f)].size());
      std::vector<uint8_t> head(got.begin(), got.begin() + 40);
      EXPECT_EQ(Get32(head, 20), c.pixels[size_t(f)].size()) << "image size filled";
      EXPECT_TRUE(std::equal(got.begin() + 4, got.begin() + 20, c.format.begin() + 4));
      EXPECT_TRUE(
          std::equal(got.begin() + 40, got.begin() + 40 + long(table), c.format.begin() + 40));
      EXPECT_TRUE(
          std::equal(got.begin() + 40 + long(table), got.end(), c.pixels[size_t(f)].begin()))
          << "frame " << f;
    }
    EXPECT_TRUE(AVIStreamGetFrame(*frames, c.frames).empty());
    EXPECT_TRUE(AVIStreamGetFrame(*frames, -1).empty());
  }
}

TEST_F(AviTest, FfprobeAndFfmpegReadTheFilesAsWritten) {
  if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
  const Clip clips[] = {{33, 17, 24, 5, 8}, {64, 48, 32, 3, 30}, {480, 360, 24, 12, 1}};
  for (const Clip& c : clips) {
    std::string path = Path("probe.avi");
    ASSERT_EQ(c.Write(path), kAviOk);
    std::string probe = RunCommand(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,r_frame_rate,nb_read_frames -of csv=p=0 " +
        path);
    std::string want = "rawvideo," + std::to_string(c.width) + "," + std::to_string(c.height) +
                       "," + std::to_string(c.rate) + "/1," + std::to_string(c.frames) + "\n";
    EXPECT_EQ(probe, want);
    // ffmpeg's decoded frames, top row first and unpadded, against the bottom-up rows written.
    const char* fmt = c.bpp == 24 ? "bgr24" : "bgra";
    std::string raw =
        RunCommand("ffmpeg -v error -i " + path + " -f rawvideo -pix_fmt " + fmt + " -");
    const size_t row = size_t(c.width) * size_t(c.bpp / 8);
    const size_t stride = size_t((c.width * c.bpp + 31) / 32 * 4);
    ASSERT_EQ(raw.size(), row * size_t(c.height) * size_t(c.frames));
    for (int f = 0; f < c.frames; ++f)
      for (int y = 0; y < c.height; ++y) {
        const uint8_t* mine = c.pixels[size_t(f)].data() + size_t(c.height - 1 - y) * stride;
        const char* theirs = raw.data() + (size_t(f) * size_t(c.height) + size_t(y)) * row;
        for (size_t i = 0; i < row; ++i) {
          // ffmpeg's bgra output carries a fourth byte of its own choosing.
          if (c.bpp == 32 && i % 4 == 3) continue;
          ASSERT_EQ(uint8_t(theirs[i]), mine[i]) << "frame " << f << " row " << y;
        }
      }
  }
}

TEST_F(AviTest, ReadsAnAviThatFfmpegWrote) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
  std::string path = Path("ff.avi");
  RunCommand(
      "ffmpeg -v error -y -f lavfi -i testsrc=size=38x20:rate=5 -frames:v 4 -c:v rawvideo "
      "-pix_fmt bgr24 " +
      path);
  std::string raw = RunCommand("ffmpeg -v error -i " + path + " -f rawvideo -pix_fmt bgr24 -");
  std::unique_ptr<AviInputStream> s;
  ASSERT_EQ(AVIStreamOpenFromFile(s, path, kStreamTypeVideo, 0, 0), kAviOk);
  ASSERT_EQ(AVIStreamLength(*s), 4);
  EXPECT_EQ(AVIStreamSampleToTime(*s, 1), 200);
  auto frames = AVIStreamGetFrameOpen(*s);
  ASSERT_NE(frames, nullptr);
  ASSERT_EQ(raw.size(), size_t(38 * 3 * 20 * 4));
  for (int f = 0; f < 4; ++f) {
    std::span<const uint8_t> got = AVIStreamGetFrame(*frames, f);
    ASSERT_EQ(got.size(), 40u + 116 * 20);
    int32_t height;  // ffmpeg stores its rows top-down
    std::memcpy(&height, got.data() + 8, 4);
    ASSERT_EQ(std::abs(height), 20);
    for (int y = 0; y < 20; ++y) {
      const uint8_t* row = got.data() + 40 + (height < 0 ? y : 19 - y) * 116;
      ASSERT_EQ(0, std::memcmp(row, raw.data() + (f * 20 + y) * 114, 114)) << f << "," << y;
    }
  }
}

TEST_F(AviTest, WriterRefusesWhatWouldMakeABrokenFile) {
  Clip c(10, 6, 24, 1, 5);
  std::unique_ptr<AviFile> file;
  EXPECT_EQ(AVIFileOpen(file, Path("no/such/folder.avi"), kOfCreate | kOfWrite), kAviErrFileOpen);
  EXPECT_EQ(AVIFileOpen(file, Path("a.avi"), kOfWrite), kAviErrBadParam);
  ASSERT_EQ(AVIFileOpen(file, Path("a.avi"), kOfCreate | kOfWrite), kAviOk);
  AviStreamInfo info;
  info.type = kStreamTypeVideo;
  info.rate = 5;
  info.frame = {0, 0, 10, 6};
  AviStream* s = nullptr;
  EXPECT_EQ(AVIFileCreateStream(*file, s, info), kAviErrBadParam) << "scale 0";
  info.scale = 1;
  info.frame.right = 40000;
  EXPECT_EQ(AVIFileCreateStream(*file, s, info), kAviErrBadParam) << "wider than a header holds";
  info.frame.right = 10;
  ASSERT_EQ(AVIFileCreateStream(*file, s, info), kAviOk);
  AviStream* second = nullptr;
  EXPECT_EQ(AVIFileCreateStream(*file, second, info), kAviErrUnsupported);
  EXPECT_EQ(AVIStreamWrite(*s, 0, 1, c.pixels[0], kAviIfKeyFrame), kAviErrBadFormat) << "no format";
  std::vector<uint8_t> other = Clip(11, 6, 24, 0, 5).format;
  EXPECT_EQ(AVIStreamSetFormat(*s, 0, other), kAviErrBadFormat) << "size differs from the frame";
  std::vector<uint8_t> compressed = c.format;
  Put32(compressed, 16, 1);
  EXPECT_EQ(AVIStreamSetFormat(*s, 0, compressed), kAviErrBadFormat);
  ASSERT_EQ(AVIStreamSetFormat(*s, 0, c.format), kAviOk);
  std::vector<uint8_t> short_frame(c.pixels[0].begin(), c.pixels[0].end() - 1);
  EXPECT_EQ(AVIStreamWrite(*s, 0, 1, short_frame, kAviIfKeyFrame), kAviErrBadSize);
  EXPECT_EQ(AVIStreamWrite(*s, 1, 1, c.pixels[0], kAviIfKeyFrame), kAviErrBadParam) << "gap";
  ASSERT_EQ(AVIStreamWrite(*s, 0, 1, c.pixels[0], kAviIfKeyFrame), kAviOk);
  EXPECT_EQ(AVIStreamSetFormat(*s, 0, c.format), kAviErrUnsupported) << "format fixed by then";
  ASSERT_EQ(AVIFileRelease(file), kAviOk);
  // Only the accepted sample is in the file.
  std::unique_ptr<AviInputStream> in;
  ASSERT_EQ(AVIStreamOpenFromFile(in, Path("a.avi"), kStreamTypeVideo, 0, 0), kAviOk);
  EXPECT_EQ(AVIStreamLength(*in), 1);
}

TEST_F(AviTest, AFullDiskIsReportedNotHidden) {
  std::unique_ptr<AviFile> file;
  if (AVIFileOpen(file, "/dev/full", kOfCreate | kOfWrite) != kAviOk) GTEST_SKIP();
  Clip c(8, 8, 24, 1, 5);
  AviStreamInfo info;
  info.type = kStreamTypeVideo;
  info.scale = 1;
  info.rate = 5;
  info.frame = {0, 0, 8, 8};
  AviStream* s = nullptr;
  ASSERT_EQ(AVIFileCreateStream(*file, s, info), kAviOk);
  ASSERT_EQ(AVIStreamSetFormat(*s, 0, c.format), kAviOk);
  int write = AVIStreamWrite(*s, 0, 1, c.pixels[0], kAviIfKeyFrame);
  int release = AVIFileRelease(file);
  EXPECT_TRUE(Failed(write) || Failed(release));
}

std::vector<uint8_t> ValidFile(const std::string& path, const Clip& c) {
  EXPECT_EQ(c.Write(path), kAviOk);
  return ReadWholeFile(path);
}

int Open(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<AviInputStream> s;
  return AVIStreamOpenFromMemory(s, bytes, kStreamTypeVideo, 0);
}

TEST_F(AviTest, DamagedFilesFailToOpen) {
  const std::vector<uint8_t> good = ValidFile(Path("g.avi"), Clip(6, 4, 24, 3, 5));
  ASSERT_EQ(Open(good), kAviOk);
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + long(n));
    EXPECT_TRUE(Failed(Open(cut))) << "truncated at " << n;
  }
  const size_t strh = Find(good, "strh"), strf = Find(good, "strf"), movi = Find(good, "movi");
  const size_t idx1 = Find(good, "idx1"), avih = Find(good, "avih");
  struct Patch {
    const char* what;
    size_t at;
    uint32_t value;
  } patches[] = {
      {"strh larger than its list", strh + 4, 0x1000},
      {"strf larger than its list", strf + 4, 0x7FFFFFF0},
      {"movi list past the file", movi - 4, 0xFFFFFFF0},
      {"huge frame count in strh and avih", strh + 8 + 32, 0x7FFFFFFF},
      {"index entry outside movi", idx1 + 8 + 8, 0x00FFFFFF},
      {"frame rectangle larger than the bitmap", strh + 8 + 48, 0x7FFF7FFF},
      {"bitmap of 65000 x 65000", strf + 8 + 4, 65000},
      {"scale 0", strh + 8 + 20, 0},
      {"not an AVI form", 8, 0x20564157},
  };
  for (const Patch& p : patches) {
    std::vector<uint8_t> bad = good;
    Put32(bad, p.at, p.value);
    if (std::string(p.what).starts_with("huge")) Put32(bad, avih + 8 + 16, 0x7FFFFFFF);
    if (std::string(p.what).starts_with("bitmap")) Put32(bad, strf + 8 + 8, 65000);
    EXPECT_TRUE(Failed(Open(bad))) << p.what;
  }
  std::unique_ptr<AviInputStream> s;
  EXPECT_EQ(AVIStreamOpenFromFile(s, Path("missing.avi"), kStreamTypeVideo, 0, 0), kAviErrFileOpen);
  EXPECT_EQ(AVIStreamOpenFromFile(s, dir_.path(), kStreamTypeVideo, 0, 0), kAviErrFileOpen);
  EXPECT_EQ(AVIStreamOpenFromMemory(s, good, MakeFourCC('a', 'u', 'd', 's'), 0), kAviErrNoData);
}

TEST_F(AviTest, DamagedSamplesAndMissingIndex) {
  const Clip c(6, 4, 24, 3, 5);
  std::vector<uint8_t> bytes = ValidFile(Path("g.avi"), c);
  // The second sample's chunk header no longer matches the index: only that frame is lost.
  const size_t second = Find(bytes, "00db", Find(bytes, "00db") + 8);
  bytes[second] = 'X';
  std::unique_ptr<AviInputStream> s;
  ASSERT_EQ(AVIStreamOpenFromMemory(s, bytes, kStreamTypeVideo, 0), kAviOk);
  auto frames = AVIStreamGetFrameOpen(*s);
  ASSERT_NE(frames, nullptr);
  EXPECT_FALSE(AVIStreamGetFrame(*frames, 0).empty());
  EXPECT_TRUE(AVIStreamGetFrame(*frames, 1).empty());
  EXPECT_FALSE(AVIStreamGetFrame(*frames, 2).empty());
  frames.reset();
  // Without its index (a writer that stopped early) the samples are found by walking the list.
  bytes[second] = '0';
  const size_t idx1 = Find(bytes, "idx1");
  bytes.resize(idx1);
  Put32(bytes, 4, uint32_t(bytes.size() - 8));
  ASSERT_EQ(AVIStreamOpenFromMemory(s, bytes, kStreamTypeVideo, 0), kAviOk);
  EXPECT_EQ(AVIStreamLength(*s), 3);
  frames = AVIStreamGetFrameOpen(*s);
  std::span<const uint8_t> last = AVIStreamGetFrame(*frames, 2);
  ASSERT_EQ(last.size(), 40 + c.pixels[2].size());
  EXPECT_TRUE(std::equal(last.begin() + 40, last.end(), c.pixels[2].begin()));
}

TEST_F(AviTest, RandomCorruptionNeverYieldsAWrongSizedFrame) {
  const Clip c(5, 3, 8, 4, 5);
  const std::vector<uint8_t> good = ValidFile(Path("g.avi"), c);
  const size_t expected = 40 + 256 * 4 + c.pixels[0].size();
  std::mt19937 rng(1234);
  int opened = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bad = good;
    int flips = 1 + int(rng() % 4);
    for (int i = 0; i < flips; ++i) bad[rng() % bad.size()] = uint8_t(rng());
    std::unique_ptr<AviInputStream> s;
    if (AVIStreamOpenFromMemory(s, bad, kStreamTypeVideo, 0) != kAviOk) continue;
    ++opened;
    auto frames = AVIStreamGetFrameOpen(*s);
    if (!frames) continue;
    AviStreamInfo info;
    AVIStreamInfo(*s, info, 140);
    for (int32_t f = 0; f < AVIStreamLength(*s); ++f) {
      std::span<const uint8_t> got = AVIStreamGetFrame(*frames, int32_t(info.start) + f);
      if (got.empty()) continue;
      // Whatever survived the damage, a frame is always the full size its header states.
      std::vector<uint8_t> head(got.begin(), got.begin() + 40);
      ASSERT_EQ(got.size(), 40 + Get32(head, 32) * 4 + Get32(head, 20));
      if (info.frame.right == 5 && Get32(head, 32) == 256) {
        ASSERT_EQ(got.size(), expected);
      }
    }
  }
  EXPECT_GT(opened, 1000) << "most damage lands in pixel data, which still opens";
}

}  // namespace
}  // namespace qm::avi
