// File system helpers shared by the window, the command line and the conversion.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/memory.h"

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

// The bytes this process may still write on the file system that holds `folder` (statvfs: the
// blocks left to ordinary users, or every free block for root, who may use the reserved ones);
// nullopt when the system cannot tell (no such folder, a file system without the figure).
std::optional<uint64_t> FreeDiskBytes(const std::string& folder);
// Tests: every later FreeDiskBytes call answers `bytes` for any folder, until called with
// nullopt. Lets a test run out of space without filling a disk.
void SetFreeDiskBytesForTesting(std::optional<uint64_t> bytes);

// A private folder (mode 0700, made with mkdtemp) inside TempFolder() that is removed with its
// contents when the object goes, unless Keep() was called. path() is "" when it could not be made.
// Its name, quillomat-<process id>-XXXXXX, tells RemoveStaleTempFolders whose it is.
class PrivateTempFolder {
 public:
  PrivateTempFolder();
  ~PrivateTempFolder();
  PrivateTempFolder(const PrivateTempFolder&) = delete;
  PrivateTempFolder& operator=(const PrivateTempFolder&) = delete;
  const std::string& path() const { return path_; }
  // The errno of the failed attempt when path() is "".
  int error() const { return error_; }
  void Keep(bool keep = true) { keep_ = keep; }

 private:
  std::string path_;
  int error_ = 0;
  bool keep_ = false;
};

// Removes what runs of this user that ended without cleaning up (killed, crashed) left in
// `folder` (TempFolder() when empty): only folders named as PrivateTempFolder names them, owned by
// this user, not symbolic links, whose process is no longer running; in them only the files a
// conversion makes (temp.bmp, temp.avi), then the folder itself if that emptied it. Returns the
// number of folders removed. Never raises.
int RemoveStaleTempFolders(const std::string& folder = {});

// Which file a path names, following symbolic links: equal for two names of one file (hard
// links, symbolic links, "./a" and "a"). Empty when the path names nothing.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentifyFile(const std::string& path);

// Writes all of `data` to an open descriptor, retrying interrupted and short writes; false when
// the system refuses (disk full, I/O error).
bool WriteAll(int fd, std::span<const uint8_t> data);

// Reads a whole regular file. Anything else (a folder, a named pipe, a socket, a device) is
// refused without being read, so nothing can block on it. Raises 53 when the file does not exist,
// 70 when it cannot be read, 6 when it is too large to hold (over 2 GiB); the description names
// the file and gives the system's reason, e.g. "Cannot read /p/x.jpg: File name too long".
std::vector<uint8_t> ReadWholeFile(const std::string& path);
// The same into `data`, whose memory is reused when large enough (nothing is cleared first).
// On a failure `data` holds unspecified bytes.
void ReadWholeFileInto(const std::string& path, std::vector<uint8_t>& data);
void ReadWholeFileInto(const std::string& path, FrameBytes& data);

}  // namespace qm
