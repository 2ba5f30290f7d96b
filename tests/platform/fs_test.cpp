// Reading files and the private temporary folders: what is refused, the reasons the messages
// give, and which leftovers of earlier runs are cleaned; and where the program finds the files it
// ships (installed beside bin/, or next to itself in the build).
#include "platform/fs.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/error.h"
#include "tests/support/fifo_guard.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "qmfs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Write(const std::string& path, const std::string& text = "data") const {
    std::ofstream(path, std::ios::binary) << text;
  }

  // The error a read raises (number 0 when it read).
  struct Failure {
    int number = 0;
    std::string text;
  };
  static Failure ReadFailure(const std::string& path) {
    try {
      ReadWholeFile(path);
    } catch (const RuntimeError& e) {
      return {e.number(), e.description()};
    }
    return {};
  }

  std::string dir_;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(FsTest, ReadsARegularFileWholeAlsoThroughALink) {
  Write(Path("a.bin"), std::string("\0\1\2three", 8));
  fs::create_symlink(Path("a.bin"), Path("link.bin"));
  const std::vector<uint8_t> expected = {0, 1, 2, 't', 'h', 'r', 'e', 'e'};
  EXPECT_EQ(ReadWholeFile(Path("a.bin")), expected);
  EXPECT_EQ(ReadWholeFile(Path("link.bin")), expected);
  Write(Path("empty"), "");
  EXPECT_TRUE(ReadWholeFile(Path("empty")).empty());
}

TEST_F(FsTest, ANamedPipeIsRefusedWithoutEverBeingOpenedForReading) {
  testing::FifoGuard fifo(Path("pipe.jpg"));
  ASSERT_TRUE(fifo.made());
  const Failure f = ReadFailure(fifo.path());
  EXPECT_EQ(f.number, kErrPermissionDenied);
  EXPECT_EQ(f.text, "Cannot read " + fifo.path() + ": it is a named pipe, not a regular file");
  EXPECT_EQ(fifo.readers_seen(), 0);
}

TEST_F(FsTest, EveryOtherKindOfNonRegularFileIsRefusedNamingWhatItIs) {
  fs::create_directory(Path("folder.jpg"));
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = Path("socket.jpg");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  fs::create_symlink("/dev/null", Path("device.jpg"));

  const std::pair<std::string, std::string> cases[] = {
      {Path("folder.jpg"), "a folder"},
      {sock_path, "a socket"},
      {Path("device.jpg"), "a device"},
  };
  for (const auto& [path, kind] : cases) {
    const Failure f = ReadFailure(path);
    EXPECT_EQ(f.number, kErrPermissionDenied) << path;
    EXPECT_EQ(f.text, "Cannot read " + path + ": it is " + kind + ", not a regular file");
  }
  ::close(sock);
}

TEST_F(FsTest, TheMessageGivesTheSystemsReasonAndTheFile) {
  Failure f = ReadFailure(Path("missing.jpg"));
  EXPECT_EQ(f.number, kErrFileNotFound);
  EXPECT_EQ(f.text, "File not found: " + Path("missing.jpg"));

  fs::create_symlink(Path("nowhere.jpg"), Path("dangling.jpg"));
  EXPECT_EQ(ReadFailure(Path("dangling.jpg")).number, kErrFileNotFound);

  // Once reported as "Permission denied".
  const std::string long_name = Path(std::string(300, 'n') + ".jpg");
  f = ReadFailure(long_name);
  EXPECT_EQ(f.number, kErrPermissionDenied);
  EXPECT_EQ(f.text, "Cannot read " + long_name + ": File name too long");

  Write(Path("file"));
  f = ReadFailure(Path("file/inside.jpg"));
  EXPECT_EQ(f.number, kErrFileNotFound);
  EXPECT_EQ(f.text, "Cannot read " + Path("file/inside.jpg") + ": Not a directory");

  fs::create_symlink(Path("loop.jpg"), Path("loop.jpg"));
  f = ReadFailure(Path("loop.jpg"));
  EXPECT_EQ(f.number, kErrPermissionDenied);
  EXPECT_TRUE(Contains(f.text, "symbolic links")) << f.text;

  if (::geteuid() != 0) {  // the superuser reads anything
    Write(Path("secret.jpg"));
    ::chmod(Path("secret.jpg").c_str(), 0);
    f = ReadFailure(Path("secret.jpg"));
    EXPECT_EQ(f.number, kErrPermissionDenied);
    EXPECT_EQ(f.text, "Cannot read " + Path("secret.jpg") + ": Permission denied");
  }
}

TEST_F(FsTest, IdentityFollowsHardAndSymbolicLinks) {
  Write(Path("a"));
  Write(Path("b"));
  fs::create_hard_link(Path("a"), Path("hard"));
  fs::create_symlink("a", Path("soft"));
  const auto a = IdentifyFile(Path("a"));
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(IdentifyFile(Path("hard")), a);
  EXPECT_EQ(IdentifyFile(Path("soft")), a);
  EXPECT_EQ(IdentifyFile(dir_ + "/./a"), a);
  EXPECT_NE(IdentifyFile(Path("b")), a);
  EXPECT_FALSE(IdentifyFile(Path("missing")).has_value());
  EXPECT_FALSE(IdentifyFile("").has_value());
}

