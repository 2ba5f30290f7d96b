// The built quillomat-cli, run as a user would: exit status, messages, files left behind, and
// its output checked with giflib, ffmpeg and ImageMagick.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "convert/driver.h"
#include "tests/convert/convert_support.h"
#include "tests/gif/giflib_support.h"
#include "tests/support/external_tools.h"
#include "tests/support/fifo_guard.h"

namespace qm {
namespace {

using testing::CorpusPath;
using testing::FolderEntries;
using testing::LandscapePhotos;
using testing::ScratchDir;
using testing::WriteFile;

namespace fs = std::filesystem;

std::string Quote(const std::string& s) {
  return testing::ShellQuote(s);
}

class CliTest : public ::testing::Test {
 protected:
  // Runs the program with TEMP set to the test's own folder; returns the exit status.
  int Cli(const std::string& args, std::string* output = nullptr) {
    return testing::RunCommand("cd " + Quote(work.path()) + " && TEMP=" + Quote(temp.path()) + " " +
                                   Quote(QUILLOMAT_CLI) + " " + args + " </dev/null",
                               output);
  }
  ScratchDir temp;
  ScratchDir work;
};

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

// Checksums of what the classic conversion wrote before any of the opt-in options existed: with
// none of them given, out.gif must not change by a byte. The cases cover EXIF rotation (pictures
// fitted and centred into the first one's size), small mixed sizes with a fractional frame rate,
// one large picture, and the classic optimal palette with error diffusion.
TEST_F(CliTest, TheClassicConversionWritesTheSameBytesAsBefore) {
  struct Case {
    const char* args;
    std::vector<std::string> photos;
    size_t size;
    uint64_t fnv;
  };
  const std::vector<Case> cases = {
      {"--fps 5",
       {"landscape/Landscape_0.jpg", "landscape/Landscape_5.jpg", "landscape/Landscape_6.jpg"},
       2064315,
       0xc192e33640efe0d5ull},
      {"--fps 12.5",
       {"cameras/Canon_40D.jpg", "cameras/Fujifilm_FinePix_E500.jpg",
        "cameras/Canon_PowerShot_S40.jpg"},
       8480,
       0x0cda8424afe73c03ull},
      {"", {"cameras/Reconyx_HC500_Hyperfire.jpg"}, 769253, 0xc9566c1ca9bd81d2ull},
      {"--fps 3 --palette optimal --dither diffusion",
       {"cameras/Canon_PowerShot_S40.jpg", "cameras/Nikon_D70.jpg", "landscape/Landscape_2.jpg"},
       238565,
       0x486c2fec2b87de17ull},
  };
  for (const Case& c : cases) {
    std::string photos;
    for (const auto& p : c.photos) photos += " " + Quote(CorpusPath("photos/" + p));
    std::string out;
    ASSERT_EQ(Cli(std::string(c.args) + " --quiet --out pinned.gif" + photos, &out), 0) << out;
    const auto bytes = testing::ReadFile(work.File("pinned.gif"));
    EXPECT_EQ(bytes.size(), c.size) << c.args << photos;
    EXPECT_EQ(Fnv1a(bytes), c.fnv) << c.args << photos;
  }
}

TEST_F(CliTest, UsageErrorsExitWith2AndShowTheUsage) {
  for (const char* args :
       {"", "--fps", "--bogus x.jpg", "--palette sepia x.jpg", "--dither floyd x.jpg",
        "--ext png x.jpg", "--samples x.jpg", "--folder", "--out", "inspect", "inspect a b",
        "--out no/such/folder x.jpg", "--out no/such/out.gif x.jpg"}) {
    std::string out;
    EXPECT_EQ(Cli(args, &out), 2) << args;
    EXPECT_NE(out.find("usage:"), std::string::npos) << args;
  }
  EXPECT_TRUE(FolderEntries(work.path()).empty());
}

TEST_F(CliTest, OutOfRangeValuesAreUsageErrorsThatSayTheRange) {
  const std::string photo = " " + Quote(LandscapePhotos()[0]);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--width 0", "from 1 to 32767"},
      {"--width 32768", "from 1 to 32767"},
      {"--height -5", "from 1 to 32767"},
      {"--width 8e2", "from 1 to 32767"},
      {"--height 99999999999999999999", "from 1 to 32767"},
      {"--loop 0", "forever or how many times to play, from 1 to 32768"},
      {"--loop 32769", "from 1 to 32768"},
      {"--loop always", "from 1 to 32768"},
      {"--hold-first -1", "seconds from 0 to 327.67"},
      {"--hold-last 327.675", "seconds from 0 to 327.67"},  // rounds to 327.68
      {"--hold-last 1e2", "seconds from 0 to 327.67"},
      {"--hold-last 1,5", "seconds from 0 to 327.67"},
      {"--hold-first .", "seconds from 0 to 327.67"},
      {"--delays 10,,20", "each from 0 to 32767"},
      {"--delays 10,", "each from 0 to 32767"},
      {"--delays 32768", "each from 0 to 32767"},
      {"--delays ' 5'", "each from 0 to 32767"},
      {"--palette median", "unknown palette"},
      {"--lossy 201", "from 0 (exact) to 200"},
      {"--lossy strong", "from 0 (exact) to 200"},
  };
  for (const auto& [args, says] : cases) {
    std::string out;
    EXPECT_EQ(Cli(args + photo, &out), 2) << args;
    EXPECT_NE(out.find(says), std::string::npos) << args << "\n" << out;
    EXPECT_NE(out.find("usage:"), std::string::npos) << args;
  }
  // A value-taking option at the end of the line lacks its value.
  for (const char* option : {"--width", "--loop", "--hold-last", "--delays"}) {
    std::string out;
    EXPECT_EQ(Cli(Quote(LandscapePhotos()[0]) + " " + option, &out), 2) << option;
  }
  EXPECT_TRUE(FolderEntries(work.path()).empty());
}

// Choices the conversion cannot carry out yet are refused by name before anything is written,
// and the rest run; the name the message gives shows that explicit options win over --best on
// either side of it.
TEST_F(CliTest, OptionsReachTheConversionAndExplicitOnesWinOverBest) {
  using Options = qm::ConversionOptions;
  auto best = [](Options o) {
    qm::ApplyBestPreset(o);
    return o;
  };
  auto with = [](Options o, auto&& change) {
    change(o);
    return o;
  };
  const std::vector<std::pair<std::string, Options>> cases = {
      {"--best", best({})},
      {"--best --palette optimal", with(best({}), [](Options& o) { o.palette_mode = 1; })},
      {"--palette halftone --dither ordered --best", with(best({}),
                                                          [](Options& o) {
                                                            o.palette_mode = 0;
                                                            o.dither_mode = 1;
                                                          })},
      {"--optimize", with({}, [](Options& o) { o.optimize = true; })},
      {"--palette global --dither none", with({},
                                              [](Options& o) {
                                                o.palette_mode = 2;
                                                o.dither_mode = 0;
                                              })},
      {"--palette local", with({}, [](Options& o) { o.palette_mode = 3; })},
      {"--width 800", with({}, [](Options& o) { o.max_width = 800; })},
      {"--height 600", with({}, [](Options& o) { o.max_height = 600; })},
      {"--palette optimal --dither diffusion --loop 2", with({},
                                                             [](Options& o) {
                                                               o.palette_mode = 1;
                                                               o.dither_mode = 2;
                                                               o.loop_count = 2;
                                                             })},
  };
  const std::string photo = " " + Quote(CorpusPath("photos/cameras/Canon_40D.jpg"));
  for (const auto& [args, options] : cases) {
    std::string out;
    const int status = Cli(args + " --out o.gif" + photo, &out);
    EXPECT_EQ(status, 0) << args << "\n" << out;
    EXPECT_TRUE(fs::exists(work.File("o.gif"))) << args;
    fs::remove(work.File("o.gif"));
  }

  std::string help;
  ASSERT_EQ(Cli("--help", &help), 0);
  for (const char* option :
       {"--width", "--height", "--palette", "global", "local", "--dither", "--optimize", "--best",
        "--loop", "--hold-first", "--hold-last", "--delays"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  const Options preset = best({});
  if (preset.palette_mode == 3 && preset.dither_mode == 2 && preset.optimize) {
    EXPECT_NE(help.find("--palette local --dither diffusion --optimize"), std::string::npos)
        << "--help says what --best means\n"
        << help;
  }
}

// What giflib reads back: the looping block's presence and count, and every frame's delay.
TEST_F(CliTest, LoopAndDelaysReachTheFileAsGiflibReadsIt) {
  const std::string small = Quote(CorpusPath("photos/cameras/Canon_40D.jpg"));
  std::string four;
  for (int i = 0; i < 4; ++i) four += " " + small;
  struct Case {
    std::string args;
    int loop_count;  // -1: no looping block
    std::vector<int> delays;
  };
  const std::vector<Case> cases = {
      {"--fps 5" + four, 0, {20, 20, 20, 20}},
      {"--loop forever" + four, 0, {100, 100, 100, 100}},
      {"--loop 1 --fps 10" + four, -1, {10, 10, 10, 10}},
      {"--loop 3" + four, 2, {100, 100, 100, 100}},
      {"--loop 2" + four, 1, {100, 100, 100, 100}},
      {"--loop 32768" + four, 32767, {100, 100, 100, 100}},
      {"--hold-last 2 --fps 4" + four, 0, {25, 25, 25, 200}},
      {"--hold-first 0.125 --hold-last 0.135" + four, 0, {12, 100, 100, 14}},
      {"--hold-first .5 --hold-last 327.67" + four, 0, {50, 100, 100, 32767}},
      {"--delays 5,7" + four, 0, {5, 7, 7, 7}},
      {"--delays 1,2,3,4,5,6" + four, 0, {1, 2, 3, 4}},
      {"--delays 30,0,40 --hold-first 1. --hold-last 0" + four, 0, {100, 0, 40, 0}},
      {"--hold-last 3 --delays 9 --loop 5 --hold-last 4" + four, 4, {9, 9, 9, 400}},
      // A single picture is first and last: the last frame's hold wins.
      {"--hold-first 1 --hold-last 2 " + small, 0, {200}},
      {"--hold-first 1 --delays 7 " + small, 0, {100}},
  };
  for (const Case& c : cases) {
    std::string out;
    ASSERT_EQ(Cli("--quiet --out t.gif " + c.args, &out), 0) << c.args << "\n" << out;
    const auto g = testing::DecodeFileWithGiflib(work.File("t.gif"));
    ASSERT_TRUE(g.ok) << c.args;
    EXPECT_EQ(g.loop_count, c.loop_count) << c.args;
    EXPECT_EQ(g.netscape_blocks, c.loop_count < 0 ? 0 : 1) << c.args;
    std::vector<int> delays;
    for (const auto& f : g.frames) delays.push_back(f.delay);
    EXPECT_EQ(delays, c.delays) << c.args;
    std::string json;
    ASSERT_EQ(Cli("inspect t.gif", &json), 0);
    EXPECT_NE(
        json.find(std::string("\"looping_extension\": ") + (c.loop_count < 0 ? "false" : "true")),
        std::string::npos)
        << c.args << "\n"
        << json;
  }
}

TEST_F(CliTest, BadInputIsAClearMessageAndExit1WithNothingLeftBehind) {
  WriteFile(work.File("text.jpg"), {'h', 'e', 'l', 'l', 'o', '\n'});
  WriteFile(work.File("empty.jpg"), {});
  fs::create_directory(work.File("folder.jpg"));
  auto photo = testing::ReadFile(LandscapePhotos()[0]);
  WriteFile(work.File("truncated.jpg"), {photo.begin(), photo.begin() + 5000});
  // A JPEG whose frame header claims 65000 x 65000 pixels.
  auto small = testing::ReadFile(CorpusPath("photos/cameras/Canon_40D.jpg"));
  bool patched = false;
  for (size_t i = 2; i + 9 < small.size();) {
    if (small[i] != 0xFF) break;
    const uint8_t marker = small[i + 1];
    if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
      small[i + 5] = small[i + 7] = 0xFD;
      small[i + 6] = small[i + 8] = 0xE8;
      patched = true;
      break;
    }
    i += 2 + ((size_t(small[i + 2]) << 8) | small[i + 3]);
  }
  ASSERT_TRUE(patched);
  WriteFile(work.File("huge.jpg"), small);

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"missing.jpg", "missing.jpg"},
      {"text.jpg", "text.jpg"},
      {"truncated.jpg", "truncated.jpg"},
      {CorpusPath("photos/cameras/corrupted.jpg"), "corrupted.jpg"},
      {"empty.jpg", "empty.jpg"},
      {"folder.jpg", "folder.jpg"},
      {"huge.jpg", "huge.jpg"},
  };
  for (const auto& [file, named] : cases) {
    std::string out;
    EXPECT_EQ(Cli(Quote(file), &out), 1) << file << "\n" << out;
    EXPECT_NE(out.find("Quillomat: Application Error: "), std::string::npos) << out;
    EXPECT_NE(out.find(named), std::string::npos) << "the message names the file:\n" << out;
    EXPECT_NE(out.find("Quillomat: Unexpected error creating GIF file."), std::string::npos) << out;
    EXPECT_EQ(out.find("Done."), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(work.File("out.gif"))) << file;
    EXPECT_TRUE(FolderEntries(temp.path()).empty()) << file;
  }
}

