// A GIF file as a picture of the list: its first frame, for the picture loader
// (platform/picture_io.h), which knows only JPEG, PNG and BMP by itself.
//
// Call RegisterGifPictureDecoder once when the program starts, before any picture is loaded or
// any conversion starts; the loader's table of decoders is only read afterwards, from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/picture_io.h"

namespace qm {

// Frame 1 of a GIF file as a 32-bit picture of the logical screen's size (the frame's own size
// when the screen is smaller), the frame placed at its position on black; transparent pixels stay
// black. Null when the bytes are not a GIF with a readable first frame.
std::shared_ptr<Picture> DecodeGifFirstFrame(std::span<const uint8_t> bytes);

// Adds DecodeGifFirstFrame to the loader; a second call adds nothing.
void RegisterGifPictureDecoder();

}  // namespace qm
