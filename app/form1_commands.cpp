// Form1's commands: the list buttons, "Start Converting" and Cancel, the output folder's "..."
// and the About box. The window's construction, start-up and events are in form1.cpp.
#include <QLineEdit>
#include <QPushButton>
#include <exception>
#include <string>
#include <vector>

#include "app/file_list.h"
#include "app/form1.h"
#include "app/preview_pane.h"
#include "app/settings.h"
#include "app/size_estimator.h"
#include "app/std_text.h"
#include "app/trap.h"
#include "convert/driver.h"
#include "gif/cGIF.h"
#include "platform/cancel.h"
#include "platform/error.h"
#include "platform/error_report.h"
#include "platform/folders.h"
#include "platform/fs.h"
#include "platform/version.h"

namespace qm::app {

namespace {

constexpr int kFileBufferChars = 30000;
constexpr const char* kFolderPrompt = "Please select folder:";
constexpr const char* kTooManyFiles =
    "You've selected too many files to add.\r\rPlease try adding via the \"Add All\" button.";
constexpr const char* kAddAllPrompt =
    "Enter file extension to load:\r\r(* for all files, txt for all txt files, doc for all doc "
    "files, etc.)";
constexpr const char* kOpenSamplesQuestion =
    "Would you like this software to open the folder where these sample files are stored (so "
    "that you can view them before working with them)?";

// Steps of Move Up / Move Down fail silently.
template <class F>
void Quietly(F&& step) {
  try {
    step();
  } catch (const std::exception&) {
  }
}

}  // namespace

void Form1::AppendEntry(const std::string& path) {
  list_->Append(Q(path));
}

void Form1::AddFiles() {
  Trap trap(kLocAddFiles);
  std::string chosen;
  bool too_many = false;
  trap.Step(0, [&] {
    try {
      chosen =
          CurrentHost().OpenFileDialog("Add File(s) - Hold Ctrl or Shift to select multiple files",
                                       "JPG Files (*.jpg;*.jpeg)|*.jpg;*.jpeg|", kFileBufferChars);
    } catch (const RuntimeError& e) {
      if (e.number() != kErrBufferTooSmall) throw;
      too_many = true;
    }
  });
  if (too_many) {
    CurrentHost().MessageBox(kTooManyFiles, MsgButtons::Ok, MsgIcon::None, kAppTitle);
    return;
  }
  if (chosen.empty()) return;
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t nul = chosen.find('\0', start);
    parts.push_back(chosen.substr(start, nul == std::string::npos ? nul : nul - start));
    if (nul == std::string::npos) break;
    start = nul + 1;
  }
  if (parts.size() == 1) {
    trap.Step(1, [&] { AppendEntry(parts[0]); });
    return;
  }
  for (size_t i = 1; i < parts.size(); ++i) {
    // Trailing terminators leave empty names behind; they name no file.
    if (parts[i].empty()) continue;
    trap.Step(2, [&] { AppendEntry(JoinPath(parts[0], parts[i])); });
  }
}

void Form1::StartConversion() {
#ifdef QUILLOMAT_HAVE_CONVERT
  // One run at a time: a second one would share the animation and the progress bar.
  if (converting_) return;
  const ConversionOptions options = Options();
  converting_ = true;
  estimator_->SetHeld(true);
  buttons_[1]->setEnabled(false);
  cancel_->setEnabled(true);
  preview_box_->Clear();
  ConversionResult result;
  try {
    if (!m_cGIF) m_cGIF = std::make_unique<cGIF>();
    std::vector<std::string> files;
    for (const QString& t : list_->Texts()) files.push_back(S(t));
    result = qm::StartConverting(files, S(txt_fps_->text()), S(text1_->text()), *m_cGIF, options);
  } catch (const std::exception& e) {
    ShowErrorReport(e, kLocConvert, 0);
  }
  converting_ = false;
  estimator_->SetHeld(false);
  buttons_[1]->setEnabled(true);
  cancel_->setEnabled(false);
  SetProgressStage({});
  SetProgressValue(0);
  if (ShowsBusyPointer()) SetMousePointer(kPointerDefault);
  if (result.gif_written && !close_pending_) preview_box_->ShowGif(Q(result.output_path));
  // The window was closed meanwhile: the conversion has cleaned up, now the close goes on.
  if (close_pending_) close();
#else
  CurrentHost().MessageBox("This build of Quillomat has no conversion.", MsgButtons::Ok,
                           MsgIcon::Exclamation, kAppTitle);
#endif
}

