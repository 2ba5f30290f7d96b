// A scripted host for tests: records every message, progress change, pointer change and yield,
// and answers questions and dialogs from queues the test fills (defaults: OK, No, cancel).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/host.h"

namespace qm::testing {

struct RecordedMessage {
  std::string text;
  MsgButtons buttons;
  MsgIcon icon;
  std::string title;
};

class FakeHost : public Host {
 public:
  // Scripted answers, consumed in order.
  std::deque<MsgAnswer> answers;
  std::deque<std::string> folder_choices;
  std::deque<std::string> file_choices;  // "" = cancel
  std::deque<std::string> input_answers;
  bool raise_buffer_too_small = false;

  // What happened.
  std::vector<RecordedMessage> messages;
  std::vector<std::string> events;  // "max N", "value N", "pointer N", "yield", "open PATH"
  std::vector<int> pointers;
  std::vector<std::string> stages;  // the progress stages in the order they were named
  int yields = 0;
  int progress_max = 0, progress_value = 0;

  void Yield() override {
    ++yields;
    events.push_back("yield");
  }
  void SetProgressStage(const std::string& s) override { stages.push_back(s); }
  void SetProgressMax(int m) override {
    progress_max = m;
    events.push_back("max " + std::to_string(m));
  }
  void SetProgressValue(int v) override {
    progress_value = v;
    events.push_back("value " + std::to_string(v));
  }
  void SetMousePointer(int p) override {
    Host::SetMousePointer(p);
    pointers.push_back(p);
    events.push_back("pointer " + std::to_string(p));
  }
  MsgAnswer MessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                       const std::string& title) override {
    messages.push_back({text, buttons, icon, title});
    events.push_back("message " + text);
    if (!answers.empty()) {
      MsgAnswer a = answers.front();
      answers.pop_front();
      return a;
    }
    return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
  }
  bool InputBox(const std::string& prompt, const std::string&, const std::string&,
                std::string* answer) override {
    events.push_back("input " + prompt);
    if (input_answers.empty()) return false;
    *answer = input_answers.front();
    input_answers.pop_front();
    return true;
  }
  std::string OpenFileDialog(const std::string&, const std::string&, int) override {
    if (raise_buffer_too_small) Raise(kErrBufferTooSmall);
    if (file_choices.empty()) return {};
    std::string s = file_choices.front();
    file_choices.pop_front();
    return s;
  }
  std::string BrowseForFolder(const std::string& prompt) override {
    events.push_back("browse " + prompt);
    if (folder_choices.empty()) return {};
    std::string s = folder_choices.front();
    folder_choices.pop_front();
    return s;
  }
  void OpenFolder(const std::string& path) override { events.push_back("open " + path); }

  std::vector<std::string> MessageTexts() const {
    std::vector<std::string> out;
    for (const auto& m : messages) out.push_back(m.text);
    return out;
  }
};

}  // namespace qm::testing
