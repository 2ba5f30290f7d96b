#include "convert/cDIBAVI.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/error.h"
#include "tests/convert/convert_support.h"
#include "tests/support/fake_host.h"

namespace qm {
namespace {

using testing::FakeHost;
using testing::MakeBmp;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

class CDibAviTest : public ::testing::Test {
 protected:
  FakeHost host;
  ScopedHost scoped{&host};
  ScratchDir dir;
};

TEST_F(CDibAviTest, ReadsHeaderFieldsAndBlocksOfA24BitFile) {
  const auto bytes = MakeBmp(5, 3, 24, 0);
  WriteFile(dir.File("a.bmp"), bytes);
  cDIBAVI dib;
  ASSERT_TRUE(dib.CreateFromFile(dir.File("a.bmp")));
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(dib.FileType(), 19778);
  EXPECT_EQ(dib.SizeFileHeader(), int32_t(bytes.size()));
  EXPECT_EQ(dib.BitOffset(), 54);
  EXPECT_EQ(dib.SizeInfoHeader(), 40);
  EXPECT_EQ(dib.Width(), 5);
  EXPECT_EQ(dib.Height(), 3);
  EXPECT_EQ(dib.Planes(), 1);
  EXPECT_EQ(dib.BitCount(), 24);
  EXPECT_EQ(dib.Compression(), 0);
  EXPECT_EQ(dib.SizeImage(), 16 * 3);  // 15 bytes a row, padded to 16
  EXPECT_EQ(dib.XPPM(), 2835);
  EXPECT_EQ(dib.YPPM(), 2835);
  EXPECT_EQ(dib.SizeBitmapInfo(), 40);
  EXPECT_EQ(0, std::memcmp(dib.PointerToBitmapInfo(), bytes.data() + 14, 40));
  EXPECT_EQ(0, std::memcmp(dib.PointerToBits(), bytes.data() + 54, 48));
}

TEST_F(CDibAviTest, KeepsTheColourTableInTheBitmapInfoBlock) {
  const auto bytes = MakeBmp(7, 2, 8, 256);
  WriteFile(dir.File("p.bmp"), bytes);
  cDIBAVI dib;
  ASSERT_TRUE(dib.CreateFromFile(dir.File("p.bmp")));
  EXPECT_EQ(dib.BitOffset(), 1078);
  EXPECT_EQ(dib.SizeBitmapInfo(), 1064);
  EXPECT_EQ(0, std::memcmp(dib.PointerToBitmapInfo(), bytes.data() + 14, 1064));
  EXPECT_EQ(dib.SizeImage(), 16);
}

TEST_F(CDibAviTest, TheThreeMessagesCarryTheFileNameIconAndTitle) {
  cDIBAVI dib;
  const std::string missing = dir.File("missing.bmp");
  EXPECT_FALSE(dib.CreateFromFile(missing));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, "File does not exist:\r\n" + missing);
  EXPECT_EQ(host.messages[0].icon, MsgIcon::Critical);
  EXPECT_EQ(host.messages[0].title, "Quillomat");

  WriteFile(dir.File("x.bmp"), {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_FALSE(dib.CreateFromFile(dir.File("x.bmp")));
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(host.messages[1].text,
            "File is not a supported bitmap format:\r\n" + dir.File("x.bmp"));
  EXPECT_EQ(host.messages[1].icon, MsgIcon::Information);
  EXPECT_EQ(host.messages[1].title, "Quillomat");
  // The refused file's header replaced the file header; the rest is untouched (still empty).
  EXPECT_EQ(dib.FileType(), int16_t('G' | ('I' << 8)));
  EXPECT_EQ(dib.SizeBitmapInfo(), 0);

  // A folder is no file.
  EXPECT_FALSE(dib.CreateFromFile(dir.path()));
  EXPECT_EQ(host.messages.back().text, "File does not exist:\r\n" + dir.path());
}

TEST_F(CDibAviTest, RefusesEveryTruncationWithoutReadingOutOfBounds) {
  const auto good = MakeBmp(9, 4, 24, 0);
  cDIBAVI dib;
  for (size_t len = 0; len < good.size(); ++len) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + long(len));
    WriteFile(dir.File("t.bmp"), cut);
    host.messages.clear();
    EXPECT_FALSE(dib.CreateFromFile(dir.File("t.bmp"))) << "length " << len;
    ASSERT_EQ(host.messages.size(), 1u) << "length " << len;
    EXPECT_EQ(host.messages[0].text.rfind("File is not a supported bitmap format:", 0), 0u);
  }
  WriteFile(dir.File("t.bmp"), good);
  EXPECT_TRUE(dib.CreateFromFile(dir.File("t.bmp")));
}

TEST_F(CDibAviTest, RefusesHeadersThatPointOutsideTheFile) {
  cDIBAVI dib;
  auto check_refused = [&](std::vector<uint8_t> bytes, const char* what) {
    WriteFile(dir.File("d.bmp"), bytes);
    host.messages.clear();
    EXPECT_FALSE(dib.CreateFromFile(dir.File("d.bmp"))) << what;
    EXPECT_EQ(host.messages.size(), 1u) << what;
  };
  auto set32 = [](std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); };

