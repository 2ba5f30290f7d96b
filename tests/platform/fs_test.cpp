// Where the program finds the files it ships: installed beside bin/, or next to itself in the
// build.
#include "platform/fs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace qm {
namespace {

namespace fs = std::filesystem;

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
