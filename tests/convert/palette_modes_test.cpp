// The fitted palette modes end to end: the global and local tables as giflib reads them match
// the frames' indices, every dither mode writes valid indices, runs repeat byte for byte, and the
// command line carries each mode into a file giflib reads.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "convert/driver.h"
#include "tests/convert/convert_support.h"
#include "tests/gif/giflib_support.h"
#include "tests/support/external_tools.h"
#include "tests/support/fake_host.h"

namespace qm {
namespace {

using testing::CorpusPath;
using testing::ScratchDir;

// Small photos of different sizes and colours: the later ones are fitted into the first's size.
std::vector<std::string> Photos() {
  return {CorpusPath("photos/cameras/Canon_40D.jpg"), CorpusPath("photos/cameras/Nikon_D70.jpg"),
          CorpusPath("photos/cameras/Pentax_K10D.jpg"),
          CorpusPath("photos/cameras/Sony_HDR-HC3.jpg")};
}

struct Mode {
  int palette;
  int dither;
  std::string Name() const {
    return std::string(palette == 2 ? "global" : "local") + "/" + std::to_string(dither);
  }
};

std::vector<Mode> FittedModes() {
  std::vector<Mode> modes;
  for (int palette : {2, 3}) {
    for (int dither : {0, 1, 2}) modes.push_back({palette, dither});
  }
  return modes;
}

class PaletteModesTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TEMP", temp.path().c_str(), 1); }
  void TearDown() override { unsetenv("TEMP"); }

  // Converts Photos() with the mode into `gif`; returns the file's bytes.
  std::vector<uint8_t> Convert(const Mode& mode, cGIF& gif) {
    ConversionOptions options;
    options.palette_mode = mode.palette;
    options.dither_mode = mode.dither;
    const auto r = StartConverting(Photos(), "5", out.path() + "/", gif, options);
    EXPECT_TRUE(r.gif_written) << mode.Name();
    EXPECT_EQ(host.MessageTexts().back(), "Done.") << mode.Name();
    return testing::ReadFile(out.File("out.gif"));
  }

  testing::FakeHost host;
  ScopedHost scoped{&host};
  ScratchDir temp;
  ScratchDir out;
};

// The colours of a model table (blue, green, red, 0) as the file holds them (red, green, blue).
std::vector<uint8_t> FileOrder(const uint8_t* table, int entries) {
  std::vector<uint8_t> rgb;
  for (int i = 0; i < entries; ++i)
    rgb.insert(rgb.end(), {table[4 * i + 2], table[4 * i + 1], table[4 * i]});
  return rgb;
}

std::vector<uint8_t> ModelIndices(const cGIF& gif, int16_t frame) {
  auto dib = gif.FrameDIBXOR(frame);
  BitsView view;
  MapDIBBits(view, *dib);
  std::vector<uint8_t> out;
  for (int32_t y = 0; y < dib->Height(); ++y) {
    auto row = view.row(y);
    out.insert(out.end(), row.begin(), row.begin() + dib->Width());
  }
  return out;
}

TEST_F(PaletteModesTest, TheTablesGiflibReadsAreTheOnesTheFramesIndex) {
  for (const Mode& mode : FittedModes()) {
    cGIF gif;
    const std::vector<uint8_t> bytes = Convert(mode, gif);
    const auto g = testing::DecodeWithGiflib(bytes);
    ASSERT_TRUE(g.ok) << mode.Name() << ": giflib error " << g.error;
    ASSERT_EQ(g.frames.size(), Photos().size()) << mode.Name();
    ASSERT_EQ(gif.FramesCount(), int16_t(Photos().size()));
    EXPECT_EQ(g.screen_width, 100);
    EXPECT_EQ(g.screen_height, 68);

    if (mode.palette == 2) {
      // One table, at the top of the file, for every frame.
      ASSERT_TRUE(g.has_global_table) << mode.Name();
      const int entries = gif.GlobalPaletteEntries();
      ASSERT_GT(entries, 16) << mode.Name();
      ASSERT_LE(entries, g.global_table_size);
      EXPECT_EQ(std::vector<uint8_t>(g.global_rgb.begin(), g.global_rgb.begin() + 3 * entries),
                FileOrder(gif.lpGlobalPalette(), entries))
          << mode.Name();
      for (size_t i = 0; i < g.frames.size(); ++i) {
        const auto& f = g.frames[i];
        EXPECT_FALSE(f.has_local_table) << mode.Name() << " frame " << i + 1;
        EXPECT_EQ(f.indices, ModelIndices(gif, int16_t(i + 1))) << mode.Name();
        for (uint8_t index : f.indices) ASSERT_LT(int(index), entries) << mode.Name();
      }
    } else {
      // No global table: every frame brings its own, fitted to it.
      EXPECT_FALSE(g.has_global_table) << mode.Name();
      for (size_t i = 0; i < g.frames.size(); ++i) {
        const auto& f = g.frames[i];
        const int16_t n = int16_t(i + 1);
        ASSERT_TRUE(f.has_local_table) << mode.Name() << " frame " << n;
        const int entries = gif.LocalPaletteEntries(n);
        ASSERT_GT(entries, 16) << mode.Name();
        ASSERT_LE(entries, f.local_table_size);
        EXPECT_EQ(std::vector<uint8_t>(f.local_rgb.begin(), f.local_rgb.begin() + 3 * entries),
                  FileOrder(gif.lpLocalPalette(n), entries))
            << mode.Name() << " frame " << n;
        EXPECT_EQ(f.indices, ModelIndices(gif, n)) << mode.Name();
        for (uint8_t index : f.indices) ASSERT_LT(int(index), entries) << mode.Name();
      }
      EXPECT_NE(g.frames[0].local_rgb, g.frames[1].local_rgb) << "different photos, one palette";
    }
    for (const auto& f : g.frames) {
      EXPECT_EQ(f.delay, 20);
      EXPECT_EQ(f.disposal, 3);
    }
  }
}

TEST_F(PaletteModesTest, EveryRunWritesTheSameBytes) {
  for (const Mode& mode : FittedModes()) {
    cGIF first, second;
    const std::vector<uint8_t> a = Convert(mode, first);
    const std::vector<uint8_t> b = Convert(mode, second);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, b) << mode.Name();
  }
}

