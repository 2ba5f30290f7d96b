#include "platform/cancel.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace qm {
namespace {

extern "C" void RequestFromHandler(int) {
  RequestCancel();
}

TEST(Cancel, ARequestStaysUntilResetFromAnyThreadOrSignalHandler) {
  ResetCancel();
  EXPECT_FALSE(CancelRequested());
  std::thread([] { RequestCancel(); }).join();
  EXPECT_TRUE(CancelRequested());
  EXPECT_TRUE(CancelRequested()) << "reading does not clear it";
  ResetCancel();
  EXPECT_FALSE(CancelRequested());

  struct sigaction action {
  }, old{};
  action.sa_handler = RequestFromHandler;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  std::raise(SIGUSR1);
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_TRUE(CancelRequested());
  ResetCancel();
}

}  // namespace
}  // namespace qm
