#include "platform/picture_io.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"
#include "tests/support/external_tools.h"

namespace qm {
namespace {

const std::string kCorpus = QUILLOMAT_CORPUS_DIR;
const std::string kLandscape = kCorpus + "/photos/landscape/Landscape_";
const std::string kCamera = kCorpus + "/photos/cameras/Canon_40D.jpg";

using testing::HaveTool;
std::string RunCommand(const std::string& cmd) {
  return testing::CommandOutput(cmd);
}
std::string Quote(const std::string& s) {
  return testing::ShellQuote(s);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A picture as rows of red, green, blue bytes, the form the reference tools print (PPM).
struct Rgb {
  int width = 0, height = 0;
  std::vector<uint8_t> px;
};

Rgb ParsePpm(const std::string& ppm) {
  Rgb r;
  int maxval = 0, used = 0;
  if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &r.width, &r.height, &maxval, &used) != 3 ||
      maxval != 255)
    return {};
  size_t start = size_t(used) + 1, n = size_t(r.width) * size_t(r.height) * 3;
  if (ppm.size() < start + n) return {};
  r.px.assign(ppm.begin() + long(start), ppm.begin() + long(start + n));
  return r;
}

Rgb FromPicture(const Picture& p) {
  Rgb r{p.bitmap->width(), p.bitmap->height(), {}};
  for (int y = 0; y < r.height; ++y) {
    const uint8_t* row = p.bitmap->row(y);
    for (int x = 0; x < r.width; ++x) {
      r.px.push_back(row[4 * x + 2]);
      r.px.push_back(row[4 * x + 1]);
      r.px.push_back(row[4 * x]);
    }
  }
  return r;
}

// Largest and mean absolute channel difference; both -1 when the sizes differ.
std::pair<int, double> Compare(const Rgb& a, const Rgb& b) {
  if (a.width != b.width || a.height != b.height || a.px.empty() || a.px.size() != b.px.size())
    return {-1, -1};
  int worst = 0;
  double sum = 0;
  for (size_t i = 0; i < a.px.size(); ++i) {
    int d = std::abs(int(a.px[i]) - int(b.px[i]));
    worst = std::max(worst, d);
    sum += d;
  }
  return {worst, sum / double(a.px.size())};
}

int ErrorOf(const std::string& path, std::string* description = nullptr) {
  try {
    LoadPicture(path);
  } catch (const RuntimeError& e) {
    if (description) *description = e.description();
    return e.number();
  }
  return 0;
}

class PictureIo : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return JoinPath(dir_.path(), name); }
  PrivateTempFolder dir_;
};

TEST_F(PictureIo, JpegMatchesDjpegAndEveryPixelIsBgrx) {
  if (!HaveTool("djpeg")) GTEST_SKIP() << "djpeg not installed";
  for (const std::string& path :
       {kLandscape + "1.jpg", kCamera, kCorpus + "/photos/cameras/Reconyx_HC500_Hyperfire.jpg"}) {
    auto pic = LoadPicture(path);
    ASSERT_EQ(pic->bitmap->bpp(), 32);
    ASSERT_TRUE(pic->bitmap->top_down());
    for (int y = 0; y < pic->bitmap->height(); ++y)
      for (int x = 0; x < pic->bitmap->width(); ++x)
        ASSERT_EQ(pic->bitmap->row(y)[4 * x + 3], 0) << "reserved byte";
    auto [worst, mean] =
        Compare(FromPicture(*pic), ParsePpm(RunCommand("djpeg -ppm " + Quote(path))));
    EXPECT_EQ(worst, 0) << path;
  }
}

