#include "platform/numbers.h"

#include <gtest/gtest.h>

#include "platform/error.h"
#include "tests/support/error_of.h"

namespace qm {
namespace {

using testing::ErrorOf;

TEST(Numbers, RoundsHalvesToEven) {
  EXPECT_EQ(CInt(37.5), 38);
  EXPECT_EQ(CInt(12.5), 12);
  EXPECT_EQ(CInt(2.5), 2);
  EXPECT_EQ(CInt(3.5), 4);
  EXPECT_EQ(CInt(-2.5), -2);
  EXPECT_EQ(CLng(191.5), 192);
  EXPECT_EQ(CByte(127.5), 128);
  EXPECT_EQ(CByte(0.4999), 0);
}

TEST(Numbers, OverflowRaisesError6) {
  EXPECT_EQ(ErrorOf([] { CInt(32767.5); }), kErrOverflow);  // rounds to 32768
  EXPECT_EQ(ErrorOf([] { CInt(-32768.5); }), 0);            // rounds to -32768
  EXPECT_EQ(ErrorOf([] { CInt(99999); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { CByte(255.5); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { CByte(-0.6); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { CLng(2147483648.0); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { AddInt16(32767, 1); }), kErrOverflow);
  EXPECT_EQ(ErrorOf([] { MulInt32(65536, 32768); }), kErrOverflow);
  EXPECT_EQ(MulInt32(65535, 32768), 2147450880);
}

TEST(Numbers, NumericTextAsTheFrameRateFieldChecksIt) {
  for (const char* ok : {"1", "0", "-3", "2.5", " 5 ", "+7", ".5", "1e1", "30."})
    EXPECT_TRUE(IsNumeric(ok)) << ok;
  for (const char* bad : {"", " ", "abc", "5fps", "1.2.3", "-", ".", "1e", "--1"})
    EXPECT_FALSE(IsNumeric(bad)) << bad;
  EXPECT_DOUBLE_EQ(ParseNumber(" 2.5"), 2.5);
  EXPECT_EQ(ErrorOf([] { ParseNumber("x"); }), kErrInvalidCall);
}

}  // namespace
}  // namespace qm
