// The importer on videos made here with the AVI writer: every pixel format draws exactly as the
// platform's stretch copy does, damaged videos fail cleanly and keep the frames read so far.

#include <gtest/gtest.h>

#include <cstring>

#include "convert/mAVIImp.h"
#include "imaging/cPal8bpp.h"
#include "imaging/mDither8bpp.h"
#include "platform/avi.h"
#include "platform/cancel.h"
#include "tests/convert/convert_support.h"
#include "tests/support/fake_host.h"

namespace qm {
namespace {

using testing::FakeHost;
using testing::ScratchDir;

struct Frame {
  std::vector<uint8_t> format;  // header + colour table
  std::vector<uint8_t> pixels;
};

Frame MakeFrame(int32_t width, int32_t height, int bit_count, uint8_t seed) {
  gdi::BitmapInfoHeader h;
  h.width = width;
  h.height = height;
  h.bit_count = uint16_t(bit_count);
  const uint32_t stride = ((uint32_t(width) * bit_count + 31) / 32) * 4;
  h.size_image = stride * uint32_t(height < 0 ? -height : height);
  Frame f;
  f.format.resize(40);
  std::memcpy(f.format.data(), &h, 40);
  if (bit_count <= 8) {
    for (int i = 0; i < (1 << bit_count); ++i) {
      f.format.insert(f.format.end(), {uint8_t(i * 37), uint8_t(i * 11), uint8_t(255 - i), 0});
    }
  }
  f.pixels.resize(h.size_image);
  for (size_t i = 0; i < f.pixels.size(); ++i) f.pixels[i] = uint8_t(i * 97 + seed * 13);
  return f;
}

void WriteVideo(const std::string& path, const std::vector<Frame>& frames, uint32_t rate,
                int32_t width, int32_t height) {
  std::unique_ptr<avi::AviFile> file;
  ASSERT_EQ(avi::AVIFileOpen(file, path, avi::kOfCreate | avi::kOfWrite), 0);
  avi::AviStreamInfo info;
  info.type = avi::kStreamTypeVideo;
  info.scale = 1;
  info.rate = rate;
  info.frame = {0, 0, width, height};
  avi::AviStream* stream = nullptr;
  ASSERT_EQ(avi::AVIFileCreateStream(*file, stream, info), 0);
  ASSERT_EQ(avi::AVIStreamSetFormat(*stream, 0, frames[0].format), 0);
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(avi::AVIStreamWrite(*stream, int32_t(i), 1, frames[i].pixels, avi::kAviIfKeyFrame),
              0);
  }
  avi::AVIStreamRelease(stream);
  ASSERT_EQ(avi::AVIFileRelease(file), 0);
}

// What the importer must produce for one frame: the frame stretch-copied by the drawing
// surfaces into a 32-bit bitmap, then reduced.
std::vector<uint8_t> Expected(const Frame& f, cPal8bpp& palette, bool keep) {
  gdi::BitmapInfoHeader h;
  std::memcpy(&h, f.format.data(), 40);
  std::vector<gdi::RGBQuad> colors((f.format.size() - 40) / 4);
  if (!colors.empty()) std::memcpy(colors.data(), f.format.data() + 40, colors.size() * 4);
  auto source = gdi::DibSection::Create(h, colors);
  std::memcpy(source->bits(), f.pixels.data(), f.pixels.size());
  auto dc = gdi::CreateCompatibleDC();
  dc->Select(source.get());
  cDIB work;
  EXPECT_TRUE(work.Create(source->width(), source->height(), 32));
  gdi::StretchBlt(work.hDC(), 0, 0, work.Width(), work.Height(), dc.get(), 0, 0, source->width(),
                  source->height(), gdi::kSrcCopy);
  cDIB reduced;
  mDither8bpp::ReduceColors(work, reduced, palette, keep);
  std::vector<uint8_t> out;
  BitsView view;
  MapDIBBits(view, reduced);
  for (int y = 0; y < reduced.Height(); ++y) {
    auto row = view.row(y);
    out.insert(out.end(), row.begin(), row.begin() + reduced.Width());
  }
  return out;
}

std::vector<uint8_t> Indices(const cGIF& gif, int16_t n) {
  auto dib = gif.FrameDIBXOR(n);
  std::vector<uint8_t> out;
  BitsView view;
  MapDIBBits(view, *dib);
  for (int y = 0; y < dib->Height(); ++y) {
    auto row = view.row(y);
    out.insert(out.end(), row.begin(), row.begin() + dib->Width());
  }
  return out;
}

class ImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mDither8bpp::SetPaletteMode(0);
    mDither8bpp::SetDitherMode(1);
  }
  FakeHost host;
  ScopedHost scoped{&host};
  ScratchDir dir;
  cGIF gif;
};

