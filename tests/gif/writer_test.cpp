// cGIF::Save: the bytes of each block, the failures, the progress it reports, and agreement with
// giflib on every file it writes here.
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWEnc.h"
#include "imaging/cDIB.h"
#include "platform/cancel.h"
#include "platform/fs.h"
#include "platform/host.h"
#include "tests/gif/giflib_support.h"
#include "tests/support/fake_host.h"

namespace qm {
namespace {

using Bytes = std::vector<uint8_t>;

class GifWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(tmp_.path().empty()); }
  std::string Path(const std::string& name) const { return JoinPath(tmp_.path(), name); }

  // Saves and returns the file's bytes; fails the test when Save fails.
  Bytes SaveBytes(cGIF& gif, const std::string& name = "out.gif") {
    const std::string p = Path(name);
    EXPECT_TRUE(gif.Save(p));
    return FileExists(p) ? ReadWholeFile(p) : Bytes{};
  }

  PrivateTempFolder tmp_;
};

void FillPalette(uint8_t* bgrx, int entries, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int i = 0; i < entries * 4; ++i) bgrx[i] = uint8_t(rng());
}

void FillFrame(cGIF& gif, int16_t n, const std::vector<uint8_t>& values) {
  auto dib = gif.FrameDIBXOR(n);
  BitsView view;
  MapDIBBits(view, *dib);
  size_t i = 0;
  for (int y = 0; y < dib->Height(); ++y) {
    auto row = view.row(y);
    for (int x = 0; x < dib->Width(); ++x) row[size_t(x)] = values[i++ % values.size()];
  }
}

// One frame as the conversion produces it: 256-entry global table, disposal 3, no transparency.
void MakeConversionLikeFrame(cGIF& gif, int16_t w, int16_t h) {
  gif.FrameInsert(1, w, h);
  gif.SetFrameDisposalMethod(1, 3);
  gif.SetFrameDelay(1, 5);
  gif.SetGlobalPaletteExists(true);
  gif.SetGlobalPaletteEntries(256);
  FillPalette(gif.lpGlobalPalette(), 256, 3);
  FillFrame(gif, 1, {0, 17, 255, 128, 128, 3});
}

Bytes Slice(const Bytes& b, size_t from, size_t n) {
  if (from + n > b.size()) return {};
  return Bytes(b.begin() + from, b.begin() + from + n);
}

TEST_F(GifWriterTest, ConversionLikeFileLayout) {
  cGIF gif;
  MakeConversionLikeFrame(gif, 16, 8);
  Bytes f = SaveBytes(gif);
  ASSERT_GT(f.size(), 820u);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 6), "GIF89a");
  EXPECT_EQ(Slice(f, 6, 7), (Bytes{16, 0, 8, 0, 0xF7, 0, 0}));
  EXPECT_EQ(gif.Screen().Packed, 0xF7);
  // Global table: red, green, blue from the stored blue, green, red, reserved.
  const uint8_t* pal = gif.lpGlobalPalette();
  for (int i : {0, 1, 100, 255}) {
    EXPECT_EQ(f[13 + 3 * i], pal[4 * i + 2]);
    EXPECT_EQ(f[13 + 3 * i + 1], pal[4 * i + 1]);
    EXPECT_EQ(f[13 + 3 * i + 2], pal[4 * i]);
  }
  const Bytes loop = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P',
                      'E',  '2',  '.',  '0', 3,   1,   0,   0,   0};
  EXPECT_EQ(Slice(f, 781, 19), loop);
  EXPECT_EQ(Slice(f, 800, 8), (Bytes{0x21, 0xF9, 0x04, 0x0C, 5, 0, 0, 0}));
  EXPECT_EQ(Slice(f, 808, 10), (Bytes{0x2C, 0, 0, 0, 0, 16, 0, 8, 0, 0x07}));
  EXPECT_EQ(f[818], 8);  // minimum code size
  EXPECT_EQ(f.back(), 0x3B);
  EXPECT_EQ(f[f.size() - 2], 0x00);

  gif.SetGlobalPaletteSorted(true);
  gif.SetAnimationLoops(513);
  Bytes g = SaveBytes(gif, "sorted.gif");
  ASSERT_GT(g.size(), 800u);
  EXPECT_EQ(g[10], 0xFF);
  EXPECT_EQ(Slice(g, 797, 2), (Bytes{0x01, 0x02}));
}

