// Allocator settings for a process that converts pictures: every frame allocates and frees
// bitmaps of several megabytes, and by default the C library hands each of them back to the
// system and faults it in again, zeroed, for the next frame.
#pragma once

namespace qm {

// Keeps freed frame-sized blocks in the process for reuse (up to 64 MB kept) and lets worker
// threads share the main heap, so blocks freed by one thread serve the next frame of another.
// Call once at start-up, before any thread starts. Harmless where the settings do not exist.
void TuneAllocatorForFrames();

}  // namespace qm