TEST_F(CliTest, APictureThatFailsLaterStillFailsTheRun) {
  std::string out;
  const std::string good = Quote(LandscapePhotos()[0]);
  EXPECT_EQ(Cli(good + " missing.jpg " + good, &out), 1) << out;
  EXPECT_NE(out.find("File not found"), std::string::npos) << out;
  EXPECT_NE(out.find("not every picture"), std::string::npos) << out;
  // What the window would save: the frames before the failing picture.
  const auto g = testing::DecodeFileWithGiflib(work.File("out.gif"));
  ASSERT_TRUE(g.ok);
  EXPECT_EQ(g.frames.size(), 1u);
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

TEST_F(CliTest, ConvertsToTheNamedFileAndOtherDecodersAgree) {
  std::string photos;
  for (const auto& p : LandscapePhotos()) photos += " " + Quote(p);
  std::string out;
  ASSERT_EQ(Cli("--fps 5 --quiet --out anim.gif" + photos, &out), 0) << out;
  EXPECT_EQ(out.find("Done."), std::string::npos) << "--quiet drops Done.";
  const std::string gif = work.File("anim.gif");
  const auto g = testing::DecodeFileWithGiflib(gif);
  ASSERT_TRUE(g.ok);
  ASSERT_EQ(g.frames.size(), 8u);
  for (const auto& f : g.frames) EXPECT_EQ(f.delay, 20);
  EXPECT_TRUE(FolderEntries(temp.path()).empty());

  if (testing::ToolAvailable("ffprobe")) {
    std::string probe;
    ASSERT_EQ(testing::RunCommand("ffprobe -v error -count_frames -select_streams v:0 "
                                  "-show_entries stream=nb_read_frames,width,height "
                                  "-of default=nw=1 " +
                                      Quote(gif),
                                  &probe),
              0);
    EXPECT_NE(probe.find("nb_read_frames=8"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width=1800"), std::string::npos) << probe;
  }
  if (testing::ToolAvailable("identify")) {
    std::string frames;
    ASSERT_EQ(testing::RunCommand("identify -format '%T %wx%h\\n' " + Quote(gif), &frames), 0);
    size_t count = 0, pos = 0;
    while ((pos = frames.find("20 1800x1200\n", pos)) != std::string::npos) ++count, ++pos;
    EXPECT_EQ(count, 8u) << frames;
  }
}

// Mean PSNR over red, green and blue of two binary PPMs of one size; -1 when they do not match.
double PpmPsnr(const std::string& a, const std::string& b) {
  auto parse = [](const std::string& ppm, int& w, int& h) -> size_t {
    int maxval = 0, used = 0;
    if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &w, &h, &maxval, &used) != 3 || maxval != 255)
      return 0;
    return size_t(used) + 1;
  };
  int wa = 0, ha = 0, wb = 0, hb = 0;
  const size_t sa = parse(a, wa, ha), sb = parse(b, wb, hb);
  const size_t n = size_t(wa) * size_t(ha) * 3;
  if (!sa || !sb || wa != wb || ha != hb || a.size() < sa + n || b.size() < sb + n) return -1;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = double(uint8_t(a[sa + i])) - double(uint8_t(b[sb + i]));
    sum += d * d;
  }
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(n) / sum);
}

