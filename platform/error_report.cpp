#include "platform/error_report.h"

#include "platform/host.h"

#ifndef QUILLOMAT_SUPPORT_ADDRESS
#define QUILLOMAT_SUPPORT_ADDRESS "support@quillomat.invalid"
#endif

namespace qm {

const char* SupportAddress() {
  return QUILLOMAT_SUPPORT_ADDRESS;
}

std::string ErrorReportText(const std::string& description, const std::string& location, int step) {
  return description + "\r\n" + location + "at line " + std::to_string(step) +
         "\r\rPlease email screenshot of this message to " + SupportAddress();
}

void ShowErrorReport(Host& host, const std::string& description, const std::string& location,
                     int step) {
  host.MessageBox(ErrorReportText(description, location, step), MsgButtons::Ok,
                  MsgIcon::Exclamation, "Application Error");
}

void ShowErrorReport(Host& host, const std::exception& error, const std::string& location,
                     int step) {
  ShowErrorReport(host, std::string(error.what()), location, step);
}

void ShowErrorReport(const std::string& description, const std::string& location, int step) {
  ShowErrorReport(CurrentHost(), description, location, step);
}

void ShowErrorReport(const std::exception& error, const std::string& location, int step) {
  ShowErrorReport(CurrentHost(), error, location, step);
}

}  // namespace qm
