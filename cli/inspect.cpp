#include "cli/inspect.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWDec.h"
#include "imaging/cDIB.h"
#include "platform/fs.h"

namespace qm::cli {

namespace {

constexpr uint64_t kFnvPrime = 0x100000001b3ull;

uint64_t PrimePower(uint64_t n) {
  uint64_t result = 1, base = kFnvPrime;
  for (; n > 0; n >>= 1) {
    if (n & 1) result *= base;
    base *= base;
  }
  return result;
}

}  // namespace

uint64_t Fnv1a64(std::span<const uint8_t> bytes, uint64_t hash) {
  // A zero byte only multiplies, so a run of them folds into one power: a frame that is mostly
  // the zeros its data never reached hashes at the speed of a scan.
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    size_t zeros = 0;
    while (i + zeros + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, bytes.data() + i + zeros, 8);
      if (word != 0) break;
      zeros += 8;
    }
    while (i + zeros < n && bytes[i + zeros] == 0) ++zeros;
    if (zeros > 0) {
      hash *= PrimePower(zeros);
      i += zeros;
      continue;
    }
    hash ^= bytes[i++];
    hash *= kFnvPrime;
  }
  return hash;
}

namespace {

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(char(c));
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.push_back(char(c));
    }
  }
  return out + "\"";
}

const char* Bool(bool b) {
  return b ? "true" : "false";
}

}  // namespace

bool InspectGif(const std::string& path, std::string& json, std::string& error,
                std::string& warning) {
  warning.clear();
  if (!FileExists(path) || IsDirectory(path)) {
    error = "File does not exist: " + path;
    return false;
  }
  cGIF gif;
  if (!gif.LoadFromFile(path)) {
    error = "Not a readable GIF file: " + path;
    return false;
  }
  char buf[512];
  json = "{\n";
  json += "  \"file\": " + JsonString(path) + ",\n";
  json += "  \"version\": " + JsonString(gif.Signature() + gif.Version()) + ",\n";
  std::snprintf(buf, sizeof buf,
                "  \"screen_width\": %d,\n  \"screen_height\": %d,\n"
                "  \"background_index\": %d,\n  \"aspect_byte\": %d,\n  \"loop_count\": %d,\n"
                "  \"looping_extension\": %s,\n"
                "  \"global_palette_size\": %d,\n  \"frame_count\": %d,\n"
                "  \"images_not_read\": %" PRId64 ",\n  \"frames\": [",
                gif.ScreenWidth(), gif.ScreenHeight(), gif.ScreenBackgroundColorIndex(),
                gif.Screen().PixelAspect, gif.AnimationLoops(),
                gif.LoopingExtension() ? "true" : "false",
                gif.GlobalPaletteExists() ? int(gif.GlobalPaletteEntries()) : 0, gif.FramesCount(),
                gif.ImagesNotRead());
  json += buf;
  if (gif.ImagesNotRead() > 0) {
    warning = path + ": only the first " + std::to_string(kMaxGifFrames) + " frames were read; " +
              std::to_string(gif.ImagesNotRead()) + " more are not shown";
  }
  // An int16_t counter would wrap after frame 32767 instead of ending the loop.
  for (int32_t n = 1; n <= gif.FramesCount(); ++n) {
    const auto i = int16_t(n);
    std::shared_ptr<cDIB> dib = gif.FrameDIBXOR(i);
    int32_t width = 0, height = 0;
    uint64_t hash = 0xcbf29ce484222325ull;
    if (dib && dib->lpBits()) {
      width = dib->Width();
      height = dib->Height();
      BitsView view;
      MapDIBBits(view, *dib);
      // Rows the file's data never reached are zeros: hashed without reading them, since a read
      // would commit memory for pixels the file does not hold.
      const int32_t decoded = gif.Frame(i).DecodedRows;
      std::vector<bool> written(size_t(height), decoded < 0);
      for (int32_t k = 0; k < decoded; ++k) {
        const int32_t y = mGIFLZWDec::RowInOrder(k, height, gif.FrameInterlaced(i));
        if (y >= 0) written[size_t(y)] = true;
      }
      for (int32_t y = 0; y < height; ++y) {
        if (written[size_t(y)])
          hash = Fnv1a64(view.row(y).first(size_t(width)), hash);
        else
          hash *= PrimePower(uint64_t(width));
      }
    }
    std::snprintf(buf, sizeof buf,
                  "%s\n    {\"left\": %d, \"top\": %d, \"width\": %d, \"height\": %d, "
                  "\"interlaced\": %s, \"delay\": %d, \"disposal\": %d, \"transparent\": %s, "
                  "\"transparent_index\": %d, \"local_palette_size\": %d, "
                  "\"fnv1a64\": \"%016" PRIx64 "\"}",
                  i == 1 ? "" : ",", gif.FrameLeft(i), gif.FrameTop(i), width, height,
                  Bool(gif.FrameInterlaced(i)), gif.FrameDelay(i), gif.FrameDisposalMethod(i),
                  Bool(gif.FrameUseTransparentColor(i)), gif.FrameTransparentColorIndex(i),
                  gif.LocalPaletteUsed(i) ? int(gif.LocalPaletteEntries(i)) : 0, hash);
    json += buf;
  }
  json += gif.FramesCount() > 0 ? "\n  ]\n}\n" : "]\n}\n";
  return true;
}

}  // namespace qm::cli
