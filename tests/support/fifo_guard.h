// A named pipe for tests of code that must never open one for reading. While the guard lives a
// thread keeps offering a writer: a reader that blocks in open() is let through (it then reads
// an empty file) instead of hanging the test, and readers_seen() tells that it happened.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace qm::testing {

class FifoGuard {
 public:
  explicit FifoGuard(std::string path) : path_(std::move(path)) {
    made_ = ::mkfifo(path_.c_str(), 0644) == 0;
    if (made_) watcher_ = std::thread([this] { Watch(); });
  }
  ~FifoGuard() {
    stop_ = true;
    if (watcher_.joinable()) watcher_.join();
  }
  FifoGuard(const FifoGuard&) = delete;
  FifoGuard& operator=(const FifoGuard&) = delete;

  bool made() const { return made_; }
  const std::string& path() const { return path_; }
  // How many times a reader had the pipe open.
  int readers_seen() const { return readers_; }

 private:
  void Watch() {
    while (!stop_) {
      // Without a reader a non-blocking open for writing fails at once (ENXIO).
      const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        ++readers_;
        ::close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::string path_;
  bool made_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> readers_{0};
  std::thread watcher_;
};

}  // namespace qm::testing
