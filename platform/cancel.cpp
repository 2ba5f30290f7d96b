#include "platform/cancel.h"

#include <atomic>

namespace qm {

namespace {
// A signal handler may only touch lock-free atomics.
std::atomic<bool> g_cancel{false};
static_assert(std::atomic<bool>::is_always_lock_free);
}  // namespace

void RequestCancel() noexcept {
  g_cancel.store(true, std::memory_order_relaxed);
}

bool CancelRequested() noexcept {
  return g_cancel.load(std::memory_order_relaxed);
}

void ResetCancel() noexcept {
  g_cancel.store(false, std::memory_order_relaxed);
}

}  // namespace qm