// Camera-size photos, one of them stored turned (EXIF 6), made 800 pixels wide: 800 x 533
// frames as giflib reads them, and frames before colour reduction (read from the kept video by
// ffmpeg) close to ImageMagick's -resize of the same pictures.
TEST_F(CliTest, Width800OnLargePhotosGives800x533FramesLikeAGoodResize) {
  if (!testing::ToolAvailable("convert")) GTEST_SKIP() << "ImageMagick makes the large photos";
  const std::string big0 = work.File("big0.jpg"), big6 = work.File("big6.jpg");
  ASSERT_EQ(testing::RunCommand("convert " + Quote(LandscapePhotos()[0]) +
                                " -resize 2400x1600! -quality 92 " + Quote(big0)),
            0);
  ASSERT_EQ(testing::RunCommand("convert " + Quote(LandscapePhotos()[6]) +
                                " -resize 1600x2400! -quality 92 " + Quote(big6)),
            0);
  std::string out;
  ASSERT_EQ(Cli("--keep-temp --width 800 --out w.gif " + Quote(big0) + " " + Quote(big6), &out), 0)
      << out;
  const auto g = testing::DecodeFileWithGiflib(work.File("w.gif"));
  ASSERT_TRUE(g.ok);
  EXPECT_EQ(g.screen_width, 800);
  EXPECT_EQ(g.screen_height, 533);
  ASSERT_EQ(g.frames.size(), 2u);
  for (const auto& f : g.frames) {
    EXPECT_EQ(f.width, 800);
    EXPECT_EQ(f.height, 533);
  }

  const std::string marker = "temporary files kept in ";
  const size_t at = out.find(marker);
  ASSERT_NE(at, std::string::npos) << out;
  const std::string video =
      out.substr(at + marker.size(), out.find('\n', at) - at - marker.size()) + "/temp.avi";
  if (!testing::ToolAvailable("ffmpeg")) GTEST_SKIP() << "ffmpeg reads the frames back";
  for (int frame = 0; frame < 2; ++frame) {
    std::string ours, reference;
    ASSERT_EQ(testing::RunCommand("ffmpeg -v error -i " + Quote(video) + " -vf " +
                                      Quote("select=eq(n\\," + std::to_string(frame) + ")") +
                                      " -frames:v 1 -f image2pipe -vcodec ppm -",
                                  &ours),
              0);
    ASSERT_EQ(testing::RunCommand(
                  "convert " + Quote(frame ? big6 : big0) + " -auto-orient -resize 800x533! ppm:-",
                  &reference),
              0);
    const double psnr = PpmPsnr(ours, reference);
    EXPECT_GT(psnr, 38.0) << "frame " << frame;
  }
}

