// Picture objects: an in-memory decoded picture, what loading a picture file produces and what a
// bitmap can be made from or turned into. It holds one bitmap (normally 32 bits per pixel,
// top-down) that callers may select into a drawing surface to copy from.
#pragma once

#include <memory>
#include <string>

#include "platform/gdi.h"

namespace qm {

struct Picture {
  std::unique_ptr<gdi::DibSection> bitmap;  // never null in a picture handed out
};

}  // namespace qm