// Without the looping extension the file is the same bytes minus that one block, and giflib
// sees no loop count at all; emptying the animation turns the block back on.
TEST_F(GifWriterTest, LoopingExtensionCanBeLeftOut) {
  cGIF gif;
  MakeConversionLikeFrame(gif, 16, 8);
  gif.FrameInsert(2, 4, 4);
  FillFrame(gif, 2, {1, 2});
  EXPECT_TRUE(gif.LoopingExtension());
  gif.SetAnimationLoops(32767);
  const Bytes with = SaveBytes(gif, "with.gif");
  ASSERT_GT(with.size(), 800u);
  EXPECT_EQ(Slice(with, 797, 2), (Bytes{0xFF, 0x7F}));
  const auto looped = testing::DecodeFileWithGiflib(Path("with.gif"));
  ASSERT_TRUE(looped.ok);
  EXPECT_EQ(looped.loop_count, 32767);

  gif.SetLoopingExtension(false);
  const Bytes without = SaveBytes(gif, "without.gif");
  Bytes expected = with;
  expected.erase(expected.begin() + 781, expected.begin() + 800);
  EXPECT_EQ(without, expected);
  const auto once = testing::DecodeFileWithGiflib(Path("without.gif"));
  ASSERT_TRUE(once.ok);
  EXPECT_EQ(once.loop_count, -1);
  EXPECT_EQ(once.netscape_blocks, 0);
  EXPECT_EQ(once.frames.size(), 2u);

  gif.Destroy();
  EXPECT_TRUE(gif.LoopingExtension());
  EXPECT_EQ(gif.AnimationLoops(), 0);
}

TEST_F(GifWriterTest, GraphicControlBytes) {
  cGIF gif;
  gif.FrameInsert(1, 2, 2);
  gif.FrameInsert(2, 2, 2);
  gif.SetGlobalPaletteExists(true);
  gif.SetGlobalPaletteEntries(256);
  gif.SetFrameUseTransparentColor(1, true);
  gif.SetFrameTransparentColorIndex(1, 7);
  gif.SetFrameDisposalMethod(1, 3);
  gif.SetFrameDelay(1, 10);
  gif.SetFrameTransparentColorIndex(2, 9);  // ignored without transparency
  gif.SetFrameUserInput(2, true);
  gif.SetFrameDisposalMethod(2, 63);  // spills into the reserved bits, still a byte
  gif.SetFrameDelay(2, -1);
  Bytes f = SaveBytes(gif);
  ASSERT_GT(f.size(), 808u);
  EXPECT_EQ(Slice(f, 800, 8), (Bytes{0x21, 0xF9, 0x04, 0x0D, 0x0A, 0x00, 0x07, 0x00}));
  // The second frame's control block follows the first frame's data.
  size_t pos = 818 + 1;
  while (f[pos] != 0) pos += 1 + f[pos];
  EXPECT_EQ(Slice(f, pos + 1, 8), (Bytes{0x21, 0xF9, 0x04, 0xFE, 0xFF, 0xFF, 0x00, 0x00}));
}

