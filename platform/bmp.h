// The project's own Windows BMP reader and writer.
//
// ReadBmp accepts uncompressed files of 1, 4, 8, 16, 24 and 32 bits per pixel (32-bit files may
// also use bit fields with the standard blue/green/red masks) with the 40-byte information header
// or its larger V2..V5 successors, stored bottom-up or top-down. The bitmap it returns keeps the
// file's row order (DibSection::top_down) and its pixel bytes unchanged; for 1/4/8 bits the
// colour table is the file's, padded with black. The input is untrusted: every header field is
// checked against the file's length before use, and anything damaged, truncated or unsupported
// gives nullptr with a one-line reason in *error (when error is not null). It never throws.
//
// EncodeBmp24 turns any bitmap into a complete 24-bit bottom-up BMP file (biSizeImage filled),
// converting colours through the colour table where there is one; it returns an empty vector
// when the bitmap is too large to encode. WriteBmp24 writes that file to `path`, replacing it,
// and returns false when nothing could be encoded or the file could not be written completely.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/byte_reader.h"
#include "platform/gdi.h"

namespace qm {

// Reads the 40-byte information header's fields at the reader's position, all of them or none
// usable: false when fewer than 40 bytes remain. Nothing is validated here.
bool ReadBitmapInfoHeader(ByteReader& in, gdi::BitmapInfoHeader& header);

std::unique_ptr<gdi::DibSection> ReadBmp(std::span<const uint8_t> file, std::string* error);

std::vector<uint8_t> EncodeBmp24(const gdi::DibSection& dib);
bool WriteBmp24(const gdi::DibSection& dib, const std::string& path);
// Writes bytes EncodeBmp24 made to `path`, replacing it, as WriteBmp24 would have written them.
// False (nothing written) for an empty file, or when it cannot be written completely.
bool WriteEncodedBmp(std::span<const uint8_t> file, const std::string& path);

}  // namespace qm
