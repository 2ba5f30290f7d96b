#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define QM_FRAME_MEMORY_FROM_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define QM_FRAME_MEMORY_FROM_HEAP 1
#endif
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

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kHugePage = size_t(2) << 20;

void* HeapBlock(size_t bytes, bool zeroed) {
  void* p = zeroed ? std::calloc(1, bytes) : std::malloc(bytes);
  if (!p) throw std::bad_alloc();
  return p;
}

#if !defined(QM_FRAME_MEMORY_FROM_HEAP)

size_t MappedSize(size_t bytes) {
  return (bytes + kPage - 1) & ~(kPage - 1);
}

// A new mapping of `size` bytes (a multiple of the page size), zero-filled by the system. From
// 2 MB on it starts on a 2 MB boundary so that huge pages can back it.
void* MapBlock(size_t size) {
  if (size < kHugePage) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
  }
  if (size > SIZE_MAX - kHugePage) throw std::bad_alloc();
  const size_t span = size + kHugePage;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const uintptr_t end = start + span, used_end = aligned + size;
  if (end > used_end) ::munmap(reinterpret_cast<void*>(used_end), end - used_end);
  void* p = reinterpret_cast<void*>(aligned);
  ::madvise(p, size, MADV_HUGEPAGE);  // only advice: without huge pages the block still works
  return p;
}

struct Kept {
  void* block;
  size_t size;
};

struct Cache {
  std::mutex lock;
  std::deque<Kept> kept;  // oldest first
  size_t bytes = 0;
};

Cache& TheCache() {
  static Cache* cache = new Cache();  // never destroyed: blocks may be freed during exit
  return *cache;
}

void* TakeKept(size_t size) {
  Cache& c = TheCache();
  std::lock_guard<std::mutex> guard(c.lock);
  for (auto it = c.kept.rbegin(); it != c.kept.rend(); ++it) {
    if (it->size != size) continue;
    void* block = it->block;
    c.bytes -= size;
    c.kept.erase(std::next(it).base());
    return block;
  }
  return nullptr;
}

#endif

}  // namespace

void* AcquireFrameMemory(size_t bytes, bool zeroed) {
  if (bytes == 0) return nullptr;
#if defined(QM_FRAME_MEMORY_FROM_HEAP)
  return HeapBlock(bytes, zeroed);
#else
  if (bytes < kFrameMappedMinBytes) return HeapBlock(bytes, zeroed);
  const size_t size = MappedSize(bytes);
  if (bytes < kFrameBlockMinBytes) return MapBlock(size);
  if (void* block = TakeKept(size)) {
    if (zeroed) std::memset(block, 0, bytes);
    return block;
  }
  return MapBlock(size);
#endif
}

void ReleaseFrameMemory(void* block, size_t bytes) noexcept {
  if (!block) return;
#if defined(QM_FRAME_MEMORY_FROM_HEAP)
  (void)bytes;
  std::free(block);
#else
  if (bytes < kFrameMappedMinBytes) {
    std::free(block);
    return;
  }
  const size_t size = MappedSize(bytes);
  if (bytes < kFrameBlockMinBytes || size > kFrameCacheBytes) {
    ::munmap(block, size);
    return;
  }
  Cache& c = TheCache();
  std::lock_guard<std::mutex> guard(c.lock);
  while (c.bytes + size > kFrameCacheBytes && !c.kept.empty()) {
    ::munmap(c.kept.front().block, c.kept.front().size);
    c.bytes -= c.kept.front().size;
    c.kept.pop_front();
  }
  try {
    c.kept.push_back({block, size});
    c.bytes += size;
  } catch (...) {
    ::munmap(block, size);
  }
#endif
}

void DropFrameMemoryCache() noexcept {
#if !defined(QM_FRAME_MEMORY_FROM_HEAP)
  Cache& c = TheCache();
  std::lock_guard<std::mutex> guard(c.lock);
  for (const Kept& k : c.kept) ::munmap(k.block, k.size);
  c.kept.clear();
  c.bytes = 0;
#endif
}

size_t FrameMemoryCached() noexcept {
#if defined(QM_FRAME_MEMORY_FROM_HEAP)
  return 0;
#else
  Cache& c = TheCache();
  std::lock_guard<std::mutex> guard(c.lock);
  return c.bytes;
#endif
}

}  // namespace qm