TEST_F(PictureIo, ExifOrientationIsApplied) {
  // The eight files hold one scene stored in the eight orientations: applied, they all agree.
  auto upright = FromPicture(*LoadPicture(kLandscape + "0.jpg"));
  const bool magick = HaveTool("convert");
  for (int k = 1; k < 8; ++k) {
    std::string path = kLandscape + std::to_string(k) + ".jpg";
    Rgb mine = FromPicture(*LoadPicture(path));
    auto [worst, mean] = Compare(mine, upright);
    EXPECT_GE(worst, 0) << path << ": size differs from the upright picture";
    EXPECT_LT(mean, 10.0) << path;  // re-encoded copies; a wrong turn gives 30 and more
    if (magick) {
      auto ref = ParsePpm(RunCommand("convert " + Quote(path) + " -auto-orient ppm:-"));
      auto [w2, m2] = Compare(mine, ref);
      EXPECT_GE(w2, 0) << path;
      EXPECT_LT(m2, 1.0) << path << " against ImageMagick -auto-orient";
    }
  }
}

TEST_F(PictureIo, TurnedJpegsKeepTheirReservedBytesZero) {
  // Turning a picture clears the fourth byte as it copies; upright pictures clear it in place.
  for (int k = 0; k < 8; ++k) {
    auto picture = LoadPicture(kLandscape + std::to_string(k) + ".jpg");
    const gdi::DibSection& dib = *picture->bitmap;
    ASSERT_EQ(dib.bpp(), 32);
    uint8_t any = 0;
    for (int y = 0; y < dib.height(); ++y) {
      const uint8_t* p = dib.row(y);
      for (int x = 0; x < dib.width(); ++x) any |= p[4 * x + 3];
    }
    EXPECT_EQ(any, 0) << k;
  }
}

TEST_F(PictureIo, PngAndBmpWrittenByImageMagick) {
  if (!HaveTool("convert")) GTEST_SKIP() << "ImageMagick not installed";
  const std::string src = Quote(kCamera);
  struct Case {
    const char* name;
    const char* options;
    int tolerance;
    const char* reference;  // how ImageMagick shows the file, when not plain
  } cases[] = {
      {"rgb.png", "png24:", 0, ""},
      {"grey.png", "-colorspace Gray -type Grayscale png:", 0, ""},
      {"palette.png", "-colors 16 png8:", 0, ""},
      {"deep.png", "-depth 16 png48:", 1, ""},
      {"interlaced.png", "-interlace PNG png24:", 0, ""},
      {"alpha.png", "-alpha set -channel A -fx 'i/w' +channel png32:", 2,
       "-background white -flatten"},
      {"rgb.bmp", "-type TrueColor bmp3:", 0, ""},
      {"palette.bmp", "-colors 16 -type Palette bmp3:", 0, ""},
      {"mono.bmp", "-monochrome bmp3:", 0, ""},
  };
  for (const Case& c : cases) {
    std::string file = Path(c.name);
    RunCommand("convert " + src + " " + c.options + file);
    ASSERT_TRUE(FileExists(file)) << c.name;
    Rgb mine = FromPicture(*LoadPicture(file));
    Rgb ref =
        ParsePpm(RunCommand("convert " + Quote(file) + " " + c.reference + " -depth 8 ppm:-"));
    auto [worst, mean] = Compare(mine, ref);
    EXPECT_GE(worst, 0) << c.name;
    EXPECT_LE(worst, c.tolerance) << c.name;
  }
}

