#include "platform/host.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace qm {
namespace {

struct CountingHost : Host {
  int yields = 0;
  void Yield() override { ++yields; }
};

TEST(Host, SilentDefaultAnswersNoAndCancels) {
  Host& h = CurrentHost();
  EXPECT_EQ(h.MessageBox("q?", MsgButtons::YesNo, MsgIcon::None, kAppTitle), MsgAnswer::No);
  EXPECT_EQ(h.MessageBox("hi", MsgButtons::Ok, MsgIcon::None, kAppTitle), MsgAnswer::Ok);
  std::string answer = "unchanged";
  EXPECT_FALSE(h.InputBox("p", "t", "d", &answer));
  EXPECT_EQ(answer, "unchanged");
  EXPECT_EQ(h.OpenFileDialog("t", "f", 30000), "");
  EXPECT_EQ(h.BrowseForFolder("p"), "");
}

TEST(Host, ScopedHostInstallsAndRestores) {
  CountingHost a, b;
  {
    ScopedHost sa(&a);
    CurrentHost().Yield();
    {
      ScopedHost sb(&b);
      CurrentHost().Yield();
    }
    CurrentHost().Yield();
  }
  EXPECT_EQ(a.yields, 2);
  EXPECT_EQ(b.yields, 1);
  EXPECT_NE(&CurrentHost(), &a);
}

TEST(RuntimeErrors, CarryNumberAndStandardDescription) {
  try {
    Raise(kErrSubscript);
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), 9);
    EXPECT_EQ(e.description(), "Subscript out of range");
  }
  EXPECT_EQ(RuntimeError(481, "bad.jpg is not a picture").description(), "bad.jpg is not a picture");
}

}  // namespace
}  // namespace qm
