#include "convert/temp_space.h"

#include <cstdio>

#include "platform/fs.h"

namespace qm {

std::string ByteSizeText(uint64_t bytes, bool round_up) {
  if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  // Tenths of the largest unit that keeps the figure at 1.0 or more, by integer steps so the
  // rounding is exact at every size.
  int unit = 0;
  uint64_t scale = 1000;
  while (unit < 5 && bytes / scale >= 1000) {
    scale *= 1000;
    ++unit;
  }
  const uint64_t tenth = scale / 10;
  uint64_t tenths = bytes / tenth + (round_up && bytes % tenth != 0 ? 1 : 0);
  if (tenths >= 10000 && unit < 5) {  // 999.95 kB rounded up is 1.0 MB
    tenths = 10;
    ++unit;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%llu.%llu %s", static_cast<unsigned long long>(tenths / 10),
                static_cast<unsigned long long>(tenths % 10), kUnits[unit]);
  return text;
}

std::string NotEnoughSpaceMessage(const std::string& folder, uint64_t pictures, uint64_t needed,
                                  uint64_t available) {
  return "There is not enough free space in the temporary folder " + folder + " for the video of " +
         std::to_string(pictures) + (pictures == 1 ? " picture" : " pictures") + ": it needs " +
         ByteSizeText(needed, true) + ", and " + ByteSizeText(available, false) +
         " is free. Free some space there, or set TEMP to a folder on a larger disk.";
}

std::optional<std::string> TempSpaceShortage(const std::string& folder, uint64_t pictures,
                                             uint64_t needed) {
  const std::optional<uint64_t> available = FreeDiskBytes(folder);
  if (!available || *available >= needed) return std::nullopt;
  return NotEnoughSpaceMessage(folder, pictures, needed, *available);
}

}  // namespace qm
