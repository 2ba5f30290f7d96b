// Picture services: loading a picture file into a Picture and saving a Picture as a BMP file.
//
// The format is decided by the file's content, never by its name: JPEG (through TurboJPEG), PNG
// (through libpng) and BMP (through the project's BMP reader) are built in; other formats can be
// added with RegisterPictureDecoder. Every loaded picture is a 32-bit top-down bitmap whose pixels
// are blue, green, red, 0.
//
// JPEG orientation: the EXIF orientation tag (values 2-8) is applied, so the picture comes out the
// way a camera's viewer shows it; a missing or unreadable tag leaves the stored orientation.
//
// Errors (RuntimeError): 53 when the file does not exist, 70 when it cannot be read (including a
// folder), 481 when the content is none of the known formats, is damaged or truncated (a JPEG that
// only decodes in part is refused, not padded with grey), or is larger than kMaxPicturePixels; the
// 481 description names the file, e.g.
//   "Invalid picture: /path/x.jpg (not a JPEG, PNG, BMP or GIF file)".
// Dimensions are checked before any pixel memory is allocated.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/picture.h"

namespace qm {

// Largest picture accepted, in pixels (width * height); 2^28 pixels is 1 GiB at 32 bits.
inline constexpr uint64_t kMaxPicturePixels = uint64_t(1) << 28;

// Loads a picture file; see the header comment for formats and errors. Never returns null.
std::shared_ptr<Picture> LoadPicture(const std::string& path);

struct PictureSize {
  int32_t width = 0;
  int32_t height = 0;
  friend bool operator==(const PictureSize&, const PictureSize&) = default;
};

// Given a picture's upright size (after the EXIF orientation), the smallest size it is needed at.
using NeededSize = std::function<PictureSize(PictureSize upright)>;

// Loads like LoadPicture, but a JPEG is decoded at the smallest of TurboJPEG's reduced sizes that
// is still at least `needed(upright)` on both sides (full size when none is smaller), which costs
// a fraction of a full decode; other formats come at full size. The caller resamples the result
// to the exact size it wants. `needed` is called once, before any pixel is decoded.
std::shared_ptr<Picture> LoadPictureReduced(const std::string& path, const NeededSize& needed);

// The TurboJPEG scaling factor (num / denom, at most 1/1) a JPEG stored as width x height is
// decoded with to come out at least min_width x min_height, and the size that gives.
struct JpegReduction {
  int num = 1;
  int denom = 1;
  PictureSize size;
};
JpegReduction ChooseJpegReduction(PictureSize stored, PictureSize at_least);

// Decodes picture bytes that are not JPEG, PNG or BMP. A decoder returns null when the bytes are
// not its format or are damaged (it may also throw RuntimeError); it must not keep the span.
// Its picture's bitmap may have any depth the drawing surfaces support; LoadPicture converts it
// to 32 bits top-down.
using PictureDecoder = std::function<std::shared_ptr<Picture>(std::span<const uint8_t>)>;

// Adds a decoder tried, in order of registration, for content the built-in formats do not claim.
// Registering is meant for start-up; it is not synchronised with concurrent loads.
void RegisterPictureDecoder(PictureDecoder decoder);

// Writes the picture as an uncompressed 24-bit bottom-up BMP with its image-size field filled,
// replacing any existing file. False when the picture has no bitmap or the file cannot be
// written completely.
bool SavePictureAsBmp(const Picture& picture, const std::string& path);

}  // namespace qm
