#include "platform/bmp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace qm {
namespace {

using Bytes = std::vector<uint8_t>;

// Colour of picture pixel (x, y) as 0xRRGGBB, read straight from the stored bytes.
uint32_t ColourAt(const gdi::DibSection& d, int x, int y) {
  const uint8_t* row = d.row(y);
  auto quad = [&](unsigned i) {
    const gdi::RGBQuad q = d.colors()[i];
    return (uint32_t(q.red) << 16) | (q.green << 8) | q.blue;
  };
  switch (d.bpp()) {
    case 1:
      return quad((row[x / 8] >> (7 - x % 8)) & 1);
    case 4:
      return quad((row[x / 2] >> (x % 2 ? 0 : 4)) & 15);
    case 8:
      return quad(row[x]);
    case 24:
      return (uint32_t(row[3 * x + 2]) << 16) | (row[3 * x + 1] << 8) | row[3 * x];
    default:
      return (uint32_t(row[4 * x + 2]) << 16) | (row[4 * x + 1] << 8) | row[4 * x];
  }
}

void Put16(Bytes& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// A test picture: colour of (x, y), restricted to `ncolours` distinct values for paletted depths.
uint32_t Pattern(int x, int y, int ncolours) {
  const uint32_t i = uint32_t(x * 3 + y * 5) % uint32_t(ncolours);
  return (i * 0x3B1F07u + 0x102030u) & 0xFFFFFF;
}

// Builds a BMP file by hand from the format's layout: `header_size` 40 or 124, rows written in
// the order `top_down` asks for.
Bytes BuildBmp(int w, int h, int bpp, bool top_down, int header_size = 40) {
  const int ncolours = bpp <= 8 ? (1 << bpp) : 1 << 24;
  const int stride = (w * bpp + 31) / 32 * 4;
  const int table = bpp <= 8 ? 4 << bpp : 0;
  const uint32_t off = 14 + header_size + table;
  Bytes b = {'B', 'M'};
  Put32(b, off + stride * h);
  Put32(b, 0);
  Put32(b, off);
  Put32(b, header_size);
  Put32(b, uint32_t(w));
  Put32(b, uint32_t(top_down ? -h : h));
  Put16(b, 1);
  Put16(b, bpp);
  for (int i = 0; i < 6; ++i) Put32(b, 0);
  b.resize(14 + header_size, 0);
  for (int i = 0; i < ncolours && bpp <= 8; ++i) {
    const uint32_t c = Pattern(i, 0, 1 << 24) ^ uint32_t(i);
    Put32(b, c);
  }
  for (int r = 0; r < h; ++r) {
    const int y = top_down ? r : h - 1 - r;
    Bytes row(stride, 0);
    for (int x = 0; x < w; ++x) {
      const uint32_t c = Pattern(x, y, ncolours);
      const uint32_t idx = uint32_t(x * 3 + y * 5) % uint32_t(ncolours);
      if (bpp == 1) row[x / 8] |= uint8_t((idx & 1) << (7 - x % 8));
      if (bpp == 4) row[x / 2] |= uint8_t(idx << (x % 2 ? 0 : 4));
      if (bpp == 8) row[x] = uint8_t(idx);
      if (bpp >= 24)
        for (int k = 0; k < 3; ++k) row[x * (bpp / 8) + k] = uint8_t(c >> (8 * k));
    }
    b.insert(b.end(), row.begin(), row.end());
  }
  return b;
}

uint32_t Expected(int x, int y, int bpp) {
  if (bpp > 8) return Pattern(x, y, 1 << 24);
  const int i = (x * 3 + y * 5) % (1 << bpp);
  return (Pattern(i, 0, 1 << 24) ^ uint32_t(i)) & 0xFFFFFF;
}

TEST(ReadBmpTest, EveryDepthAndRowOrder) {
  for (int bpp : {1, 4, 8, 24, 32})
    for (bool top_down : {false, true})
      for (int header : {40, 124}) {
        SCOPED_TRACE(std::to_string(bpp) + (top_down ? " top-down " : " bottom-up ") +
                     std::to_string(header));
        const Bytes file = BuildBmp(13, 6, bpp, top_down, header);
        std::string error = "unset";
        auto dib = ReadBmp(file, &error);
        ASSERT_NE(dib, nullptr) << error;
        EXPECT_TRUE(error.empty());
        EXPECT_EQ(dib->bpp(), bpp);
        EXPECT_EQ(dib->top_down(), top_down);
        ASSERT_EQ(dib->width(), 13);
        ASSERT_EQ(dib->height(), 6);
        // The first stored row comes first in memory whatever the order.
        EXPECT_EQ(dib->bits()[0], file[file.size() - dib->size_bytes()]);
        for (int y = 0; y < 6; ++y)
          for (int x = 0; x < 13; ++x) ASSERT_EQ(ColourAt(*dib, x, y), Expected(x, y, bpp));
      }
}

TEST(ReadBmpTest, ThirtyTwoBitFieldsOnlyWithStandardMasks) {
  Bytes file = BuildBmp(3, 2, 32, false);
  file[14 + 16] = 3;  // compression: bit fields, masks after the 40-byte header
  Bytes masks;
  Put32(masks, 0x00FF0000);
  Put32(masks, 0x0000FF00);
  Put32(masks, 0x000000FF);
  file.insert(file.begin() + 54, masks.begin(), masks.end());
  file[10] += 12;
  auto dib = ReadBmp(file, nullptr);
  ASSERT_NE(dib, nullptr);
  EXPECT_EQ(ColourAt(*dib, 2, 1), Expected(2, 1, 32));
  file[54] = 0x01;  // red mask 0x00FF0001
  EXPECT_EQ(ReadBmp(file, nullptr), nullptr);
}

TEST(ReadBmpTest, DamagedFilesAreRejectedWithAReason) {
  const std::filesystem::path dir = QUILLOMAT_TEST_DATA_DIR;
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".bmp") continue;
    ++seen;
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes data((std::istreambuf_iterator<char>(in)), {});
    std::string error;
    EXPECT_EQ(ReadBmp(data, &error), nullptr) << entry.path().filename();
    EXPECT_FALSE(error.empty()) << entry.path().filename();
  }
  EXPECT_GE(seen, 15);
  // Every prefix of a good file is either rejected or, once complete, read.
  const Bytes good = BuildBmp(5, 3, 8, false);
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_EQ(ReadBmp(std::span(good.data(), n), nullptr), nullptr) << n;
  EXPECT_NE(ReadBmp(good, nullptr), nullptr);
}

