// The conversion under hostile but ordinary input: lists at and beyond the frame limit, an
// output that is one of the pictures, named pipes and over-long names among the pictures, thin
// strips, interruptions at every stage, and leftovers of earlier runs. Whatever happens, nothing
// hangs, no picture is lost and the temporary folder is empty afterwards.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "convert/driver.h"
#include "platform/cancel.h"
#include "platform/fs.h"
#include "tests/convert/convert_support.h"
#include "tests/gif/giflib_support.h"
#include "tests/support/fake_host.h"
#include "tests/support/fifo_guard.h"

namespace qm {
namespace {

using testing::CorpusPath;
using testing::FolderEntries;
using testing::ScratchDir;
using testing::WriteFile;

namespace fs = std::filesystem;

// Counts the stages (each starts by setting the progress maximum) and runs a hook at a chosen
// yield of a chosen stage; stage 0 is before the first one.
class StageHost : public testing::FakeHost {
 public:
  int stage = 0;
  int yields_in_stage = 0;
  int hook_stage = -1, hook_yield = 0;
  std::function<void()> hook;

  void SetProgressMax(int m) override {
    FakeHost::SetProgressMax(m);
    ++stage;
    yields_in_stage = 0;
  }
  void Yield() override {
    FakeHost::Yield();
    ++yields_in_stage;
    if (hook && stage == hook_stage && yields_in_stage == hook_yield) {
      auto run = std::move(hook);
      hook = nullptr;
      run();
    }
  }
};

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TEMP");
    had_temp_ = old != nullptr;
    if (old) old_temp_ = old;
    setenv("TEMP", temp.path().c_str(), 1);
    ResetCancel();
  }
  void TearDown() override {
    if (had_temp_)
      setenv("TEMP", old_temp_.c_str(), 1);
    else
      unsetenv("TEMP");
    EXPECT_FALSE(CancelRequested()) << "a run must clear its cancel request";
  }

  ConversionResult Run(const std::vector<std::string>& files, const ConversionOptions& options = {},
                       const std::string& output_file = {}) {
    return StartConverting(files, "5", out.path() + "/", gif, options, output_file);
  }
  std::string OutGif() const { return out.File("out.gif"); }
  // A small photo (100 x 68), fast to convert.
  static std::string Photo() { return CorpusPath("photos/cameras/Canon_40D.jpg"); }
  std::string TinyJpeg() {
    const std::string path = pictures.File("one.jpg");
    if (!fs::exists(path)) WriteFile(path, testing::MakeJpeg(1, 1, 200, 30, 40));
    return path;
  }
  bool TempIsEmpty() const { return FolderEntries(temp.path()).empty(); }

  StageHost host;
  ScopedHost scoped{&host};
  ScratchDir temp;  // TEMP during the test
  ScratchDir out;
  ScratchDir pictures;
  cGIF gif;