  auto bytes = MakeBmp(4, 4, 32, 0);
  set32(bytes, 34, 0x7FFFFFF0);  // image size far beyond the file
  check_refused(bytes, "huge image size");
  bytes = MakeBmp(4, 4, 32, 0);
  set32(bytes, 10, 20);  // bits offset inside the headers
  check_refused(bytes, "bits offset below 54");
  bytes = MakeBmp(4, 4, 32, 0);
  set32(bytes, 10, 0xFFFFFFF0);  // bits offset past the end
  check_refused(bytes, "bits offset past the end");
  bytes = MakeBmp(4, 4, 32, 0, 0);
  set32(bytes, 30, 1);  // compressed with no size: nothing to compute it from
  check_refused(bytes, "compressed, size 0");
  bytes = MakeBmp(4, 4, 24, 0, 0);
  set32(bytes, 22, 0x40000000);  // size 0 and a height whose pixels the file does not hold
  check_refused(bytes, "size 0, huge height");
}

TEST_F(CDibAviTest, ComputesAMissingImageSize) {
  // 3 x 2 at 24 bits: rows of 9 bytes padded to 12, bottom-up; and the same top-down.
  for (int32_t height : {2, -2}) {
    WriteFile(dir.File("z.bmp"), MakeBmp(3, height, 24, 0, 0));
    cDIBAVI dib;
    ASSERT_TRUE(dib.CreateFromFile(dir.File("z.bmp"))) << height;
    EXPECT_EQ(dib.SizeImage(), 24);
    // The stream format must carry the size too.
    uint32_t in_block = 0;
    std::memcpy(&in_block, dib.PointerToBitmapInfo() + 20, 4);
    EXPECT_EQ(in_block, 24u);
  }
  EXPECT_EQ(UncompressedImageSize(1, 1, 1), 4u);
  EXPECT_EQ(UncompressedImageSize(33, 1, 1), 8u);
  EXPECT_EQ(UncompressedImageSize(0, 1, 24), 0u);
  EXPECT_EQ(UncompressedImageSize(65535, 65535, 32), 0u);  // beyond 31 bits
  EXPECT_EQ(UncompressedImageSize(4, 4, 12), 0u);
}

TEST_F(CDibAviTest, WriteToFileCopiesExactlyAndTruncatesALongerFile) {
  const auto bytes = MakeBmp(6, 5, 8, 16);
  WriteFile(dir.File("src.bmp"), bytes);
  cDIBAVI dib;
  ASSERT_TRUE(dib.CreateFromFile(dir.File("src.bmp")));
  WriteFile(dir.File("dst.bmp"), std::vector<uint8_t>(bytes.size() * 3, 0xEE));
  EXPECT_TRUE(dib.WriteToFile(dir.File("dst.bmp")));
  EXPECT_EQ(ReadFile(dir.File("dst.bmp")), bytes);
  EXPECT_FALSE(dib.WriteToFile(dir.File("no-such-folder/dst.bmp")));
}

