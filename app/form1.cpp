#include "app/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <vector>

#include "app/file_list.h"
#include "app/pictures.h"
#include "platform/cancel.h"
#include "platform/error.h"
#include "platform/error_report.h"
#include "platform/folders.h"
#include "platform/fs.h"
#include "platform/version.h"

#if __has_include("imaging/mDither8bpp.h")
#include "imaging/mDither8bpp.h"
#define QUILLOMAT_HAVE_DITHER 1
#endif
#ifdef QUILLOMAT_HAVE_CONVERT
#include "convert/driver.h"
#include "gif/cGIF.h"
#endif

namespace qm::app {

namespace {

constexpr int kFileBufferChars = 30000;
constexpr int kColumnWidthPx = 433;  // 6500 twips at 15 twips per pixel
constexpr const char* kFolderPrompt = "Please select folder:";
constexpr const char* kListTip =
    "Drag and drop files here. Double-click item to remove it. Move bar to right and out of "
    "window to reveal full names.";
constexpr const char* kTooManyFiles =
    "You've selected too many files to add.\r\rPlease try adding via the \"Add All\" button.";
constexpr const char* kAddAllPrompt =
    "Enter file extension to load:\r\r(* for all files, txt for all txt files, doc for all doc "
    "files, etc.)";
constexpr const char* kOpenSamplesQuestion =
    "Would you like this software to open the folder where these sample files are stored (so "
    "that you can view them before working with them)?";

// Runs the numbered steps of a trapping handler: a step that throws is reported with the
// handler's location and its step number, and the handler carries on.
class Trap {
 public:
  explicit Trap(const char* location) : location_(location) {}
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

// Steps of Move Up / Move Down fail silently.
template <class F>
void Quietly(F&& step) {
  try {
    step();
  } catch (const std::exception&) {
  }
}

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}
std::string S(const QString& s) {
  return s.toStdString();
}

// Message texts separate lines with carriage returns; Qt lays out line feeds.
QString DisplayText(const std::string& text) {
  QString t = Q(text);
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return t;
}

// "Description (*.a;*.b)|*.a;*.b|..." -> Qt's "Description (*.a *.b);;..."
QString QtFilter(const std::string& filter) {
  const QStringList parts = Q(filter).split('|');
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString desc = parts[i].trimmed();
    const int paren = desc.lastIndexOf('(');
    if (paren > 0 && desc.endsWith(')')) desc = desc.left(paren).trimmed();
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    if (!desc.isEmpty() || !patterns.isEmpty()) out << QString("%1 (%2)").arg(desc, patterns);
  }
  return out.join(";;");
}

std::unique_ptr<QSettings> OpenSettings() {
  auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                              "Marrowby", "Marrowby");
  settings->beginGroup("Quillomat");
  return settings;
}

std::string DesktopPath() {
  const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
  if (desktop.isEmpty()) Raise(kErrInvalidCall, "The desktop folder is not known");
  return JoinPath(S(desktop), "");
}

QPushButton* MakeButton(const char* name, const char* caption, QWidget* parent) {
  auto* b = new QPushButton(QString::fromUtf8(caption), parent);
  b->setObjectName(name);
  b->setMouseTracking(true);
  b->setAutoDefault(false);
  return b;
}

}  // namespace

Form1::Form1(const QString& program_folder, QWidget* parent)
    : QWidget(parent), program_folder_(program_folder) {
  setObjectName("Form1");
  BuildControls();
}

Form1::~Form1() {
  if (override_cursor_) QApplication::restoreOverrideCursor();
}