TEST_F(PictureIo, SavedBmpIsBottomUp24BitWithImageSize) {
  auto pic = LoadPicture(kCamera);  // 100 x 68: rows of 300 bytes, already a multiple of 4
  auto odd = LoadPicture(kCorpus + "/photos/cameras/Fujifilm_FinePix_E500.jpg");  // 59 wide
  for (const auto& p : {pic, odd}) {
    std::string path = Path("saved.bmp");
    WriteFile(path, std::vector<uint8_t>(1 << 20, 0x55));  // a longer file to replace
    ASSERT_TRUE(SavePictureAsBmp(*p, path));
    std::vector<uint8_t> f = ReadWholeFile(path);
    auto u32 = [&](size_t at) {
      uint32_t v;
      std::memcpy(&v, &f[at], 4);
      return v;
    };
    const uint32_t w = uint32_t(p->bitmap->width()), h = uint32_t(p->bitmap->height());
    const uint32_t stride = (w * 3 + 3) / 4 * 4;
    ASSERT_GE(f.size(), 54u);
    EXPECT_EQ(f[0], 'B');
    EXPECT_EQ(u32(2), f.size());
    EXPECT_EQ(u32(18), w);
    EXPECT_EQ(int32_t(u32(22)), int32_t(h)) << "positive height: bottom-up";
    EXPECT_EQ(f[28], 24);
    EXPECT_EQ(u32(30), 0u);
    EXPECT_EQ(u32(34), stride * h);
    EXPECT_EQ(f.size(), u32(10) + stride * h);
    // Read back through our own loader and, when present, an independent one.
    auto [worst, mean] = Compare(FromPicture(*LoadPicture(path)), FromPicture(*p));
    EXPECT_EQ(worst, 0);
    if (HaveTool("convert")) {
      auto [w2, m2] =
          Compare(ParsePpm(RunCommand("convert " + Quote(path) + " ppm:-")), FromPicture(*p));
      EXPECT_EQ(w2, 0);
    }
  }
  EXPECT_FALSE(SavePictureAsBmp(*pic, Path("no/such/folder/x.bmp")));
  EXPECT_FALSE(SavePictureAsBmp(Picture{}, Path("empty.bmp")));
}

uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}

TEST_F(PictureIo, BadInputRaisesTheRightErrorNamingTheFile) {
  std::string why;
  EXPECT_EQ(ErrorOf(Path("missing.jpg")), kErrFileNotFound);
  EXPECT_EQ(ErrorOf(dir_.path()), kErrPermissionDenied);

  std::string text = Path("notes.jpg");
  WriteFile(text, {'h', 'e', 'l', 'l', 'o', '\n'});
  EXPECT_EQ(ErrorOf(text, &why), kErrInvalidPicture);
  EXPECT_EQ(why, "Invalid picture: " + text + " (not a JPEG, PNG, BMP or GIF file)");

  WriteFile(Path("empty.jpg"), {});
  EXPECT_EQ(ErrorOf(Path("empty.jpg")), kErrInvalidPicture);

  EXPECT_EQ(ErrorOf(kCorpus + "/photos/cameras/corrupted.jpg", &why), kErrInvalidPicture);
  EXPECT_NE(why.find("corrupted.jpg"), std::string::npos);

  // Cut short, a JPEG would still decode with a grey lower part; that must not pass as a picture.
  std::vector<uint8_t> jpeg = ReadWholeFile(kCamera);
  for (double part : {0.3, 0.6, 0.95}) {
    std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + long(double(jpeg.size()) * part));
    WriteFile(Path("cut.jpg"), cut);
    EXPECT_EQ(ErrorOf(Path("cut.jpg")), kErrInvalidPicture) << part;
  }

  // A frame header claiming 65000 x 65000 is refused before 16 GB are asked for.
  std::vector<uint8_t> huge = jpeg;
  size_t sof = 2;
  while (sof + 9 < huge.size() && !(huge[sof] == 0xFF && (huge[sof + 1] & 0xF0) == 0xC0 &&
                                    huge[sof + 1] != 0xC4 && huge[sof + 1] != 0xC8))
    sof += 2 + ((huge[sof + 2] << 8) | huge[sof + 3]);
  ASSERT_LT(sof + 9, huge.size());
  huge[sof + 5] = huge[sof + 7] = 0xFD;
  huge[sof + 6] = huge[sof + 8] = 0xE8;
  WriteFile(Path("huge.jpg"), huge);
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  EXPECT_EQ(ErrorOf(Path("huge.jpg"), &why), kErrInvalidPicture);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024) << "kilobytes";
  EXPECT_NE(why.find("65000x65000"), std::string::npos) << why;

  // The same for PNG, with the header's checksum made valid again.
  if (HaveTool("convert")) {
    RunCommand("convert " + Quote(kCamera) + " png24:" + Path("p.png"));
    std::vector<uint8_t> png = ReadWholeFile(Path("p.png"));
    ASSERT_GT(png.size(), 40u);
    std::vector<uint8_t> big = png;
    big[16] = big[20] = 0;
    big[17] = big[21] = 0;
    big[18] = big[22] = 0xFD;
    big[19] = big[23] = 0xE8;
    uint32_t crc = Crc32(&big[12], 17);
    for (int i = 0; i < 4; ++i) big[29 + i] = uint8_t(crc >> (24 - 8 * i));
    WriteFile(Path("huge.png"), big);
    EXPECT_EQ(ErrorOf(Path("huge.png")), kErrInvalidPicture);
    png.resize(png.size() / 2);
    WriteFile(Path("cut.png"), png);
    EXPECT_EQ(ErrorOf(Path("cut.png")), kErrInvalidPicture);
  }
  std::vector<uint8_t> bmp = {'B', 'M', 1, 2, 3};
  WriteFile(Path("bad.bmp"), bmp);
  EXPECT_EQ(ErrorOf(Path("bad.bmp")), kErrInvalidPicture);
}