TEST_F(GifWriterTest, LocalTableAndInterlaceBits) {
  cGIF gif;
  gif.FrameInsert(1, 5, 5);
  gif.SetLocalPaletteUsed(1, true);
  gif.SetLocalPaletteEntries(1, 16);
  FillPalette(gif.lpLocalPalette(1), 16, 9);
  FillFrame(gif, 1, {0, 15, 3, 7});
  Bytes f = SaveBytes(gif);
  // No global table: header, screen (packed 0), loop block, control block.
  EXPECT_EQ(f[10], 0x00);
  const size_t desc = 6 + 7 + 19 + 8;
  ASSERT_GT(f.size(), desc + 10 + 48 + 1);
  EXPECT_EQ(f[desc], 0x2C);
  EXPECT_EQ(f[desc + 9], 0x83);
  const uint8_t* pal = gif.lpLocalPalette(1);
  EXPECT_EQ(Slice(f, desc + 10, 3), (Bytes{pal[2], pal[1], pal[0]}));
  EXPECT_EQ(Slice(f, desc + 10 + 45, 3), (Bytes{pal[62], pal[61], pal[60]}));
  EXPECT_EQ(f[desc + 10 + 48], 4);

  gif.SetFrameInterlaced(1, true);
  gif.SetLocalPaletteSorted(1, true);
  f = SaveBytes(gif, "i.gif");
  ASSERT_GT(f.size(), desc + 10);
  EXPECT_EQ(f[desc + 9], 0xE3);
  gif.SetLocalPaletteSorted(1, false);
  f = SaveBytes(gif, "i2.gif");
  ASSERT_GT(f.size(), desc + 10);
  EXPECT_EQ(f[desc + 9], 0xC3);

  // The local sort bit is written even without a local table; the global size is repeated.
  gif.SetLocalPaletteUsed(1, false);
  gif.SetLocalPaletteSorted(1, true);
  gif.SetFrameInterlaced(1, false);
  gif.SetGlobalPaletteExists(true);
  gif.SetGlobalPaletteEntries(16);
  f = SaveBytes(gif, "g.gif");
  ASSERT_GT(f.size(), 6 + 7 + 48 + 19 + 8 + 10u);
  EXPECT_EQ(f[6 + 7 + 48 + 19 + 8 + 9], 0x23);
}

TEST_F(GifWriterTest, SmallTablesPadAndKeepCodeSizeTwo) {
  cGIF gif;
  gif.FrameInsert(1, 1, 1);
  gif.SetGlobalPaletteExists(true);
  gif.SetGlobalPaletteEntries(3);
  FillPalette(gif.lpGlobalPalette(), 256, 4);
  Bytes f = SaveBytes(gif);
  ASSERT_GT(f.size(), 26u);
  EXPECT_EQ(f[10], 0x80 | 0x10 | 0x01);
  EXPECT_EQ(Slice(f, 13 + 9, 3), (Bytes{0, 0, 0}));
  EXPECT_NE(Slice(f, 13 + 6, 3), (Bytes{0, 0, 0}));
  const size_t code_size_at = 13 + 12 + 19 + 8 + 10;
  EXPECT_EQ(f[code_size_at], 2);

  cGIF two;
  two.FrameInsert(1, 1, 1);
  two.SetGlobalPaletteExists(true);
  two.SetGlobalPaletteEntries(2);
  f = SaveBytes(two, "two.gif");
  ASSERT_GE(f.size(), 6u);
  EXPECT_EQ(Slice(f, f.size() - 6, 6), (Bytes{0x02, 0x02, 0x44, 0x01, 0x00, 0x3B}));
  EXPECT_EQ(f[10], 0x80);
}

TEST_F(GifWriterTest, EmptiedAnimationIsAGif87aWithoutFrames) {
  cGIF gif;
  MakeConversionLikeFrame(gif, 4, 4);
  gif.Destroy();
  ASSERT_TRUE(gif.GlobalPaletteExists());
  Bytes f = SaveBytes(gif);
  EXPECT_EQ(f,
            (Bytes{'G', 'I', 'F', '8', '7', 'a', 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x3B}));
  // giflib reads the screen and table, then reports only that there is no image.
  auto r = testing::DecodeWithGiflib(f);
  EXPECT_EQ(r.error, D_GIF_ERR_NO_IMAG_DSCR);
  EXPECT_TRUE(r.has_global_table);
  EXPECT_EQ(r.global_table_size, 2);
  EXPECT_EQ(r.frames.size(), 0u);

  gif.SetGlobalPaletteExists(false);
  f = SaveBytes(gif, "none.gif");
  EXPECT_EQ(f, (Bytes{'G', 'I', 'F', '8', '7', 'a', 0, 0, 0, 0, 0, 0, 0, 0x3B}));
}

