#include "platform/replacing_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>

#include "platform/fs.h"

namespace qm {

namespace {

constexpr size_t kBufferBytes = 64 * 1024;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hidden name beside the target that nothing else is using yet, or "".
std::string FreshName(const std::string& folder, const std::string& name) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string candidate;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix(6, 'x');
    for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
    candidate = JoinPath(folder, "." + name + "." + suffix);
    struct stat st;
    if (::lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) return candidate;
  }
  return {};
}

}  // namespace

ReplacingFile::ReplacingFile(const std::string& path) : target_(path) {
  if (path.empty()) {
    Fail(ENOENT);
    return;
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved) {
      target_ = resolved;
      std::free(resolved);
    }
  }
  if (::stat(target_.c_str(), &st) == 0) {
    const bool protected_file = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    if (S_ISDIR(st.st_mode) || protected_file) {
      Fail(S_ISDIR(st.st_mode) ? EISDIR : EACCES);
      return;
    }
  }
  folder_ = FolderOf(target_);
  fd_ = ::open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // No unnamed files here: a hidden one beside the target, created with the usual permissions.
    for (int attempt = 0; attempt < 10 && fd_ < 0; ++attempt) {
      named_ = FreshName(folder_, NameOf(target_));
      if (named_.empty()) break;
      fd_ = ::open(named_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) named_.clear();
  }
  if (fd_ < 0) {
    Fail(errno != 0 ? errno : EIO);
    return;
  }
  buffer_.reserve(kBufferBytes);
}

ReplacingFile::~ReplacingFile() {
  Discard();
}

void ReplacingFile::Fail(int error) {
  if (error_ == 0) error_ = error;
}

bool ReplacingFile::Flush() {
  if (!ok()) return false;
  if (!WriteAll(fd_, buffer_)) {
    Fail(errno != 0 ? errno : EIO);
    return false;
  }
  buffer_.clear();
  return true;
}

void ReplacingFile::Write(const uint8_t* data, size_t n) {
  if (!ok()) return;
  if (buffer_.size() + n > kBufferBytes && !Flush()) return;
  if (n >= kBufferBytes) {
    if (!WriteAll(fd_, {data, n})) Fail(errno != 0 ? errno : EIO);
    return;
  }
  buffer_.insert(buffer_.end(), data, data + n);
}

bool ReplacingFile::Commit() {
  if (!ok() || fd_ < 0 || !Flush()) {
    Discard();
    return false;
  }
  if (named_.empty()) {
    // An unnamed file gets a hidden name first: rename is what replaces a file in one step.
    named_ = FreshName(folder_, NameOf(target_));
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (named_.empty() ||
        (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named_.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
         ::linkat(fd_, "", AT_FDCWD, named_.c_str(), AT_EMPTY_PATH) != 0)) {
      Fail(named_.empty() ? EEXIST : errno);
      named_.clear();
      Discard();
      return false;
    }
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) Fail(errno);
  if (ok() && ::rename(named_.c_str(), target_.c_str()) != 0) Fail(errno);
  if (!ok()) {
    ::unlink(named_.c_str());
    named_.clear();
    return false;
  }
  named_.clear();
  return true;
}

void ReplacingFile::Discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!named_.empty()) {
    ::unlink(named_.c_str());
    named_.clear();
  }
  buffer_.clear();
}

}  // namespace qm
