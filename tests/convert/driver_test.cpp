// The conversion driver seen through a scripted host: the messages and their order, the busy
// pointer, the progress bar, the temporary files, and the GIF it writes checked with giflib.

#include "convert/driver.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

#include "convert/mAVIImp.h"
#include "convert/modAVI.h"
#include "imaging/cPal8bpp.h"
#include "platform/error_report.h"
#include "platform/fs.h"
#include "platform/picture_io.h"
#include "tests/convert/convert_support.h"
#include "tests/gif/giflib_support.h"
#include "tests/support/fake_host.h"

namespace qm {
namespace {

using testing::CorpusPath;
using testing::FakeHost;
using testing::FolderEntries;
using testing::LandscapePhotos;
using testing::ScratchDir;
using testing::WriteFile;

const std::string kLocation = "in Quillomat2/19/2015.Form1.PushButton2_Click ";

// A picture format only these tests know: "QMTESTPIC" then width and height bytes. The first
// picture decoded after Arm() succeeds and every later one fails, which lets the video be
// created with its format but no sample.
struct FlakyPictures {
  static inline int remaining_good = 0;
  static void Arm(int good) {
    static bool registered = false;
    if (!registered) {
      registered = true;
      RegisterPictureDecoder([](std::span<const uint8_t> bytes) -> std::shared_ptr<Picture> {
        if (bytes.size() < 11 || std::memcmp(bytes.data(), "QMTESTPIC", 9) != 0) return nullptr;
        if (remaining_good-- <= 0) Raise(kErrInvalidPicture, "Invalid picture: flaky");
        gdi::BitmapInfoHeader h;
        h.width = bytes[9];
        h.height = -int32_t(bytes[10]);
        h.bit_count = 32;
        auto p = std::make_shared<Picture>();
        p->bitmap = gdi::DibSection::Create(h);
        return p;
      });
    }
    remaining_good = good;
  }
};

// A host that can run code when the driver yields.
class HookHost : public FakeHost {
 public:
  std::function<void()> on_yield;
  void Yield() override {
    FakeHost::Yield();
    if (on_yield) {
      auto hook = std::move(on_yield);
      on_yield = nullptr;
      hook();
    }
  }
};

class DriverTest : public ::testing::Test {
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

  ConversionResult Run(const std::vector<std::string>& files, const std::string& fps,
                       const ConversionOptions& options = {}) {
    return StartConverting(files, fps, out.path() + "/", gif, options);
  }
  std::string OutGif() const { return out.File("out.gif"); }

  HookHost host;
  ScopedHost scoped{&host};
  ScratchDir temp;  // the TEMP folder during the test: must be empty after every run
  ScratchDir out;
  cGIF gif;

 private:
  bool had_temp_ = false;
  std::string old_temp_;
};

TEST_F(DriverTest, InputChecksComeFirstAndChangeNothing) {
  WriteFile(OutGif(), {'o', 'l', 'd'});
  auto r = Run({}, "");
  EXPECT_FALSE(r.started);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "No files added.");
  EXPECT_EQ(host.messages[0].icon, MsgIcon::None);
  EXPECT_EQ(host.messages[0].title, "Quillomat");