void Form1::BuildControls() {
  setMouseTracking(true);

  frame2_ = new QGroupBox("Save Results To This Folder", this);
  frame2_->setObjectName("Frame2");
  text1_ = new QLineEdit(frame2_);
  text1_->setObjectName("Text1");
  button8_ = MakeButton("PushButton8", "...", frame2_);
  button8_->setFixedWidth(40);
  auto* f2 = new QHBoxLayout(frame2_);
  f2->addWidget(text1_, 1);
  f2->addWidget(button8_);

  list_ = new FileList(this);
  list_->setObjectName("ListView1");
  list_->setToolTip(kListTip);
  list_->viewport()->setToolTip(kListTip);
  list_->setHeaderLabels({QString()});
  QFont list_font("Arial", 9);
  list_font.setBold(true);
  list_->setFont(list_font);
  list_->setMinimumSize(456, 280);
  list_->SetDragIconPath(QDir(program_folder_).filePath("drag.ico"));

  frame1_ = new QGroupBox("Frames Per Second", this);
  frame1_->setObjectName("Frame1");
  txt_fps_ = new QLineEdit("5", frame1_);
  txt_fps_->setObjectName("txtFPS");
  txt_fps_->setAlignment(Qt::AlignCenter);
  auto* f1 = new QHBoxLayout(frame1_);
  f1->addWidget(txt_fps_);

  pic_save_ = new QLabel(this);
  pic_save_->setObjectName("picSave");
  pic_save_->hide();

  const char* names[8] = {"PushButton1", "PushButton2", "PushButton3", "PushButton4",
                          "PushButton5", "PushButton6", "PushButton7", "PushButton8"};
  const char* captions[7] = {
      "Add JPG File(s)", "Start Converting", "Add All JPG File(s) In Folder", "Clear List",
      "Move Up",         "Move Down",        "Load Sample/Example Files"};
  for (int i = 0; i < 7; ++i) buttons_[i] = MakeButton(names[i], captions[i], this);
  buttons_[7] = button8_;
  buttons_[4]->setIcon(ArrowIcon(Arrow::Up));
  buttons_[5]->setIcon(ArrowIcon(Arrow::Down));
  QFont strong = buttons_[1]->font();
  strong.setBold(true);
  buttons_[1]->setFont(strong);
  buttons_[1]->setMinimumHeight(36);

  progress_ = new QProgressBar(this);
  progress_->setObjectName("ProgressBar1");
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);

  for (int i : {0, 2, 3, 4, 5, 6}) buttons_[i]->setMinimumHeight(28);
  auto* side_box = new QWidget(this);
  side_box->setMinimumWidth(210);
  auto* side = new QVBoxLayout(side_box);
  side->setContentsMargins(0, 0, 0, 0);
  side->addWidget(buttons_[4]);
  side->addWidget(buttons_[5]);
  side->addSpacing(12);
  side->addWidget(frame1_);
  side->addStretch(1);
  side->addWidget(buttons_[0]);
  side->addWidget(buttons_[2]);
  side->addWidget(buttons_[6]);
  side->addWidget(buttons_[3]);
  side->addSpacing(12);
  side->addWidget(buttons_[1]);

  auto* grid = new QGridLayout(this);
  grid->addWidget(frame2_, 0, 0, 1, 2);
  grid->addWidget(list_, 1, 0);
  grid->addWidget(side_box, 1, 1);
  grid->addWidget(progress_, 2, 0, 1, 2);
  grid->setColumnStretch(0, 1);
  grid->setRowStretch(1, 1);

  // A menu bar above the controls holds the About box and leaves their layout as it is.
  auto* menu_bar = new QMenuBar(this);
  menu_bar->setObjectName("MenuBar");
  QMenu* help = menu_bar->addMenu("&Help");
  help->setObjectName("menuHelp");
  QAction* about = help->addAction("&About Quillomat");
  about->setObjectName("actionAbout");
  connect(about, &QAction::triggered, this, &Form1::ShowAbout);
  grid->setMenuBar(menu_bar);

  for (QWidget* w :
       std::initializer_list<QWidget*>{frame1_, frame2_, text1_, txt_fps_, progress_}) {
    w->setMouseTracking(true);
    w->installEventFilter(this);
  }
  for (QPushButton* b : buttons_) b->installEventFilter(this);

  connect(buttons_[0], &QPushButton::clicked, this, &Form1::AddFiles);
  connect(buttons_[1], &QPushButton::clicked, this, &Form1::StartConversion);
  connect(buttons_[2], &QPushButton::clicked, this, &Form1::AddAllInFolder);
  connect(buttons_[3], &QPushButton::clicked, this, &Form1::ClearList);
  connect(buttons_[4], &QPushButton::clicked, this, &Form1::MoveUp);
  connect(buttons_[5], &QPushButton::clicked, this, &Form1::MoveDown);
  connect(buttons_[6], &QPushButton::clicked, this, &Form1::LoadSamples);
  connect(buttons_[7], &QPushButton::clicked, this, &Form1::BrowseOutputFolder);
  connect(txt_fps_, &QLineEdit::textChanged, this, [](const QString& text) {
    auto settings = OpenSettings();
    settings->setValue("FPS", text);
    settings->sync();
  });
  connect(list_, &FileList::MouseMovedOver, this, &Form1::HoverDefault);

  adjustSize();
  resize(std::max(width(), 700), std::max(height(), 480));
}