TEST_F(GifWriterTest, FailuresReturnFalse) {
  const std::string p = Path("bad.gif");
  {
    cGIF never_filled;
    EXPECT_FALSE(never_filled.Save(p));
  }
  {
    cGIF gif;
    gif.FrameInsert(1, 0, 4);  // no pixels
    gif.SetGlobalPaletteExists(true);
    gif.SetGlobalPaletteEntries(2);
    EXPECT_FALSE(gif.Save(p));
  }
  {
    cGIF gif;
    gif.FrameInsert(1, 2, 2);  // neither a local nor a global table
    EXPECT_FALSE(gif.Save(p));
    gif.SetGlobalPaletteExists(true);
    gif.SetGlobalPaletteEntries(257);
    EXPECT_FALSE(gif.Save(p));
    gif.SetGlobalPaletteEntries(256);
    gif.SetLocalPaletteUsed(1, true);
    gif.SetLocalPaletteEntries(1, 300);
    EXPECT_FALSE(gif.Save(p));
    gif.SetLocalPaletteUsed(1, false);
    gif.SetFrameDisposalMethod(1, 64);
    EXPECT_FALSE(gif.Save(p));
    gif.SetFrameDisposalMethod(1, 0);
    EXPECT_TRUE(gif.Save(p));
    EXPECT_FALSE(gif.Save(Path("missing/dir/out.gif")));
    EXPECT_FALSE(gif.Save(""));
  }
  {
    // An index outside a 4-entry table would be written as a control code.
    cGIF gif;
    gif.FrameInsert(1, 3, 3);
    gif.SetGlobalPaletteExists(true);
    gif.SetGlobalPaletteEntries(4);
    FillFrame(gif, 1, {0, 3, 2});
    EXPECT_TRUE(gif.Save(p));
    FillFrame(gif, 1, {0, 3, 4});
    EXPECT_FALSE(gif.Save(p));
  }
  {
    // Frames whose bitmap was replaced by the caller with one GIF cannot describe.
    cGIF gif;
    gif.FrameInsert(1, 2, 2);
    gif.SetGlobalPaletteExists(true);
    gif.FrameDIBXOR(1)->Create(2, 2, 32);
    EXPECT_FALSE(gif.Save(p));
    gif.FrameDIBXOR(1)->Create(40000, 1, 8);
    EXPECT_FALSE(gif.Save(p));
  }
}

TEST_F(GifWriterTest, ReadOnlyFileIsLeftAlone) {
  const std::string p = Path("locked.gif");
  {
    cGIF gif;
    MakeConversionLikeFrame(gif, 2, 2);
    ASSERT_TRUE(gif.Save(p));
  }
  const Bytes before = ReadWholeFile(p);
  ASSERT_EQ(::chmod(p.c_str(), 0444), 0);
  cGIF other;
  MakeConversionLikeFrame(other, 9, 9);
  EXPECT_FALSE(other.Save(p));
  EXPECT_EQ(ReadWholeFile(p), before);
}

TEST_F(GifWriterTest, ProgressAndYieldOncePerFrame) {
  cGIF gif;
  for (int16_t n = 1; n <= 3; ++n) gif.FrameInsert(n, 2, 2);
  gif.SetGlobalPaletteExists(true);
  gif.SetGlobalPaletteEntries(2);
  testing::FakeHost host;
  ScopedHost scope(&host);
  SaveBytes(gif);
  EXPECT_EQ(host.events, (std::vector<std::string>{"max 3", "value 1", "yield", "value 2", "yield",
                                                   "value 3", "yield"}));
}

// --- Agreement with giflib -------------------------------------------------------------------

enum class Content { Random, Flat, LongRuns, Gradient };

struct FrameSpec {
  int16_t w, h, left, top;
  bool interlaced, transparent, user_input, local;
  int local_entries;
  int transparent_index;
  int disposal;
  int16_t delay;
  Content content;
};

struct AnimationSpec {
  int global_entries;  // 0: no global table
  int16_t loops;
  std::vector<FrameSpec> frames;
};

int TableBits(int entries) {
  int n = 1;
  while ((1 << n) < entries) ++n;
  return n;
}