  for (const char* fps : {"", "abc", "1x", " "}) {
    host.messages.clear();
    r = Run({LandscapePhotos()[0]}, fps);
    EXPECT_FALSE(r.started) << fps;
    ASSERT_EQ(host.messages.size(), 1u) << fps;
    EXPECT_EQ(host.messages[0].text, "Enter frames per second");
    EXPECT_EQ(host.messages[0].icon, MsgIcon::None);
  }
  EXPECT_TRUE(host.pointers.empty());
  EXPECT_EQ(host.yields, 0);
  EXPECT_TRUE(FileExists(OutGif()));
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

TEST_F(DriverTest, ConvertsPhotosIntoALoopingHalftoneAnimationThatGiflibReads) {
  const auto photos = LandscapePhotos();
  auto r = Run(photos, "8");
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(r.gif_written);
  EXPECT_EQ(r.output_path, OutGif());
  EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Done."});
  EXPECT_EQ(host.messages[0].icon, MsgIcon::None);
  ASSERT_FALSE(host.pointers.empty());
  EXPECT_EQ(host.pointers.front(), kPointerBusy);
  EXPECT_EQ(host.pointers.back(), kPointerDefault);
  EXPECT_EQ(host.progress_value, 0);
  // Each stage names itself for the progress bar, in the order the run goes through them.
  EXPECT_EQ(host.stages, (std::vector<std::string>{"Reading pictures", "Colours", "Writing GIF"}));
  EXPECT_GE(host.yields, 2 + 2 * int(photos.size()));
  EXPECT_TRUE(FolderEntries(temp.path()).empty()) << "temporary files left";

  // The animation in memory.
  ASSERT_EQ(gif.FramesCount(), 8);
  EXPECT_EQ(gif.ScreenWidth(), 1800);
  EXPECT_EQ(gif.ScreenHeight(), 1200);
  EXPECT_EQ(gif.AnimationLoops(), 0);
  cPal8bpp cube;
  cube.CreateHalftone(4);
  ASSERT_EQ(cube.Entries(), 216);
  EXPECT_TRUE(gif.GlobalPaletteExists());
  ASSERT_EQ(gif.GlobalPaletteEntries(), 216);
  EXPECT_EQ(0, std::memcmp(gif.lpGlobalPalette(), cube.lpPalette().data(), 216 * 4));
  for (int16_t i = 1; i <= 8; ++i) {
    EXPECT_EQ(gif.FrameDelay(i), 12) << i;
    EXPECT_EQ(gif.FrameDisposalMethod(i), 3) << i;
    EXPECT_EQ(gif.LocalPaletteEntries(i), 216) << i;
    EXPECT_EQ(0, std::memcmp(gif.lpLocalPalette(i), cube.lpPalette().data(), 216 * 4)) << i;
  }

  // The file, decoded by giflib.
  const auto g = testing::DecodeFileWithGiflib(OutGif());
  ASSERT_TRUE(g.ok) << g.error;
  EXPECT_EQ(g.version, "89a");
  EXPECT_EQ(g.screen_width, 1800);
  EXPECT_EQ(g.screen_height, 1200);
  EXPECT_EQ(g.loop_count, 0);
  ASSERT_TRUE(g.has_global_table);
  ASSERT_GE(g.global_table_size, 216);
  for (int e = 0; e < 216; ++e) {
    EXPECT_EQ(g.global_rgb[3 * e], cube.rgbR(uint8_t(e)));
    EXPECT_EQ(g.global_rgb[3 * e + 1], cube.rgbG(uint8_t(e)));
    EXPECT_EQ(g.global_rgb[3 * e + 2], cube.rgbB(uint8_t(e)));
  }
  ASSERT_EQ(g.frames.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    const auto& f = g.frames[i];
    EXPECT_EQ(f.width, 1800);
    EXPECT_EQ(f.height, 1200);
    EXPECT_EQ(f.delay, 12);
    EXPECT_EQ(f.disposal, 3);
    EXPECT_FALSE(f.has_local_table);
    // The same pixels as the animation in memory.
    auto dib = gif.FrameDIBXOR(int16_t(i + 1));
    BitsView view;
    MapDIBBits(view, *dib);
    bool same = true;
    for (int y = 0; y < 1200 && same; ++y) {
      same = std::memcmp(view.row(y).data(), f.indices.data() + size_t(y) * 1800, 1800) == 0;
    }
    EXPECT_TRUE(same) << "frame " << i + 1;
  }
  // Consecutive photos differ (EXIF orientations), so no frame is a stale copy of another.
  EXPECT_NE(g.frames[0].indices, g.frames[1].indices);
}

struct RateCase {
  const char* fps;
  int delay;
};

class DriverRateTest : public DriverTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(DriverRateTest, DelayFollowsTheClampedRate) {
  const auto photos = LandscapePhotos();
  auto r = Run({photos[0], photos[3], photos[6]}, GetParam().fps);
  ASSERT_TRUE(r.gif_written);
  const auto g = testing::DecodeFileWithGiflib(OutGif());
  ASSERT_TRUE(g.ok);
  ASSERT_EQ(g.frames.size(), 3u);
  for (const auto& f : g.frames) {
    EXPECT_EQ(f.delay, GetParam().delay);
    EXPECT_EQ(f.disposal, 3);
  }
  EXPECT_EQ(g.loop_count, 0);
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Rates, DriverRateTest,
                         ::testing::Values(RateCase{"1", 100}, RateCase{"5", 20}, RateCase{"8", 12},
                                           RateCase{"10", 10}, RateCase{"25", 4}, RateCase{"30", 3},
                                           RateCase{"0", 100}, RateCase{"-3", 100},
                                           RateCase{"31", 3}, RateCase{"2.5", 50},
                                           RateCase{"3.5", 25}));

TEST(FrameDelay, RoundsTheFrameTimeThenTheHundredthsHalfToEven) {
  EXPECT_EQ(FrameDelayFromStream(1000, 1), 100);
  EXPECT_EQ(FrameDelayFromStream(1000, 8), 12);  // 125 ms -> 12.5 -> 12
  EXPECT_EQ(FrameDelayFromStream(1400, 8), 18);  // 175 ms -> 17.5 -> 18
  EXPECT_EQ(FrameDelayFromStream(267, 8), 3);    // 30 fps: 33 ms
  EXPECT_EQ(FrameDelayFromStream(2000, 10), 20);
  EXPECT_THROW(FrameDelayFromStream(0, 0), RuntimeError);
}

TEST(FrameDelay, ChosenDelaysWinOverTheRateAndHoldsOverTheList) {
  const int16_t rate = 12;
  auto delays = [&](const FrameTiming& t, int32_t frames) {
    std::vector<int> out;
    for (int32_t i = 1; i <= frames; ++i) out.push_back(ChosenFrameDelay(t, i, frames, rate));
    return out;
  };
  EXPECT_EQ(delays({}, 3), (std::vector<int>{12, 12, 12}));
  EXPECT_EQ(delays({-1, -1, {5, 6}}, 4), (std::vector<int>{5, 6, 6, 6}));
  EXPECT_EQ(delays({-1, -1, {5, -1, 7}}, 4), (std::vector<int>{5, 12, 7, 7}));
  EXPECT_EQ(delays({0, 300, {5, 6}}, 4), (std::vector<int>{0, 6, 6, 300}));
  EXPECT_EQ(delays({40, -1, {}}, 2), (std::vector<int>{40, 12}));
  EXPECT_EQ(delays({-1, 40000, {70000}}, 2), (std::vector<int>{32767, 32767}));
  EXPECT_EQ(delays({100, 200, {}}, 1), (std::vector<int>{200}));
  EXPECT_EQ(delays({100, -1, {7}}, 1), (std::vector<int>{100}));
}

TEST(PlayCount, OnceLeavesTheLoopingBlockOutAndMoreRepeatOneLess) {
  cGIF gif;
  struct Case {
    int32_t plays;
    bool block;
    int16_t repeats;
  };
  for (const Case& c : {Case{0, true, 0}, Case{1, false, 0}, Case{2, true, 1}, Case{3, true, 2},
                        Case{kMaxLoopCount, true, 32767}, Case{kMaxLoopCount + 5, true, 32767},
                        Case{-4, true, 0}}) {
    gif.SetAnimationLoops(99);
    gif.SetLoopingExtension(!c.block);
    SetPlayCount(gif, c.plays);
    EXPECT_EQ(gif.LoopingExtension(), c.block) << c.plays;
    EXPECT_EQ(gif.AnimationLoops(), c.repeats) << c.plays;
  }
}

// The driver's own run with timing options: the animation in memory and the file agree.
TEST_F(DriverTest, TimingOptionsSetTheDelaysAndThePlayCount) {
  const auto photos = LandscapePhotos();
  ConversionOptions options;
  options.loop_count = 1;
  options.hold_first_cs = 150;
  options.delays_cs = {30, 40};
  auto r = Run({photos[0], photos[1], photos[2]}, "5", options);
  ASSERT_TRUE(r.gif_written);
  EXPECT_FALSE(gif.LoopingExtension());
  ASSERT_EQ(gif.FramesCount(), 3);
  EXPECT_EQ(gif.FrameDelay(1), 150);
  EXPECT_EQ(gif.FrameDelay(2), 40);
  EXPECT_EQ(gif.FrameDelay(3), 40);
  const auto g = testing::DecodeFileWithGiflib(OutGif());
  ASSERT_TRUE(g.ok);
  EXPECT_EQ(g.netscape_blocks, 0);
  ASSERT_EQ(g.frames.size(), 3u);
  EXPECT_EQ(g.frames[0].delay, 150);
  EXPECT_EQ(g.frames[2].delay, 40);

  // The next run with the defaults loops for ever again: nothing lingers in the animation.
  r = Run({photos[0], photos[1]}, "5");
  ASSERT_TRUE(r.gif_written);
  EXPECT_TRUE(gif.LoopingExtension());
  EXPECT_EQ(gif.AnimationLoops(), 0);
  EXPECT_EQ(gif.FrameDelay(1), 20);
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

TEST_F(DriverTest, AnUnreadableFirstPictureKeepsTheOldGifAndEndsWithoutDone) {
  WriteFile(OutGif(), {'o', 'l', 'd'});
  const std::string missing = out.File("missing.jpg");
  auto r = Run({missing, LandscapePhotos()[0]}, "5");
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.gif_written);
  EXPECT_EQ(testing::ReadFile(OutGif()), (std::vector<uint8_t>{'o', 'l', 'd'}));
  const auto texts = host.MessageTexts();
  ASSERT_EQ(texts.size(), 2u);
  // The picture loader's error reaches the driver's report at the writing step.
  EXPECT_EQ(host.messages[0].title, "Application Error");
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Exclamation);
  EXPECT_NE(texts[0].find(kLocation + "at line " + std::to_string(StepNumber(6))),
            std::string::npos)
      << texts[0];
  EXPECT_EQ(texts[1], "Unexpected error creating GIF file.\r\nFile not found: " + missing);
  EXPECT_EQ(r.error, texts[1]);
  EXPECT_EQ(host.messages[1].icon, MsgIcon::Exclamation);
  EXPECT_EQ(host.pointers.back(), kPointerDefault);
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

TEST_F(DriverTest, AFrameRateBeyond16BitsIsAnOverflowReport) {
  auto r = Run({LandscapePhotos()[0]}, "99999");
  EXPECT_FALSE(r.gif_written);
  const auto texts = host.MessageTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], ErrorReportText("Overflow", kLocation, StepNumber(6)));
  EXPECT_EQ(texts[1], "Unexpected error creating GIF file.\r\nOverflow");
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

TEST_F(DriverTest, AVideoWithoutFramesSaysNothingToSaveThenDone) {
  const std::string pic = out.File("a.qmt");
  WriteFile(pic, {'Q', 'M', 'T', 'E', 'S', 'T', 'P', 'I', 'C', 4, 3});
  FlakyPictures::Arm(1);  // the writer's first look succeeds, the frame itself fails
  auto r = Run({pic}, "5");
  EXPECT_FALSE(r.gif_written);
  const auto texts = host.MessageTexts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(host.messages[0].title, "Application Error");
  EXPECT_EQ(texts[1], "Nothing to save");
  EXPECT_EQ(host.messages[1].icon, MsgIcon::Exclamation);
  EXPECT_EQ(texts[2], "Done.");
  EXPECT_FALSE(FileExists(OutGif()));
  EXPECT_EQ(host.pointers.back(), kPointerDefault);
  EXPECT_EQ(host.progress_value, 0);
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

TEST_F(DriverTest, AFailedSaveSaysWhereAndWhyAndNotDone) {
  auto r = StartConverting({LandscapePhotos()[0]}, "5", out.File("no/such/folder/"), gif);
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.gif_written);
  EXPECT_EQ(host.MessageTexts(), (std::vector<std::string>{"Unexpected error saving GIF file.\r\n" +
                                                           out.File("no/such/folder/out.gif") +
                                                           ": the folder does not exist"}));
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Exclamation);
  EXPECT_EQ(host.pointers.back(), kPointerDefault);
  EXPECT_EQ(gif.FramesCount(), 1);  // the animation keeps the frames of the last run
  EXPECT_TRUE(FolderEntries(temp.path()).empty());
}

