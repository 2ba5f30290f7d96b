#include "platform/folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/fs.h"
#include "tests/support/fake_host.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class FoldersTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(tmp_.path().empty()); }
  std::string Root() const { return tmp_.path(); }
  std::string Touch(const std::string& rel) {
    std::string p = JoinPath(Root(), rel);
    fs::create_directories(fs::path(p).parent_path());
    std::ofstream(p) << "x";
    return p;
  }
  std::string Dir(const std::string& rel) {
    std::string p = JoinPath(Root(), rel);
    fs::create_directories(p);
    return p;
  }
  PrivateTempFolder tmp_;
};

TEST(WildcardMatch, StarQuestionMarkAndCase) {
  EXPECT_TRUE(WildcardMatch("*.jpg", "a.JPG"));
  EXPECT_TRUE(WildcardMatch("*.JPG", "holiday.photo.jpg"));
  EXPECT_FALSE(WildcardMatch("*.jpg", "a.jpeg"));
  EXPECT_FALSE(WildcardMatch("*.jpg", "a.jpg.txt"));
  EXPECT_TRUE(WildcardMatch("frame?.png", "frame7.png"));
  EXPECT_FALSE(WildcardMatch("frame?.png", "frame10.png"));
  EXPECT_FALSE(WildcardMatch("frame?.png", "frame.png"));
  EXPECT_TRUE(WildcardMatch("a*b*c", "aXXbYYbZc"));
  EXPECT_FALSE(WildcardMatch("a*b*c", "aXXbYYbZ"));
  EXPECT_TRUE(WildcardMatch("*", ""));
  EXPECT_FALSE(WildcardMatch("?", ""));
}

TEST(WildcardMatch, StarDotStarMatchesNamesWithAndWithoutDot) {
  for (const char* n : {"notes.txt", "README", ".hidden", "a.b.c", "x."}) {
    EXPECT_TRUE(WildcardMatch("*.*", n)) << n;
  }
  EXPECT_TRUE(WildcardMatch("read*.*", "README"));
  EXPECT_FALSE(WildcardMatch("*.t*", "README"));
}

TEST(WildcardMatch, LongNamesDoNotBlowUp) {
  std::string name(5000, 'a');
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*b", name));
  EXPECT_TRUE(WildcardMatch("*a*a*a*a*a*a*", name));
}

TEST(NaturalLess, DigitRunsByValueAndCaseIgnored) {
  Names n = {"frame10.jpg", "Frame2.jpg", "frame1.jpg",   "frame02.jpg",
             "b.jpg",       "A.jpg",      "frame100.jpg", "frame9.jpg"};
  std::sort(n.begin(), n.end(), NaturalLess);
  EXPECT_EQ(n, (Names{"A.jpg", "b.jpg", "frame1.jpg", "Frame2.jpg", "frame02.jpg", "frame9.jpg",
                      "frame10.jpg", "frame100.jpg"}));
}

TEST(NaturalLess, IsAStrictWeakOrder) {
  // std::sort with a broken comparator can read out of bounds; check the order's laws.
  Names n = {"a",
             "A",
             "a1",
             "a01",
             "a001",
             "a1b",
             "a1B",
             "a10",
             "",
             "0",
             "00",
             "9",
             "10",
             "x99999999999999999999",
             "x100000000000000000000",
             "~a",
             "a.jpg",
             "a-jpg"};
  for (const auto& a : n) {
    EXPECT_FALSE(NaturalLess(a, a)) << a;
    for (const auto& b : n) {
      if (a != b) {
        EXPECT_NE(NaturalLess(a, b), NaturalLess(b, a)) << a << " / " << b;
      }
      for (const auto& c : n) {
        if (NaturalLess(a, b) && NaturalLess(b, c)) {
          EXPECT_TRUE(NaturalLess(a, c)) << a << " < " << b << " < " << c;
        }
      }
    }
  }
  EXPECT_TRUE(NaturalLess("x99999999999999999999", "x100000000000000000000"));
}

TEST_F(FoldersTest, ListFilesReturnsMatchingFilesInNaturalOrder) {
  for (const char* n : {"b.jpg", "a.JPG", "frame10.jpg", "frame2.jpg", "notes.txt", ".hid.jpg"}) {
    Touch(n);
  }
  Dir("sub.jpg");  // a folder whose name matches is still no file
  EXPECT_EQ(ListFiles(Root(), "*.jpg"),
            (Names{".hid.jpg", "a.JPG", "b.jpg", "frame2.jpg", "frame10.jpg"}));
  EXPECT_EQ(ListFiles(Root() + "/", "*.*"),
            (Names{".hid.jpg", "a.JPG", "b.jpg", "frame2.jpg", "frame10.jpg", "notes.txt"}));
  EXPECT_EQ(ListFiles(Root(), "*.gif"), Names{});
}

TEST_F(FoldersTest, ListFilesOnEmptyMissingAndLargeFolders) {
  EXPECT_TRUE(ListFiles(Dir("empty"), "*.*").empty());
  EXPECT_TRUE(ListFiles(JoinPath(Root(), "missing"), "*.*").empty());
  EXPECT_TRUE(ListFiles(Touch("plain.txt"), "*.*").empty());  // a file is not a folder

  std::string big = Dir("big");
  std::vector<int> order(120);
  for (int i = 0; i < 120; ++i) order[i] = i + 1;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  for (int i : order) std::ofstream(JoinPath(big, "f" + std::to_string(i) + ".jpg")) << "x";
  Names got = ListFiles(big, "*.jpg");
  ASSERT_EQ(got.size(), 120u);
  for (int i = 0; i < 120; ++i) EXPECT_EQ(got[i], "f" + std::to_string(i + 1) + ".jpg");
}