TEST_F(CliTest, InspectReportsWhatGiflibSees) {
  std::string out;
  ASSERT_EQ(
      Cli("--fps 25 --out . " + Quote(LandscapePhotos()[2]) + " " + Quote(LandscapePhotos()[4]),
          &out),
      0)
      << out;
  EXPECT_NE(out.find("Quillomat: Done."), std::string::npos);
  std::string json;
  ASSERT_EQ(Cli("inspect out.gif", &json), 0) << json;
  const auto g = testing::DecodeFileWithGiflib(work.File("out.gif"));
  ASSERT_TRUE(g.ok);
  for (const char* key : {"\"version\": \"GIF89a\"", "\"screen_width\": 1800",
                          "\"screen_height\": 1200", "\"loop_count\": 0", "\"frame_count\": 2",
                          "\"global_palette_size\": 256", "\"delay\": 4", "\"disposal\": 3"}) {
    EXPECT_NE(json.find(key), std::string::npos) << key << "\n" << json;
  }
  for (const auto& f : g.frames) {
    char hash[32];
    std::snprintf(hash, sizeof hash, "\"%016llx\"",
                  static_cast<unsigned long long>(Fnv1a(f.indices)));
    EXPECT_NE(json.find(hash), std::string::npos) << hash << "\n" << json;
  }

  // An interlaced, transparent file from another writer.
  for (const auto& name : FolderEntries(CorpusPath("gif/suite"))) {
    if (name.size() < 4 || name.substr(name.size() - 4) != ".gif") continue;
    const std::string path = CorpusPath("gif/suite/" + name);
    const auto ref = testing::DecodeFileWithGiflib(path);
    if (!ref.ok) continue;
    ASSERT_EQ(Cli("inspect " + Quote(path), &json), 0) << name;
    EXPECT_NE(json.find("\"frame_count\": " + std::to_string(ref.frames.size())), std::string::npos)
        << name;
    for (const auto& f : ref.frames) {
      char hash[32];
      std::snprintf(hash, sizeof hash, "\"%016llx\"",
                    static_cast<unsigned long long>(Fnv1a(f.indices)));
      EXPECT_NE(json.find(hash), std::string::npos) << name << " " << hash;
    }
  }

  EXPECT_EQ(Cli("inspect missing.gif", &out), 1);
  EXPECT_NE(out.find("missing.gif"), std::string::npos);
  EXPECT_EQ(Cli("inspect " + Quote(LandscapePhotos()[0]), &out), 1);
}

