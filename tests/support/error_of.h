// The error number a call raises: 0 when it returns normally.
#pragma once

#include "platform/error.h"

namespace qm::testing {

inline int ErrorOf(auto&& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.number();
  }
  return 0;
}

}  // namespace qm::testing