void Form1::Load() {
  Trap trap(kLocFormLoad);
  // Step 100 is the optional skin, which this program does without.
  trap.Step(1, [&] {
    const QScreen* screen = this->screen() ? this->screen() : QApplication::primaryScreen();
    if (!screen) return;
    const QRect avail = screen->geometry();
    const QSize frame = frameGeometry().size();
    move(avail.x() + (avail.width() - frame.width()) / 2,
         avail.y() + (avail.height() - frame.height()) / 2);
  });
  trap.Step(2, [&] {
    setWindowTitle(kAppTitle);
    setWindowIcon(AppIcon());
  });
  trap.Step(3, [&] {
    const QString cur = QDir(program_folder_).filePath("HAND-M.CUR");
    if (FileExists(S(cur))) hand_cursor_ = LoadCursorFile(cur);
  });
  trap.Step(4, [&] {
    list_->setHeaderLabels({"JPG File(s)"});
    list_->setColumnWidth(0, kColumnWidthPx);
  });
  trap.Step(5, [&] { txt_fps_->setText(OpenSettings()->value("FPS", "1").toString()); });
#ifdef QUILLOMAT_HAVE_DITHER
  trap.Step(6, [&] { mDither8bpp::InitDitherTables(); });
  trap.Step(7, [&] {
    mDither8bpp::SetPaletteMode(0);
    mDither8bpp::SetDitherMode(0);
  });
#endif
  trap.Step(8, [&] {
    auto settings = OpenSettings();
    QString text =
        settings->contains("Text1") ? settings->value("Text1").toString() : Q(DesktopPath());
    text1_->setText(text);
  });
  // Step 118 switched the coordinate unit to pixels; Qt works in pixels throughout.
}

const cGIF* Form1::Animation() const {
  return m_cGIF.get();
}

// ---- Host ----------------------------------------------------------------------------------

void Form1::Yield() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Form1::SetProgressMax(int max) {
  // A maximum of 0 would turn the bar into a "busy" animation; keep it an empty bar instead.
  progress_->setRange(0, std::max(1, max));
}

void Form1::SetProgressValue(int value) {
  progress_->setValue(std::clamp(value, progress_->minimum(), progress_->maximum()));
}

void Form1::SetMousePointer(int pointer) {
  pointer_ = pointer;
  const bool busy = pointer == kPointerBusy;
  if (busy && !override_cursor_) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    override_cursor_ = true;
  } else if (!busy && override_cursor_) {
    QApplication::restoreOverrideCursor();
    override_cursor_ = false;
  }
  if (pointer == kPointerCustom && hand_cursor_) {
    setCursor(*hand_cursor_);
  } else {
    unsetCursor();
  }
}

template <class F>
auto Form1::WithArrow(F&& show) {
  if (override_cursor_) QApplication::setOverrideCursor(Qt::ArrowCursor);
  struct Restore {
    bool on;
    ~Restore() {
      if (on) QApplication::restoreOverrideCursor();
    }
  } restore{override_cursor_};
  return show();
}

MsgAnswer Form1::MessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                            const std::string& title) {
  // Whoever closed the window does not wait for what the stopping conversion has to say.
  if (close_pending_) return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
  if (dialogs_) return dialogs_->MessageBox(text, buttons, icon, title);
  QMessageBox::Icon qicon = QMessageBox::NoIcon;
  switch (icon) {
    case MsgIcon::None:
      qicon = QMessageBox::NoIcon;
      break;
    case MsgIcon::Exclamation:
      qicon = QMessageBox::Warning;
      break;
    case MsgIcon::Question:
      qicon = QMessageBox::Question;
      break;
    case MsgIcon::Information:
      qicon = QMessageBox::Information;
      break;
    case MsgIcon::Critical:
      qicon = QMessageBox::Critical;
      break;
  }
  const auto qbuttons = buttons == MsgButtons::YesNo
                            ? QMessageBox::Yes | QMessageBox::No
                            : QMessageBox::StandardButtons(QMessageBox::Ok);
  QMessageBox box(qicon, Q(title), DisplayText(text), qbuttons, isVisible() ? this : nullptr);
  const int answer = WithArrow([&] { return box.exec(); });
  if (buttons == MsgButtons::YesNo)
    return answer == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
  return MsgAnswer::Ok;
}