TEST(EncodeBmp24Test, ConvertsEveryDepthToBottomUp24Bits) {
  for (int bpp : {1, 8, 32})
    for (bool top_down : {false, true}) {
      SCOPED_TRACE(std::to_string(bpp) + (top_down ? " top-down" : " bottom-up"));
      auto src = ReadBmp(BuildBmp(9, 4, bpp, top_down), nullptr);
      ASSERT_NE(src, nullptr);
      const Bytes file = EncodeBmp24(*src);
      const int stride = 28;
      ASSERT_EQ(file.size(), 54u + stride * 4);
      EXPECT_EQ(file[2] | file[3] << 8, int(file.size()));
      EXPECT_EQ(file[34] | file[35] << 8, stride * 4);  // biSizeImage
      auto back = ReadBmp(file, nullptr);
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(back->bpp(), 24);
      EXPECT_FALSE(back->top_down());
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 9; ++x) ASSERT_EQ(ColourAt(*back, x, y), Expected(x, y, bpp));
    }
}

TEST(EncodeBmp24Test, WrittenFilesMatchTheEncodingWithZeroPadding) {
  // Widths 9 and 10 leave 1 and 2 padding bytes a row; the written file is built in memory that
  // is not cleared first, so the padding must still come out as zeros.
  PrivateTempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = JoinPath(dir.path(), "out.bmp");
  for (int width : {9, 10, 12})
    for (int bpp : {8, 24, 32}) {
      SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(bpp));
      auto src = ReadBmp(BuildBmp(width, 5, bpp, false), nullptr);
      ASSERT_NE(src, nullptr);
      const Bytes encoded = EncodeBmp24(*src);
      ASSERT_FALSE(encoded.empty());
      const size_t row = size_t(width) * 3, stride = (row + 3) / 4 * 4;
      for (size_t y = 0; y < 5; ++y)
        for (size_t i = row; i < stride; ++i) EXPECT_EQ(encoded[54 + y * stride + i], 0);
      ASSERT_TRUE(WriteBmp24(*src, path));
      EXPECT_EQ(ReadWholeFile(path), encoded);
      {
        std::ofstream longer(path, std::ios::binary);  // a longer file is replaced whole
        const std::string filler(encoded.size() * 2, '\xAB');
        longer << filler;
      }
      ASSERT_TRUE(WriteEncodedBmp(encoded, path));
      EXPECT_EQ(ReadWholeFile(path), encoded);
    }
  EXPECT_FALSE(WriteEncodedBmp({}, JoinPath(dir.path(), "empty.bmp")));
  EXPECT_FALSE(FileExists(JoinPath(dir.path(), "empty.bmp")));
}

