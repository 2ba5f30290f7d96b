// Test helper: decodes a GIF with giflib (DGifSlurp), a decoder this project did not write, and
// returns what the tests compare against: screen, colour tables, loop count and, per frame, the
// geometry, graphic-control settings and raw palette indices in picture row order (giflib
// de-interlaces while slurping).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qm::testing {

struct GiflibFrame {
  int left = 0, top = 0, width = 0, height = 0;
  bool interlaced = false;
  bool has_control = false;  // a graphic control extension precedes the frame
  int delay = 0;             // hundredths of a second
  int disposal = 0;
  bool user_input = false;
  int transparent = -1;  // -1: no transparent colour
  bool has_local_table = false;
  int local_table_size = 0;  // entries in the file (a power of two)
  bool local_table_sorted = false;
  std::vector<uint8_t> local_rgb;  // red, green, blue per entry
  std::vector<uint8_t> indices;    // width * height, row 0 first
};

struct GiflibResult {
  bool ok = false;      // DGifOpen and DGifSlurp both succeeded
  int error = 0;        // giflib's error code when !ok
  std::string version;  // "87a" / "89a", from the header bytes
  int screen_width = 0, screen_height = 0;
  int color_resolution = 0;
  int background = 0;
  int aspect_byte = 0;
  bool has_global_table = false;
  int global_table_size = 0;
  bool global_table_sorted = false;
  std::vector<uint8_t> global_rgb;
  int loop_count = -1;  // -1: no NETSCAPE2.0 block; 0: forever
  int netscape_blocks = 0;
  std::vector<GiflibFrame> frames;  // every frame giflib produced (may be partial when !ok)
};

GiflibResult DecodeWithGiflib(std::span<const uint8_t> data);

// The screen as a viewer shows it after each frame: 0x00RRGGBB per pixel, row 0 first;
// kNothingShown where no frame has drawn (or disposal 2 cleared), kNoColour for an index past
// its table.
inline constexpr uint32_t kNothingShown = 0xFF000000u;
inline constexpr uint32_t kNoColour = 0xFE000000u;
std::vector<std::vector<uint32_t>> CompositeFrames(const GiflibResult& gif);
GiflibResult DecodeFileWithGiflib(const std::string& path);

}  // namespace qm::testing