std::vector<uint8_t> MakeIndices(const FrameSpec& s, int colours, std::mt19937& rng) {
  std::vector<uint8_t> v(size_t(s.w) * s.h);
  std::uniform_int_distribution<int> any(0, colours - 1);
  switch (s.content) {
    case Content::Random:
      for (auto& x : v) x = uint8_t(any(rng));
      break;
    case Content::Flat:
      std::fill(v.begin(), v.end(), uint8_t(any(rng)));
      break;
    case Content::LongRuns: {
      size_t i = 0;
      while (i < v.size()) {
        const size_t run = std::uniform_int_distribution<size_t>(1, 400)(rng);
        const uint8_t c = uint8_t(any(rng));
        for (size_t k = 0; k < run && i < v.size(); ++k) v[i++] = c;
      }
      break;
    }
    case Content::Gradient:
      for (size_t i = 0; i < v.size(); ++i)
        v[i] = uint8_t(((i % s.w) + (i / s.w) * 3) % size_t(colours));
      break;
  }
  return v;
}

void CheckAgainstGiflib(const AnimationSpec& anim, const std::string& path, uint32_t seed) {
  std::mt19937 rng(seed);
  cGIF gif;
  std::vector<std::vector<uint8_t>> expected;
  int16_t sw = 1, sh = 1;
  for (size_t i = 0; i < anim.frames.size(); ++i) {
    const FrameSpec& s = anim.frames[i];
    const int16_t n = int16_t(i + 1);
    gif.FrameInsert(n, s.w, s.h);
    gif.SetFrameLeft(n, s.left);
    gif.SetFrameTop(n, s.top);
    gif.SetFrameInterlaced(n, s.interlaced);
    gif.SetFrameUseTransparentColor(n, s.transparent);
    gif.SetFrameTransparentColorIndex(n, s.transparent_index);
    gif.SetFrameUserInput(n, s.user_input);
    gif.SetFrameDisposalMethod(n, s.disposal);
    gif.SetFrameDelay(n, s.delay);
    gif.SetLocalPaletteUsed(n, s.local);
    gif.SetLocalPaletteEntries(n, int16_t(s.local_entries));
    FillPalette(gif.lpLocalPalette(n), 256, seed + n);
    const int entries = s.local ? s.local_entries : anim.global_entries;
    const int colours = 1 << std::max(2, TableBits(entries));
    expected.push_back(MakeIndices(s, std::min(colours, 256), rng));
    FillFrame(gif, n, expected.back());
    sw = std::max<int16_t>(sw, int16_t(s.left + s.w));
    sh = std::max<int16_t>(sh, int16_t(s.top + s.h));
  }
  gif.SetScreenWidth(sw);
  gif.SetScreenHeight(sh);
  gif.SetAnimationLoops(anim.loops);
  gif.SetGlobalPaletteExists(anim.global_entries > 0);
  gif.SetGlobalPaletteEntries(int16_t(anim.global_entries));
  FillPalette(gif.lpGlobalPalette(), 256, seed);
  ASSERT_TRUE(gif.Save(path));

  const testing::GiflibResult r = testing::DecodeFileWithGiflib(path);
  ASSERT_TRUE(r.ok) << "giflib error " << r.error;
  EXPECT_EQ(r.version, "89a");
  EXPECT_EQ(r.screen_width, sw);
  EXPECT_EQ(r.screen_height, sh);
  EXPECT_EQ(r.loop_count, anim.loops);
  EXPECT_EQ(r.netscape_blocks, 1);
  EXPECT_EQ(r.has_global_table, anim.global_entries > 0);
  if (anim.global_entries > 0) {
    ASSERT_EQ(r.global_table_size, 1 << TableBits(anim.global_entries));
    for (int i = 0; i < r.global_table_size; ++i) {
      const uint8_t* p = gif.lpGlobalPalette() + 4 * i;
      const bool used = i < anim.global_entries;
      ASSERT_EQ(r.global_rgb[3 * i], used ? p[2] : 0) << i;
      ASSERT_EQ(r.global_rgb[3 * i + 1], used ? p[1] : 0) << i;
      ASSERT_EQ(r.global_rgb[3 * i + 2], used ? p[0] : 0) << i;
    }
  }
  ASSERT_EQ(r.frames.size(), anim.frames.size());
  for (size_t i = 0; i < anim.frames.size(); ++i) {
    const FrameSpec& s = anim.frames[i];
    const testing::GiflibFrame& g = r.frames[i];
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    EXPECT_EQ(g.left, s.left);
    EXPECT_EQ(g.top, s.top);
    EXPECT_EQ(g.width, s.w);
    EXPECT_EQ(g.height, s.h);
    EXPECT_EQ(g.interlaced, s.interlaced);
    EXPECT_TRUE(g.has_control);
    EXPECT_EQ(g.delay, s.delay);
    EXPECT_EQ(g.disposal, s.disposal);
    EXPECT_EQ(g.user_input, s.user_input);
    EXPECT_EQ(g.transparent, s.transparent ? s.transparent_index : -1);
    EXPECT_EQ(g.has_local_table, s.local);
    if (s.local) {
      ASSERT_EQ(g.local_table_size, 1 << TableBits(s.local_entries));
      const uint8_t* p = gif.lpLocalPalette(int16_t(i + 1));
      EXPECT_EQ(g.local_rgb[0], p[2]);
      EXPECT_EQ(g.local_rgb[2], p[0]);
    }
    EXPECT_TRUE(g.indices == expected[i]) << "raw indices differ";
  }
}

