#include "platform/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/error.h"

namespace qm {

namespace fs = std::filesystem;

void DeleteFileQuiet(const std::string& path) {
  if (path.empty()) return;
  ::unlink(path.c_str());
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  size_t start = 0;
  while (start < name.size() && name[start] == '/') ++start;
  if (folder.back() == '/') return folder + name.substr(start);
  return folder + "/" + name.substr(start);
}

std::string ProgramFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return exe.parent_path().string();
}

#ifndef QUILLOMAT_DATA_FROM_BIN
#define QUILLOMAT_DATA_FROM_BIN "../share/quillomat"
#endif

std::string DataFolderFor(const std::string& program_folder) {
  const fs::path installed =
      (fs::path(program_folder) / QUILLOMAT_DATA_FROM_BIN).lexically_normal();
  if (IsDirectory(installed.string())) {
    std::string s = installed.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
  }
  return program_folder;
}

std::string DataFolder() {
  return DataFolderFor(ProgramFolder());
}

std::string TempFolder() {
  for (const char* var : {"TEMP", "TMPDIR"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return "/tmp";
}

PrivateTempFolder::PrivateTempFolder() {
  std::string templ = JoinPath(TempFolder(), "quillomat-XXXXXX");
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data())) path_ = buf.data();
}

PrivateTempFolder::~PrivateTempFolder() {
  if (path_.empty() || keep_) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void ReadWholeFileInto(const std::string& path, std::vector<uint8_t>& data) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) Raise(kErrFileNotFound, "File not found: " + path);
    Raise(kErrPermissionDenied, "Permission denied: " + path);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    Raise(kErrPermissionDenied, "Not a readable file: " + path);
  }
  if (st.st_size > 0x7FFFFFFF) {
    ::close(fd);
    Raise(kErrOverflow, "File too large: " + path);
  }
  try {
    data.resize(static_cast<size_t>(st.st_size));
  } catch (...) {
    ::close(fd);
    throw;
  }
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::read(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  data.resize(done);  // a file that shrank while being read
}

bool WriteAll(int fd, std::span<const uint8_t> data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::vector<uint8_t> data;
  ReadWholeFileInto(path, data);
  return data;
}

}  // namespace qm
