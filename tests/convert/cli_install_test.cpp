// quillomat-cli as it is shipped: its version, its manual page against its --help, and the
// samples found in an installed layout (bin/../share/quillomat) as well as next to the binary.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "platform/version.h"
#include "tests/convert/convert_support.h"
#include "tests/gif/giflib_support.h"
#include "tests/support/external_tools.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
using testing::ShellQuote;

int RunProgram(const std::string& program, const std::string& args, const std::string& folder,
               std::string* out) {
  return testing::RunCommand(
      "cd " + ShellQuote(folder) + " && " + ShellQuote(program) + " " + args + " </dev/null", out);
}

std::set<std::string> LongOptions(const std::string& text) {
  static const std::regex option(R"((^|[^a-z0-9-])(--[a-z][a-z0-9-]*))");
  std::set<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
       it != std::sregex_iterator(); ++it) {
    found.insert((*it)[2].str());
  }
  return found;
}

// The options named in the tags (the line after each .TP) of the page's OPTIONS section, with
// roff's escaped hyphens and font changes taken out.
std::set<std::string> ManPageOptions(const std::string& page) {
  std::istringstream in(page);
  std::string line, tags;
  bool in_options = false, tag_next = false;
  while (std::getline(in, line)) {
    if (line.rfind(".SH", 0) == 0) {
      in_options = line.find("OPTIONS") != std::string::npos;
      continue;
    }
    if (!in_options) continue;
    if (tag_next) tags += line + "\n";
    tag_next = line == ".TP";
  }
  tags = std::regex_replace(tags, std::regex(R"(\\f[BIRP])"), "");
  tags = std::regex_replace(tags, std::regex(R"(\\-)"), "-");
  return LongOptions(tags);
}

TEST(CliShipped, VersionIsTheProjectsOne) {
  ScratchDir work;
  std::string out;
  ASSERT_EQ(RunProgram(QUILLOMAT_CLI, "--version", work.path(), &out), 0) << out;
  EXPECT_EQ(out, std::string("quillomat-cli ") + kVersion + "\n");
  EXPECT_TRUE(std::regex_match(std::string(kVersion), std::regex(R"(\d+\.\d+\.\d+)"))) << kVersion;
  ASSERT_EQ(RunProgram(QUILLOMAT_CLI, "--help", work.path(), &out), 0);
  EXPECT_NE(out.find("--version"), std::string::npos) << out;
}

TEST(CliShipped, ManualPageDocumentsExactlyTheOptionsOfHelp) {
  ScratchDir work;
  std::string help;
  ASSERT_EQ(RunProgram(QUILLOMAT_CLI, "--help", work.path(), &help), 0);
  const std::set<std::string> in_help = LongOptions(help);
  ASSERT_GE(in_help.size(), 5u) << help;

  std::ifstream file(QUILLOMAT_CLI_MAN_PAGE);
  ASSERT_TRUE(file) << QUILLOMAT_CLI_MAN_PAGE;
  std::stringstream page;
  page << file.rdbuf();
  const std::set<std::string> in_page = ManPageOptions(page.str());
  for (const std::string& o : in_help) {
    EXPECT_TRUE(in_page.count(o)) << o << " is in --help but has no entry in "
                                  << QUILLOMAT_CLI_MAN_PAGE;
  }
  for (const std::string& o : in_page) {
    EXPECT_TRUE(in_help.count(o)) << o << " has an entry in the manual page but not in --help";
  }
}

// A copy of the program in PREFIX/bin, as `cmake --install` or the package lays it out.
class InstalledLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.path().empty());
    fs::create_directories(Bin());
    fs::copy_file(QUILLOMAT_CLI, Program());
  }
  fs::path Bin() const { return fs::path(root.path()) / "prefix/bin"; }
  std::string Program() const { return (Bin() / "quillomat-cli").string(); }
  // `count` pictures from the build's samples copied into `folder`; false when the build has none.
  bool CopySamples(const fs::path& folder, int count) {
    const fs::path built = fs::path(QUILLOMAT_CLI).parent_path() / "Samples";
    fs::create_directories(folder);
    for (int i = 1; i <= count; ++i) {
      const std::string name = "frame0" + std::to_string(i) + ".jpg";
      std::error_code ec;
      fs::copy_file(built / name, folder / name, ec);
      if (ec) return false;
    }
    return true;
  }
  int Samples(std::string* out) {
    return RunProgram(Program(), "--samples --quiet --out samples.gif", work.path(), out);
  }
  size_t Frames() {
    const auto g = testing::DecodeFileWithGiflib(work.File("samples.gif"));
    return g.ok ? g.frames.size() : 0;
  }
  ScratchDir root;
  ScratchDir work;
};

TEST_F(InstalledLayout, SamplesComeFromShareBesideBin) {
  if (!CopySamples(fs::path(root.path()) / "prefix/share/quillomat/Samples", 3))
    GTEST_SKIP() << "the build has no samples";
  // A Samples folder next to the installed binary is not what an install ships; it is ignored.
  ASSERT_TRUE(CopySamples(Bin() / "Samples", 1));
  std::string out;
  ASSERT_EQ(Samples(&out), 0) << out;
  EXPECT_EQ(Frames(), 3u);
}

TEST_F(InstalledLayout, WithoutShareTheSamplesNextToTheProgramAreUsed) {
  if (!CopySamples(Bin() / "Samples", 2)) GTEST_SKIP() << "the build has no samples";
  std::string out;
  ASSERT_EQ(Samples(&out), 0) << out;
  EXPECT_EQ(Frames(), 2u);
  fs::remove_all(Bin() / "Samples");
  EXPECT_EQ(Samples(&out), 1);
  EXPECT_NE(out.find("No files added."), std::string::npos) << out;
}

}  // namespace
}  // namespace qm