void Form1::AddAllInFolder() {
  Trap trap(kLocAddAll);
  std::string answer;
  bool answered = false;
  trap.Step(0,
            [&] { answered = CurrentHost().InputBox(kAddAllPrompt, kAppTitle, "jpg", &answer); });
  if (!answered || answer.empty()) return;
  std::string folder;
  trap.Step(1, [&] { folder = qm::BrowseForFolder(kFolderPrompt); });
  if (folder.empty()) return;
  trap.Step(2, [&] { CurrentHost().SetMousePointer(kPointerBusy); });
  std::vector<std::string> files;
  trap.Step(3, [&] { files = FilesInFolderTree(folder, "*." + answer); });
  trap.Step(4, [&] {
    for (const std::string& f : files) AppendEntry(f);
  });
  trap.Step(5, [&] { CurrentHost().SetMousePointer(kPointerDefault); });
}

void Form1::ClearList() {
  Trap trap(kLocClear);
  trap.Step(0, [&] { list_->RemoveAll(); });
}

void Form1::MoveUp() {
  const int k = list_->SelectedPosition();
  if (k < 2) {
    list_->setFocus();
    return;
  }
  const QString text = list_->Text(k);
  Quietly([&] { list_->InsertBefore(k - 1, text); });
  Quietly([&] { list_->RemoveAt(k + 1); });
  Quietly([&] {
    list_->SelectAt(k - 1);
    list_->ScrollToPosition(k - 1);
    list_->setFocus();
  });
}

void Form1::MoveDown() {
  const int k = list_->SelectedPosition();
  if (k >= list_->Count()) {
    list_->setFocus();
    return;
  }
  // With nothing selected there is no text to move and no entry to remove; only the
  // selection of the first entry below takes effect.
  if (k > 0) {
    const QString text = list_->Text(k);
    Quietly([&] { list_->InsertBefore(k + 2, text); });
    Quietly([&] { list_->RemoveAt(k); });
  }
  Quietly([&] {
    list_->SelectAt(k + 1);
    list_->ScrollToPosition(k + 1);
    list_->setFocus();
  });
}

void Form1::LoadSamples() {
  Trap trap(kLocSamples);
  const std::string samples = JoinPath(S(program_folder_), "Samples");
  std::vector<std::string> names;
  trap.Step(0, [&] { names = ListFiles(samples, "*.*"); });
  trap.Step(1, [&] {
    for (const std::string& name : names) AppendEntry(JoinPath(samples, name));
  });
  MsgAnswer open = MsgAnswer::No;
  trap.Step(2, [&] {
    open =
        CurrentHost().MessageBox(kOpenSamplesQuestion, MsgButtons::YesNo, MsgIcon::None, kAppTitle);
  });
  if (open == MsgAnswer::Yes) trap.Step(3, [&] { CurrentHost().OpenFolder(samples + "/"); });
}

void Form1::BrowseOutputFolder() {
  Trap trap(kLocBrowse);
  std::string path;
  trap.Step(0, [&] { path = qm::BrowseForFolder(kFolderPrompt); });
  if (path.empty()) return;
  trap.Step(2, [&] { text1_->setText(Q(path.back() == '/' ? path : path + "/")); });
  trap.Step(3, [&] {
    auto settings = OpenSettings();
    settings->setValue("Text1", text1_->text());
    settings->sync();
  });
}

void Form1::CancelConversion() {
  if (converting_) RequestCancel();
}

void Form1::ShowAbout() {
  const std::string text = std::string(kAppTitle) + " " + kVersion +
                           "\r\rTurns a list of pictures into one animated GIF.\r\r"
                           "Copyright 2026 the Quillomat developers.\r"
                           "Free software under the GNU General Public License, version 3 or any "
                           "later version (GPL-3.0-or-later), with no warranty.";
  ShowAboutBox(text, std::string("About ") + kAppTitle);
}

}  // namespace qm::app
