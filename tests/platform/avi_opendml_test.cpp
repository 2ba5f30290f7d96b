// Videos past one RIFF segment: the OpenDML layout the writer makes (checked by walking the file
// here and by ffprobe/ffmpeg), the reader over it, and damage to its indexes. A small segment
// size stands in for the 1 GiB one so that a few hundred kilobytes make several segments.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/avi.h"
#include "platform/fs.h"
#include "tests/platform/avi_support.h"
#include "tests/support/external_tools.h"

namespace qm::avi {
namespace {

using qm::testing::Clip;
using qm::testing::Find;
using qm::testing::Get32;
using qm::testing::Put32;
using qm::testing::ScopedSegmentBytes;

// The top-level chunks of a file as an independent reader sees them.
struct TopChunk {
  size_t at;
  uint32_t size;
  std::string form;
};
std::vector<TopChunk> TopLevel(const std::vector<uint8_t>& b) {
  std::vector<TopChunk> out;
  size_t pos = 0;
  while (pos + 12 <= b.size()) {
    TopChunk c{pos, Get32(b, pos + 4),
               std::string(b.begin() + long(pos) + 8, b.begin() + long(pos) + 12)};
    out.push_back(c);
    pos += 8 + size_t(c.size) + (c.size & 1);
  }
  EXPECT_EQ(pos, b.size()) << "the RIFFs end where the file ends";
  return out;
}

int OpenBytes(const std::vector<uint8_t>& bytes, std::unique_ptr<AviInputStream>& s) {
  return AVIStreamOpenFromMemory(s, bytes, kStreamTypeVideo, 0);
}

// Every frame of the stream equals the clip's pixels.
void ExpectFrames(AviInputStream& s, const Clip& c) {
  ASSERT_EQ(AVIStreamLength(s), c.frames);
  auto frames = AVIStreamGetFrameOpen(s);
  ASSERT_NE(frames, nullptr);
  const size_t pixels_at = c.format.size();
  for (int f = 0; f < c.frames; ++f) {
    std::span<const uint8_t> got = AVIStreamGetFrame(*frames, f);
    ASSERT_EQ(got.size(), pixels_at + c.pixels[size_t(f)].size()) << "frame " << f;
    ASSERT_TRUE(std::equal(got.begin() + long(pixels_at), got.end(), c.pixels[size_t(f)].begin()))
        << "frame " << f;
  }
}

class AviOpenDmlTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return JoinPath(dir_.path(), name); }
  PrivateTempFolder dir_;
};