TEST_F(GifWriterTest, GiflibAgreesOnHandPickedAnimations) {
  const std::vector<AnimationSpec> specs = {
      // The conversion's shape: big frames, 256 colours, disposal 3, forever.
      {256,
       0,
       {{321, 203, 0, 0, false, false, false, false, 0, 0, 3, 4, Content::Random},
        {321, 203, 0, 0, false, false, false, false, 0, 0, 3, 4, Content::Gradient}}},
      // Tiny interlaced frames of every height from 1 to 9.
      {4,
       3,
       {{1, 1, 0, 0, true, false, false, false, 0, 0, 0, 1, Content::Random},
        {2, 2, 1, 0, true, false, false, false, 0, 0, 1, 2, Content::Random},
        {3, 3, 0, 1, true, true, false, false, 0, 2, 2, 3, Content::Random},
        {5, 4, 0, 0, true, false, true, false, 0, 0, 0, 4, Content::Random},
        {7, 5, 2, 2, true, false, false, true, 8, 0, 1, 5, Content::Random},
        {9, 9, 0, 0, true, true, false, true, 2, 1, 2, 6, Content::Random}}},
      // Local tables of 1 to 256 entries, transparency, every disposal, odd widths.
      {0,
       65535 % 32768,
       {{33, 17, 0, 0, false, true, false, true, 1, 0, 0, 10, Content::Flat},
        {31, 3, 5, 5, false, false, false, true, 3, 0, 1, 20, Content::Random},
        {17, 13, 1, 2, true, true, true, true, 5, 4, 2, 0, Content::LongRuns},
        {255, 2, 0, 0, false, true, false, true, 129, 128, 3, 7, Content::Random},
        {8, 8, 0, 0, false, false, false, true, 256, 0, 4, 1000, Content::Random},
        {3, 40, 0, 0, false, true, false, true, 16, 15, 7, 1, Content::Random}}},
      // Long runs and flat frames that fill the table and clear many times.
      {256,
       1,
       {{640, 480, 0, 0, false, false, false, false, 0, 0, 0, 2, Content::LongRuns},
        {640, 480, 0, 0, true, false, false, false, 0, 0, 0, 2, Content::Flat},
        {511, 301, 7, 9, false, true, false, false, 0, 255, 1, 2, Content::Random}}},
  };
  for (size_t i = 0; i < specs.size(); ++i) {
    SCOPED_TRACE("anim " + std::to_string(i));
    CheckAgainstGiflib(specs[i], Path("agree" + std::to_string(i) + ".gif"), uint32_t(100 + i));
  }
}