TEST_F(PictureIo, ContentDecidesAndRegisteredDecodersConvertTo32Bits) {
  // A JPEG named .png is still a JPEG.
  std::string misnamed = Path("photo.png");
  WriteFile(misnamed, ReadWholeFile(kCamera));
  EXPECT_EQ(LoadPicture(misnamed)->bitmap->width(), 100);

  // A decoder for a made-up format answering with a 2 x 1 picture of 8 bits per pixel.
  RegisterPictureDecoder([](std::span<const uint8_t> bytes) -> std::shared_ptr<Picture> {
    if (bytes.size() < 5 || std::memcmp(bytes.data(), "QMPIC", 5) != 0) return nullptr;
    gdi::BitmapInfoHeader h;
    h.width = 2;
    h.height = 1;
    h.bit_count = 8;
    const gdi::RGBQuad table[2] = {{0, 0, 200, 0}, {150, 10, 0, 0}};
    auto p = std::make_shared<Picture>();
    p->bitmap = gdi::DibSection::Create(h, table);
    p->bitmap->row(0)[0] = 1;
    return p;
  });
  WriteFile(Path("x.bin"), {'Q', 'M', 'P', 'I', 'C'});
  auto pic = LoadPicture(Path("x.bin"));
  ASSERT_EQ(pic->bitmap->bpp(), 32);
  EXPECT_TRUE(pic->bitmap->top_down());
  const uint8_t* row = pic->bitmap->row(0);
  EXPECT_EQ(std::vector<uint8_t>(row, row + 8),
            (std::vector<uint8_t>{150, 10, 0, 0, 0, 0, 200, 0}));

  std::string why;
  WriteFile(Path("x.gif"), {'G', 'I', 'F', '8', '9', 'a', 0});
  EXPECT_EQ(ErrorOf(Path("x.gif"), &why), kErrInvalidPicture);
  EXPECT_NE(why.find("x.gif"), std::string::npos);
}

TEST(JpegReduction, PicksTheSmallestFactorStillAtLeastTheNeed) {
  struct {
    PictureSize stored, at_least;
    int num, denom;
    PictureSize size;
  } cases[] = {
      {{2400, 1600}, {800, 533}, 3, 8, {900, 600}},
      {{2400, 1600}, {1200, 800}, 1, 2, {1200, 800}},    // exactly half is enough
      {{2400, 1600}, {1201, 800}, 5, 8, {1500, 1000}},   // one pixel more is not
      {{2400, 1600}, {300, 201}, 1, 4, {600, 400}},      // the taller need decides
      {{2400, 1600}, {10, 10}, 1, 8, {300, 200}},        // nothing smaller than an eighth
      {{2400, 1600}, {2400, 1600}, 1, 1, {2400, 1600}},  // full size needed
      {{2400, 1600}, {4800, 3200}, 1, 1, {2400, 1600}},  // never decoded larger than stored
      {{1001, 667}, {126, 84}, 1, 8, {126, 84}},         // scaled sides round up
      {{1, 5000}, {1, 100}, 1, 8, {1, 625}},
  };
  for (const auto& c : cases) {
    const JpegReduction r = ChooseJpegReduction(c.stored, c.at_least);
    EXPECT_EQ(r.num * c.denom, c.num * r.denom)
        << c.stored.width << "x" << c.stored.height << " for " << c.at_least.width << "x"
        << c.at_least.height << ": " << r.num << "/" << r.denom;
    EXPECT_EQ(r.size, c.size) << c.stored.width << "x" << c.stored.height;
  }
}

