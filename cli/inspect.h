// inspect: what the GIF reader sees in a file, as JSON: version, logical screen, background
// index, aspect byte, loop count, global palette size, the count of images past the frames the
// reader keeps and, per frame, its placement, size, interlacing, delay, disposal, transparency,
// local palette size and a 64-bit FNV-1a hash of its palette indices (top-down rows without
// padding).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qm::cli {

// False (with `error` set) when the file cannot be read as a GIF. `warning` is set, on success,
// when the file holds more images than the reader keeps.
bool InspectGif(const std::string& path, std::string& json, std::string& error,
                std::string& warning);

// 64-bit FNV-1a, continuing from `hash`.
uint64_t Fnv1a64(std::span<const uint8_t> bytes, uint64_t hash = 0xcbf29ce484222325ull);

}  // namespace qm::cli