TEST_F(GifWriterTest, GiflibAgreesOnRandomAnimations) {
  std::mt19937 rng(20240607);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int round = 0; round < 60; ++round) {
    AnimationSpec anim;
    anim.global_entries = pick(0, 1) ? pick(1, 256) : 0;
    anim.loops = int16_t(pick(0, 3) == 0 ? pick(0, 32767) : 0);
    const int frames = pick(1, 4);
    for (int n = 0; n < frames; ++n) {
      FrameSpec s{};
      s.w = int16_t(pick(0, 3) == 0 ? pick(1, 4) : pick(1, 300));
      s.h = int16_t(pick(0, 3) == 0 ? pick(1, 4) : pick(1, 200));
      s.left = int16_t(pick(0, 20));
      s.top = int16_t(pick(0, 20));
      s.interlaced = pick(0, 1);
      s.local = anim.global_entries == 0 || pick(0, 2) == 0;
      s.local_entries = pick(1, 256);
      const int entries = s.local ? s.local_entries : anim.global_entries;
      s.transparent = pick(0, 1);
      s.transparent_index = pick(0, (1 << TableBits(entries)) - 1);
      s.user_input = pick(0, 4) == 0;
      s.disposal = pick(0, 7);
      s.delay = int16_t(pick(0, 32767));
      s.content = Content(pick(0, 3));
      anim.frames.push_back(s);
    }
    SCOPED_TRACE("round " + std::to_string(round));
    CheckAgainstGiflib(anim, Path("random.gif"), uint32_t(round));
    if (HasFatalFailure()) return;
  }
}

// --- Many frames: order and content -----------------------------------------------------------

// Walks a file this writer made and returns each frame's image data (the sub-blocks between the
// code-size byte and the terminator) in file order; empty when the layout is not the expected one.
std::vector<Bytes> ImageDataBlocks(const Bytes& f) {
  std::vector<Bytes> frames;
  size_t p = 13;
  if (f.size() < p) return {};
  if (f[10] & 0x80) p += size_t(3) << ((f[10] & 7) + 1);
  while (p < f.size() && f[p] == 0x21) {  // extensions
    p += 2;
    while (p < f.size() && f[p] != 0) p += size_t(f[p]) + 1;
    ++p;
    if (p < f.size() && f[p] == 0x2C) {
      const uint8_t packed = p + 9 < f.size() ? f[p + 9] : 0;
      p += 10;
      if (packed & 0x80) p += size_t(3) << ((packed & 7) + 1);
      ++p;  // code size
      const size_t start = p;
      while (p < f.size() && f[p] != 0) p += size_t(f[p]) + 1;
      if (p >= f.size()) return {};
      frames.emplace_back(f.begin() + ptrdiff_t(start), f.begin() + ptrdiff_t(p));
      ++p;
    }
  }
  if (p + 1 != f.size() || f[p] != 0x3B) return {};
  return frames;
}

TEST_F(GifWriterTest, ManyFramesOfDifferentSizesKeepTheirOrder) {
  cGIF gif;
  std::mt19937 rng(77);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  constexpr int16_t kFrames = 37;
  gif.SetGlobalPaletteExists(true);
  gif.SetGlobalPaletteEntries(256);
  FillPalette(gif.lpGlobalPalette(), 256, 5);
  std::vector<int> code_sizes;
  for (int16_t n = 1; n <= kFrames; ++n) {
    // Big and tiny frames alternate so later frames finish encoding before earlier ones.
    const int16_t w = int16_t(n % 3 == 0 ? pick(1, 9) : pick(200, 700));
    const int16_t h = int16_t(n % 3 == 0 ? pick(1, 9) : pick(100, 500));
    gif.FrameInsert(n, w, h);
    int entries = 256;
    if (n % 4 == 1) {
      entries = pick(1, 256);
      gif.SetLocalPaletteUsed(n, true);
      gif.SetLocalPaletteEntries(n, int16_t(entries));
      FillPalette(gif.lpLocalPalette(n), entries, uint32_t(n));
    }
    gif.SetFrameInterlaced(n, n % 5 == 0);
    std::vector<uint8_t> values(size_t(pick(1, 5000)));
    for (auto& v : values) v = uint8_t(pick(0, entries - 1) / pick(1, 8));
    FillFrame(gif, n, values);
    code_sizes.push_back(std::max(2, TableBits(entries)));
  }
  testing::FakeHost host;
  ScopedHost scope(&host);
  const Bytes f = SaveBytes(gif);
  const std::vector<Bytes> blocks = ImageDataBlocks(f);
  ASSERT_EQ(blocks.size(), size_t(kFrames));
  for (int16_t n = 1; n <= kFrames; ++n) {
    MemoryGifOutput expected;
    EncodeImage(expected, gif.Frame(n), uint8_t(code_sizes[size_t(n) - 1] + 1),
                gif.FrameInterlaced(n));
    EXPECT_TRUE(blocks[size_t(n) - 1] == expected.bytes) << "frame " << n;
  }
  ASSERT_EQ(host.events.size(), size_t(1 + 2 * kFrames));
  for (int16_t n = 1; n <= kFrames; ++n)
    EXPECT_EQ(host.events[size_t(2 * n) - 1], "value " + std::to_string(n));
}

