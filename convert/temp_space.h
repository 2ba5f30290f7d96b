// The room check the intermediate-video writer makes before it writes anything: the size the
// whole video will take against the free space of the temporary folder, and the message the user
// reads when it is short. A video cut off by a full disk would quietly lose the last pictures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qm {

// `bytes` in decimal units with one decimal ("4.3 GB", "512.0 kB", "900 bytes"), rounded up
// when `round_up`, else down, so a needed size is never shown smaller than it is nor a free one
// larger.
std::string ByteSizeText(uint64_t bytes, bool round_up);

// The message for a video of `pictures` pictures that needs `needed` bytes in `folder`, where
// only `available` are free.
std::string NotEnoughSpaceMessage(const std::string& folder, uint64_t pictures, uint64_t needed,
                                  uint64_t available);

// That message when `needed` bytes do not fit the free space of `folder` (FreeDiskBytes);
// nullopt when they fit or the free space cannot be told.
std::optional<std::string> TempSpaceShortage(const std::string& folder, uint64_t pictures,
                                             uint64_t needed);

}  // namespace qm
