#include "platform/gdi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace qm::gdi {
namespace {

std::unique_ptr<DibSection> Make(int w, int h, int bpp, std::vector<RGBQuad> colors = {}) {
  BitmapInfoHeader header;
  header.width = w;
  header.height = h;
  header.bit_count = uint16_t(bpp);
  auto dib = DibSection::Create(header, colors);
  EXPECT_NE(dib, nullptr);
  return dib;
}

// A drawing surface with one bitmap selected.
struct Surface {
  std::unique_ptr<DibSection> dib;
  std::unique_ptr<DeviceContext> dc = CreateCompatibleDC();
  explicit Surface(std::unique_ptr<DibSection> d) : dib(std::move(d)) { dc->Select(dib.get()); }
  HDC hdc() { return dc.get(); }
};

uint32_t Px32(const DibSection& d, int x, int y) {
  const uint8_t* p = d.row(y) + 4 * x;
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}
void SetPx32(DibSection& d, int x, int y, uint32_t v) {
  uint8_t* p = d.row(y) + 4 * x;
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
int Bit(const DibSection& d, int x, int y) {
  return (d.row(y)[x / 8] >> (7 - x % 8)) & 1;
}

constexpr RGBQuad kBlack{0, 0, 0, 0}, kWhite{255, 255, 255, 0};

TEST(DibSectionTest, GeometryAndRefusals) {
  auto d = Make(50, -38, 8);
  EXPECT_EQ(d->stride(), 52);
  EXPECT_EQ(d->size_bytes(), 1976u);
  EXPECT_TRUE(d->top_down());
  EXPECT_EQ(d->colors().size(), 256u);
  EXPECT_EQ(Make(33, 1, 1)->stride(), 8);
  EXPECT_EQ(Make(3, 1, 24)->stride(), 12);
  EXPECT_FALSE(Make(3, 2, 4)->top_down());
  EXPECT_EQ(Make(3, 2, 4)->colors().size(), 16u);
  EXPECT_TRUE(Make(3, 2, 32)->colors().empty());

  BitmapInfoHeader h;
  h.width = 10;
  h.height = 10;
  for (int bpp : {0, 2, 3, 7, 64}) {
    h.bit_count = uint16_t(bpp);
    EXPECT_EQ(DibSection::Create(h), nullptr) << bpp;
  }
  h.bit_count = 8;
  h.width = 0;
  EXPECT_EQ(DibSection::Create(h), nullptr);
  h.width = -4;
  EXPECT_EQ(DibSection::Create(h), nullptr);
  h.width = 10;
  h.height = 0;
  EXPECT_EQ(DibSection::Create(h), nullptr);
  // 2^31 bytes and more are refused before anything is allocated.
  h.width = 65536;
  h.height = -32768;
  h.bit_count = 8;
  EXPECT_EQ(DibSection::Create(h), nullptr);
  h.height = INT32_MIN;
  EXPECT_EQ(DibSection::Create(h), nullptr);
}

TEST(BlitTest, EightBitFrameBecomesOneBitMaskExactlyAtWhiteEntry) {
  std::vector<RGBQuad> table(256, kBlack);
  table[5] = kWhite;
  Surface frame(Make(21, -7, 8, table));
  Surface mask(Make(21, -7, 1, {kBlack, kWhite}));
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 21; ++x) frame.dib->row(y)[x] = uint8_t((x * 7 + y * 3) % 11);
  ASSERT_NE(BitBlt(mask.hdc(), 0, 0, 21, 7, frame.hdc(), 0, 0, kSrcCopy), 0);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 21; ++x)
      EXPECT_EQ(Bit(*mask.dib, x, y), frame.dib->row(y)[x] == 5 ? 1 : 0) << x << "," << y;
  // A part of a row, starting on a byte boundary, keeps the mask bits around it.
  std::fill(mask.dib->bits(), mask.dib->bits() + mask.dib->size_bytes(), 0xFF);
  BitBlt(mask.hdc(), 8, 2, 5, 1, frame.hdc(), 0, 0, kSrcCopy);
  for (int x = 0; x < 21; ++x)
    EXPECT_EQ(Bit(*mask.dib, x, 2), x < 8 || x >= 13 || frame.dib->row(0)[x - 8] == 5) << x;
}