// `count` frames of one pixel each (index 1), written by hand so the count is what the file holds.
std::vector<uint8_t> OnePixelFrames(int count) {
  std::vector<uint8_t> b = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 9, 9, 9};
  const uint8_t image[] = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x4C, 0x01, 0};
  for (int i = 0; i < count; ++i) b.insert(b.end(), std::begin(image), std::end(image));
  b.push_back(0x3B);
  return b;
}

// The frame loop counted in 16 bits and wrapped after frame 32767: inspect aborted.
TEST_F(CliTest, InspectReachesTheEndOf32767FramesAndSaysWhatItLeftOut) {
  for (int count : {32766, 32767, 32768}) {
    const std::string name = "frames" + std::to_string(count) + ".gif";
    WriteFile(work.File(name), OnePixelFrames(count));
    std::string json;
    ASSERT_EQ(Cli("inspect " + name, &json), 0) << count << json.substr(0, 400);
    const int kept = std::min(count, 32767);
    EXPECT_NE(json.find("\"frame_count\": " + std::to_string(kept)), std::string::npos) << count;
    EXPECT_NE(json.find("\"images_not_read\": " + std::to_string(count - kept)), std::string::npos)
        << count;
    size_t frames = 0;
    for (size_t at = json.find("\"fnv1a64\""); at != std::string::npos;
         at = json.find("\"fnv1a64\"", at + 1))
      ++frames;
    EXPECT_EQ(frames, size_t(kept)) << count;
    EXPECT_EQ(json.rfind("\n  ]\n}\n"), json.size() - 7) << count;
    const bool warned =
        json.find("Quillomat: " + name + ": only the first 32767 frames") != std::string::npos;
    EXPECT_EQ(warned, count > 32767) << count;
  }
}

