// The common error report: what a trapping routine shows when a run-time error reaches it, before
// it resumes with its next step. The text names the error, the routine (its location text) and
// the step reached, and asks for a screenshot to be sent to the support address.
#pragma once

#include <string>

#include "platform/error.h"
#include "platform/host.h"

namespace qm {

// The support address configured at build time (QUILLOMAT_SUPPORT_ADDRESS).
const char* SupportAddress();

// "<description>\r\n<location>at line <step>\r\rPlease email screenshot of this message to <addr>"
std::string ErrorReportText(const std::string& description, const std::string& location, int step);

// Show the report through `host` (the current host when none is named): OK button, exclamation
// icon, "Application Error".
void ShowErrorReport(Host& host, const std::string& description, const std::string& location,
                     int step);
void ShowErrorReport(Host& host, const std::exception& error, const std::string& location,
                     int step);
void ShowErrorReport(const std::string& description, const std::string& location, int step);
void ShowErrorReport(const std::exception& error, const std::string& location, int step);

// Step numbers of trapping routines start at 100 and go up by 2.
constexpr int StepNumber(int index) {
  return 100 + 2 * index;
}

}  // namespace qm
