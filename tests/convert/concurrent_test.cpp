// Conversions that run at the same time in one process, each for its own host: every one must
// give exactly the bytes it gives alone, and a GIF written to memory must be the file's bytes.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "convert/driver.h"
#include "gif/mGIFLZWEnc.h"
#include "tests/convert/convert_support.h"

namespace qm {
namespace {

using testing::LandscapePhotos;
using testing::ReadFile;
using testing::ScratchDir;

std::vector<ConversionOptions> DifferentOptions() {
  ConversionOptions classic;  // the halftone cube, ordered dither
  classic.max_width = 200;
  ConversionOptions optimal;  // the octree palette with the classic diffusion
  optimal.palette_mode = 1;
  optimal.dither_mode = 2;
  optimal.max_height = 150;
  optimal.loop_count = 3;
  ConversionOptions best;  // a palette per frame, the fitted diffusion, frame differencing
  ApplyBestPreset(best);
  best.max_width = 240;
  best.delays_cs = {50, 10};
  return {classic, optimal, best};
}

std::vector<uint8_t> ConvertToMemory(const ConversionOptions& options) {
  BackgroundHost host;
  ConversionJob job;
  const std::vector<std::string> photos = LandscapePhotos();
  job.files = {photos[0], photos[3], photos[5], photos[6]};
  job.fps_text = "8";
  job.options = options;
  job.host = &host;
  MemoryGifOutput memory;
  job.memory = &memory;
  cGIF gif;
  const ConversionResult result = Convert(job, gif);
  EXPECT_TRUE(result.gif_written);
  EXPECT_TRUE(result.output_path.empty());
  return memory.bytes;
}

TEST(ConcurrentConversionTest, ConversionsAtOnceGiveTheBytesEachGivesAlone) {
  const std::vector<ConversionOptions> options = DifferentOptions();
  std::vector<std::vector<uint8_t>> alone;
  for (const ConversionOptions& o : options) alone.push_back(ConvertToMemory(o));

  // The memory sink holds what the file holds.
  ScratchDir out;
  cGIF gif;
  const std::vector<std::string> photos = LandscapePhotos();
  ASSERT_TRUE(StartConverting({photos[0], photos[3], photos[5], photos[6]}, "8", out.path() + "/",
                              gif, options[2])
                  .gif_written);
  EXPECT_EQ(ReadFile(out.File("out.gif")), alone[2]);

  // Twice each, all at once.
  std::vector<std::vector<uint8_t>> together(2 * options.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < together.size(); ++i)
    threads.emplace_back([&, i] { together[i] = ConvertToMemory(options[i % options.size()]); });
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < together.size(); ++i) {
    EXPECT_FALSE(together[i].empty());
    EXPECT_TRUE(together[i] == alone[i % options.size()]) << "conversion " << i;
  }
}

TEST(ConcurrentConversionTest, ACancelStopsOnlyItsOwnConversion) {
  BackgroundHost cancelled;
  cancelled.RequestCancel();
  ConversionJob job;
  job.files = {LandscapePhotos()[0]};
  job.fps_text = "5";
  job.host = &cancelled;
  MemoryGifOutput memory;
  job.memory = &memory;
  cGIF gif;
  std::vector<uint8_t> other;
  std::thread beside([&] { other = ConvertToMemory(DifferentOptions()[0]); });
  const ConversionResult result = Convert(job, gif);
  beside.join();
  EXPECT_TRUE(result.cancelled);
  EXPECT_TRUE(memory.bytes.empty());
  EXPECT_FALSE(other.empty());
  EXPECT_FALSE(cancelled.CancelRequested()) << "the run clears its own request";
}

}  // namespace
}  // namespace qm
