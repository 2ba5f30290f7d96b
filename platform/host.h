// The host seam: the one interface between the conversion logic and whatever user interface runs
// it. The Qt window implements it, the command line implements it with a console, and tests
// install a scripted fake. Core code never talks to a user in any other way.
//
// Each conversion carries the host it reports to, so conversions for different hosts can run at
// once on different threads; a host is called only from the thread of the conversion it serves.
// The process-wide current host is what a caller gets when it names none. Until one is
// installed, a silent host answers every question with its default (OK / No / cancel) and ignores
// progress and pointer changes.
#pragma once

#include <atomic>
#include <string>

namespace qm {

enum class MsgButtons { Ok, YesNo };
enum class MsgIcon { None, Exclamation, Question, Information, Critical };
enum class MsgAnswer { Ok, Yes, No, Cancel };

// Mouse pointer values of the main window: 11 marks a running conversion or folder scan.
enum MousePointer : int { kPointerDefault = 0, kPointerBusy = 11, kPointerCustom = 99 };

class Host {
 public:
  virtual ~Host() = default;

  // Let the user interface process pending events (repaint, move the progress bar).
  virtual void Yield() {}

  // What the progress bar counts from now on ("Reading pictures", "Colours", "Writing GIF"); each
  // stage names itself just before it sets the maximum.
  virtual void SetProgressStage(const std::string& stage) { (void)stage; }
  virtual void SetProgressMax(int max) { (void)max; }
  virtual void SetProgressValue(int value) { (void)value; }

  virtual void SetMousePointer(int pointer) { pointer_ = pointer; }
  virtual int GetMousePointer() const { return pointer_; }

  // A modal message box; returns the button pressed.
  virtual MsgAnswer MessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                               const std::string& title);

  // Returns false when cancelled; on OK, *answer holds the typed text.
  virtual bool InputBox(const std::string& prompt, const std::string& title,
                        const std::string& default_text, std::string* answer);

  // The file-open dialog. Returns "" when cancelled; one full path for a single selection; for a
  // multiple selection the folder, a NUL, and the names separated by NULs. Raises error 20476
  // when the selection does not fit the dialog's buffer of `buffer_chars` characters.
  virtual std::string OpenFileDialog(const std::string& title, const std::string& filter,
                                     int buffer_chars);

  // The folder dialog: the chosen folder without a trailing separator ("/" for the root), or ""
  // when cancelled.
  virtual std::string BrowseForFolder(const std::string& prompt);

  // Show a folder in the desktop's file browser. The result is not examined by callers.
  virtual void OpenFolder(const std::string& path) { (void)path; }

  // Whether the user asked the running conversion to stop; its stages look between frames and
  // the conversion clears the request when it ends. By default this is the process-wide request
  // of platform/cancel.h (the window's Cancel, the command line's signals).
  virtual bool CancelRequested() const;
  virtual void ResetCancel();

 private:
  int pointer_ = kPointerDefault;
};

// A host for work in the background, beside whatever the user is doing: it shows nothing, and
// keeps a cancel request of its own, which any thread may set.
class BackgroundHost : public Host {
 public:
  void RequestCancel() noexcept { cancel_.store(true, std::memory_order_relaxed); }
  bool CancelRequested() const override { return cancel_.load(std::memory_order_relaxed); }
  void ResetCancel() override { cancel_.store(false, std::memory_order_relaxed); }

 private:
  std::atomic<bool> cancel_{false};
};

// The current host; never null. Installing one is for start-up and tests, before or after
// conversions on other threads, not while they run.
Host& CurrentHost();
// Install `host` (not owned) as the current host; nullptr restores the silent default.
void SetCurrentHost(Host* host);

// Installs a host for the lifetime of the object and restores the previous one afterwards.
class ScopedHost {
 public:
  explicit ScopedHost(Host* host);
  ~ScopedHost();
  ScopedHost(const ScopedHost&) = delete;
  ScopedHost& operator=(const ScopedHost&) = delete;

 private:
  Host* previous_;
};

// The application title every message box carries unless stated otherwise.
inline constexpr const char* kAppTitle = "Quillomat";

}  // namespace qm