TEST_F(CDibAviTest, ARefusedFileKeepsThePixelsOfTheLastGoodOne) {
  // Files of different sizes in turn, refused ones between them: the pixels are always those
  // of the last file taken, and a packed bitmap replaces them too.
  auto a = MakeBmp(7, 4, 24, 0);
  auto b = MakeBmp(3, 9, 32, 0);
  for (size_t i = 54; i < b.size(); ++i) b[i] = uint8_t(i * 7);
  WriteFile(dir.File("a.bmp"), a);
  WriteFile(dir.File("b.bmp"), b);
  WriteFile(dir.File("bad.bmp"), std::vector<uint8_t>(a.begin(), a.begin() + 60));
  auto pixels = [](const std::vector<uint8_t>& f) {
    return std::vector<uint8_t>(f.begin() + 54, f.end());
  };
  auto held = [](const cDIBAVI& d) {
    return std::vector<uint8_t>(d.Bits().begin(), d.Bits().end());
  };
  cDIBAVI dib;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(dib.CreateFromFile(dir.File("a.bmp")));
    EXPECT_EQ(held(dib), pixels(a));
    EXPECT_FALSE(dib.CreateFromFile(dir.File("bad.bmp")));
    EXPECT_EQ(held(dib), pixels(a));
    EXPECT_EQ(0, std::memcmp(dib.PointerToBits(), a.data() + 54, a.size() - 54));
    ASSERT_TRUE(dib.CreateFromFile(dir.File("b.bmp")));
    EXPECT_EQ(held(dib), pixels(b));
    EXPECT_FALSE(dib.CreateFromFile(dir.File("missing.bmp")));
    EXPECT_EQ(held(dib), pixels(b));
  }
  const std::vector<uint8_t> packed(a.begin() + 14, a.end());
  ASSERT_TRUE(dib.CreateFromPackedDIBPointer(packed));
  EXPECT_EQ(held(dib), pixels(a));
}

TEST_F(CDibAviTest, PackedBitmapsOf16BitsOrMoreAreTakenWithAFreshFileHeader) {
  auto file = MakeBmp(4, 3, 24, 0);
  std::vector<uint8_t> packed(file.begin() + 14, file.end());
  cDIBAVI dib;
  ASSERT_TRUE(dib.CreateFromPackedDIBPointer(packed));
  EXPECT_EQ(dib.FileType(), 19778);
  EXPECT_EQ(dib.SizeFileHeader(), 54 + 36);
  EXPECT_EQ(dib.BitOffset(), 54);
  EXPECT_EQ(dib.SizeBitmapInfo(), 40);
  EXPECT_EQ(0, std::memcmp(dib.PointerToBits(), packed.data() + 40, 36));
  EXPECT_TRUE(dib.WriteToFile(dir.File("w.bmp")));
  EXPECT_EQ(ReadFile(dir.File("w.bmp")), file);

  // Short of its pixels, 8 bits, or no image size: refused; the held blocks stay.
  packed.pop_back();
  EXPECT_FALSE(dib.CreateFromPackedDIBPointer(packed));
  auto eight = MakeBmp(4, 3, 8, 0);
  EXPECT_FALSE(dib.CreateFromPackedDIBPointer({eight.data() + 14, eight.size() - 14}));
  EXPECT_EQ(dib.BitCount(), 8);  // the header keeps what was copied
  EXPECT_EQ(dib.SizeBitmapInfo(), 40);
  EXPECT_EQ(dib.SizeFileHeader(), 54 + 36);
  EXPECT_FALSE(dib.CreateFromPackedDIBPointer({packed.data(), 20}));
}

TEST_F(CDibAviTest, AddressesOfEmptyBlocksRaiseSubscriptOutOfRange) {
  cDIBAVI dib;
  try {
    dib.PointerToBits();
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), kErrSubscript);
  }
  EXPECT_THROW(dib.PointerToBitmapInfo(), RuntimeError);
  EXPECT_EQ(dib.SizeBitmapInfo(), 0);
}

TEST_F(CDibAviTest, ReadsABitmapWrittenByImageMagick) {
  if (!testing::ToolAvailable("convert")) GTEST_SKIP() << "ImageMagick not installed";
  const std::string path = dir.File("im.bmp");
  ASSERT_EQ(testing::RunCommand("convert -size 7x5 xc:'rgb(255,0,0)' -type TrueColor BMP3:" + path),
            0);
  cDIBAVI dib;
  ASSERT_TRUE(dib.CreateFromFile(path));
  EXPECT_EQ(dib.Width(), 7);
  EXPECT_EQ(dib.Height(), 5);
  EXPECT_EQ(dib.BitCount(), 24);
  ASSERT_EQ(dib.SizeImage(), 24 * 5);
  for (int row = 0; row < 5; ++row) {
    for (int x = 0; x < 7; ++x) {
      const uint8_t* p = dib.PointerToBits() + row * 24 + x * 3;
      EXPECT_EQ(p[0], 0);
      EXPECT_EQ(p[1], 0);
      EXPECT_EQ(p[2], 255);
    }
  }
}

}  // namespace
}  // namespace qm
