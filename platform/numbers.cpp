#include "platform/numbers.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/error.h"

namespace qm {

double RoundHalfEven(double v) { return std::nearbyint(v); }  // default FE_TONEAREST

namespace {
template <typename T>
T Checked(double v) {
  if (std::isnan(v)) Raise(kErrOverflow);
  const double r = RoundHalfEven(v);
  if (r < static_cast<double>(std::numeric_limits<T>::min()) ||
      r > static_cast<double>(std::numeric_limits<T>::max()))
    Raise(kErrOverflow);
  return static_cast<T>(r);
}
}  // namespace

int16_t CInt(double v) { return Checked<int16_t>(v); }
int32_t CLng(double v) { return Checked<int32_t>(v); }
uint8_t CByte(double v) { return Checked<uint8_t>(v); }

int16_t AddInt16(int32_t a, int32_t b) {
  const int32_t s = a + b;
  if (s < INT16_MIN || s > INT16_MAX) Raise(kErrOverflow);
  return static_cast<int16_t>(s);
}

int32_t MulInt32(int64_t a, int64_t b) {
  const int64_t p = a * b;  // operands are 32-bit values in practice, so this cannot wrap
  if (p < INT32_MIN || p > INT32_MAX) Raise(kErrOverflow);
  return static_cast<int32_t>(p);
}

int32_t AddInt32(int64_t a, int64_t b) {
  const int64_t s = a + b;
  if (s < INT32_MIN || s > INT32_MAX) Raise(kErrOverflow);
  return static_cast<int32_t>(s);
}

bool IsNumeric(std::string_view t) {
  size_t i = 0, n = t.size();
  auto blanks = [&] {
    while (i < n && (t[i] == ' ' || t[i] == '\t')) ++i;
  };
  blanks();
  if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
  size_t digits = 0;
  while (i < n && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
  if (i < n && t[i] == '.') {
    ++i;
    while (i < n && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    size_t exp = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++exp;
    if (exp == 0) return false;
  }
  blanks();
  return i == n;
}

double ParseNumber(std::string_view t) {
  if (!IsNumeric(t)) Raise(kErrInvalidCall, "Type mismatch");
  return std::strtod(std::string(t).c_str(), nullptr);
}

}  // namespace qm