// A process id that no process can have: ids stay below the kernel's pid_max.
pid_t DeadPid() {
  std::ifstream in("/proc/sys/kernel/pid_max");
  long max = 0;
  in >> max;
  return max > 0 ? pid_t(max) : pid_t(4194304);
}

TEST_F(FsTest, PrivateFoldersCarryTheProcessIdAndStayPrivate) {
  setenv("TEMP", dir_.c_str(), 1);
  {
    PrivateTempFolder folder;
    unsetenv("TEMP");
    ASSERT_FALSE(folder.path().empty());
    const std::string name = fs::path(folder.path()).filename();
    EXPECT_EQ(name.rfind("quillomat-" + std::to_string(::getpid()) + "-", 0), 0u) << name;
    struct stat st;
    ASSERT_EQ(::stat(folder.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A live run's folder is never taken for a leftover.
    Write(folder.path() + "/temp.avi");
    EXPECT_EQ(RemoveStaleTempFolders(dir_), 0);
    EXPECT_TRUE(fs::exists(folder.path() + "/temp.avi"));
  }
  EXPECT_TRUE(fs::is_empty(dir_));

  setenv("TEMP", Path("no/such/folder").c_str(), 1);
  PrivateTempFolder failed;
  unsetenv("TEMP");
  EXPECT_TRUE(failed.path().empty());
  EXPECT_EQ(failed.error(), ENOENT);
}

TEST_F(FsTest, OnlyLeftoversOfEndedRunsAreRemovedAndOnlyTheirKnownFiles) {
  const std::string dead = std::to_string(DeadPid());
  auto make = [&](const std::string& name, std::initializer_list<const char*> files) {
    fs::create_directory(Path(name));
    for (const char* f : files) Write(Path(name) + "/" + f);
    return Path(name);
  };
  const std::string stale = make("quillomat-" + dead + "-a1B2c3", {"temp.avi", "temp.bmp"});
  const std::string empty = make("quillomat-" + dead + "-zzzzzz", {});
  const std::string with_other = make("quillomat-" + dead + "-other1", {"temp.avi", "notes.txt"});
  const std::string alive =
      make("quillomat-" + std::to_string(::getppid()) + "-alive1", {"temp.avi"});
  const std::string unnamed = make("quillomat-Ab12Cd", {"temp.avi"});
  const std::string odd = make("quillomat-" + dead + "-toolong7", {"temp.avi"});
  const std::string zero = make("quillomat-0-zero00", {"temp.avi"});
  // A link named like a leftover is not followed into what it points at.
  const std::string target = make("target", {"temp.avi"});
  fs::create_directory_symlink(target, Path("quillomat-" + dead + "-link00"));
  Write(Path("quillomat-" + dead + "-file00"));

  EXPECT_EQ(RemoveStaleTempFolders(dir_), 2);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_FALSE(fs::exists(empty));
  EXPECT_TRUE(fs::exists(with_other + "/notes.txt"));
  EXPECT_FALSE(fs::exists(with_other + "/temp.avi"));
  for (const std::string& kept : {alive, unnamed, odd, zero, target}) {
    EXPECT_TRUE(fs::exists(kept + "/temp.avi")) << kept;
  }
  EXPECT_TRUE(fs::is_symlink(Path("quillomat-" + dead + "-link00")));
  EXPECT_TRUE(fs::is_regular_file(Path("quillomat-" + dead + "-file00")));
  EXPECT_EQ(RemoveStaleTempFolders(Path("missing")), 0);
}

class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root_.path().empty()); }
  std::string Make(const std::string& rel) {
    const std::string p = JoinPath(root_.path(), rel);
    fs::create_directories(p);
    return p;
  }
  PrivateTempFolder root_;
};

TEST_F(DataFolderTest, InstalledLayoutWinsAndComesBackWithoutDotDot) {
  const std::string bin = Make("usr/bin");
  Make("usr/share/quillomat/Samples");
  // Even a Samples folder next to the binary does not hide the installed data.
  Make("usr/bin/Samples");
  EXPECT_EQ(DataFolderFor(bin), JoinPath(root_.path(), "usr/share/quillomat"));
  EXPECT_EQ(DataFolderFor(bin + "/"), JoinPath(root_.path(), "usr/share/quillomat"));
}

TEST_F(DataFolderTest, BuildLayoutAndBrokenInstallsFallBackToTheProgramFolder) {
  const std::string build_bin = Make("build/bin");
  Make("build/bin/Samples");
  EXPECT_EQ(DataFolderFor(build_bin), build_bin);

  // share/quillomat as a plain file, or share without quillomat, is not a data folder.
  const std::string odd_bin = Make("odd/bin");
  Make("odd/share");
  std::ofstream(JoinPath(root_.path(), "odd/share/quillomat")) << "x";
  EXPECT_EQ(DataFolderFor(odd_bin), odd_bin);

  const std::string missing = JoinPath(root_.path(), "nowhere/bin");
  EXPECT_EQ(DataFolderFor(missing), missing);
}

}  // namespace
}  // namespace qm
