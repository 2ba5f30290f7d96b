// Allocator settings for a process that converts pictures, and the memory frame-sized blocks
// come from.
//
// Every frame allocates and frees bitmaps and file buffers of several megabytes. By default the
// C library hands each of them back to the system and faults it in again, zeroed, for the next
// frame, 4 KB at a time: on a virtual machine the page faults alone cost more than the work done
// on the pixels. Frame blocks (FrameBlock, FrameAllocator) therefore come from mappings of their
// own, aligned for and asking for transparent huge pages, and a freed block is kept for the next
// request of about its size, so a run of frames of one size touches new memory only once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace qm {

// Keeps freed heap blocks in the process for reuse (up to 64 MB kept) and lets worker threads
// share the main heap. Call once at start-up, before any thread starts. Harmless where the
// settings do not exist.
void TuneAllocatorForFrames();

// Requests below a page are ordinary heap blocks. From a page on each block is its own mapping, so
// a zeroed block costs memory only for the pages that are written; blocks of kFrameBlockMinBytes
// or more are also kept for reuse when freed.
inline constexpr size_t kFrameMappedMinBytes = 4096;
inline constexpr size_t kFrameBlockMinBytes = size_t(256) << 10;
// Freed frame blocks kept for reuse, in bytes at most (the oldest go first); a larger block is
// returned to the system at once. Large enough for the blocks of one very large photo, which the
// importer takes again after the writer.
inline constexpr size_t kFrameCacheBytes = size_t(1) << 30;

// `bytes` of memory for pixels or file data; every byte 0 when `zeroed`, otherwise undefined.
// Thread-safe. Throws std::bad_alloc when the memory cannot be had; 0 bytes gives nullptr.
void* AcquireFrameMemory(size_t bytes, bool zeroed);
// Gives back a block from AcquireFrameMemory with the same `bytes`; nullptr is ignored.
void ReleaseFrameMemory(void* block, size_t bytes) noexcept;
// Returns every kept block to the system (the end of a conversion: an idle window keeps nothing).
void DropFrameMemoryCache() noexcept;
// Bytes kept for reuse now (for tests and benchmarks).
size_t FrameMemoryCached() noexcept;

// One block of frame memory, owned; a copy is a new block with the same bytes.
class FrameBlock {
 public:
  FrameBlock() = default;
  FrameBlock(size_t bytes, bool zeroed)
      : data_(static_cast<uint8_t*>(AcquireFrameMemory(bytes, zeroed))), size_(bytes) {}
  FrameBlock(FrameBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  FrameBlock& operator=(FrameBlock&& other) noexcept {
    if (this != &other) {
      ReleaseFrameMemory(data_, size_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  FrameBlock(const FrameBlock& other) : FrameBlock(other.size_, false) {
    if (size_ > 0) std::memcpy(data_, other.data_, size_);
  }
  FrameBlock& operator=(const FrameBlock& other) {
    if (this != &other) *this = FrameBlock(other);
    return *this;
  }
  ~FrameBlock() { ReleaseFrameMemory(data_, size_); }

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// A standard allocator over frame memory that leaves new elements uninitialised unless a value
// is given, for buffers that are filled by a read or a conversion right after they grow.
template <typename T>
struct FrameAllocator {
  using value_type = T;
  FrameAllocator() = default;
  template <typename U>
  FrameAllocator(const FrameAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(AcquireFrameMemory(n * sizeof(T), false));
  }
  void deallocate(T* p, size_t n) noexcept { ReleaseFrameMemory(p, n * sizeof(T)); }

  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <typename U>
  bool operator==(const FrameAllocator<U>&) const noexcept {
    return true;
  }
};

// A byte buffer over frame memory whose growth leaves the new bytes undefined.
using FrameBytes = std::vector<uint8_t, FrameAllocator<uint8_t>>;

}  // namespace qm