TEST(EncodeBmp24Test, PicturesTallerThanOneWrittenBandComeOutWhole) {
  // 1001 x 1500 at 24 bits is 4.5 MB of rows: more than one band of the written file. Widths
  // that are no multiple of four end their rows with pixels packed one at a time.
  PrivateTempFolder dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = JoinPath(dir.path(), "tall.bmp");
  for (int width : {1001, 3})
    for (int bpp : {24, 32}) {
      SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(bpp));
      const int height = width == 3 ? 7 : 1500;
      gdi::BitmapInfoHeader h;
      h.width = width;
      h.height = -height;
      h.bit_count = uint16_t(bpp);
      auto src = gdi::DibSection::Create(h);
      ASSERT_NE(src, nullptr);
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          uint8_t* px = src->row(y) + x * (bpp / 8);
          const uint32_t c = Pattern(x, y, 1 << 24) ^ uint32_t(y * 131);
          for (int k = 0; k < 3; ++k) px[k] = uint8_t(c >> (8 * k));
          if (bpp == 32) px[3] = 0xEE;  // the reserved byte never reaches the file
        }
      ASSERT_TRUE(WriteBmp24(*src, path));
      const Bytes written = ReadWholeFile(path);
      EXPECT_EQ(written, EncodeBmp24(*src));
      auto back = ReadBmp(written, nullptr);
      ASSERT_NE(back, nullptr);
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
          ASSERT_EQ(ColourAt(*back, x, y), ColourAt(*src, x, y)) << x << "," << y;
    }
}