TEST_F(GifWriterTest, LateBadFrameStopsAtItsOwnTurn) {
  // Frames after the bad one may already be encoding; the failure still comes at the bad
  // frame's turn, after the progress for it and for nothing beyond it.
  for (int16_t bad : {1, 2, 9, 20}) {
    SCOPED_TRACE("bad frame " + std::to_string(bad));
    cGIF gif;
    gif.SetGlobalPaletteExists(true);
    gif.SetGlobalPaletteEntries(4);
    for (int16_t n = 1; n <= 20; ++n) {
      gif.FrameInsert(n, int16_t(50 + n * 7), int16_t(40 + n));
      FillFrame(gif, n, {0, 1, 2, 3, 3, uint8_t(n == bad ? 4 : 2)});
    }
    testing::FakeHost host;
    ScopedHost scope(&host);
    EXPECT_FALSE(gif.Save(Path("bad.gif")));
    ASSERT_EQ(host.events.size(), size_t(1 + 2 * bad));
    EXPECT_EQ(host.events.back(), "yield");
    EXPECT_EQ(host.events[host.events.size() - 2], "value " + std::to_string(bad));
  }
}

// --- At the limits ---------------------------------------------------------------------------

TEST_F(GifWriterTest, TheLargestAnimationsSaveWithoutTheFrameCounterWrapping) {
  // A 16-bit frame counter wrapped after frame 32767 and read far outside the frame store.
  for (const int32_t count : {kMaxGifFrames - 1, kMaxGifFrames}) {
    SCOPED_TRACE(std::to_string(count) + " frames");
    cGIF gif;
    gif.SetGlobalPaletteExists(true);
    gif.SetGlobalPaletteEntries(4);
    for (int32_t n = 1; n <= count; ++n) {
      gif.FrameInsert(int16_t(n), 1, 1);
      gif.FrameDIBXOR(int16_t(n))->lpBits()[0] = uint8_t(n % 4);
    }
    testing::FakeHost host;
    ScopedHost scope(&host);
    const std::string path = Path("many.gif");
    ASSERT_TRUE(gif.Save(path));
    EXPECT_EQ(host.events.front(), "max " + std::to_string(count));
    EXPECT_EQ(host.progress_value, count);
    const auto g = testing::DecodeFileWithGiflib(path);
    ASSERT_TRUE(g.ok) << g.error;
    ASSERT_EQ(g.frames.size(), size_t(count));
    bool indices_in_order = true;
    for (int32_t n = 1; n <= count; ++n) {
      const auto& indices = g.frames[size_t(n) - 1].indices;
      indices_in_order &= indices.size() == 1 && indices[0] == n % 4;
    }
    EXPECT_TRUE(indices_in_order);
  }
}

TEST_F(GifWriterTest, ACancelRequestStopsTheSaveAtTheNextFrame) {
  struct CancellingHost : testing::FakeHost {
    void Yield() override {
      FakeHost::Yield();
      if (yields == 3) RequestCancel();
    }
  } host;
  ScopedHost scope(&host);
  cGIF gif;
  gif.SetGlobalPaletteExists(true);
  gif.SetGlobalPaletteEntries(4);
  for (int16_t n = 1; n <= 10; ++n) gif.FrameInsert(n, 30, 20);
  EXPECT_FALSE(gif.Save(Path("cancelled.gif")));
  EXPECT_TRUE(CancelRequested());
  ResetCancel();
  EXPECT_EQ(host.events.back(), "yield");
  EXPECT_EQ(host.progress_value, 3);
  // Without the request the same animation saves.
  EXPECT_TRUE(gif.Save(Path("whole.gif")));
}

}  // namespace
}  // namespace qm
