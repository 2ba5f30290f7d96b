// Run-time errors: the one exception type of the core library.
//
// Every failure that the design calls "fails with an ... error" throws RuntimeError carrying the
// classic error number, so that the error report can print its description and the AVI importer
// can tell "file not found" (53) from the rest. Routines that report failure through a Boolean or
// zero result never throw it for that failure.
#pragma once

#include <stdexcept>
#include <string>

namespace qm {

enum ErrorNumber : int {
  kErrInvalidCall = 5,        // invalid procedure call or argument
  kErrOverflow = 6,           // overflow
  kErrSubscript = 9,          // subscript out of range
  kErrDivisionByZero = 11,    // division by zero
  kErrFileNotFound = 53,      // file not found
  kErrPermissionDenied = 70,  // permission denied
  kErrInvalidPicture = 481,   // invalid picture
  kErrBufferTooSmall = 20476  // the file dialog's selection does not fit its buffer
};

// The standard description of an error number ("Overflow", "Subscript out of range", ...).
std::string DescribeError(int number);

class RuntimeError : public std::runtime_error {
 public:
  // An empty description takes the standard one of the number.
  explicit RuntimeError(int number, const std::string& description = {});
  int number() const noexcept { return number_; }
  // The text the error report shows (what() returns the same).
  std::string description() const { return what(); }

 private:
  int number_;
};

[[noreturn]] void Raise(int number, const std::string& description = {});

// What the system says an errno value means ("No such file or directory", "File name too long"),
// safe to call from any thread.
std::string SystemErrorText(int errno_value);

}  // namespace qm
