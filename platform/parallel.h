// Splitting a loop over independent rows between the calling thread and one worker thread.
//
// `body(first, last)` handles rows [first, last); it must touch nothing that another range of
// rows touches. Small jobs (under `kMinParallelWork` units of `work`) and single rows run on the
// calling thread alone. When both halves raise, the exception of the first half propagates (the
// one a single loop would meet first); either way the worker has finished before this returns.
#pragma once

#include <cstdint>
#include <future>
#include <thread>

namespace qm {

inline constexpr int64_t kMinParallelWork = int64_t(1) << 18;

template <typename Body>
void ForRowsInTwo(int32_t rows, int64_t work, Body&& body) {
  if (rows < 2 || work < kMinParallelWork || std::thread::hardware_concurrency() < 2) {
    body(int32_t(0), rows);
    return;
  }
  const int32_t half = rows / 2;
  std::future<void> second;
  try {
    second = std::async(std::launch::async, [&body, half, rows] { body(half, rows); });
  } catch (const std::system_error&) {
    body(int32_t(0), rows);  // no thread to be had: the whole loop here
    return;
  }
  try {
    body(int32_t(0), half);
  } catch (...) {
    second.wait();
    throw;
  }
  second.get();
}

}  // namespace qm