TEST_F(CliTest, FolderTakesTheTreeInNaturalOrder) {
  // Three different pictures of one size, named so that plain sorting would misorder them.
  fs::create_directories(work.File("tree/sub"));
  fs::create_directories(work.File("tree/.hidden"));
  const auto photos = LandscapePhotos();
  fs::create_symlink(photos[1], work.File("tree/frame10.jpg"));
  fs::create_symlink(photos[2], work.File("tree/frame2.jpg"));
  fs::create_symlink(photos[3], work.File("tree/sub/frame1.jpg"));
  fs::create_symlink(photos[4], work.File("tree/.hidden/frame0.jpg"));
  fs::create_symlink(photos[5], work.File("tree/frame3.png"));

  std::string out;
  ASSERT_EQ(Cli("--folder tree --out folder.gif", &out), 0) << out;
  ASSERT_EQ(Cli("--out listed.gif tree/frame2.jpg tree/frame10.jpg tree/sub/frame1.jpg", &out), 0)
      << out;
  std::string a, b;
  ASSERT_EQ(Cli("inspect folder.gif", &a), 0);
  ASSERT_EQ(Cli("inspect listed.gif", &b), 0);
  EXPECT_EQ(a.substr(a.find("\"screen_width\"")), b.substr(b.find("\"screen_width\"")));
  EXPECT_NE(a.find("\"frame_count\": 3"), std::string::npos) << a;

  // Another extension; nothing matching is "No files added." and a failure.
  ASSERT_EQ(Cli("--folder tree --ext png --out png.gif", &out), 0) << out;
  EXPECT_EQ(Cli("--folder tree --ext bmp", &out), 1);
  EXPECT_NE(out.find("Quillomat: No files added."), std::string::npos) << out;
}

