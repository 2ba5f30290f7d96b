// File system helpers shared by the window, the command line and the conversion.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qm {

// Deletes a file; every error (missing, locked, bad name) is ignored.
void DeleteFileQuiet(const std::string& path);
// True when the file's time stamp can be read (it exists), false on any error.
bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);

// Joins with "/" without ever doubling it: JoinPath("/", "a") is "/a", JoinPath("a/", "b") "a/b".
std::string JoinPath(const std::string& folder, const std::string& name);

// The folder holding the running executable (no trailing "/").
std::string ProgramFolder();

// Where the files the program ships are: the Samples folder and the optional HAND-M.CUR and
// drag.ico. An installed program keeps them in share/quillomat beside its bin folder (found
// relative to the binary, so a relocated or staged install works too); a program run from the
// build has them next to itself. No trailing "/".
std::string DataFolder();
// The same rule for a given program folder: `program_folder`/../share/quillomat when that is a
// folder, else `program_folder` itself.
std::string DataFolderFor(const std::string& program_folder);

// The temporary folder: $TEMP, else $TMPDIR, else /tmp.
std::string TempFolder();

// A private folder (mode 0700, made with mkdtemp) inside TempFolder() that is removed with its
// contents when the object goes, unless Keep() was called. path() is "" when it could not be made.
class PrivateTempFolder {
 public:
  PrivateTempFolder();
  ~PrivateTempFolder();
  PrivateTempFolder(const PrivateTempFolder&) = delete;
  PrivateTempFolder& operator=(const PrivateTempFolder&) = delete;
  const std::string& path() const { return path_; }
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

// Writes all of `data` to an open descriptor, retrying interrupted and short writes; false when
// the system refuses (disk full, I/O error).
bool WriteAll(int fd, std::span<const uint8_t> data);

// Reads a whole file. Raises 53 when it does not exist, 70 when it cannot be read, 6 when it is
// too large to hold (over 2 GiB).
std::vector<uint8_t> ReadWholeFile(const std::string& path);
// The same into `data`, whose memory is reused when large enough (nothing is cleared first).
// On a failure `data` holds unspecified bytes.
void ReadWholeFileInto(const std::string& path, std::vector<uint8_t>& data);

}  // namespace qm
