#include "platform/memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace qm {

void TuneAllocatorForFrames() {
#if defined(__GLIBC__)
  // Blocks below 32 MB come from the heap rather than from their own mapping; a free heap top
  // is returned to the system only beyond 64 MB; one arena for every thread.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
  mallopt(M_ARENA_MAX, 1);
#endif
}

}  // namespace qm