bool Form1::InputBox(const std::string& prompt, const std::string& title,
                     const std::string& default_text, std::string* answer) {
  if (dialogs_) return dialogs_->InputBox(prompt, title, default_text, answer);
  bool ok = false;
  const QString text = WithArrow([&] {
    return QInputDialog::getText(this, Q(title), DisplayText(prompt), QLineEdit::Normal,
                                 Q(default_text), &ok);
  });
  if (ok && answer) *answer = S(text);
  return ok;
}

std::string Form1::OpenFileDialog(const std::string& title, const std::string& filter,
                                  int buffer_chars) {
  if (dialogs_) return dialogs_->OpenFileDialog(title, filter, buffer_chars);
  const QStringList files = WithArrow(
      [&] { return QFileDialog::getOpenFileNames(this, Q(title), QString(), QtFilter(filter)); });
  if (files.isEmpty()) return {};
  QString result;
  if (files.size() == 1) {
    result = files.first();
  } else {
    const QDir folder(QFileInfo(files.first()).absolutePath());
    QString root = folder.absolutePath();
    result = root;
    for (const QString& f : files) result += QChar(0) + folder.relativeFilePath(f);
  }
  // The selection, its terminator and the list's closing terminator must fit the buffer.
  if (result.size() + 2 > buffer_chars) Raise(kErrBufferTooSmall);
  return S(result);
}

std::string Form1::BrowseForFolder(const std::string& prompt) {
  if (dialogs_) return dialogs_->BrowseForFolder(prompt);
  QString dir = WithArrow([&] {
    return QFileDialog::getExistingDirectory(this, Q(prompt), QString(), QFileDialog::ShowDirsOnly);
  });
  while (dir.size() > 1 && dir.endsWith('/')) dir.chop(1);
  return S(dir);
}

void Form1::OpenFolder(const std::string& path) {
  if (dialogs_) {
    dialogs_->OpenFolder(path);
    return;
  }
  QDesktopServices::openUrl(QUrl::fromLocalFile(Q(path)));
}

// ---- Commands ------------------------------------------------------------------------------

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
  converting_ = true;
  buttons_[1]->setEnabled(false);
  try {
    if (!m_cGIF) m_cGIF = std::make_unique<cGIF>();
    std::vector<std::string> files;
    for (const QString& t : list_->Texts()) files.push_back(S(t));
    qm::StartConverting(files, S(txt_fps_->text()), S(text1_->text()), *m_cGIF);
  } catch (const std::exception& e) {
    ShowErrorReport(e, kLocConvert, 0);
  }
  converting_ = false;
  buttons_[1]->setEnabled(true);
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
}

void Form1::ShowAbout() {
  const std::string text = std::string(kAppTitle) + " " + kVersion +
                           "\r\rTurns a list of pictures into one animated GIF.\r\r"
                           "Copyright 2026 the Quillomat developers.\r"
                           "Free software under the GNU General Public License, version 3 or any "
                           "later version (GPL-3.0-or-later), with no warranty.";
  const std::string title = std::string("About ") + kAppTitle;
  if (dialogs_) {
    dialogs_->MessageBox(text, MsgButtons::Ok, MsgIcon::Information, title);
    return;
  }
  WithArrow([&] { QMessageBox::about(this, Q(title), DisplayText(text)); });
}

// ---- Window events -------------------------------------------------------------------------

void Form1::ReleaseGIF() {
  m_cGIF.reset();
}

void Form1::closeEvent(QCloseEvent* event) {
  if (converting_) {
    // The conversion below on the stack still uses the animation and its temporary files: it is
    // asked to stop at its next frame, and when it has unwound and cleaned up, StartConversion
    // closes the window again.
    close_pending_ = true;
    RequestCancel();
    event->ignore();
    return;
  }
  close_pending_ = false;
  event->accept();
  ReleaseGIF();
  Yield();
  Yield();
  if (end_program_) {
    end_program_();
  } else {
    QCoreApplication::quit();
  }
}

void Form1::HoverDefault() {
  if (pointer_ != kPointerBusy) SetMousePointer(kPointerDefault);
}

void Form1::mouseMoveEvent(QMouseEvent* event) {
  HoverDefault();
  QWidget::mouseMoveEvent(event);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter) {
    const bool is_button =
        std::find(std::begin(buttons_), std::end(buttons_), watched) != std::end(buttons_);
    if (is_button) {
      if (pointer_ != kPointerBusy) SetMousePointer(kPointerCustom);
    } else if (event->type() == QEvent::MouseMove) {
      HoverDefault();
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace qm::app
