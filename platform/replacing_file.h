// A file written beside the one it replaces and put in its place only when it is complete, so
// that a run that fails, is cancelled or crashes leaves the old file exactly as it was, and
// nobody ever sees half a file under the final name.
//
// The new bytes go to an unnamed file in the target's folder (Linux O_TMPFILE), which the system
// removes by itself if the process dies; Commit names it and renames it over the target in one
// step. Where the file system has no unnamed files, a hidden temporary file beside the target
// (".<name>.XXXXXX") is used instead, removed on every path but a crash. The bytes are not forced
// to the disk before the rename (no fsync): a crash of the program never loses the old file,
// only a crash of the whole system might.
//
// A target that exists and has no write permission bit is protected: nothing is written and the
// error is EACCES. A symbolic link is followed: the file it names is replaced, the link stays.
//
// Errors: nothing throws; the first failure is kept as an errno value (error()), later writes do
// nothing, and Commit then returns false and replaces nothing. Threads: one thread per object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qm {

class ReplacingFile {
 public:
  explicit ReplacingFile(const std::string& path);
  ~ReplacingFile();  // an uncommitted file is discarded
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  bool ok() const { return error_ == 0; }
  int error() const { return error_; }

  void Write(const uint8_t* data, size_t n);
  // Puts the new file in place of the target; false (the target untouched) on any failure.
  bool Commit();
  // Drops the new file; the target stays as it was.
  void Discard();

 private:
  void Fail(int error);
  bool Flush();

  std::string target_;
  std::string folder_;
  std::string named_;  // the hidden temporary name, when the file has one
  int fd_ = -1;
  int error_ = 0;
  std::vector<uint8_t> buffer_;
};

}  // namespace qm
