#include "platform/error.h"

#include <cstring>

namespace qm {

std::string DescribeError(int number) {
  switch (number) {
    case kErrInvalidCall: return "Invalid procedure call or argument";
    case kErrOverflow: return "Overflow";
    case kErrSubscript: return "Subscript out of range";
    case kErrDivisionByZero: return "Division by zero";
    case kErrFileNotFound: return "File not found";
    case kErrPermissionDenied: return "Permission denied";
    case kErrInvalidPicture: return "Invalid picture";
    case kErrBufferTooSmall: return "The file name buffer is too small";
    default: return "Application-defined or object-defined error";
  }
}

RuntimeError::RuntimeError(int number, const std::string& description)
    : std::runtime_error(description.empty() ? DescribeError(number) : description),
      number_(number) {}

void Raise(int number, const std::string& description) { throw RuntimeError(number, description); }

std::string SystemErrorText(int errno_value) {
  char buffer[256];
  // The GNU strerror_r returns its text, which need not be in the buffer.
  return ::strerror_r(errno_value, buffer, sizeof buffer);
}

}  // namespace qm