TEST_F(AviOpenDmlTest, FilesWithinOneSegmentKeepTheAvi10BytesTheWriterAlwaysMade) {
  // The seeds were written by this writer before it knew segments: rewriting what they hold must
  // give them back byte for byte, with or without the expected length.
  const std::string seeds = std::string(QUILLOMAT_TEST_DATA_DIR) + "/../../../fuzz/corpus/avi/";
  int compared = 0;
  for (const char* name :
       {"bgrx32_topdown_4x4_2frames.avi", "mono1_9x2_1frame.avi", "pal8_3x2_2frames.avi",
        "rgb24_5x3_3frames.avi", "rgb24_zero_frames.avi"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> seed = ReadWholeFile(seeds + name);
    std::unique_ptr<AviInputStream> in;
    ASSERT_EQ(OpenBytes(seed, in), kAviOk);
    AviStreamInfo info;
    AVIStreamInfo(*in, info, 140);
    auto frames = AVIStreamGetFrameOpen(*in);
    ASSERT_NE(frames, nullptr);
    for (uint32_t expected : {0u, info.length}) {
      std::unique_ptr<AviFile> file;
      ASSERT_EQ(AVIFileOpen(file, Path("again.avi"), kOfCreate | kOfWrite), kAviOk);
      AviStreamInfo create = info;
      create.length = expected;
      AviStream* out = nullptr;
      ASSERT_EQ(AVIFileCreateStream(*file, out, create), kAviOk);
      ASSERT_EQ(AVIStreamSetFormat(*out, 0, AVIStreamFormat(*in)), kAviOk);
      const size_t pixels_at = AVIStreamFormat(*in).size();
      for (int32_t f = 0; f < AVIStreamLength(*in); ++f) {
        std::span<const uint8_t> packed = AVIStreamGetFrame(*frames, f);
        ASSERT_FALSE(packed.empty());
        ASSERT_EQ(AVIStreamWrite(*out, f, 1, packed.subspan(pixels_at), kAviIfKeyFrame), kAviOk);
      }
      ASSERT_EQ(AVIFileRelease(file), kAviOk);
      const std::vector<uint8_t> again = ReadWholeFile(Path("again.avi"));
      EXPECT_EQ(again, seed) << "expected length " << expected;
      EXPECT_EQ(AVIFileBytesFor(AVIStreamFormat(*in), info.length), seed.size());
      ++compared;
    }
  }
  EXPECT_EQ(compared, 10);
  // Nothing of the extended form appears in a file that fits, even one announced.
  const Clip c(33, 17, 24, 12, 5);
  ASSERT_EQ(c.Write(Path("fits.avi"), 12), kAviOk);
  const std::vector<uint8_t> bytes = ReadWholeFile(Path("fits.avi"));
  for (const char* tag : {"AVIX", "indx", "ix00", "odml", "dmlh"})
    EXPECT_EQ(Find(bytes, tag), std::string::npos) << tag;
}

struct SegmentCase {
  int width, height, bpp, frames;
  uint64_t segment_bytes;
  bool announced;  // the expected length given at creation
};

void PrintTo(const SegmentCase& c, std::ostream* os) {
  *os << c.width << "x" << c.height << "x" << c.bpp << ", " << c.frames << " frames, segments of "
      << c.segment_bytes << (c.announced ? ", announced" : ", not announced");
}

class AviSegmentTest : public AviOpenDmlTest, public ::testing::WithParamInterface<SegmentCase> {};

TEST_P(AviSegmentTest, SamplesGoOnInAvixSegmentsThatEveryIndexNames) {
  const SegmentCase& p = GetParam();
  ScopedSegmentBytes segments(p.segment_bytes);
  const Clip c(p.width, p.height, p.bpp, p.frames, 10);
  const std::string path = Path("long.avi");
  ASSERT_EQ(c.Write(path, p.announced ? uint32_t(p.frames) : 0), kAviOk);
  const std::vector<uint8_t> b = ReadWholeFile(path);

  std::unique_ptr<AviInputStream> s;
  ASSERT_EQ(AVIStreamOpenFromFile(s, path, kStreamTypeVideo, 0, 0), kAviOk);
  ExpectFrames(*s, c);

  const std::vector<TopChunk> riffs = TopLevel(b);
  ASSERT_GE(riffs.size(), 2u);
  EXPECT_EQ(riffs[0].form, "AVI ");
  const uint64_t chunk = 8 + c.pixels[0].size();
  for (size_t i = 1; i < riffs.size(); ++i) {
    EXPECT_EQ(std::string(b.begin() + long(riffs[i].at), b.begin() + long(riffs[i].at) + 4),
              "RIFF");
    EXPECT_EQ(riffs[i].form, "AVIX") << i;
    EXPECT_EQ(std::string(b.begin() + long(riffs[i].at) + 12, b.begin() + long(riffs[i].at) + 16),
              "LIST");
    EXPECT_EQ(std::string(b.begin() + long(riffs[i].at) + 20, b.begin() + long(riffs[i].at) + 24),
              "movi");
    // A segment passes the size only when it holds a single sample.
    if (riffs[i].size + 8u > p.segment_bytes) {
      EXPECT_LT(riffs[i].size + 8u, 24 + 2 * chunk + 48);
    }
  }
  if (p.announced) {
    EXPECT_EQ(AVIFileBytesFor(c.format, uint64_t(p.frames)), b.size());
  }

  // Counts: the stream and the extended header count every sample; the main header and the
  // legacy index what an AVI 1.0 reader finds in the first RIFF.
  const size_t avih = Find(b, "avih"), strh = Find(b, "strh"), dmlh = Find(b, "dmlh");
  const size_t idx1 = Find(b, "idx1"), indx = Find(b, "indx");
  ASSERT_NE(dmlh, std::string::npos);
  ASSERT_NE(indx, std::string::npos);
  ASSERT_LT(idx1, riffs[1].at);
  EXPECT_EQ(Get32(b, strh + 8 + 32), uint32_t(p.frames));
  EXPECT_EQ(Get32(b, dmlh + 8), uint32_t(p.frames));
  const uint32_t legacy = Get32(b, idx1 + 4) / 16;
  EXPECT_EQ(Get32(b, avih + 8 + 16), legacy);
  EXPECT_LT(legacy, uint32_t(p.frames));
  const size_t movi = Find(b, "movi");
  for (uint32_t i = 0; i < legacy; ++i) {
    const size_t at = movi + Get32(b, idx1 + 8 + 16 * i + 8);
    ASSERT_EQ(std::string(b.begin() + long(at), b.begin() + long(at) + 4), "00db") << i;
    ASSERT_EQ(Get32(b, at + 4), c.pixels[0].size());
  }

  // The super index: one standard index per RIFF, in order, inside that RIFF, counting its
  // samples; each standard entry points at a sample's data inside that RIFF's 'movi' list.
  const uint32_t used = Get32(b, indx + 8 + 4);
  ASSERT_EQ(used, riffs.size());
  uint32_t sample = 0;
  for (uint32_t i = 0; i < used; ++i) {
    const size_t e = indx + 8 + 24 + 16 * i;
    const uint64_t at = Get32(b, e) | (uint64_t(Get32(b, e + 4)) << 32);
    const uint32_t size = Get32(b, e + 8), duration = Get32(b, e + 12);
    ASSERT_GE(at, riffs[i].at);
    ASSERT_LE(at + size, riffs[i].at + 8 + riffs[i].size);
    ASSERT_EQ(std::string(b.begin() + long(at), b.begin() + long(at) + 4), "ix00");
    ASSERT_EQ(Get32(b, at + 12), duration);
    ASSERT_EQ(size, 8 + 24 + 8 * duration);
    const uint64_t base = Get32(b, at + 20) | (uint64_t(Get32(b, at + 24)) << 32);
    for (uint32_t k = 0; k < duration; ++k, ++sample) {
      const uint64_t data = base + Get32(b, at + 32 + 8 * k);
      const uint32_t bytes = Get32(b, at + 32 + 8 * k + 4);
      ASSERT_EQ(bytes, c.pixels[sample].size()) << "key frames: bit 31 clear";
      ASSERT_GT(data, riffs[i].at);
      ASSERT_LE(data + bytes, riffs[i].at + 8 + riffs[i].size);
      ASSERT_TRUE(
          std::equal(c.pixels[sample].begin(), c.pixels[sample].end(), b.begin() + long(data)))
          << "sample " << sample;
    }
  }
  EXPECT_EQ(sample, uint32_t(p.frames));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, AviSegmentTest,
    ::testing::Values(SegmentCase{33, 17, 24, 40, 8 << 10, true},
                      SegmentCase{33, 17, 24, 40, 8 << 10, false},  // samples moved once
                      SegmentCase{7, -5, 8, 30, 2 << 10, true},     // header alone past the size
                      SegmentCase{5, 3, 32, 200, 1 << 10, false},
                      SegmentCase{1, 1, 24, 300, 1, true},  // one sample each: a larger index
                      SegmentCase{64, 48, 24, 9, 40000, true}));

TEST_F(AviOpenDmlTest, AFullSuperIndexRefusesTheSampleAndKeepsTheFile) {
  ScopedSegmentBytes segments(1);  // one sample per segment
  const Clip c(1, 1, 24, 300, 5);
  std::unique_ptr<AviFile> file;
  ASSERT_EQ(AVIFileOpen(file, Path("full.avi"), kOfCreate | kOfWrite), kAviOk);
  AviStreamInfo info;
  info.type = kStreamTypeVideo;
  info.scale = 1;
  info.rate = 5;
  info.frame = {0, 0, 1, 1};
  AviStream* s = nullptr;
  ASSERT_EQ(AVIFileCreateStream(*file, s, info), kAviOk);
  ASSERT_EQ(AVIStreamSetFormat(*s, 0, c.format), kAviOk);
  int32_t written = 0;
  while (written < c.frames &&
         AVIStreamWrite(*s, written, 1, c.pixels[size_t(written)], kAviIfKeyFrame) == kAviOk)
    ++written;
  EXPECT_EQ(written, 256) << "the room reserved when nothing was announced";
  EXPECT_EQ(AVIStreamWrite(*s, written, 1, c.pixels[size_t(written)], kAviIfKeyFrame),
            kAviErrBadSize);
  ASSERT_EQ(AVIFileRelease(file), kAviOk);
  std::unique_ptr<AviInputStream> in;
  ASSERT_EQ(AVIStreamOpenFromFile(in, Path("full.avi"), kStreamTypeVideo, 0, 0), kAviOk);
  Clip first = c;
  first.frames = 256;
  ExpectFrames(*in, first);
}

TEST_F(AviOpenDmlTest, FfprobeAndFfmpegReadEverySegment) {
  if (!qm::testing::HaveTool("ffprobe") || !qm::testing::HaveTool("ffmpeg"))
    GTEST_SKIP() << "ffprobe/ffmpeg not installed";
  ScopedSegmentBytes segments(256 << 10);
  const Clip c(160, 120, 24, 40, 10);  // 2.3 MB in ten segments
  for (bool announced : {true, false}) {
    SCOPED_TRACE(announced ? "announced" : "moved");
    const std::string path = Path("probe.avi");
    ASSERT_EQ(c.Write(path, announced ? 40 : 0), kAviOk);
    ASSERT_GE(TopLevel(ReadWholeFile(path)).size(), 10u);
    const std::string q = qm::testing::ShellQuote(path);
    EXPECT_EQ(qm::testing::CommandOutput(
                  "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                  "stream=codec_name,width,height,nb_frames,nb_read_frames -of csv=p=0 " +
                  q + " 2>&1"),
              "rawvideo,160,120,40,40\n");
    // Each decoded frame, top row first, against the bottom-up rows written.
    const std::string raw =
        qm::testing::CommandOutput("ffmpeg -v error -i " + q + " -f rawvideo -pix_fmt bgr24 -");
    const size_t row = 160 * 3, frame = row * 120;
    ASSERT_EQ(raw.size(), frame * 40);
    for (int f = 0; f < 40; ++f)
      for (int y = 0; y < 120; ++y)
        ASSERT_EQ(0, std::memcmp(raw.data() + size_t(f) * frame + size_t(y) * row,
                                 c.pixels[size_t(f)].data() + size_t(119 - y) * row, row))
            << "frame " << f << " row " << y;
    // Seeking goes through the indexes: the last frame alone.
    const std::string last = qm::testing::CommandOutput(
        "ffmpeg -v error -ss 3.9 -i " + q + " -frames:v 1 -f rawvideo -pix_fmt bgr24 -");
    ASSERT_EQ(last.size(), frame);
    EXPECT_EQ(0, std::memcmp(last.data(), c.pixels[39].data() + 119 * row, row));
  }
}

// A three-segment file and the places of its extended structures.
struct Extended {
  Clip clip{6, 4, 24, 9, 5};
  std::vector<uint8_t> bytes;
  size_t indx = 0, ix = 0, second_riff = 0;
};
Extended MakeExtended(const std::string& path) {
  ScopedSegmentBytes segments(700);
  Extended x;
  EXPECT_EQ(x.clip.Write(path, 9), kAviOk);
  x.bytes = ReadWholeFile(path);
  x.indx = Find(x.bytes, "indx");
  x.ix = Find(x.bytes, "ix00");
  x.second_riff = Find(x.bytes, "AVIX") - 8;
  EXPECT_EQ(TopLevel(x.bytes).size(), 3u);
  return x;
}

TEST_F(AviOpenDmlTest, DamagedExtendedIndexesFailToOpen) {
  const Extended x = MakeExtended(Path("x.avi"));
  std::unique_ptr<AviInputStream> s;
  ASSERT_EQ(OpenBytes(x.bytes, s), kAviOk);
  ExpectFrames(*s, x.clip);
  for (size_t n = 0; n < x.bytes.size(); n += 3) {
    std::vector<uint8_t> cut(x.bytes.begin(), x.bytes.begin() + long(n));
    EXPECT_TRUE(Failed(OpenBytes(cut, s))) << "truncated at " << n;
  }
  const size_t super = x.indx + 8, entry = super + 24, ix = x.ix + 8;
  struct Patch {
    const char* what;
    size_t at;
    uint32_t value;
  } patches[] = {
      {"super index entry past the file", entry, uint32_t(x.bytes.size())},
      {"super index entry above 4 GiB", entry + 4, 1},
      {"standard index larger than its RIFF", entry + 8, 0x10000},
      {"more super entries than its chunk holds", super + 4, 0x10000000},
      {"duration against the standard index", entry + 12, 99},
      {"standard index naming another stream", x.ix, 0x31307869},
      {"more standard entries than its chunk holds", ix + 4, 0x20000000},
      {"base offset moving samples out of 'movi'", ix + 12, 0x00100000},
      {"base offset above 4 GiB", ix + 16, 2},
      {"sample size past the 'movi' list", ix + 24 + 4, 0x7000},
      {"sample offset into the header", ix + 24, 0},
      {"extended frame count", Find(x.bytes, "dmlh") + 8, 8},
      {"second RIFF past the file", x.second_riff + 4, 0x7FFFFF00},
      {"super index of unknown type", super, 0x02000004},
  };
  for (const Patch& p : patches) {
    std::vector<uint8_t> bad = x.bytes;
    Put32(bad, p.at, p.value);
    EXPECT_TRUE(Failed(OpenBytes(bad, s))) << p.what;
  }
  // One standard index named twice, with counts that agree: its samples would be read twice.
  std::vector<uint8_t> twice = x.bytes;
  std::memcpy(&twice[entry + 32], &twice[entry + 16], 16);
  const uint32_t inflated = 1 + 2 * Get32(twice, entry + 16 + 12);
  Put32(twice, Find(twice, "strh") + 8 + 32, inflated);
  Put32(twice, Find(twice, "dmlh") + 8, inflated);
  EXPECT_TRUE(Failed(OpenBytes(twice, s)));
}

TEST_F(AviOpenDmlTest, WithoutIndexesEverySegmentIsWalked) {
  const Extended x = MakeExtended(Path("x.avi"));
  std::vector<uint8_t> bytes = x.bytes;
  std::memcpy(&bytes[x.indx], "JUNK", 4);
  std::memcpy(&bytes[Find(bytes, "idx1")], "JUNK", 4);
  std::unique_ptr<AviInputStream> s;
  ASSERT_EQ(OpenBytes(bytes, s), kAviOk);
  ExpectFrames(*s, x.clip);
  // The legacy index alone names the first RIFF's samples, fewer than the header promises.
  bytes = x.bytes;
  std::memcpy(&bytes[x.indx], "JUNK", 4);
  EXPECT_EQ(OpenBytes(bytes, s), kAviErrBadFormat);
}

TEST_F(AviOpenDmlTest, RandomDamageNeverYieldsAWrongSizedFrame) {
  const Extended x = MakeExtended(Path("x.avi"));
  const size_t expected = 40 + x.clip.pixels[0].size();
  std::mt19937 rng(99);
  int opened = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bad = x.bytes;
    // Mostly the indexes and headers, where damage matters.
    for (int i = 0, flips = 1 + int(rng() % 3); i < flips; ++i) {
      const size_t at = rng() % 2 ? x.indx + rng() % 64 : rng() % bad.size();
      bad[at] = uint8_t(rng());
    }
    std::unique_ptr<AviInputStream> s;
    if (OpenBytes(bad, s) != kAviOk) continue;
    ++opened;
    auto frames = AVIStreamGetFrameOpen(*s);
    if (!frames) continue;
    for (int32_t f = 0; f < AVIStreamLength(*s); ++f) {
      std::span<const uint8_t> got = AVIStreamGetFrame(*frames, AVIStreamStart(*s) + f);
      if (got.empty()) continue;
      std::vector<uint8_t> head(got.begin(), got.begin() + 40);
      ASSERT_EQ(got.size(), 40 + Get32(head, 32) * 4 + Get32(head, 20));
      if (Get32(head, 4) == 6 && Get32(head, 8) == 4 && head[14] == 24) {
        ASSERT_EQ(got.size(), expected);
      }
    }
  }
  EXPECT_GT(opened, 300);
}

}  // namespace
}  // namespace qm::avi