// ImageMagick serves as a writer and a reader we did not write.
class ImageMagickTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v convert >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "ImageMagick convert is not installed";
    ASSERT_FALSE(dir_.path().empty());
  }
  std::string Path(const std::string& name) { return JoinPath(dir_.path(), name); }
  bool Convert(const std::string& args) {
    return std::system(("convert " + args + " >/dev/null 2>&1").c_str()) == 0;
  }
  static uint32_t PpmColour(int x, int y, int kind) {
    if (kind == 1) return (x + y) % 3 == 0 ? 0xFFFFFF : 0;
    if (kind == 4) return (uint32_t((x + y) % 4 * 80) << 16) | uint32_t(x % 3 * 100) << 8;
    return (uint32_t(x * 37 % 256) << 16) | (uint32_t(y * 53 % 256) << 8) |
           uint32_t(x * y * 11 % 256);
  }
  void WritePpm(const std::string& path, int kind) {
    std::ofstream out(path, std::ios::binary);
    out << "P6 " << kW << " " << kH << " 255\n";
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const uint32_t c = PpmColour(x, y, kind);
        out.put(char(c >> 16)).put(char(c >> 8)).put(char(c));
      }
  }
  static Bytes Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
  }
  // The picture's colours as 0xRRGGBB, top row first; empty when ImageMagick fails.
  std::vector<uint32_t> DecodeWithImageMagick(const std::string& path) {
    const std::string ppm = Path("decoded.ppm");
    if (!Convert(path + " -depth 8 PPM:" + ppm)) return {};
    const Bytes data = Load(ppm);
    const std::string head = "P6\n" + std::to_string(kW) + " " + std::to_string(kH) + "\n255\n";
    if (data.size() != head.size() + size_t(kW * kH * 3) ||
        std::string(data.begin(), data.begin() + long(head.size())) != head)
      return {};
    std::vector<uint32_t> out;
    for (size_t i = head.size(); i < data.size(); i += 3)
      out.push_back((uint32_t(data[i]) << 16) | (data[i + 1] << 8) | data[i + 2]);
    return out;
  }
  static constexpr int kW = 11, kH = 5;
  PrivateTempFolder dir_;
};

TEST_F(ImageMagickTest, ReadsFilesImageMagickWrote) {
  struct Case {
    int kind;
    const char* options;
    int bpp;
  } cases[] = {{1, "-type Bilevel BMP3:", 1},
               {4, "-type Palette -compress None BMP3:", 4},
               {8, "-type Palette -compress None BMP3:", 8},
               {8, "-type TrueColor BMP3:", 24},
               {8, "-type TrueColor -define bmp:format=bmp4 BMP:", 24},
               {8, "-alpha set -type TrueColorAlpha BMP:", 32}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string ppm = Path("in.ppm"), bmp = Path("out.bmp");
    WritePpm(ppm, c.kind);
    ASSERT_TRUE(Convert(ppm + " " + c.options + bmp));
    std::string error;
    auto dib = ReadBmp(Load(bmp), &error);
    ASSERT_NE(dib, nullptr) << error;
    EXPECT_EQ(dib->bpp(), c.bpp);
    // ImageMagick's palette reduction may merge close colours, so the reference is its own
    // reading of the file it wrote.
    const std::vector<uint32_t> reference = DecodeWithImageMagick(bmp);
    ASSERT_EQ(reference.size(), size_t(kW * kH));
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        ASSERT_EQ(ColourAt(*dib, x, y), reference[size_t(y * kW + x)]) << x << "," << y;
  }
  // Run-length compression is refused cleanly.
  WritePpm(Path("in.ppm"), 8);
  ASSERT_TRUE(Convert(Path("in.ppm") + " -type Palette BMP3:" + Path("rle.bmp")));
  std::string error;
  EXPECT_EQ(ReadBmp(Load(Path("rle.bmp")), &error), nullptr);
  EXPECT_NE(error.find("compressed"), std::string::npos);
}

TEST_F(ImageMagickTest, ImageMagickReadsWhatWeWrite) {
  auto src = ReadBmp(BuildBmp(kW, kH, 8, true), nullptr);
  ASSERT_NE(src, nullptr);
  ASSERT_TRUE(WriteBmp24(*src, Path("ours.bmp")));
  const std::vector<uint32_t> pixels = DecodeWithImageMagick(Path("ours.bmp"));
  ASSERT_EQ(pixels.size(), size_t(kW * kH));
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      ASSERT_EQ(pixels[size_t(y * kW + x)], Expected(x, y, 8)) << x << "," << y;
  EXPECT_FALSE(WriteBmp24(*src, Path("no/such/folder/x.bmp")));
}

}  // namespace
}  // namespace qm