TEST_F(FoldersTest, ListFilesLeavesOutPipesAndBrokenLinks) {
  Touch("real.jpg");
  ASSERT_EQ(::mkfifo(JoinPath(Root(), "pipe.jpg").c_str(), 0600), 0);
  fs::create_symlink(JoinPath(Root(), "nowhere.jpg"), JoinPath(Root(), "broken.jpg"));
  fs::create_symlink(JoinPath(Root(), "real.jpg"), JoinPath(Root(), "link.jpg"));
  EXPECT_EQ(ListFiles(Root(), "*.jpg"), (Names{"link.jpg", "real.jpg"}));
}

TEST_F(FoldersTest, AddSubFoldersIsBreadthFirstAndSkipsHiddenFolders) {
  Dir("A/C");
  Dir("B");
  Dir("A/D10");
  Dir("A/D9");
  Dir(".hidden/inner");
  Dir("B/.git/objects");
  Touch("A/file.txt");
  std::vector<std::string> list{Root() + "/"};
  testing::FakeHost host;
  ScopedHost scoped(&host);
  AddSubFolders(list);
  const std::string r = Root() + "/";
  EXPECT_EQ(list, (Names{r, r + "A/", r + "B/", r + "A/C/", r + "A/D9/", r + "A/D10/"}));
  EXPECT_GT(host.yields, 6);  // at least once per folder and once per entry looked at
}

TEST_F(FoldersTest, AddSubFoldersWithoutRecursionTakesOneLevel) {
  Dir("A/C");
  Dir("B");
  std::vector<std::string> list{Root() + "/"};
  AddSubFolders(list, false);
  EXPECT_EQ(list, (Names{Root() + "/", Root() + "/A/", Root() + "/B/"}));

  std::vector<std::string> gone{Root() + "/missing/", Root() + "/B/"};
  AddSubFolders(gone);  // a folder that cannot be listed is passed over
  EXPECT_EQ(gone, (Names{Root() + "/missing/", Root() + "/B/"}));
}

TEST_F(FoldersTest, AddSubFoldersEndsOnLinkCycles) {
  Dir("A/B");
  fs::create_directory_symlink(Root(), JoinPath(Root(), "A/B/up"));
  fs::create_directory_symlink(JoinPath(Root(), "A"), JoinPath(Root(), "sideways"));
  std::vector<std::string> list{Root() + "/"};
  AddSubFolders(list);
  // Every real folder once; the links lead only to folders already listed.
  EXPECT_EQ(list, (Names{Root() + "/", Root() + "/A/", Root() + "/A/B/"}));
}

TEST_F(FoldersTest, UnlistableFolderIsSkipped) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  Touch("open/x.jpg");
  Touch("shut/y.jpg");
  ::chmod(JoinPath(Root(), "shut").c_str(), 0);
  Names files = FilesInFolderTree(Root(), "*.jpg");
  ::chmod(JoinPath(Root(), "shut").c_str(), 0700);
  EXPECT_EQ(files, Names{JoinPath(Root(), "open/x.jpg")});
}

TEST_F(FoldersTest, FilesInFolderTreeGroupsByFolderAndSkipsTildeAndDotFiles) {
  Touch("x.jpg");
  Touch("._x.jpg");
  Touch("sub/.thumb.jpg");
  Touch("notes.txt");
  Touch("~lock.jpg");
  Touch("sub/y.jpg");
  Touch("sub/~y.jpg");
  Touch(".cache/z.jpg");
  Touch("sub/deeper/w.JPG");
  const std::string r = Root();
  EXPECT_EQ(FilesInFolderTree(r, "*.*"),
            (Names{r + "/notes.txt", r + "/x.jpg", r + "/sub/y.jpg", r + "/sub/deeper/w.JPG"}));
  EXPECT_EQ(FilesInFolderTree(r + "/", "*.jpg"),
            (Names{r + "/x.jpg", r + "/sub/y.jpg", r + "/sub/deeper/w.JPG"}));
}

TEST(Folders, RootPathsAreNeverDoubled) {
  // The root is listed only one level deep here: its paths must start with a single "/".
  std::vector<std::string> list{"/"};
  AddSubFolders(list, false);
  ASSERT_GT(list.size(), 1u);
  for (size_t i = 1; i < list.size(); ++i) {
    EXPECT_EQ(list[i].rfind("//", 0), std::string::npos) << list[i];
    EXPECT_EQ(list[i][0], '/');
  }
}

TEST(Folders, BrowseForFolderAsksTheCurrentHost) {
  testing::FakeHost host;
  host.folder_choices = {"/srv/pictures", ""};
  ScopedHost scoped(&host);
  EXPECT_EQ(BrowseForFolder("Please select folder:"), "/srv/pictures");
  EXPECT_EQ(BrowseForFolder("Please select folder:"), "");
  EXPECT_EQ(host.events, (Names{"browse Please select folder:", "browse Please select folder:"}));
}

}  // namespace
}  // namespace qm
