// QtHost: the window's side of the host seam (platform/host.h), made of Qt.
//
// It lets pending events run (Yield), drives the window's progress bar (the stage's name with
// its count, or an empty bar between runs), shows the busy pointer over the whole program and
// the hand or default pointer over the window, and asks the user through Qt dialogs that open
// over the window with the normal arrow, even while the busy pointer is up. Questions and
// dialogs can be routed to another host instead (SetDialogHost: tests, scripted callers);
// progress, pointer and yielding always stay its own.
//
// Form1 is a QtHost, so the window it stands for is installed as the current host; the hooks
// (progress bar, hand pointer, where the folder dialog opens) are set once its controls exist.
//
// Ownership: the window, the progress bar and the dialog host are not owned; QtHost must not
// outlive the window. Its destructor gives back the busy pointer if it is still up.
// Errors: OpenFileDialog raises kErrBufferTooSmall (platform/error.h) when the selection does not
// fit the caller's buffer; nothing else throws.
// Threads: the user-interface thread only, like every host.
#pragma once

#include <QCursor>
#include <QString>
#include <functional>
#include <optional>
#include <string>

#include "platform/host.h"

class QProgressBar;
class QWidget;

namespace qm::app {

class QtHost : public Host {
 public:
  // `window` parents the dialogs (while it is shown) and carries the hand pointer.
  explicit QtHost(QWidget* window);
  ~QtHost() override;
  QtHost(const QtHost&) = delete;
  QtHost& operator=(const QtHost&) = delete;

  void SetProgressBar(QProgressBar* bar) { progress_ = bar; }
  // The pointer shown over buttons (kPointerCustom); without one the default pointer is shown.
  void SetHandCursor(std::optional<QCursor> hand) { hand_cursor_ = std::move(hand); }
  // Where the folder dialog opens when that folder exists (the output folder, so the usual
  // choice is one step away).
  void SetFolderHint(std::function<QString()> hint) { folder_hint_ = std::move(hint); }

  // Questions and dialogs go to `dialogs` (not owned) instead of Qt dialogs; nullptr restores.
  void SetDialogHost(Host* dialogs) { dialogs_ = dialogs; }
  // While set, message boxes are not shown and answer No (Yes/No) or OK: nobody is there to read
  // them, e.g. once the window has been closed during a conversion.
  void SetAnswerUnasked(bool unasked) { unasked_ = unasked; }

  // True while the busy pointer is up (or was last asked for).
  bool ShowsBusyPointer() const { return override_cursor_ || pointer_ == kPointerBusy; }

  // The About box: `text` (lines separated by carriage returns) in Qt's about dialog, or through
  // the dialog host as an information message.
  void ShowAboutBox(const std::string& text, const std::string& title);

  // Host
  void Yield() override;
  void SetProgressStage(const std::string& stage) override;
  void SetProgressMax(int max) override;
  void SetProgressValue(int value) override;
  void SetMousePointer(int pointer) override;
  int GetMousePointer() const override { return pointer_; }
  MsgAnswer MessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                       const std::string& title) override;
  bool InputBox(const std::string& prompt, const std::string& title,
                const std::string& default_text, std::string* answer) override;
  std::string OpenFileDialog(const std::string& title, const std::string& filter,
                             int buffer_chars) override;
  std::string BrowseForFolder(const std::string& prompt) override;
  void OpenFolder(const std::string& path) override;

 private:
  // Runs `show` with the normal arrow even while the busy pointer is up.
  template <class F>
  auto WithArrow(F&& show);

  QWidget* window_;
  QProgressBar* progress_ = nullptr;
  Host* dialogs_ = nullptr;
  std::function<QString()> folder_hint_;
  std::optional<QCursor> hand_cursor_;
  int pointer_ = kPointerDefault;
  bool override_cursor_ = false;
  bool unasked_ = false;
};

}  // namespace qm::app