TEST_F(ImportTest, EveryPixelFormatDrawsAsTheStretchCopyDoes) {
  struct Case {
    int32_t width, height;
    int bits;
  };
  for (Case c : {Case{7, 5, 24}, Case{7, -5, 24}, Case{6, 4, 32}, Case{5, -3, 32}, Case{9, 4, 8},
                 Case{3, 3, 16}}) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << "@" << c.bits);
    const std::vector<Frame> frames = {MakeFrame(c.width, c.height, c.bits, 1),
                                       MakeFrame(c.width, c.height, c.bits, 2)};
    const int32_t rows = c.height < 0 ? -c.height : c.height;
    const std::string path = dir.File("v.avi");
    WriteVideo(path, frames, 10, c.width, rows);
    gif.Destroy();
    ASSERT_TRUE(ImportAVI(path, gif));
    EXPECT_TRUE(host.messages.empty());
    ASSERT_EQ(gif.FramesCount(), 2);
    cPal8bpp palette;
    EXPECT_EQ(Indices(gif, 1), Expected(frames[0], palette, false));
    EXPECT_EQ(Indices(gif, 2), Expected(frames[1], palette, true));
    EXPECT_EQ(gif.ScreenWidth(), c.width);
    EXPECT_EQ(gif.ScreenHeight(), rows);
    EXPECT_EQ(gif.FrameDelay(1), 10);
    EXPECT_EQ(host.progress_value, 0);
    EXPECT_EQ(host.progress_max, 2);
  }
}

TEST_F(ImportTest, ADamagedSampleEndsTheImportWithTheFramesSoFar) {
  std::vector<Frame> frames;
  for (uint8_t i = 0; i < 6; ++i) frames.push_back(MakeFrame(8, 6, 24, i));
  const std::string path = dir.File("v.avi");
  WriteVideo(path, frames, 5, 8, 6);
  auto bytes = testing::ReadFile(path);
  // Find the fifth '00db' chunk and cut its size so that the sample no longer fits the format.
  size_t seen = 0, at = 0;
  for (size_t i = 0; i + 4 <= bytes.size(); ++i) {
    if (std::memcmp(&bytes[i], "00db", 4) == 0 && ++seen == 5) {
      at = i;
      break;
    }
  }
  ASSERT_NE(at, 0u);
  bytes[at + 4] = 10;
  bytes[at + 5] = bytes[at + 6] = bytes[at + 7] = 0;
  testing::WriteFile(path, bytes);

  const bool ok = ImportAVI(path, gif);
  if (gif.FramesCount() == 0) {
    // A reader may refuse the whole file at once; then it must be a clean refusal.
    EXPECT_FALSE(ok);
  } else {
    EXPECT_FALSE(ok);
    EXPECT_EQ(gif.FramesCount(), 5);  // the fifth is inserted, blank
    EXPECT_EQ(gif.FrameDelay(4), 20);
  }
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(ImportTest, TruncatedVideosNeverCrash) {
  std::vector<Frame> frames;
  for (uint8_t i = 0; i < 3; ++i) frames.push_back(MakeFrame(4, 4, 24, i));
  const std::string path = dir.File("v.avi");
  WriteVideo(path, frames, 25, 4, 4);
  const auto whole = testing::ReadFile(path);
  for (size_t len = 0; len < whole.size(); len += 7) {
    testing::WriteFile(path, {whole.begin(), whole.begin() + long(len)});
    gif.Destroy();
    const bool ok = ImportAVI(path, gif);
    EXPECT_TRUE(!ok || gif.FramesCount() == 3) << len;
  }
}

TEST_F(ImportTest, AVideoLongerThanAnAnimationHoldsIsRefusedWithoutAFrame) {
  // Frame 32768 has no 16-bit frame number; the import stops before the first frame.
  const std::vector<Frame> frames(size_t(kMaxGifFrames) + 1, MakeFrame(1, 1, 24, 7));
  const std::string path = dir.File("long.avi");
  WriteVideo(path, frames, 25, 1, 1);
  EXPECT_FALSE(ImportAVI(path, gif));
  EXPECT_EQ(gif.FramesCount(), 0);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_NE(host.messages[0].text.find("more frames than an animation holds"), std::string::npos)
      << host.messages[0].text;
}

TEST_F(ImportTest, ACancelRequestEndsTheImportAtTheNextFrame) {
  struct CancellingHost : FakeHost {
    void Yield() override {
      FakeHost::Yield();
      if (yields == 2) RequestCancel();
    }
  } cancelling;
  ScopedHost scope(&cancelling);
  std::vector<Frame> frames;
  for (uint8_t i = 0; i < 6; ++i) frames.push_back(MakeFrame(8, 8, 24, i));
  const std::string path = dir.File("v.avi");
  WriteVideo(path, frames, 25, 8, 8);
  EXPECT_FALSE(ImportAVI(path, gif));
  EXPECT_TRUE(CancelRequested());
  ResetCancel();
  EXPECT_EQ(gif.FramesCount(), 2);
  EXPECT_TRUE(cancelling.messages.empty());
  EXPECT_EQ(cancelling.progress_value, 0);
}

}  // namespace
}  // namespace qm