TEST(BlitTest, ColourConversionBetweenDepths) {
  // Duplicate entries: identical tables copy indices, different tables take the nearest
  // (lowest index on ties).
  std::vector<RGBQuad> table = {kBlack, {0, 0, 200, 0}, {0, 0, 200, 0}, kWhite};
  Surface src(Make(4, -1, 8, table));
  for (int x = 0; x < 4; ++x) src.dib->row(0)[x] = uint8_t(3 - x);
  table[3].reserved = 1;  // only the colours decide whether tables are identical
  Surface same(Make(4, -1, 8, table));
  table[3].reserved = 0;
  BitBlt(same.hdc(), 0, 0, 4, 1, src.hdc(), 0, 0, kSrcCopy);
  EXPECT_EQ(std::vector<uint8_t>(same.dib->row(0), same.dib->row(0) + 4),
            (std::vector<uint8_t>{3, 2, 1, 0}));
  std::vector<RGBQuad> other = {kWhite, {0, 0, 180, 0}, {0, 0, 220, 0}, kBlack};
  Surface diff(Make(4, -1, 8, other));
  BitBlt(diff.hdc(), 0, 0, 4, 1, src.hdc(), 0, 0, kSrcCopy);
  EXPECT_EQ(std::vector<uint8_t>(diff.dib->row(0), diff.dib->row(0) + 4),
            (std::vector<uint8_t>{0, 1, 1, 3}));

  // Paletted into 32 and 24 bits writes the colour; 32 bits back into a table takes the nearest.
  Surface rgb(Make(4, 1, 32));
  BitBlt(rgb.hdc(), 0, 0, 4, 1, src.hdc(), 0, 0, kSrcCopy);
  EXPECT_EQ(Px32(*rgb.dib, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(Px32(*rgb.dib, 1, 0), 0xC80000u);
  EXPECT_EQ(Px32(*rgb.dib, 3, 0), 0u);
  Surface rgb24(Make(4, 1, 24));
  BitBlt(rgb24.hdc(), 0, 0, 4, 1, rgb.hdc(), 0, 0, kSrcCopy);
  EXPECT_EQ(rgb24.dib->row(0)[3 + 2], 200);
  Surface rgb32(Make(4, -1, 32));
  BitBlt(rgb32.hdc(), 0, 0, 4, 1, rgb24.hdc(), 0, 0, kSrcCopy);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(Px32(*rgb32.dib, x, 0), Px32(*rgb.dib, x, 0));
  SetPx32(*rgb.dib, 2, 0, 0x00D20000);  // red 210: 10 from 200 (entries 1, 2), so entry 1
  Surface back(Make(4, -1, 8, table));
  BitBlt(back.hdc(), 0, 0, 4, 1, rgb.hdc(), 0, 0, kSrcCopy);
  EXPECT_EQ(std::vector<uint8_t>(back.dib->row(0), back.dib->row(0) + 4),
            (std::vector<uint8_t>{3, 1, 1, 0}));
  // 16 bits: 5 bits per channel, full intensity stays full.
  Surface rgb16(Make(4, 1, 16));
  BitBlt(rgb16.hdc(), 0, 0, 4, 1, rgb.hdc(), 0, 0, kSrcCopy);
  Surface again(Make(4, 1, 32));
  BitBlt(again.hdc(), 0, 0, 4, 1, rgb16.hdc(), 0, 0, kSrcCopy);
  EXPECT_EQ(Px32(*again.dib, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(Px32(*again.dib, 3, 0), 0u);
}

TEST(BlitTest, RasterOperationsCombineDestinationValues) {
  Surface src(Make(2, 1, 32)), dst(Make(2, 1, 32));
  SetPx32(*src.dib, 0, 0, 0x00F0F00F);
  SetPx32(*src.dib, 1, 0, 0x0000FF00);
  SetPx32(*dst.dib, 0, 0, 0x0033CC3C);
  SetPx32(*dst.dib, 1, 0, 0x00123456);
  EXPECT_NE(BitBlt(dst.hdc(), 0, 0, 2, 1, src.hdc(), 0, 0, kSrcAnd), 0);
  EXPECT_EQ(Px32(*dst.dib, 0, 0), 0x0030C00Cu);
  EXPECT_EQ(Px32(*dst.dib, 1, 0), 0x00003400u);
  EXPECT_NE(BitBlt(dst.hdc(), 0, 0, 2, 1, src.hdc(), 0, 0, kSrcPaint), 0);
  EXPECT_EQ(Px32(*dst.dib, 0, 0), 0x00F0F00Fu);
  EXPECT_EQ(Px32(*dst.dib, 1, 0), 0x0000FF00u);
  EXPECT_EQ(BitBlt(dst.hdc(), 0, 0, 2, 1, src.hdc(), 0, 0, 0x00660046), 0);  // XOR: unsupported

  // Transparent drawing: a white-where-transparent mask ANDed, then a black-where-transparent
  // sprite ORed, leaves the background exactly where the mask is white.
  Surface mask(Make(8, 1, 1, {kBlack, kWhite}));
  mask.dib->row(0)[0] = 0xF0;
  Surface sprite(Make(8, 1, 32));
  for (int x = 4; x < 8; ++x) SetPx32(*sprite.dib, x, 0, 0x00102030u * uint32_t(x));
  Surface scene(Make(8, 1, 32));
  for (int x = 0; x < 8; ++x) SetPx32(*scene.dib, x, 0, 0x00ABCDEF);
  StretchBlt(scene.hdc(), 0, 0, 8, 1, mask.hdc(), 0, 0, 8, 1, kSrcAnd);
  StretchBlt(scene.hdc(), 0, 0, 8, 1, sprite.hdc(), 0, 0, 8, 1, kSrcPaint);
  for (int x = 0; x < 8; ++x)
    EXPECT_EQ(Px32(*scene.dib, x, 0), x < 4 ? 0x00ABCDEFu : 0x00102030u * uint32_t(x)) << x;
}

TEST(StretchTest, DropsAndRepeatsRowsAndColumnsAndMirrors) {
  Surface src(Make(4, -2, 8));
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) src.dib->row(y)[x] = uint8_t(10 * y + x);
  Surface big(Make(8, -4, 8));
  ASSERT_NE(StretchBlt(big.hdc(), 0, 0, 8, 4, src.hdc(), 0, 0, 4, 2, kSrcCopy), 0);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(big.dib->row(y)[x], 10 * (y / 2) + x / 2);
  Surface small(Make(2, -1, 8));
  StretchBlt(small.hdc(), 0, 0, 2, 1, src.hdc(), 0, 0, 4, 2, kSrcCopy);
  EXPECT_EQ(small.dib->row(0)[0], 0);
  EXPECT_EQ(small.dib->row(0)[1], 2);
  // A negative destination width covers [x + w, x) and reverses the columns.
  Surface mirror(Make(4, -2, 8));
  StretchBlt(mirror.hdc(), 4, 0, -4, 2, src.hdc(), 0, 0, 4, 2, kSrcCopy);
  EXPECT_EQ(mirror.dib->row(1)[0], 13);
  EXPECT_EQ(mirror.dib->row(1)[3], 10);
  StretchBlt(mirror.hdc(), 0, 2, 4, -2, src.hdc(), 0, 0, 4, 2, kSrcCopy);
  EXPECT_EQ(mirror.dib->row(0)[1], 11);
  EXPECT_EQ(mirror.dib->row(1)[1], 1);
}

TEST(ClipTest, NothingOutsideEitherBitmapIsTouched) {
  // Bottom-up storage: drawing coordinates still count from the top.
  Surface src(Make(5, 5, 8));
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 5; ++x) src.dib->row(y)[x] = uint8_t(1 + 10 * y + x);
  Surface dst(Make(3, -3, 8));
  for (auto [x, y, xs, ys] :
       {std::tuple{-2, -2, 0, 0}, {2, 2, 0, 0}, {0, 0, 3, 3}, {0, 0, -1, -1}}) {
    std::fill(dst.dib->bits(), dst.dib->bits() + dst.dib->size_bytes(), 0);
    ASSERT_NE(BitBlt(dst.hdc(), x, y, 5, 5, src.hdc(), xs, ys, kSrcCopy), 0);
    for (int dy = 0; dy < 3; ++dy)
      for (int dx = 0; dx < 3; ++dx) {
        const int sx = dx - x + xs, sy = dy - y + ys;
        const bool inside = sx >= 0 && sy >= 0 && sx < 5 && sy < 5;
        EXPECT_EQ(dst.dib->row(dy)[dx], inside ? 1 + 10 * sy + sx : 0)
            << x << "," << y << " " << dx << "," << dy;
      }
  }
  // Far-out and huge rectangles are clipped, not walked.
  EXPECT_NE(StretchBlt(dst.hdc(), INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, src.hdc(), 0, 0,
                       INT32_MAX, INT32_MAX, kSrcCopy),
            0);
  EXPECT_NE(FillRect(dst.hdc(), -100, -100, 100, 100, RGB(0, 0, 0)), 0);
  DeviceContext empty;
  EXPECT_EQ(BitBlt(&empty, 0, 0, 1, 1, src.hdc(), 0, 0, kSrcCopy), 0);
  EXPECT_EQ(BitBlt(dst.hdc(), 0, 0, 1, 1, &empty, 0, 0, kSrcCopy), 0);
}

// Bits [first, first + count) of memory row `r`, most significant bit first.
uint32_t BitsAt(const DibSection& d, int r, int64_t first, int count) {
  const uint8_t* row = d.bits() + size_t(r) * d.stride();
  uint32_t v = 0;
  for (int i = 0; i < count; ++i) {
    const int64_t b = first + i;
    v = (v << 1) | ((row[b / 8] >> (7 - b % 8)) & 1);
  }
  return v;
}

TEST(ClipTest, RandomCopiesTouchOnlyTheirRectangle) {
  std::mt19937 rng(12345);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int depths[] = {1, 4, 8, 16, 24, 32};
  const uint32_t rops[] = {kSrcCopy, kSrcAnd, kSrcPaint};
  for (int iter = 0; iter < 3000; ++iter) {
    auto random_dib = [&] {
      const int bpp = depths[pick(0, 5)];
      std::vector<RGBQuad> table(bpp <= 8 ? 1u << bpp : 0);
      for (auto& q : table)
        q = {uint8_t(pick(0, 255)), uint8_t(pick(0, 255)), uint8_t(pick(0, 255)), 0};
      auto d = Make(pick(1, 37), pick(0, 1) ? pick(1, 9) : -pick(1, 9), bpp, table);
      for (size_t i = 0; i < d->size_bytes(); ++i) d->bits()[i] = uint8_t(pick(0, 255));
      return d;
    };
    Surface src(random_dib()), dst(random_dib());
    const DibSection before_src = *src.dib, before = *dst.dib;
    const int x = pick(-50, 50), y = pick(-12, 12), w = pick(-50, 50), h = pick(-12, 12);
    const uint32_t rop = rops[pick(0, 2)];
    if (pick(0, 1))
      BitBlt(dst.hdc(), x, y, w, h, src.hdc(), pick(-50, 50), pick(-12, 12), rop);
    else
      StretchBlt(dst.hdc(), x, y, w, h, src.hdc(), pick(-50, 50), pick(-12, 12), pick(-50, 50),
                 pick(-12, 12), rop);
    ASSERT_EQ(0, std::memcmp(src.dib->bits(), before_src.bits(), src.dib->size_bytes()));
    const int x0 = std::min(x, x + w), x1 = std::max(x, x + w);
    const int y0 = std::min(y, y + h), y1 = std::max(y, y + h);
    const int bpp = dst.dib->bpp();
    for (int py = 0; py < dst.dib->height(); ++py) {
      const int r = dst.dib->top_down() ? py : dst.dib->height() - 1 - py;
      for (int px = 0; px < dst.dib->width(); ++px)
        if (px < x0 || px >= x1 || py < y0 || py >= y1) {
          ASSERT_EQ(BitsAt(*dst.dib, r, int64_t(px) * bpp, bpp),
                    BitsAt(before, r, int64_t(px) * bpp, bpp))
              << iter << ": pixel " << px << "," << py;
        }
      const int64_t used = int64_t(dst.dib->width()) * bpp;
      for (int64_t b = used; b < int64_t(dst.dib->stride()) * 8; ++b)
        ASSERT_EQ(BitsAt(*dst.dib, r, b, 1), BitsAt(before, r, b, 1)) << iter << ": padding";
    }
  }
}

TEST(ClipTest, SelfCopyWithOverlapReadsTheOldPixels) {
  Surface s(Make(6, -1, 8));
  for (int x = 0; x < 6; ++x) s.dib->row(0)[x] = uint8_t(x);
  BitBlt(s.hdc(), 1, 0, 5, 1, s.hdc(), 0, 0, kSrcCopy);
  EXPECT_EQ(std::vector<uint8_t>(s.dib->row(0), s.dib->row(0) + 6),
            (std::vector<uint8_t>{0, 0, 1, 2, 3, 4}));
  Surface bits(Make(16, -1, 1, {kBlack, kWhite}));
  bits.dib->row(0)[0] = 0xA5;
  BitBlt(bits.hdc(), 3, 0, 8, 1, bits.hdc(), 0, 0, kSrcCopy);
  EXPECT_EQ(bits.dib->row(0)[0], 0xB4);  // 101 then 10100101 from bit 3
  EXPECT_EQ(bits.dib->row(0)[1], 0xA0);
}

TEST(FillAndPaletteTest, FillPicksNearestEntryAndTablesClip) {
  Surface pal(Make(3, -2, 4, {kBlack, {0, 0, 250, 0}, {0, 0, 250, 0}, kWhite}));
  FillRect(pal.hdc(), 1, 0, 3, 1, RGB(240, 10, 0));
  EXPECT_EQ(pal.dib->row(0)[0], 0x01);
  EXPECT_EQ(pal.dib->row(0)[1], 0x10);
  EXPECT_EQ(pal.dib->row(1)[0], 0);
  Surface rgb(Make(2, 2, 32));
  FillRect(rgb.hdc(), 0, 1, 2, 2, RGB(1, 2, 3));
  EXPECT_EQ(Px32(*rgb.dib, 1, 1), 0x010203u);
  EXPECT_EQ(Px32(*rgb.dib, 1, 0), 0u);

  RGBQuad out[20];
  EXPECT_EQ(GetDIBColorTable(pal.hdc(), 14, 20, out), 2u);
  EXPECT_EQ(GetDIBColorTable(pal.hdc(), 16, 1, out), 0u);
  const RGBQuad in[3] = {kWhite, kWhite, kWhite};
  EXPECT_EQ(SetDIBColorTable(pal.hdc(), 15, 3, in), 1u);
  EXPECT_EQ(pal.dib->colors()[15], kWhite);
  EXPECT_EQ(SetDIBColorTable(rgb.hdc(), 0, 3, in), 0u);

  LogicalPalette lp({{0, 0, 0, 0}, {200, 0, 0, 0}, {200, 0, 0, 0}, {255, 255, 255, 0}});
  EXPECT_EQ(GetNearestPaletteIndex(lp, RGB(190, 5, 5)), 1);
  EXPECT_EQ(GetNearestPaletteIndex(lp, RGB(250, 250, 240)), 3);
  EXPECT_EQ(GetNearestPaletteIndex(LogicalPalette({}), 0), -1);
  // Red and blue must not be exchanged.
  LogicalPalette rb({{255, 0, 0, 0}, {0, 0, 255, 0}});
  EXPECT_EQ(GetNearestPaletteIndex(rb, RGB(0, 0, 250)), 1);
}

}  // namespace
}  // namespace qm::gdi
