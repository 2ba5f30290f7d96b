// The conversion driver: what "Start Converting" runs, independent of any window. It checks the
// inputs, writes the pictures to an intermediate AVI in a private temporary folder, imports that
// video into `gif` (dithering every frame onto the shared palette) and saves `out.gif` in the
// output folder. Every message, the busy pointer and the progress bar go through the current
// host (platform/host.h); run-time errors are shown with the common error report and the run
// goes on with its next step.
#pragma once

#include <string>
#include <vector>

#include "gif/cGIF.h"

namespace qm {

struct ConversionOptions {
  int palette_mode = 0;    // colour-reduction palette switch: 0 halftone cube, 1 optimal
  int dither_mode = 1;     // 0 nearest, 1 ordered, 2 error diffusion
  bool keep_temp = false;  // keep the private temporary folder (temp.bmp, temp.avi)
};

struct ConversionResult {
  bool gif_written = false;  // out.gif was saved completely
  bool started = false;      // false when the input checks stopped the run, or one was running
  std::string output_path;   // the out.gif path
  std::string temp_folder;   // the private temporary folder ("" when none could be made)
};

// Runs one conversion. `files` in frame order; `fps_text` as typed in the frame-rate field;
// `output_folder` normally ends with "/" (joined with "out.gif" without doubling the "/").
// `output_file` non-empty overrides the output path (the command line's --out FILE.gif).
// A second call while one runs returns at once with started == false.
ConversionResult StartConverting(const std::vector<std::string>& files, const std::string& fps_text,
                                 const std::string& output_folder, cGIF& gif,
                                 const ConversionOptions& options = {},
                                 const std::string& output_file = {});

bool ConversionRunning();

}  // namespace qm
