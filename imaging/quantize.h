// quantize: palettes made for the pictures, with libimagequant. Either one palette for many
// frames (SharedPalette: a histogram over every frame, then one palette) or one palette per
// frame (QuantizeFrame), and the frame mapped onto it with no dither, an ordered (Bayer) dither
// or error diffusion. mDither8bpp's classic halftone and optimal routines are separate and stay
// as they are.
//
// Where the pieces are: quantize.cpp wraps libimagequant (QuantizeFrame, SharedPalette);
// fitted_diffusion.cpp is the error diffusion and fitted_ordered_dither.cpp the ordered dither,
// both finding entries through nearest_entry.h; frame_changes.cpp holds ChangedShare and
// RemapChanges; fitted_frames.cpp checks frames and makes targets (and holds ToRgba).
//
// Determinism: libimagequant runs single-threaded inside every call here, so the same frames and
// settings give the same bytes on any machine; callers get their parallelism by running frames
// side by side (SharedPalette's lanes, or QuantizeFrame on several threads at once).
//
// Errors (RuntimeError): a frame that is not a 32-bit bitmap, or a size libimagequant refuses,
// raises invalid call (5); SharedPalette::Build with no frame added raises 5; a library failure
// raises 7 (out of memory) or 5, naming the step.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/cDIB.h"

namespace qm::quantize {

// The defaults are tuned with bench/quality.sh on photos (pans and slideshows of 640 x 480). A
// frame's palette is built from a sample of about 24 000 of its pixels, one from each block of up
// to 8 x 8 (so more on frames over 1.5 megapixels; the whole frame when it has 256 colours or
// fewer), which is as good on photos as the whole frame at a fraction of the cost; error diffusion
// is our own Floyd-Steinberg onto that palette, at 0.65 of full strength, which keeps most of the
// quality gain while the dither noise no longer makes the file larger than ffmpeg's. Fewer colours
// or a quality target below 100 cost more quality than they saved in size.
struct Settings {
  int dither_mode = 2;            // 0 nearest colour, 1 ordered (Bayer), 2 error diffusion
  int speed = 6;                  // libimagequant's 1 (slowest) .. 10
  int max_colors = 256;           // 2..256
  int max_quality = 100;          // 0..100; below 100 lets a palette stop short of max_colors
  float diffusion_level = 0.65f;  // 0..1, how much of the error diffusion carries
  // Error diffusion only: how much squared error a pixel may add to take the entry of the pixel
  // before it in its row, whose run LZW stores in fewer codes (0: always the nearest entry).
  float run_slack = 0.0f;
  // Error diffusion only: a carried error of a smaller squared length is dropped, so flat areas
  // stay flat (4: two levels of one channel).
  float quiet_error = 4.0f;
};

// A frame as libimagequant reads it: red, green, blue, 255 per pixel, rows top-down, unpadded.
struct RgbaFrame {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> pixels;
};
RgbaFrame ToRgba(const cDIB& frame32);

// The first `entries` colours in the bitmap colour-table layout (blue, green, red, 0), ready for
// cDIB::SetPalette or a GIF colour table.
struct Palette {
  std::array<uint8_t, 1024> table{};
  int entries = 0;
  bool operator==(const Palette&) const = default;
};

// Builds the frame's own palette and maps the frame onto it: `target` becomes an 8-bit bitmap of
// the frame's size holding indices below palette.entries (its colour table left as it was).
void QuantizeFrame(const Settings& settings, const RgbaFrame& frame, cDIB& target,
                   Palette& palette);

// A palette of at most `max_colors` (2..256) colours for all of `pixels` (any layout: only the
// colours count), without mapping anything onto it.
Palette FitColours(const Settings& settings, const RgbaFrame& pixels, int max_colors);

// A coarse colour histogram of a frame: 16 levels a channel, from every second pixel of every
// second row, each bin the share of the pixels counted.
struct ColourHistogram {
  std::vector<float> share;
};
ColourHistogram CoarseHistogram(const RgbaFrame& frame);

// The share of the colours two frames have in common, 0 (none) to 1 (the same histogram).
double CommonColours(const ColourHistogram& a, const ColourHistogram& b);

// Frames that hardly change can keep the palette of the frame before and the indices of every
// pixel that did not change, so that a viewer shows those pixels exactly as before (and frame
// differencing can leave them out). A pixel counts as unchanged while no channel is more than
// kKeepTolerance away from the colour its index was chosen for.
constexpr int kKeepTolerance = 3;

// The share (0..1) of the frame's pixels that differ from `reference` by more than
// kKeepTolerance in some channel; 1 when the sizes differ.
double ChangedShare(const RgbaFrame& reference, const RgbaFrame& frame);

// Maps `frame` onto `palette` in the settings' dither mode, except that a pixel within
// kKeepTolerance of `reference` takes its index in `previous` (the previous frame's 8-bit bitmap,
// whose indices refer to `palette`). `reference` holds, per pixel, the source colour its index was
// chosen for: it is updated for every pixel mapped anew, so slow drift is caught once it adds up.
// When the changed pixels bring colours the palette shows badly, some entries are first given
// colours fitted to them (fitted_new_colours.h): entries no kept pixel uses, then ones whose kept
// pixels lose little; `palette` is updated, and kept pixels of an entry that changed colour are
// mapped anew, so every pixel that keeps its index still shows the colour it showed.
void RemapChanges(const Settings& settings, const RgbaFrame& frame, Palette& palette,
                  const cDIB& previous, RgbaFrame& reference, cDIB& target);

// Maps the frame onto `palette` with a Bayer 8 x 8 ordered dither whose strength follows the
// palette's spacing; each offset colour takes the entry nearest (by squared RGB distance) to the
// centre of its cell of 4 levels a channel.
void OrderedDither(const RgbaFrame& frame, const Palette& palette, cDIB& target);

// One palette from every frame added: Add each frame, Build once, then Remap each frame.
class SharedPalette {
 public:
  // Remap calls on different lanes may run at the same time; a lane serves one call at a time.
  static constexpr int kLanes = 2;

  explicit SharedPalette(const Settings& settings);
  ~SharedPalette();
  SharedPalette(const SharedPalette&) = delete;
  SharedPalette& operator=(const SharedPalette&) = delete;

  void Add(const RgbaFrame& frame);
  void Build();
  const Palette& palette() const;
  // Maps the frame onto the palette into `target` (as QuantizeFrame does); `used` receives the
  // table its indices refer to, which is palette().
  void Remap(int lane, const RgbaFrame& frame, cDIB& target, Palette& used);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qm::quantize
