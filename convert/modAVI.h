// WriteAVI: turns a list of picture files into an uncompressed single-stream AVI video, one key
// frame per picture in list order, at a given frame rate.
//
// Each picture is loaded (LoadPicture), saved as temp.bmp in `temp_folder`, read back with
// cDIBAVI and written as one sample. The first picture fixes the frame size and format; a later
// picture of another size is scaled to fit that size, keeping its aspect ratio, centred on black.
// The rate is clamped to 1..30 frames per second.
//
// A size limit (max_width and/or max_height above 0; 0 leaves that side free) makes the first
// picture's fitted size (imaging/resample.h: aspect kept, never enlarged) the frame size. Every
// picture is then decoded reduced (LoadPictureReduced) and resampled rather than stretched; a
// later picture that fits the limit at the frame size on its own fills the frame, any other is
// fitted and centred into it as above. With no limit the output is the classic one.
//
// Messages: "Could not load first bitmap file in list!" when the first
// picture's bitmap cannot be read back (no stream is written), "There was an error writing the
// file." when the video cannot be written, and, before anything is written, the free-space
// message of convert/temp_space.h (the folder, the bytes needed and free) when the whole video
// would not fit `temp_folder`; the video file is then removed. A picture that cannot be loaded
// raises its RuntimeError (481, 53, 70 ...) to the caller; the video file is closed and temp.bmp
// removed on every path. Progress (maximum = number of files, value = pictures written), one
// Yield per picture and the messages go through `host` (the current host when none is named).
// After each Yield the host's cancel request ends the video there, without a message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host.h"

namespace qm {

void WriteAVI(const std::string& avi_path, int16_t fps, const std::vector<std::string>& files,
              const std::string& temp_folder, int32_t max_width = 0, int32_t max_height = 0,
              Host& host = CurrentHost());

}  // namespace qm
