// ConsoleHost: the host of the command line. Messages go to stderr prefixed "Quillomat: " (the
// error report keeps its own title in front), questions are answered No, dialogs are cancelled,
// and when stderr is a terminal a one-line progress bar shows the stage and n/N.
#pragma once

#include <string>

#include "platform/host.h"

namespace qm::cli {

class ConsoleHost : public Host {
 public:
  // quiet: no progress bar and no "Done."; terminal: stderr is a terminal.
  ConsoleHost(bool quiet, bool terminal) : quiet_(quiet), terminal_(terminal) {}

  void SetProgressStage(const std::string& stage) override { stage_text_ = stage; }
  void SetProgressMax(int max) override;
  void SetProgressValue(int value) override;
  MsgAnswer MessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                       const std::string& title) override;
  bool InputBox(const std::string&, const std::string&, const std::string&, std::string*) override {
    return false;
  }
  // Ends a progress line still on screen.
  void FinishProgress();
  // Messages shown with an icon: warnings, errors and error reports.
  int problems() const { return problems_; }

 private:
  void Draw();

  bool quiet_;
  bool terminal_;
  int stage_ = 0;
  std::string stage_text_;  // the stage's own name; the count of stages when none was given
  int max_ = 0;
  int value_ = 0;
  bool line_open_ = false;
  int problems_ = 0;
};

// The message as one console text: "\r\n" and lone "\r" become new lines.
std::string ConsoleText(const std::string& text);

}  // namespace qm::cli
