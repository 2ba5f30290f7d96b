#include "cli/inspect.h"

#include <cinttypes>
#include <cstdio>
#include <memory>

#include "gif/cGIF.h"
#include "imaging/cDIB.h"
#include "platform/fs.h"

namespace qm::cli {

uint64_t Fnv1a64(std::span<const uint8_t> bytes, uint64_t hash) {
  for (uint8_t b : bytes) {
    hash ^= b;
    hash *= 0x100000001b3ull;
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

bool InspectGif(const std::string& path, std::string& json, std::string& error) {
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
                "  \"global_palette_size\": %d,\n  \"frame_count\": %d,\n  \"frames\": [",
                gif.ScreenWidth(), gif.ScreenHeight(), gif.ScreenBackgroundColorIndex(),
                gif.Screen().PixelAspect, gif.AnimationLoops(),
                gif.LoopingExtension() ? "true" : "false",
                gif.GlobalPaletteExists() ? int(gif.GlobalPaletteEntries()) : 0, gif.FramesCount());
  json += buf;
  for (int16_t i = 1; i <= gif.FramesCount(); ++i) {
    std::shared_ptr<cDIB> dib = gif.FrameDIBXOR(i);
    int32_t width = 0, height = 0;
    uint64_t hash = 0xcbf29ce484222325ull;
    if (dib && dib->lpBits()) {
      width = dib->Width();
      height = dib->Height();
      BitsView view;
      MapDIBBits(view, *dib);
      for (int32_t y = 0; y < height; ++y) {
        hash = Fnv1a64(view.row(y).first(size_t(width)), hash);
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
