// The bit of a 1-bit transparency mask (1 = transparent) at column x, row y, as the reader
// leaves it: most significant bit first.
#pragma once

#include "imaging/cDIB.h"

namespace qm::testing {

inline int MaskBit(const cDIB& mask, int x, int y) {
  BitsView v;
  MapDIBBits(v, mask);
  return (v(x / 8, y) >> (7 - x % 8)) & 1;
}

}  // namespace qm::testing
