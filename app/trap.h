// Trap: runs the numbered steps of one of the window's command handlers. A step that throws is
// reported with the common error report (platform/error_report.h: the handler's location text and
// the step's number) and the handler carries on with its next step, so one unreadable file or
// failing dialog never ends a command half done without a word.
//
// Threads: the user-interface thread (the report goes through the current host).
#pragma once

#include <exception>

#include "platform/error_report.h"

namespace qm::app {

class Trap {
 public:
  // `location` (not owned) is a string literal such as kLocAddFiles of app/form1.h.
  explicit Trap(const char* location) : location_(location) {}

  // Runs `step`; false when it threw (and was reported as step `index`).
  template <class F>
  bool Step(int index, F&& step) {
    try {
      step();
      return true;
    } catch (const std::exception& e) {
      ShowErrorReport(e, location_, StepNumber(index));
      return false;
    }
  }

 private:
  const char* location_;
};

}  // namespace qm::app