TEST_F(CliTest, KeepTempPrintsTheFolderHoldingTheVideo) {
  std::string out;
  ASSERT_EQ(Cli("--keep-temp --fps 30 " + Quote(LandscapePhotos()[0]), &out), 0) << out;
  const std::string marker = "temporary files kept in ";
  const size_t at = out.find(marker);
  ASSERT_NE(at, std::string::npos) << out;
  const std::string folder =
      out.substr(at + marker.size(), out.find('\n', at) - at - marker.size());
  EXPECT_EQ(folder.rfind(temp.path(), 0), 0u) << folder;
  EXPECT_TRUE(fs::exists(folder + "/temp.avi"));
  if (testing::ToolAvailable("ffprobe")) {
    std::string probe;
    EXPECT_EQ(testing::RunCommand("ffprobe -v error -show_entries stream=r_frame_rate "
                                  "-of default=nw=1 " +
                                      Quote(folder + "/temp.avi"),
                                  &probe),
              0);
    EXPECT_NE(probe.find("r_frame_rate=30/1"), std::string::npos) << probe;
  }
}

TEST_F(CliTest, SamplesListsTheProgramsSamplesFolder) {
  const fs::path samples = fs::path(QUILLOMAT_CLI).parent_path() / "Samples";
  std::string out;
  const int status = Cli("--samples --out samples.gif", &out);
  std::error_code ec;
  size_t count = 0;
  if (fs::is_directory(samples, ec)) {
    for (const auto& e : fs::directory_iterator(samples, ec)) count += e.is_regular_file();
  }
  if (count == 0) {
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("No files added."), std::string::npos) << out;
    return;
  }
  ASSERT_EQ(status, 0) << out;
  const auto g = testing::DecodeFileWithGiflib(work.File("samples.gif"));
  ASSERT_TRUE(g.ok);
  EXPECT_EQ(g.frames.size(), count);
}

// --- Hostile but ordinary input ---------------------------------------------------------------

