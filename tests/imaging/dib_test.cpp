#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "imaging/cDIB.h"
#include "platform/bmp.h"
#include "platform/fs.h"
#include "tests/support/error_of.h"

namespace qm {
namespace {

using testing::ErrorOf;

void ExpectEmpty(const cDIB& d) {
  EXPECT_EQ(d.hDC(), nullptr);
  EXPECT_EQ(d.hDIB(), nullptr);
  EXPECT_EQ(d.lpBits(), nullptr);
  EXPECT_EQ(d.Width(), 0);
  EXPECT_EQ(d.Height(), 0);
  EXPECT_EQ(d.BPP(), 0);
  EXPECT_EQ(d.BytesPerScanline(), 0);
  EXPECT_EQ(d.Size(), 0);
}

uint32_t Pixel(const cDIB& d, int x, int y) {
  PixelView v;
  MapDIBPixels(v, d);
  const Pixel32 p = v(x, y);
  return (uint32_t(p.red) << 16) | (p.green << 8) | p.blue;
}

TEST(DibCreateTest, Geometry) {
  cDIB d;
  ASSERT_TRUE(d.Create(50, 38, 8));
  EXPECT_EQ(d.BytesPerScanline(), 52);
  EXPECT_EQ(d.Size(), 1976);
  EXPECT_EQ(d.Header().height, -38);
  EXPECT_EQ(d.Header().bit_count, 8);
  EXPECT_EQ(d.Header().size, 40u);
  std::vector<uint8_t> pal;
  d.GetPalette(pal);
  EXPECT_EQ(pal, std::vector<uint8_t>(1024, 0));
  // Row 0 in memory is the top of the picture.
  d.Cls(0xFFFFFF);  // white is not in the all-black table: stays index 0
  d.lpBits()[0] = 7;
  cDIB top;
  top.Create(1, 1, 8);
  top.LoadBlt(d.hDC(), 0, 0);
  EXPECT_EQ(top.lpBits()[0], 7);

  struct {
    int w, h, bpp, stride;
  } cases[] = {{1, 1, 32, 4},    {1, 1, 1, 4},  {33, 1, 1, 8},
               {50, 2, 32, 200}, {50, 2, 1, 8}, {3, 1, 24, 12}};
  for (const auto& c : cases) {
    cDIB e;
    ASSERT_TRUE(e.Create(c.w, c.h, c.bpp));
    EXPECT_EQ(e.BytesPerScanline(), c.stride) << c.w << "x" << c.bpp;
    EXPECT_EQ(e.Size(), c.stride * c.h);
    EXPECT_NE(e.hDC(), nullptr);
    EXPECT_EQ(e.hDC()->selected(), e.hDIB());
  }
}

TEST(DibCreateTest, RefusalsAndOverflow) {
  cDIB d;
  ASSERT_TRUE(d.Create(4, 4, 8));
  for (int bpp : {2, 0, -1, 65537}) {
    EXPECT_FALSE(d.Create(10, 10, bpp)) << bpp;
    ExpectEmpty(d);
  }
  // Sizes of 0 or below are refused, so no bitmap carries a negative height or size.
  for (auto [w, h] : {std::pair{0, 10}, {10, 0}, {10, -5}, {-10, 5}}) {
    EXPECT_FALSE(d.Create(w, h, 32)) << w << "x" << h;
    ExpectEmpty(d);
  }
  cDIB target;
  d.CloneTo(target);
  ExpectEmpty(target);
  ASSERT_TRUE(d.Create(4, 4, 8));
  EXPECT_EQ(ErrorOf([&] { d.Create(100000, 100000, 32); }), kErrOverflow);
  ExpectEmpty(d);
  EXPECT_EQ(ErrorOf([&] { d.Create(INT32_MAX, 1, 8); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([&] { d.Create(1, INT32_MIN, 8); }), kErrOverflow);
  ExpectEmpty(d);
  cDIB never_created;  // released without harm at the end of the scope
  never_created.Destroy();
  ExpectEmpty(never_created);
}

TEST(DibViewTest, BoundsAndLayout) {
  cDIB d;
  d.Create(5, 3, 8);
  BitsView bits;
  MapDIBBits(bits, d);
  EXPECT_EQ(bits.columns(), 8);
  EXPECT_EQ(bits.rows(), 3);
  bits(6, 2) = 9;  // a fill byte is addressable
  EXPECT_EQ(d.lpBits()[2 * 8 + 6], 9);
  EXPECT_EQ(bits.row(2).size(), 8u);
  for (auto [c, r] : {std::pair{8, 0}, {-1, 0}, {0, 3}, {0, -1}})
    EXPECT_EQ(ErrorOf([&] { bits(c, r); }), kErrSubscript) << c << "," << r;
  EXPECT_EQ(ErrorOf([&] { bits.row(3); }), kErrSubscript);

  PixelView px;
  MapDIBPixels(px, d);  // not 32 bits: empty view
  EXPECT_FALSE(px.attached());
  EXPECT_EQ(ErrorOf([&] { px(0, 0); }), kErrSubscript);
  cDIB c;
  c.Create(3, 2, 32);
  MapDIBPixels(px, c);
  px(2, 1).red = 200;
  EXPECT_EQ(c.lpBits()[(1 * 3 + 2) * 4 + 2], 200);
  EXPECT_EQ(ErrorOf([&] { px(3, 0); }), kErrSubscript);
  px.Detach();
  EXPECT_EQ(ErrorOf([&] { px(0, 0); }), kErrSubscript);
  cDIB empty;
  MapDIBBits(bits, empty);
  EXPECT_EQ(ErrorOf([&] { bits(0, 0); }), kErrSubscript);
}

TEST(DibBestFitTest, SmallFitsLargeShrinksHalvesToEven) {
  struct {
    int w, h;
    bool stretch;
    int x, y, bw, bh;
  } cases[] = {{40, 30, false, 5, 10, 40, 30},  {40, 30, true, 0, 6, 50, 38},
               {640, 480, false, 0, 6, 50, 38}, {100, 100, false, 0, 0, 50, 50},
               {30, 40, true, 6, 0, 38, 50},    {50, 10, false, 0, 20, 50, 10}};
  for (const auto& c : cases) {
    cDIB d;
    ASSERT_TRUE(d.Create(c.w, c.h, 1));
    int32_t x = -1, y = -1, bw = -1, bh = -1;
    d.GetBestFitInfo(50, 50, x, y, bw, bh, c.stretch);
    EXPECT_EQ((std::vector<int>{x, y, bw, bh}), (std::vector<int>{c.x, c.y, c.bw, c.bh}))
        << c.w << "x" << c.h << (c.stretch ? " stretched" : "");
  }
  cDIB empty;
  int32_t x = -1, y = -1, bw = -1, bh = -1;
  empty.GetBestFitInfo(50, 50, x, y, bw, bh, true);
  EXPECT_EQ(x + y + bw + bh, -4);
}

TEST(DibBestFitTest, AThinStripKeepsOnePixelInsteadOfVanishing) {
  struct {
    int w, h, box_w, box_h;
    bool stretch;
    int x, y, bw, bh;
  } cases[] = {{1, 20000, 640, 480, true, 319, 0, 1, 480},
               {20000, 1, 640, 480, true, 0, 239, 640, 1},
               {3, 20000, 640, 480, false, 319, 0, 1, 480},  // 0.07 rounds to 0
               {2, 200, 50, 50, false, 24, 0, 1, 50},        // 0.5 rounds to the even 0
               {3, 200, 50, 50, false, 24, 0, 1, 50}};       // 0.75 is 1 already
  for (const auto& c : cases) {
    cDIB d;
    ASSERT_TRUE(d.Create(c.w, c.h, 1));
    int32_t x = -1, y = -1, bw = -1, bh = -1;
    d.GetBestFitInfo(c.box_w, c.box_h, x, y, bw, bh, c.stretch);
    EXPECT_EQ((std::vector<int>{x, y, bw, bh}), (std::vector<int>{c.x, c.y, c.bw, c.bh}))
        << c.w << "x" << c.h << " in " << c.box_w << "x" << c.box_h;
  }
}

TEST(DibCopyTest, CloneToCopiesPaletteAndBytes) {
  cDIB d;
  d.Create(7, 3, 8);
  std::vector<uint8_t> pal(1024);
  for (size_t i = 0; i < pal.size(); ++i) pal[i] = uint8_t(i * 7);
  d.SetPalette(pal);
  for (int i = 0; i < d.Size(); ++i) d.lpBits()[i] = uint8_t(i);
  cDIB copy;
  copy.Create(2, 2, 32);
  d.CloneTo(copy);
  EXPECT_EQ(copy.BPP(), 8);
  EXPECT_EQ(std::vector<uint8_t>(copy.lpBits(), copy.lpBits() + copy.Size()),
            std::vector<uint8_t>(d.lpBits(), d.lpBits() + d.Size()));
  std::vector<uint8_t> got;
  copy.GetPalette(got);
  // The reserved byte of each entry is kept as given.
  EXPECT_EQ(got, pal);
  d.CloneTo(d);  // cloning onto itself must not destroy the source
  EXPECT_EQ(d.Width(), 7);
  cDIB empty;
  empty.CloneTo(copy);  // target cannot be made: nothing copied, nothing crashes
  ExpectEmpty(copy);
}

TEST(DibCopyTest, PaletteAccessors) {
  cDIB d;
  d.Create(2, 2, 8);
  d.SetPalette(std::vector<uint8_t>{1, 2, 3, 0, 4, 5, 6, 0, 9});  // 2 whole entries
  std::vector<uint8_t> pal;
  d.GetPalette(pal);
  ASSERT_EQ(pal.size(), 1024u);
  EXPECT_EQ(std::vector<uint8_t>(pal.begin(), pal.begin() + 9),
            (std::vector<uint8_t>{1, 2, 3, 0, 4, 5, 6, 0, 0}));
  d.Create(2, 2, 1);
  d.GetPalette(pal);
  EXPECT_EQ(pal.size(), 8u);
  d.Create(2, 2, 32);
  pal = {42};
  d.SetPalette(std::vector<uint8_t>(1024, 255));
  d.GetPalette(pal);
  EXPECT_EQ(pal, std::vector<uint8_t>{42});
  EXPECT_EQ(d.lpBits()[0], 0);
}

TEST(DibDrawTest, MaskFromEightBitFrameAndCls) {
  cDIB frame, mask;
  frame.Create(19, 4, 8);
  std::vector<uint8_t> pal(1024, 0);
  pal[5 * 4] = pal[5 * 4 + 1] = pal[5 * 4 + 2] = 255;
  frame.SetPalette(pal);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 19; ++x) frame.lpBits()[y * 20 + x] = uint8_t((x + 2 * y) % 7);
  mask.Create(19, 4, 1);
  mask.SetPalette(std::vector<uint8_t>{0, 0, 0, 0, 255, 255, 255, 0});
  EXPECT_NE(mask.LoadBlt(frame.hDC()), 0);
  BitsView bits;
  MapDIBBits(bits, mask);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 19; ++x)
      EXPECT_EQ((bits(x / 8, y) >> (7 - x % 8)) & 1, (x + 2 * y) % 7 == 5 ? 1 : 0);

  frame.Cls(0xFAFFFF);  // nearest table entry: the white one
  EXPECT_EQ(frame.lpBits()[0], 5);
  EXPECT_EQ(frame.lpBits()[3 * 20 + 18], 5);
  EXPECT_EQ(frame.lpBits()[3 * 20 + 19], 0);  // fill bytes untouched
  cDIB rgb;
  rgb.Create(2, 2, 32);
  rgb.Cls(0x0000FF);  // red
  EXPECT_EQ(Pixel(rgb, 1, 1), 0xFF0000u);
  rgb.Cls(0x80000005);  // a system colour: window background, white
  EXPECT_EQ(Pixel(rgb, 0, 0), 0xFFFFFFu);
  cDIB empty;
  empty.Cls(0);
  EXPECT_EQ(empty.LoadBlt(frame.hDC()), 0);
  EXPECT_EQ(empty.Stretch(rgb.hDC(), 0, 0, 1, 1), 0);
}

TEST(DibDrawTest, StretchRestoresModeAndResizeKeepsPixels) {
  cDIB d;
  d.Create(2, 2, 32);
  PixelView v;
  MapDIBPixels(v, d);
  v(0, 0) = {1, 2, 3, 0};
  v(1, 0) = {4, 5, 6, 0};
  v(0, 1) = {7, 8, 9, 0};
  v(1, 1) = {10, 11, 12, 0};
  v.Detach();
  cDIB target;
  target.Create(4, 4, 32);
  target.hDC()->SetStretchMode(gdi::kWhiteOnBlack);
  EXPECT_NE(d.Stretch(target.hDC(), 0, 0, 4, 4), 0);
  EXPECT_EQ(target.hDC()->stretch_mode(), gdi::kWhiteOnBlack);
  EXPECT_EQ(Pixel(target, 3, 3), 0x0C0B0Au);
  EXPECT_EQ(Pixel(target, 1, 2), 0x090807u);

  cDIB grown;
  d.CloneTo(grown);
  grown.Resize(3, 3, false);
  EXPECT_EQ(grown.Width(), 3);
  EXPECT_EQ(Pixel(grown, 1, 1), 0x0C0B0Au);
  EXPECT_EQ(Pixel(grown, 2, 2), 0u);
  EXPECT_EQ(Pixel(grown, 2, 0), 0u);
  d.Resize(4, 2, true);
  EXPECT_EQ(d.Width(), 4);
  EXPECT_EQ(Pixel(d, 1, 0), 0x030201u);
  EXPECT_EQ(Pixel(d, 2, 1), 0x0C0B0Au);
  d.Resize(0, 5, true);  // cannot be made: the bitmap stays as it was
  EXPECT_EQ(d.Width(), 4);
  EXPECT_EQ(Pixel(d, 3, 1), 0x0C0B0Au);

  cDIB pal;
  pal.Create(2, 1, 8);
  pal.SetPalette(std::vector<uint8_t>{0, 0, 0, 0, 9, 9, 9, 0, 9, 9, 9, 0});
  pal.lpBits()[0] = 2;  // an index that a nearest-colour mapping would turn into 1
  pal.Resize(3, 2, true);
  EXPECT_EQ(pal.lpBits()[0], 2);
  EXPECT_EQ(pal.lpBits()[1], 2);
  std::vector<uint8_t> p;
  pal.GetPalette(p);
  EXPECT_EQ(p[8], 9);
}

TEST(DibPictureTest, PictureRoundTrip) {
  cDIB d;
  d.Create(3, 2, 8);
  std::vector<uint8_t> pal(1024, 0);
  pal[4] = 50;  // entry 1: blue 50
  d.SetPalette(pal);
  d.lpBits()[4 + 2] = 1;  // (2, 1)
  auto pic = d.Image();
  ASSERT_NE(pic, nullptr);
  EXPECT_EQ(pic->bitmap->bpp(), 32);
  EXPECT_TRUE(pic->bitmap->top_down());
  EXPECT_EQ(pic->bitmap->row(1)[2 * 4], 50);

  cDIB back;
  EXPECT_EQ(back.CreateFromStdPicture(pic.get(), false), 32);
  EXPECT_EQ(Pixel(back, 2, 1), 0x000032u);
  // An 8-bit picture keeps its table unless forced to 32 bits; the result is the source depth.
  Picture eight;
  gdi::BitmapInfoHeader h;
  h.width = 3;
  h.height = 2;  // bottom-up
  h.bit_count = 8;
  std::vector<gdi::RGBQuad> table(256);
  table[1] = {0, 0, 99, 0};
  eight.bitmap = gdi::DibSection::Create(h, table);
  eight.bitmap->row(0)[1] = 1;
  EXPECT_EQ(back.CreateFromStdPicture(&eight, false), 8);
  EXPECT_EQ(back.BPP(), 8);
  EXPECT_EQ(back.lpBits()[1], 1);  // top-down now, top row first
  EXPECT_EQ(back.CreateFromStdPicture(&eight, true), 8);
  EXPECT_EQ(back.BPP(), 32);
  EXPECT_EQ(Pixel(back, 1, 0), 0x630000u);
  EXPECT_EQ(back.CreateFromStdPicture(nullptr, true), 0);
  cDIB empty;
  EXPECT_EQ(empty.Image(), nullptr);
}

TEST(DibFileTest, CreateFromBitmapFile) {
  PrivateTempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  cDIB d;
  EXPECT_EQ(ErrorOf([&] { d.CreateFromBitmapFile(JoinPath(dir.path(), "none.bmp")); }),
            kErrFileNotFound);

  // A bottom-up 24-bit file: row 0 of the bits view is the bottom row.
  gdi::BitmapInfoHeader h;
  h.width = 3;
  h.height = -2;
  h.bit_count = 32;
  auto src = gdi::DibSection::Create(h);
  src->row(0)[0] = 11;  // blue of the top-left pixel
  src->row(1)[0] = 22;
  const std::string good = JoinPath(dir.path(), "good.bmp");
  ASSERT_TRUE(WriteBmp24(*src, good));
  ASSERT_EQ(d.CreateFromBitmapFile(good), 24);
  EXPECT_EQ(d.BPP(), 24);
  EXPECT_EQ(d.Width(), 3);
  EXPECT_EQ(d.Height(), 2);
  EXPECT_EQ(d.BytesPerScanline(), 12);
  EXPECT_EQ(d.Size(), 24);
  BitsView bits;
  MapDIBBits(bits, d);
  EXPECT_EQ(bits(0, 0), 22);
  EXPECT_EQ(bits(0, 1), 11);
  bits.Detach();

  const std::string empty = JoinPath(dir.path(), "empty.bmp");
  std::ofstream(empty).close();
  EXPECT_EQ(d.CreateFromBitmapFile(empty), 0);
  EXPECT_EQ(d.Width(), 3);  // an empty file changes nothing

  const std::string damaged = JoinPath(dir.path(), "damaged.bmp");
  std::ofstream(damaged) << "BM this is not a bitmap";
  EXPECT_EQ(d.CreateFromBitmapFile(damaged), 0);
  ExpectEmpty(d);
  EXPECT_EQ(d.CreateFromBitmapFile(dir.path()), 0);  // a folder is not readable as a file
}

}  // namespace
}  // namespace qm