TEST_F(DriverTest, ASecondRunStartedWhileOneRunsRunsToo) {
  // Nothing of a run is shared with another: a run started from inside the first one's yield
  // writes its own animation, and the first one still finishes with its own frames.
  cGIF other;
  ScratchDir other_out;
  ConversionResult inner;
  host.on_yield = [&] {
    if (inner.started) return;
    inner =
        StartConverting({LandscapePhotos()[1], LandscapePhotos()[2]}, "5", other_out.path(), other);
  };
  auto r = Run({LandscapePhotos()[0]}, "5");
  EXPECT_TRUE(inner.gif_written);
  EXPECT_EQ(other.FramesCount(), 2);
  EXPECT_TRUE(r.gif_written);
  EXPECT_EQ(gif.FramesCount(), 1);
  EXPECT_EQ(host.MessageTexts(), (std::vector<std::string>{"Done.", "Done."}));
}

TEST_F(DriverTest, KeepTempLeavesTheVideoForInspection) {
  ConversionOptions options;
  options.keep_temp = true;
  auto r = Run({LandscapePhotos()[0], LandscapePhotos()[1]}, "5", options);
  ASSERT_TRUE(r.gif_written);
  ASSERT_FALSE(r.temp_folder.empty());
  EXPECT_EQ(FolderEntries(r.temp_folder), std::vector<std::string>{"temp.avi"});
  if (testing::ToolAvailable("ffprobe")) {
    std::string probe;
    ASSERT_EQ(testing::RunCommand("ffprobe -v error -count_frames -select_streams v:0 "
                                  "-show_entries stream=width,height,r_frame_rate,nb_read_frames "
                                  "-of default=nw=1 " +
                                      r.temp_folder + "/temp.avi",
                                  &probe),
              0);
    EXPECT_NE(probe.find("width=1800"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=1200"), std::string::npos) << probe;
    EXPECT_NE(probe.find("r_frame_rate=5/1"), std::string::npos) << probe;
    EXPECT_NE(probe.find("nb_read_frames=2"), std::string::npos) << probe;
  }
  std::filesystem::remove_all(r.temp_folder);
}

TEST_F(DriverTest, PicturesOfAnotherSizeAreFittedOnBlack) {
  // 100 x 68 first, then a 59 x 100 portrait: scaled to 40 x 68 and centred.
  const std::string wide = CorpusPath("photos/cameras/Canon_40D.jpg");
  const std::string tall = CorpusPath("photos/cameras/Fujifilm_FinePix_E500.jpg");
  ConversionOptions options;
  options.dither_mode = 0;
  auto r = Run({wide, tall}, "5", options);
  ASSERT_TRUE(r.gif_written);
  const auto g = testing::DecodeFileWithGiflib(OutGif());
  ASSERT_TRUE(g.ok);
  ASSERT_EQ(g.frames.size(), 2u);
  const auto& f = g.frames[1];
  ASSERT_EQ(f.width, 100);
  ASSERT_EQ(f.height, 68);
  auto colour = [&](int x, int y) {
    const int i = f.indices[size_t(y) * 100 + size_t(x)];
    return std::array<int, 3>{g.global_rgb[3 * i], g.global_rgb[3 * i + 1],
                              g.global_rgb[3 * i + 2]};
  };
  const std::array<int, 3> black{0, 0, 0};
  int black_left = 0, black_right = 0, lit_middle = 0;
  for (int y = 0; y < 68; ++y) {
    black_left += colour(5, y) == black;
    black_right += colour(94, y) == black;
    for (int x = 35; x < 65; ++x) lit_middle += colour(x, y) != black;
  }
  EXPECT_EQ(black_left, 68);
  EXPECT_EQ(black_right, 68);
  EXPECT_GT(lit_middle, 30 * 68 / 2);
}

TEST_F(DriverTest, AGifInTheListGivesItsFirstFrame) {
  const std::string dir = CorpusPath("gif/suite");
  std::string first;
  for (const auto& name : FolderEntries(dir)) {
    if (name.size() > 4 && name.substr(name.size() - 4) == ".gif") {
      first = dir + "/" + name;
      break;
    }
  }
  ASSERT_FALSE(first.empty());
  const auto source = testing::DecodeFileWithGiflib(first);
  ASSERT_TRUE(source.ok);
  auto r = Run({first, first}, "10");
  ASSERT_TRUE(r.gif_written);
  EXPECT_EQ(gif.FramesCount(), 2);
  EXPECT_EQ(gif.ScreenWidth(), source.screen_width);
  EXPECT_EQ(gif.ScreenHeight(), source.screen_height);
}

TEST_F(DriverTest, TheWriterTellsWhenTheFirstBitmapCannotBeReadBack) {
  // Nowhere to put temp.bmp: the saved bitmap never exists.
  WriteAVI(temp.File("v.avi"), 5, {LandscapePhotos()[0]}, temp.File("missing-folder"));
  EXPECT_EQ(
      host.MessageTexts(),
      (std::vector<std::string>{"File does not exist:\r\n" + temp.File("missing-folder/temp.bmp"),
                                "Could not load first bitmap file in list!"}));
  EXPECT_EQ(host.messages[1].icon, MsgIcon::Exclamation);
  EXPECT_EQ(host.messages[1].title, "Quillomat");
}

TEST_F(DriverTest, TheImporterRefusesWhatIsNoVideoWithoutAMessage) {
  WriteFile(temp.File("not.avi"), {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'});
  EXPECT_FALSE(ImportAVI(temp.File("not.avi"), gif));
  EXPECT_FALSE(ImportAVI(temp.File("absent.avi"), gif));
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(gif.FramesCount(), 0);
}

// Options that only set a size limit, with nearest-colour mapping so flat colours stay exact.
ConversionOptions Limit(int32_t width, int32_t height) {
  ConversionOptions options;
  options.dither_mode = 0;
  options.max_width = width;
  options.max_height = height;
  return options;
}

// The colour giflib shows at (x, y) of a frame, through the global table.
std::array<int, 3> ColourAt(const testing::GiflibResult& g, size_t frame, int x, int y) {
  const auto& f = g.frames[frame];
  const int i = f.indices[size_t(y) * size_t(f.width) + size_t(x)];
  return {g.global_rgb[3 * i], g.global_rgb[3 * i + 1], g.global_rgb[3 * i + 2]};
}

TEST_F(DriverTest, ASizeLimitFitsEveryFrameKeepingTheAspectAndNeverEnlarges) {
  const std::string photo = LandscapePhotos()[0];  // 1800 x 1200
  struct {
    int32_t max_w, max_h, w, h;
  } cases[] = {{300, 0, 300, 200},
               {0, 150, 225, 150},
               {300, 100, 150, 100},
               {200, 1000, 200, 133},
               {2000, 0, 1800, 1200}};
  for (const auto& c : cases) {
    auto r = Run({photo, photo}, "5", Limit(c.max_w, c.max_h));
    ASSERT_TRUE(r.gif_written) << c.max_w << "x" << c.max_h;
    const auto g = testing::DecodeFileWithGiflib(OutGif());
    ASSERT_TRUE(g.ok);
    EXPECT_EQ(g.screen_width, c.w) << c.max_w << "x" << c.max_h;
    EXPECT_EQ(g.screen_height, c.h) << c.max_w << "x" << c.max_h;
    ASSERT_EQ(g.frames.size(), 2u);
    for (const auto& f : g.frames) {
      EXPECT_EQ(f.width, c.w);
      EXPECT_EQ(f.height, c.h);
    }
    EXPECT_EQ(g.frames[0].indices, g.frames[1].indices)
        << "the same photo twice, " << c.max_w << "x" << c.max_h;
    EXPECT_TRUE(FolderEntries(temp.path()).empty()) << "temporary files left";
  }
}

TEST_F(DriverTest, UnderASizeLimitLaterPicturesAreFittedAndCentredIntoTheFirstOnesSize) {
  // A 300 x 200 frame from the first photo; a red 400 x 600 portrait becomes 133 x 200 at
  // x = 83 on black, and a small green picture is enlarged to fill the frame.
  WriteFile(temp.File("../portrait.jpg"), testing::MakeJpeg(400, 600, 255, 0, 0));
  WriteFile(temp.File("../small.jpg"), testing::MakeJpeg(30, 20, 0, 255, 0));
  auto r = Run({LandscapePhotos()[0], temp.File("../portrait.jpg"), temp.File("../small.jpg")}, "5",
               Limit(300, 0));
  std::filesystem::remove(temp.File("../portrait.jpg"));
  std::filesystem::remove(temp.File("../small.jpg"));
  ASSERT_TRUE(r.gif_written);
  const auto g = testing::DecodeFileWithGiflib(OutGif());
  ASSERT_TRUE(g.ok);
  ASSERT_EQ(g.frames.size(), 3u);
  const std::array<int, 3> black{0, 0, 0}, red{255, 0, 0}, green{0, 255, 0};
  for (int y = 0; y < 200; ++y) {
    for (int x = 0; x < 300; ++x) {
      const bool inside = x >= 83 && x < 83 + 133;
      ASSERT_EQ(ColourAt(g, 1, x, y), inside ? red : black) << x << "," << y;
      ASSERT_EQ(ColourAt(g, 2, x, y), green) << x << "," << y;
    }
  }
}

TEST_F(DriverTest, UnderASizeLimitAOnePixelStripKeepsItsPixel) {
  WriteFile(temp.File("../wide.jpg"), testing::MakeJpeg(2000, 2, 0, 0, 255));
  WriteFile(temp.File("../tall.jpg"), testing::MakeJpeg(1, 600, 255, 255, 0));
  struct {
    std::string file;
    int32_t max_w, max_h, w, h;
    std::array<int, 3> colour;
  } cases[] = {{temp.File("../wide.jpg"), 100, 0, 100, 1, {0, 0, 255}},
               {temp.File("../tall.jpg"), 0, 60, 1, 60, {255, 255, 0}},
               {temp.File("../tall.jpg"), 50, 50, 1, 50, {255, 255, 0}}};
  for (const auto& c : cases) {
    auto r = Run({c.file}, "5", Limit(c.max_w, c.max_h));
    ASSERT_TRUE(r.gif_written) << c.file;
    const auto g = testing::DecodeFileWithGiflib(OutGif());
    ASSERT_TRUE(g.ok);
    ASSERT_EQ(g.frames.size(), 1u);
    EXPECT_EQ(g.frames[0].width, c.w);
    ASSERT_EQ(g.frames[0].height, c.h);
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) EXPECT_EQ(ColourAt(g, 0, x, y), c.colour) << x << "," << y;
  }
  std::filesystem::remove(temp.File("../wide.jpg"));
  std::filesystem::remove(temp.File("../tall.jpg"));
}

TEST_F(DriverTest, UnderASizeLimitEveryExifOrientationComesOutUpright) {
  // The eight photos hold one scene in the eight orientations: fitted to 240 wide they are all
  // 240 x 160 and look alike; a frame turned the wrong way differs everywhere.
  auto r = Run(LandscapePhotos(), "5", Limit(240, 0));
  ASSERT_TRUE(r.gif_written);
  const auto g = testing::DecodeFileWithGiflib(OutGif());
  ASSERT_TRUE(g.ok);
  ASSERT_EQ(g.frames.size(), 8u);
  for (size_t k = 0; k < 8; ++k) {
    ASSERT_EQ(g.frames[k].width, 240) << k;
    ASSERT_EQ(g.frames[k].height, 160) << k;
    double diff = 0;
    for (int y = 0; y < 160; ++y)
      for (int x = 0; x < 240; ++x) {
        const auto a = ColourAt(g, 0, x, y), b = ColourAt(g, k, x, y);
        for (int c = 0; c < 3; ++c) diff += std::abs(a[c] - b[c]);
      }
    EXPECT_LT(diff / (240.0 * 160 * 3), 12.0) << "orientation of photo " << k;
  }
}

}  // namespace
}  // namespace qm
