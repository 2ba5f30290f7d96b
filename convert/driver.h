// The conversion driver: what "Start Converting" runs, independent of any window. It checks the
// inputs, writes the pictures to an intermediate AVI in a private temporary folder, imports that
// video into `gif` (every frame reduced to palette indices as the options choose) and saves
// `out.gif` in the output folder, or into memory for a trial encode. Every message, the busy
// pointer, the progress bar and the cancel request go through the conversion's host
// (platform/host.h); run-time errors are shown with the common error report and the run goes on
// with its next step.
//
// Threads: everything one conversion uses belongs to it (its options, its host, its temporary
// folder, its `gif`), so conversions may run at the same time on different threads, each with its
// own host and cGIF, and each gives the bytes it gives alone. The GIF picture decoder
// (convert/gif_picture.h) must be registered before the first conversion starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWEnc.h"
#include "platform/host.h"

namespace qm {

// Every choice of one conversion, from the command line or the window. The defaults are the
// classic conversion, whose out.gif must not change by a byte; every other value is opt-in.
struct ConversionOptions {
  // Colour reduction: 0 the halftone cube, 1 the optimal palette of the first frame (both the
  // classic switches), 2 one palette from every frame (global colour table), 3 a palette per
  // frame (local colour tables).
  int palette_mode = 0;
  int dither_mode = 1;     // 0 nearest, 1 ordered, 2 error diffusion
  bool keep_temp = false;  // keep the private temporary folder (temp.bmp, temp.avi)

  // Output size: every frame fits inside max_width x max_height with its aspect ratio kept and is
  // never enlarged; 0 leaves that side unlimited (both 0: the pictures' own size).
  int32_t max_width = 0;
  int32_t max_height = 0;

  // Store each frame after the first as the rectangle that changed, unchanged pixels transparent.
  bool optimize = false;
  // How lossy the LZW compression is, 0 (exact) to 200 (cGIF::SetLossy).
  int32_t lossy = 0;

  // A cap on out.gif's size in bytes (0: none): the best GIF not larger (convert/size_fit.h). It
  // raises the lossy level (from `lossy`) up to kFitLossyLimit first, and only then makes the
  // frames smaller than max_width x max_height, keeping their aspect ratio; frames and timing stay.
  int64_t max_bytes = 0;

  // How many times the animation plays: 0 for ever (the looping extension with 0), 1 once (no
  // looping extension), N >= 2 a repeat count of N - 1.
  int32_t loop_count = 0;
  // Frame delays in hundredths of a second; -1 / empty leaves the delay the frame rate gives.
  int32_t hold_first_cs = -1;      // the first frame's delay
  int32_t hold_last_cs = -1;       // the last frame's delay
  std::vector<int32_t> delays_cs;  // per frame in order, the last value repeating
};

// The largest values the options carry into the file: the animation model keeps sizes, delays
// and the repeat count as signed 16-bit numbers, and the repeat count is one less than the plays.
inline constexpr int32_t kMaxOutputSide = 32767;  // pixels, max_width / max_height
inline constexpr int32_t kMaxDelayCs = 32767;     // hundredths of a second, 327.67 s
inline constexpr int32_t kMaxLoopCount = 32768;   // plays

// The preset a user should reach for (the command line's --best): sets the choices that give the
// best quality for the file size on photos, and leaves size, timing and the rest alone.
void ApplyBestPreset(ConversionOptions& options);

// Sets how many times the animation plays: 0 for ever, 1 once (no looping extension), N >= 2 a
// repeat count of N - 1 (at most kMaxLoopCount plays).
void SetPlayCount(cGIF& gif, int32_t loop_count);

struct ConversionResult {
  bool gif_written = false;  // out.gif was saved completely
  bool started = false;      // false when the input checks stopped the run
  bool cancelled = false;    // a cancel request (platform/cancel.h) stopped the run
  std::string output_path;   // the out.gif path ("" when written to memory)
  std::string temp_folder;   // the private temporary folder ("" when none could be made)
  // What a size cap chose (max_bytes above 0 and the GIF written): the lossy level, the frame
  // size and the file's size.
  struct Fit {
    int32_t lossy = 0;
    int32_t width = 0, height = 0;
    int64_t bytes = 0;
  };
  std::optional<Fit> fit;
  // Why the run failed, as the user was told (the saving or creating message, with the path and
  // the reason, or the first error's report); "" when nothing failed.
  std::string error;
};

// One conversion's inputs, its output and the host it reports to.
struct ConversionJob {
  std::vector<std::string> files;  // in frame order
  std::string fps_text;            // as typed in the frame-rate field
  // out.gif goes here; normally ends with "/" (joined with "out.gif" without doubling the "/").
  std::string output_folder;
  std::string output_file;  // non-empty: this path instead (the command line's --out FILE.gif)
  ConversionOptions options;
  Host* host = nullptr;  // null: the current host
  // Non-null: the GIF goes here (replacing what it held) instead of into a file, and nothing in
  // the output folder is looked at, deleted or written; only the temporary video touches the disk.
  MemoryGifOutput* memory = nullptr;
};

// Runs one conversion.
//
// Refused up front, before anything is written, each with a message: an empty list, a frame rate
// that is not a number, more pictures than an animation holds (kMaxGifFrames), and an output path
// that is the same file as a listed picture (also through links).
//
// The output: the new GIF is written beside out.gif and takes its place only when it is complete
// (platform/replacing_file.h), so a run that fails, is cancelled or crashes leaves the old
// out.gif exactly as it was. A save that fails says "Unexpected error saving GIF file." with the
// path and the reason (no such folder, permission denied, the disk full) and no "Done." after it;
// an import that fails says "Unexpected error creating GIF file." with the first error's text.
//
// Cancelling: the stages look for the host's cancel request between frames. A cancelled run
// removes the temporary folder (even with keep_temp) and what it had written of the new GIF,
// resets the pointer and the progress bar and says "Cancelled." instead of "Done.". The request
// is cleared when the run ends.
ConversionResult Convert(const ConversionJob& job, cGIF& gif);

// Convert for the current host, writing a file.
ConversionResult StartConverting(const std::vector<std::string>& files, const std::string& fps_text,
                                 const std::string& output_folder, cGIF& gif,
                                 const ConversionOptions& options = {},
                                 const std::string& output_file = {});

}  // namespace qm