// The program started in the background as Cli() runs it, so that a test can signal it.
class CliProcess {
 public:
  CliProcess(const std::string& dir, const std::string& temp, const std::vector<std::string>& args,
             const std::string& log) {
    std::vector<std::string> argv_text = {QUILLOMAT_CLI};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string temp_var = "TEMP=" + temp;
    std::vector<char*> envp = {temp_var.data(), nullptr};
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int in = ::open("/dev/null", O_RDONLY);
      if (out < 0 || in < 0 || ::chdir(dir.c_str()) != 0) ::_exit(127);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
  }
  ~CliProcess() {
    if (pid_ > 0 && !done_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  // The wait status, or -1 when the program is still running after `seconds`.
  int Wait(int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        done_ = true;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  bool done_ = false;
};

// True once a private folder in `temp` holds temp.avi, i.e. the conversion is under way.
bool WaitForVideo(const std::string& temp, int seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < until) {
    for (const std::string& name : FolderEntries(temp)) {
      if (fs::exists(temp + "/" + name + "/temp.avi")) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(CliTest, CtrlCTermAndHangupCancelTheRunAndLeaveNothingBehind) {
  const std::vector<std::string> photos(150, LandscapePhotos()[0]);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE("signal " + std::to_string(signo));
    const std::string log = work.File("log.txt");
    CliProcess cli(work.path(), temp.path(), photos, log);
    ASSERT_TRUE(WaitForVideo(temp.path(), 20));
    ASSERT_EQ(::kill(cli.pid(), signo), 0);
    const int status = cli.Wait(20);
    ASSERT_NE(status, -1) << "still running 20 s after the signal";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal instead of cleaning up";
    EXPECT_EQ(WEXITSTATUS(status), 128 + signo);
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("Quillomat: Cancelled."), std::string::npos) << text;
    EXPECT_EQ(text.find("Done."), std::string::npos) << text;
    EXPECT_EQ(text.find("Unexpected error"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(work.File("out.gif")));
    EXPECT_TRUE(FolderEntries(temp.path()).empty());
    fs::remove(log);
  }
}

TEST_F(CliTest, TheOutputNeverDestroysAListedPicture) {
  const auto photo = testing::ReadFile(LandscapePhotos()[1]);
  WriteFile(work.File("a.jpg"), photo);
  WriteFile(work.File("pic.gif"), photo);
  WriteFile(work.File("out.gif"), photo);
  std::string out;
  EXPECT_EQ(Cli("--out pic.gif a.jpg pic.gif", &out), 1);
  EXPECT_NE(out.find("The output file is one of the pictures"), std::string::npos) << out;
  EXPECT_NE(out.find("pic.gif"), std::string::npos) << out;
  // The shell's * in a folder that holds the last run's out.gif.
  EXPECT_EQ(Cli("*", &out), 1);
  EXPECT_NE(out.find("out.gif"), std::string::npos) << out;
  EXPECT_EQ(Cli("--out anim.gif a.jpg ./anim.gif", &out), 1) << "a missing picture cannot collide";
  EXPECT_NE(out.find("File not found"), std::string::npos) << out;
  for (const char* name : {"a.jpg", "pic.gif", "out.gif"}) {
    EXPECT_EQ(testing::ReadFile(work.File(name)), photo) << name;
  }
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

TEST_F(CliTest, AFifoOrAVeryLongNameIsANamedReasonNotAHang) {
  testing::FifoGuard fifo(work.File("pipe.jpg"));
  ASSERT_TRUE(fifo.made());
  const std::string long_name(300, 'p');
  std::string out;
  EXPECT_EQ(Cli(Quote(LandscapePhotos()[0]) + " pipe.jpg", &out), 1);
  EXPECT_NE(out.find("Cannot read pipe.jpg: it is a named pipe, not a regular file"),
            std::string::npos)
      << out;
  EXPECT_EQ(Cli("--folder .", &out), 1);  // the folder walk lists regular files only
  EXPECT_NE(out.find("No files added."), std::string::npos) << out;
  EXPECT_EQ(Cli(long_name + ".jpg", &out), 1);
  EXPECT_NE(out.find(long_name + ".jpg: File name too long"), std::string::npos) << out;
  EXPECT_EQ(out.find("Permission denied"), std::string::npos) << out;
  EXPECT_EQ(fifo.readers_seen(), 0);
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

// A folder of `count` hard links to one 1 x 1 JPEG.
void MakeLinkFolder(const std::string& folder, int count) {
  fs::create_directory(folder);
  WriteFile(folder + "/p1.jpg", testing::MakeJpeg(1, 1, 10, 200, 60));
  for (int i = 2; i <= count; ++i) {
    fs::create_hard_link(folder + "/p1.jpg", folder + "/p" + std::to_string(i) + ".jpg");
  }
}

TEST_F(CliTest, AFolderOfMorePicturesThanAnAnimationHoldsIsRefusedUpFront) {
  MakeLinkFolder(work.File("many"), 32768);
  WriteFile(work.File("out.gif"), {'o', 'l', 'd'});
  std::string out;
  EXPECT_EQ(Cli("--folder many", &out), 1);
  EXPECT_NE(out.find("Too many pictures: 32768"), std::string::npos) << out;
  EXPECT_EQ(testing::ReadFile(work.File("out.gif")), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

class CliLongTest : public CliTest {};

TEST_F(CliLongTest, AFolderOf32767PicturesBecomesAGifOf32767Frames) {
  MakeLinkFolder(work.File("many"), 32767);
  std::string out;
  ASSERT_EQ(Cli("--quiet --folder many", &out), 0) << out;
  const auto g = testing::DecodeFileWithGiflib(work.File("out.gif"));
  ASSERT_TRUE(g.ok) << g.error;
  EXPECT_EQ(g.frames.size(), 32767u);
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

}  // namespace
}  // namespace qm