 private:
  bool had_temp_ = false;
  std::string old_temp_;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// --- Lists at the frame limit -----------------------------------------------------------------

TEST_F(HostileInputTest, MorePicturesThanAnAnimationHoldsAreRefusedBeforeAnythingChanges) {
  WriteFile(OutGif(), {'o', 'l', 'd'});
  const auto r = Run(std::vector<std::string>(size_t(kMaxGifFrames) + 1, TinyJpeg()));
  EXPECT_FALSE(r.started);
  EXPECT_FALSE(r.gif_written);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Exclamation);
  EXPECT_TRUE(Contains(host.messages[0].text, "32768")) << host.messages[0].text;
  EXPECT_TRUE(Contains(host.messages[0].text, "at most 32767")) << host.messages[0].text;
  EXPECT_EQ(testing::ReadFile(OutGif()), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_TRUE(host.pointers.empty());
  EXPECT_EQ(host.yields, 0);
  EXPECT_TRUE(TempIsEmpty());
}

// A whole conversion of 32767 pictures takes several seconds: the suite carries the "long" label.
class HostileInputLongTest : public HostileInputTest {};

TEST_F(HostileInputLongTest, AListOfExactlyTheFrameLimitConvertsWhole) {
  const auto r = Run(std::vector<std::string>(size_t(kMaxGifFrames), TinyJpeg()));
  ASSERT_TRUE(r.gif_written);
  EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Done."});
  EXPECT_EQ(gif.FramesCount(), kMaxGifFrames);
  const auto g = testing::DecodeFileWithGiflib(OutGif());
  ASSERT_TRUE(g.ok) << g.error;
  EXPECT_EQ(g.frames.size(), size_t(kMaxGifFrames));
  EXPECT_EQ(g.frames.back().width, 1);
  EXPECT_TRUE(TempIsEmpty());
}

// --- The output is one of the pictures --------------------------------------------------------

TEST_F(HostileInputTest, AnOutputThatIsOneOfThePicturesIsRefusedAndThePictureKept) {
  const std::vector<uint8_t> photo = testing::ReadFile(Photo());
  WriteFile(OutGif(), photo);  // a picture that happens to be called out.gif
  WriteFile(pictures.File("pic.gif"), photo);
  fs::create_hard_link(OutGif(), pictures.File("hard.jpg"));
  fs::create_symlink(OutGif(), pictures.File("soft.jpg"));

  struct Case {
    std::vector<std::string> files;
    std::string output_file;  // "" for out.gif in the output folder
    std::string listed;       // the entry the message names
  };
  const std::vector<Case> cases = {
      {{Photo(), OutGif()}, "", OutGif()},
      {{out.path() + "/./out.gif"}, "", out.path() + "/./out.gif"},
      {{pictures.File("hard.jpg"), Photo()}, "", pictures.File("hard.jpg")},
      {{Photo(), pictures.File("soft.jpg")}, "", pictures.File("soft.jpg")},
      {{Photo(), pictures.File("pic.gif")}, pictures.File("pic.gif"), pictures.File("pic.gif")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listed);
    host.messages.clear();
    const auto r = Run(c.files, {}, c.output_file);
    EXPECT_FALSE(r.started);
    ASSERT_EQ(host.messages.size(), 1u);
    const std::string& text = host.messages[0].text;
    EXPECT_EQ(host.messages[0].icon, MsgIcon::Exclamation);
    EXPECT_TRUE(Contains(text, c.output_file.empty() ? OutGif() : c.output_file)) << text;
    EXPECT_TRUE(Contains(text, c.listed)) << text;
  }
  EXPECT_EQ(testing::ReadFile(OutGif()), photo);
  EXPECT_EQ(testing::ReadFile(pictures.File("pic.gif")), photo);
  EXPECT_TRUE(host.pointers.empty());
  EXPECT_TRUE(TempIsEmpty());

  // A picture merely called like the output, in another folder, is no obstacle.
  fs::remove(OutGif());
  const auto r = Run({Photo(), pictures.File("pic.gif")}, {}, out.File("pic.gif"));
  EXPECT_TRUE(r.gif_written);
  EXPECT_EQ(testing::ReadFile(pictures.File("pic.gif")), photo);
}

// --- Files that are not pictures, and names the system refuses -------------------------------

TEST_F(HostileInputTest, ANamedPipeAmongThePicturesIsRefusedWithoutHanging) {
  testing::FifoGuard fifo(pictures.File("pipe.jpg"));
  ASSERT_TRUE(fifo.made());
  // Second in the list, the read-ahead worker meets it while the first picture is written.
  auto r = Run({Photo(), fifo.path(), Photo()});
  EXPECT_TRUE(r.gif_written);
  const auto texts = host.MessageTexts();
  ASSERT_FALSE(texts.empty());
  EXPECT_TRUE(Contains(texts[0], "Cannot read " + fifo.path() + ": it is a named pipe"))
      << texts[0];
  EXPECT_EQ(gif.FramesCount(), 1);
  EXPECT_EQ(texts.back(), "Done.");

  host.messages.clear();
  r = Run({fifo.path(), Photo()});
  EXPECT_FALSE(r.gif_written);
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_TRUE(Contains(host.messages[0].text, fifo.path())) << host.messages[0].text;
  // The outcome, naming the picture again.
  EXPECT_EQ(host.messages[1].text.rfind("Unexpected error creating GIF file.\r\n", 0), 0u);
  EXPECT_TRUE(Contains(host.messages[1].text, fifo.path())) << host.messages[1].text;
  EXPECT_EQ(fifo.readers_seen(), 0);
  EXPECT_TRUE(TempIsEmpty());
}

TEST_F(HostileInputTest, ATooLongNameIsReportedAsTooLongNotAsPermissionDenied) {
  const std::string name = pictures.File(std::string(300, 'x') + ".jpg");
  const auto r = Run({name});
  EXPECT_FALSE(r.gif_written);
  ASSERT_FALSE(host.messages.empty());
  const std::string& report = host.messages[0].text;
  EXPECT_TRUE(Contains(report, "Cannot read " + name + ": File name too long")) << report;
  EXPECT_FALSE(Contains(report, "Permission denied")) << report;
  EXPECT_TRUE(TempIsEmpty());
}

// --- Pictures of extreme shapes -----------------------------------------------------------------

TEST_F(HostileInputTest, AThinStripAmongPhotosIsFittedAsALineNotABlackFrame) {
  WriteFile(pictures.File("wide.bmp"), testing::MakeBmp(640, 480, 24, 0));
  WriteFile(pictures.File("strip.bmp"), testing::MakeBmp(1, 20000, 24, 0, -1, 90));
  ConversionOptions options;
  options.dither_mode = 0;
  const auto r = Run({pictures.File("wide.bmp"), pictures.File("strip.bmp")}, options);
  ASSERT_TRUE(r.gif_written);
  const auto g = testing::DecodeFileWithGiflib(OutGif());
  ASSERT_TRUE(g.ok);
  ASSERT_EQ(g.frames.size(), 2u);
  const auto& f = g.frames[1];
  ASSERT_EQ(f.width, 640);
  ASSERT_EQ(f.height, 480);
  auto lit = [&](int x, int y) {
    const int i = f.indices[size_t(y) * 640 + size_t(x)];
    return g.global_rgb[3 * i] + g.global_rgb[3 * i + 1] + g.global_rgb[3 * i + 2] > 0;
  };
  int lit_line = 0, lit_elsewhere = 0;
  for (int y = 0; y < 480; ++y) {
    lit_line += lit(319, y);
    lit_elsewhere += lit(318, y) + lit(320, y) + lit(0, y) + lit(639, y);
  }
  EXPECT_GT(lit_line, 240) << "the strip is a one-pixel line in the middle";
  EXPECT_EQ(lit_elsewhere, 0);
}

// --- Interruptions ----------------------------------------------------------------------------

struct CancelCase {
  const char* name;
  int stage;  // 1 writing the video, 2 importing it, 3 saving the GIF
  int yield;  // the yield of that stage after which the request comes
  bool keep_temp;
};

class CancelTest : public HostileInputTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CancelTest, ACancelledRunRemovesEverythingItMadeKeepsTheOldGifAndSaysCancelled) {
  WriteFile(OutGif(), {'o', 'l', 'd'});
  ConversionOptions options;
  options.keep_temp = GetParam().keep_temp;
  host.hook_stage = GetParam().stage;
  host.hook_yield = GetParam().yield;
  std::string temp_during_run;
  host.hook = [&] {
    temp_during_run = FolderEntries(temp.path()).empty() ? "" : FolderEntries(temp.path())[0];
    RequestCancel();
  };
  const auto r = Run(std::vector<std::string>(4, Photo()), options);
  EXPECT_TRUE(host.hook == nullptr) << "the request was made";
  EXPECT_FALSE(temp_during_run.empty());
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(r.gif_written);
  EXPECT_TRUE(r.temp_folder.empty());
  EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Cancelled."});
  EXPECT_EQ(host.messages[0].icon, MsgIcon::None);
  EXPECT_EQ(testing::ReadFile(OutGif()), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(FolderEntries(out.path()), std::vector<std::string>{"out.gif"}) << "no new file left";
  EXPECT_TRUE(TempIsEmpty());
  EXPECT_EQ(host.pointers.back(), kPointerDefault);
  EXPECT_EQ(host.progress_value, 0);
  if (GetParam().stage < 3) {
    EXPECT_EQ(host.stage, GetParam().stage) << "no later stage ran";
  }

  // The next run is not affected by the request.
  host.messages.clear();
  EXPECT_TRUE(Run({Photo()}).gif_written);
  EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Done."});
}

INSTANTIATE_TEST_SUITE_P(Stages, CancelTest,
                         ::testing::Values(CancelCase{"WritingTheVideo", 1, 2, false},
                                           CancelCase{"WritingTheVideoKeepingTemp", 1, 1, true},
                                           CancelCase{"ImportingTheVideo", 2, 2, false},
                                           CancelCase{"SavingTheGif", 3, 3, false},
                                           CancelCase{"SavingTheLastFrame", 3, 4, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileInputTest, ACancelBeforeTheRunChangesAnythingKeepsTheOldGif) {
  WriteFile(OutGif(), {'o', 'l', 'd'});
  RequestCancel();  // e.g. a signal that came before the run started
  auto r = Run({Photo()});
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(r.started);
  EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Cancelled."});
  EXPECT_EQ(testing::ReadFile(OutGif()), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_TRUE(host.pointers.empty());

  // Also when it comes during the first yield, before the old out.gif is deleted.
  host.messages.clear();
  host.yields_in_stage = 0;
  host.hook_stage = 0;
  host.hook_yield = 1;
  host.hook = [] { RequestCancel(); };
  r = Run({Photo()});
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Cancelled."});
  EXPECT_TRUE(FileExists(OutGif()));
  EXPECT_TRUE(TempIsEmpty());
}

// --- Leftovers of earlier runs ----------------------------------------------------------------

TEST_F(HostileInputTest, LeftoversOfAKilledRunAreRemovedWhenTheNextOneStarts) {
  std::ifstream pid_max("/proc/sys/kernel/pid_max");
  long dead = 0;
  pid_max >> dead;  // no process has this id
  ASSERT_GT(dead, 0);
  const std::string stale = temp.File("quillomat-" + std::to_string(dead) + "-k1ll3d");
  const std::string alive = temp.File("quillomat-" + std::to_string(::getppid()) + "-al1ve0");
  for (const std::string& folder : {stale, alive}) {
    fs::create_directory(folder);
    WriteFile(folder + "/temp.avi", {'R', 'I', 'F', 'F'});
    WriteFile(folder + "/temp.bmp", {'B', 'M'});
  }
  ASSERT_TRUE(Run({Photo()}).gif_written);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(alive + "/temp.avi"));
  EXPECT_EQ(FolderEntries(temp.path()), std::vector<std::string>{fs::path(alive).filename()});
}

}  // namespace
}  // namespace qm
