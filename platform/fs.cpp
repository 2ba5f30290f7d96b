#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string_view>
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

namespace {

constexpr const char* kTempPrefix = "quillomat-";
constexpr size_t kTempRandomChars = 6;  // mkdtemp's XXXXXX

// The process id in a private folder's name, quillomat-<pid>-XXXXXX; 0 for any other name.
pid_t TempFolderOwner(const char* name) {
  const std::string_view text(name);
  const std::string_view prefix(kTempPrefix);
  if (text.substr(0, prefix.size()) != prefix) return 0;
  const std::string_view rest = text.substr(prefix.size());
  const size_t dash = rest.find('-');
  if (dash == std::string_view::npos || dash == 0 || rest.size() - dash - 1 != kTempRandomChars)
    return 0;
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + dash, pid);
  if (ec != std::errc() || end != rest.data() + dash || pid <= 0) return 0;
  return pid;
}

bool ProcessRunning(pid_t pid) {
  // EPERM: it runs, as someone else.
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

[[noreturn]] void RaiseOpenError(const std::string& path, int error) {
  if (error == ENOENT) Raise(kErrFileNotFound, "File not found: " + path);
  const int number = error == ENOTDIR ? kErrFileNotFound : kErrPermissionDenied;
  Raise(number, "Cannot read " + path + ": " + SystemErrorText(error));
}

// What kind of thing a non-regular file is, for the message that refuses it.
std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

[[noreturn]] void RaiseNotRegular(const std::string& path, mode_t mode) {
  Raise(kErrPermissionDenied,
        "Cannot read " + path + ": it is " + KindOf(mode) + ", not a regular file");
}

std::mutex g_free_bytes_mutex;
std::optional<uint64_t> g_free_bytes_for_testing;
}  // namespace

std::optional<uint64_t> FreeDiskBytes(const std::string& folder) {
  {
    std::lock_guard<std::mutex> lock(g_free_bytes_mutex);
    if (g_free_bytes_for_testing) return g_free_bytes_for_testing;
  }
  struct statvfs st {};
  if (folder.empty() || ::statvfs(folder.c_str(), &st) != 0) return std::nullopt;
  const uint64_t blocks = ::geteuid() == 0 ? uint64_t(st.f_bfree) : uint64_t(st.f_bavail);
  const uint64_t block_size = st.f_frsize != 0 ? uint64_t(st.f_frsize) : uint64_t(st.f_bsize);
  if (block_size != 0 && blocks > UINT64_MAX / block_size) return UINT64_MAX;
  return blocks * block_size;
}

void SetFreeDiskBytesForTesting(std::optional<uint64_t> bytes) {
  std::lock_guard<std::mutex> lock(g_free_bytes_mutex);
  g_free_bytes_for_testing = bytes;
}

PrivateTempFolder::PrivateTempFolder() {
  std::string templ = JoinPath(TempFolder(), kTempPrefix + std::to_string(::getpid()) + "-XXXXXX");
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()))
    path_ = buf.data();
  else
    error_ = errno;
}

PrivateTempFolder::~PrivateTempFolder() {
  if (path_.empty() || keep_) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

int RemoveStaleTempFolders(const std::string& folder) {
  const std::string where = folder.empty() ? TempFolder() : folder;
  DIR* dir = ::opendir(where.c_str());
  if (!dir) return 0;
  const int dir_fd = ::dirfd(dir);
  const uid_t me = ::geteuid();
  int removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const pid_t pid = TempFolderOwner(entry->d_name);
    if (pid == 0 || pid == ::getpid() || ProcessRunning(pid)) continue;
    const int fd = ::openat(dir_fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_uid == me) {
      for (const char* name : {"temp.bmp", "temp.avi"}) ::unlinkat(fd, name, 0);
      if (::unlinkat(dir_fd, entry->d_name, AT_REMOVEDIR) == 0) ++removed;
    }
    ::close(fd);
  }
  ::closedir(dir);
  return removed;
}

std::optional<FileIdentity> IdentifyFile(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

namespace {

template <typename Bytes>
void ReadWholeFileIntoBuffer(const std::string& path, Bytes& data) {
  // A named pipe would block an open for reading until a writer comes, so the kind of file is
  // checked before opening; the open itself never blocks, and the descriptor is checked again in
  // case the name was replaced in between.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) RaiseOpenError(path, errno);
  if (!S_ISREG(st.st_mode)) RaiseNotRegular(path, st.st_mode);
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) RaiseOpenError(path, errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &st) != 0) RaiseOpenError(path, errno);
  if (!S_ISREG(st.st_mode)) RaiseNotRegular(path, st.st_mode);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (st.st_size > 0x7FFFFFFF) Raise(kErrOverflow, "File too large: " + path);
  data.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::read(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) RaiseOpenError(path, errno);
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  data.resize(done);  // a file that shrank while being read
}

}  // namespace

void ReadWholeFileInto(const std::string& path, std::vector<uint8_t>& data) {
  ReadWholeFileIntoBuffer(path, data);
}

void ReadWholeFileInto(const std::string& path, FrameBytes& data) {
  ReadWholeFileIntoBuffer(path, data);
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