// The decoded frames of the fitted modes are far closer to one another's colours than the
// halftone cube's: measured as the PSNR of each mode's pixels against the local diffusion ones.
TEST_F(PaletteModesTest, FittedPalettesKeepTheColoursTheCubeLoses) {
  auto pixels = [](const testing::GiflibResult& g) {
    std::vector<std::vector<uint8_t>> frames;
    for (const auto& f : g.frames) {
      const std::vector<uint8_t>& table = f.has_local_table ? f.local_rgb : g.global_rgb;
      std::vector<uint8_t> rgb;
      for (uint8_t i : f.indices)
        rgb.insert(rgb.end(), table.begin() + 3 * i, table.begin() + 3 * i + 3);
      frames.push_back(std::move(rgb));
    }
    return frames;
  };
  auto psnr = [](const std::vector<std::vector<uint8_t>>& a,
                 const std::vector<std::vector<uint8_t>>& b) {
    double sum = 0;
    size_t n = 0;
    for (size_t f = 0; f < a.size(); ++f) {
      for (size_t i = 0; i < a[f].size(); ++i, ++n) {
        const double d = double(a[f][i]) - double(b[f][i]);
        sum += d * d;
      }
    }
    return 10.0 * std::log10(255.0 * 255.0 * double(n) / std::max(sum, 1.0));
  };
  cGIF gif;
  const auto reference = pixels(testing::DecodeWithGiflib(Convert({3, 0}, gif)));
  cGIF classic_gif;
  const auto r = StartConverting(Photos(), "5", out.path() + "/", classic_gif, {});
  ASSERT_TRUE(r.gif_written);
  const double classic =
      psnr(pixels(testing::DecodeFileWithGiflib(out.File("out.gif"))), reference);
  for (const Mode& mode : {Mode{2, 0}, Mode{2, 2}, Mode{3, 2}}) {
    cGIF fitted;
    const double score = psnr(pixels(testing::DecodeWithGiflib(Convert(mode, fitted))), reference);
    EXPECT_GT(score, classic + 6.0) << mode.Name() << " against the cube's " << classic;
  }
}

// The command line, as a user runs it: each palette and dither mode exits 0 with a file giflib
// reads, the global mode with one table and the local mode with one per frame.
TEST(PaletteModesCli, EachModeConvertsFromTheCommandLine) {
  ScratchDir work;
  std::string pictures;
  for (const std::string& p : Photos()) pictures += " " + testing::ShellQuote(p);
  for (const char* palette : {"global", "local"}) {
    for (const char* dither : {"none", "ordered", "diffusion"}) {
      const std::string args = std::string("--palette ") + palette + " --dither " + dither;
      std::string output;
      const int status =
          testing::RunCommand("cd " + testing::ShellQuote(work.path()) +
                                  " && TEMP=" + testing::ShellQuote(work.path()) + " " +
                                  testing::ShellQuote(QUILLOMAT_CLI) + " --quiet " + args +
                                  " --out m.gif" + pictures + " </dev/null",
                              &output);
      ASSERT_EQ(status, 0) << args << "\n" << output;
      const auto g = testing::DecodeFileWithGiflib(work.File("m.gif"));
      ASSERT_TRUE(g.ok) << args;
      ASSERT_EQ(g.frames.size(), Photos().size()) << args;
      const bool global = std::string(palette) == "global";
      EXPECT_EQ(g.has_global_table, global) << args;
      for (const auto& f : g.frames) EXPECT_EQ(f.has_local_table, !global) << args;
    }
  }
}

}  // namespace
}  // namespace qm