TEST_F(PictureIo, ReducedJpegsAreAskedUprightAndComeUprightAtTheReducedSize) {
  // Asked for a quarter of the upright 1800 x 1200 scene, every orientation decodes at 1/4 and
  // is turned like the full picture; the upright one matches djpeg's own 1/4 decode.
  auto load = [](const std::string& path, PictureSize* asked) {
    int calls = 0;
    auto picture = LoadPictureReduced(path, [&](PictureSize upright) {
      ++calls;
      *asked = upright;
      return PictureSize{450, 300};
    });
    EXPECT_EQ(calls, 1) << path;
    return picture;
  };
  PictureSize asked;
  const Rgb upright = FromPicture(*load(kLandscape + "0.jpg", &asked));
  ASSERT_EQ(upright.width, 450);
  ASSERT_EQ(upright.height, 300);
  if (HaveTool("djpeg")) {
    auto [worst, mean] = Compare(
        upright, ParsePpm(RunCommand("djpeg -scale 1/4 -ppm " + Quote(kLandscape + "0.jpg"))));
    EXPECT_EQ(worst, 0);
  }
  for (int k = 1; k < 8; ++k) {
    const std::string path = kLandscape + std::to_string(k) + ".jpg";
    auto picture = load(path, &asked);
    EXPECT_EQ(asked, (PictureSize{1800, 1200})) << path;
    const gdi::DibSection& dib = *picture->bitmap;
    uint8_t reserved = 0;
    for (int y = 0; y < dib.height(); ++y)
      for (int x = 0; x < dib.width(); ++x) reserved |= dib.row(y)[4 * x + 3];
    EXPECT_EQ(reserved, 0) << path;
    auto [worst, mean] = Compare(FromPicture(*picture), upright);
    EXPECT_GE(worst, 0) << path << ": not 450 x 300";
    EXPECT_LT(mean, 10.0) << path;  // re-encoded copies; a wrong turn gives 30 and more
  }
}

TEST_F(PictureIo, ReducedLoadsOfOtherFormatsAreAskedWithTheirFullSize) {
  // A BMP has no cheap reduced decode: it comes whole, and the need is asked after decoding.
  const std::string bmp = Path("whole.bmp");
  ASSERT_TRUE(SavePictureAsBmp(*LoadPicture(kCamera), bmp));
  int calls = 0;
  PictureSize asked;
  auto picture = LoadPictureReduced(bmp, [&](PictureSize upright) {
    ++calls;
    asked = upright;
    return PictureSize{10, 7};
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(asked, (PictureSize{100, 68}));
  EXPECT_EQ(picture->bitmap->width(), 100);
  EXPECT_EQ(picture->bitmap->height(), 68);

  // A damaged JPEG is refused as a full load refuses it, reduced or not.
  std::vector<uint8_t> cut = ReadWholeFile(kLandscape + "3.jpg");
  cut.resize(cut.size() / 2);
  WriteFile(Path("cut.jpg"), cut);
  for (const std::string& path : {Path("cut.jpg"), kCorpus + "/photos/cameras/corrupted.jpg"}) {
    int error = 0;
    try {
      LoadPictureReduced(path, [](PictureSize) { return PictureSize{50, 50}; });
    } catch (const RuntimeError& e) {
      error = e.number();
    }
    EXPECT_EQ(error, kErrInvalidPicture) << path;
    EXPECT_EQ(ErrorOf(path), kErrInvalidPicture) << path;
  }
}

}  // namespace
}  // namespace qm
