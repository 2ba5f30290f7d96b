// Fitting a GIF under a size cap (ConversionOptions::max_bytes, the command line's --max-size):
// the best GIF of the pictures that is not larger than the cap.
//
// Quality is spent in the order that costs least per byte saved: first the lossy level, from the
// options' own level up to kFitLossyLimit (past it, measured on photos, quality falls faster than
// it does when the frames are made smaller), then the frame size, in steps that keep the aspect
// ratio (never larger than the options' max_width x max_height, never enlarged, the long side at
// least kFitSmallestSide pixels). Frames and their timing never change.
//
// How it gets there: trial conversions in memory (Convert with a MemoryGifOutput) of a sample of
// the pictures (convert/estimate.h), first at a small size and then at the size they point to,
// give the first try; the whole list is then converted at that size and saved at several lossy
// levels (only the LZW coding is redone), and converted again at a corrected size when it misses.
// It aims between 0.85 and 1 times the cap. The chosen GIF replaces out.gif only once complete.
//
// Messages go through the conversion's host: the trials are silent apart from their progress;
// a failure is told as Convert tells it, and a cap that even the smallest frames cannot reach says
// the smallest size it can make ("The smallest GIF of these pictures is 3.2 KB ...") and writes
// nothing. Cancelling works as in Convert.
#pragma once

#include <cstdint>
#include <string>

#include "convert/driver.h"

namespace qm {

// The highest lossy level the fit raises the dial to before it makes the frames smaller.
inline constexpr int32_t kFitLossyLimit = 20;
// The smallest frames it makes: this many pixels on the long side (or the pictures' own size).
inline constexpr int32_t kFitSmallestSide = 16;

// The fewest bytes any GIF of `frames` frames takes (header, screen, loop block, trailer and per
// frame a graphic control, an image descriptor and the shortest image data): a cap below this
// cannot be met whatever the pictures.
int64_t SmallestPossibleGif(int32_t frames);

// Runs the fit for `job`, whose input checks Convert has passed; `output_path` is where out.gif
// goes ("" when job.memory receives it).
ConversionResult ConvertToFit(const ConversionJob& job, cGIF& gif, Host& host,
                              const std::string& output_path);

// "7.83 MB", "512 KB", "900 bytes": sizes as the fit reports them, K and M being 1024 and
// 1024^2.
std::string FitSizeText(int64_t bytes);

}  // namespace qm
