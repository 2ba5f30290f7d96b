// The file that replaces another only once it is complete: the old bytes stay until Commit, a
// discarded or failed file leaves nothing behind, links and protected files are respected.
#include "platform/replacing_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace qm {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

size_t Entries(const std::string& folder) {
  return size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class ReplacingFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "qmrf-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_F(ReplacingFileTest, TheOldFileStaysUntilTheNewOneIsComplete) {
  const std::string target = Path("out.gif");
  Put(target, "old");
  {
    ReplacingFile file(target);
    ASSERT_TRUE(file.ok());
    const std::string big(200 * 1024, 'n');  // past the buffer, so some bytes reach the disk
    file.Write(reinterpret_cast<const uint8_t*>(big.data()), big.size());
    EXPECT_EQ(Read(target), "old");
    EXPECT_EQ(Entries(dir_), 1u) << "the new file has no name yet";
    ASSERT_TRUE(file.Commit());
  }
  EXPECT_EQ(Read(target).size(), 200u * 1024);
  EXPECT_EQ(Entries(dir_), 1u);

  // Dropped, explicitly or by going out of scope: the old file as it was, nothing beside it.
  for (bool discard : {true, false}) {
    ReplacingFile file(target);
    file.Write(reinterpret_cast<const uint8_t*>("x"), 1);
    if (discard) file.Discard();
  }
  EXPECT_EQ(Read(target).size(), 200u * 1024);
  EXPECT_EQ(Entries(dir_), 1u);
}

TEST_F(ReplacingFileTest, MissingFoldersProtectedFilesAndLinks) {
  ReplacingFile nowhere(Path("no/such/out.gif"));
  EXPECT_EQ(nowhere.error(), ENOENT);
  EXPECT_FALSE(nowhere.Commit());

  const std::string locked = Path("locked.gif");
  Put(locked, "keep");
  ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
  ReplacingFile refused(locked);
  EXPECT_EQ(refused.error(), EACCES);
  EXPECT_FALSE(refused.Commit());
  EXPECT_EQ(Read(locked), "keep");

  // A link is followed: the file it names gets the new bytes and the link stays a link.
  const std::string real = Path("real.gif"), link = Path("link.gif");
  Put(real, "old");
  fs::create_symlink(real, link);
  ReplacingFile through(link);
  through.Write(reinterpret_cast<const uint8_t*>("new"), 3);
  ASSERT_TRUE(through.Commit());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Read(real), "new");
  EXPECT_EQ(Entries(dir_), 3u);
}

}  // namespace
}  // namespace qm
