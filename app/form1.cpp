#include "app/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <vector>

#include "app/file_list.h"
#include "app/output_options_box.h"
#include "app/pictures.h"
#include "app/preview_pane.h"
#include "app/settings.h"
#include "app/size_estimator.h"
#include "app/std_text.h"
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
constexpr const char* kCancelTip =
    "Stops the running conversion at its next frame and removes its files.";
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

// The output folder of a first start: the desktop, else the home folder's Pictures, else home.
std::string DesktopPath() {
  const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
  const QString home = QDir::homePath();
  for (const QString& folder : {desktop, home + "/Pictures", home}) {
    if (!folder.isEmpty() && QFileInfo(folder).isDir()) return JoinPath(S(folder), "");
  }
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
    : QWidget(parent), QtHost(this), program_folder_(program_folder) {
  setObjectName("Form1");
  BuildControls();
}

Form1::~Form1() {
  // The children outlive this destructor; the list's model still signals while it is taken down,
  // and those slots would run on a Form1 that no longer exists.
  list_->model()->disconnect(this);
  list_->disconnect(this);
  options_box_->disconnect(this);
  preview_box_->disconnect(this);
  estimator_->disconnect(this);
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
  SetProgressBar(progress_);

  cancel_ = new QPushButton("Cancel", this);
  cancel_->setObjectName("PushButtonCancel");
  cancel_->setToolTip(kCancelTip);
  cancel_->setAutoDefault(false);
  cancel_->setEnabled(false);
  count_ = new QLabel(this);
  count_->setObjectName("lblCount");
  estimate_ = new QLabel(this);
  estimate_->setObjectName("lblEstimate");
  estimate_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  estimate_->setToolTip(
      "The size out.gif will have with these options, from a few frames converted in the "
      "background.");
  options_box_ = new OutputOptionsBox(this);
  preview_box_ = new PreviewPane(this);
  estimator_ = new SizeEstimator(
      [this] {
        return EstimateQuestion{list_->Texts(), txt_fps_->text(), Options()};
      },
      this);
  SetFolderHint([this] { return text1_->text(); });

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

  auto* extra_box = new QWidget(this);
  auto* extra = new QVBoxLayout(extra_box);
  extra->setContentsMargins(0, 0, 0, 0);
  extra->addWidget(options_box_);
  extra->addWidget(preview_box_, 1);

  auto* status = new QHBoxLayout;
  status->addWidget(count_);
  status->addWidget(estimate_, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(progress_, 1);
  bottom->addWidget(cancel_);

  auto* grid = new QGridLayout(this);
  grid->addWidget(frame2_, 0, 0, 1, 3);
  grid->addWidget(list_, 1, 0);
  grid->addWidget(side_box, 1, 1);
  grid->addWidget(extra_box, 1, 2);
  grid->addLayout(status, 2, 0, 1, 3);
  grid->addLayout(bottom, 3, 0, 1, 3);
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
  // The new panels follow the hover rule of the frames: the default pointer over them.
  for (QWidget* panel : {static_cast<QWidget*>(options_box_), static_cast<QWidget*>(preview_box_),
                         static_cast<QWidget*>(count_), static_cast<QWidget*>(estimate_),
                         static_cast<QWidget*>(cancel_)}) {
    QList<QWidget*> widgets = panel->findChildren<QWidget*>();
    widgets << panel;
    for (QWidget* w : widgets) {
      w->setMouseTracking(true);
      w->installEventFilter(this);
    }
  }

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
  connect(cancel_, &QPushButton::clicked, this, &Form1::CancelConversion);
  auto list_changed = [this] {
    ShowCount();
    RestartEstimate();
  };
  connect(list_->model(), &QAbstractItemModel::rowsInserted, this, list_changed);
  connect(list_->model(), &QAbstractItemModel::rowsRemoved, this, list_changed);
  connect(list_->model(), &QAbstractItemModel::modelReset, this, list_changed);
  connect(list_->model(), &QAbstractItemModel::dataChanged, this, &Form1::RestartEstimate);
  connect(list_, &QTreeWidget::itemSelectionChanged, this, &Form1::ShowPicturePreview);
  connect(txt_fps_, &QLineEdit::textChanged, this, &Form1::RestartEstimate);
  connect(options_box_, &OutputOptionsBox::Changed, this, &Form1::RestartEstimate);
  connect(preview_box_, &PreviewPane::ThumbnailShown, this, &Form1::ThumbnailShown);
  connect(estimator_, &SizeEstimator::Estimating, this,
          [this] { estimate_->setText("out.gif: estimating..."); });
  connect(estimator_, &SizeEstimator::Estimated, this, &Form1::ShowEstimate);
  ShowCount();

  adjustSize();
  resize(std::max(width(), 700), std::max(height(), 480));
}

void Form1::ShowPicturePreview() {
  if (converting_) return;
  const int k = list_->SelectedPosition();
  if (k < 1) return;
  preview_box_->ShowPicture(list_->Text(k));
}

QString Form1::PreviewedGif() const {
  return preview_box_->PreviewedGif();
}

void Form1::RestartEstimate() {
  estimator_->Restart();
}

void Form1::ShowEstimate(qint64 bytes, const QString& reason) {
  if (bytes >= 0) {
    estimate_->setText("out.gif: about " + QLocale().formattedDataSize(bytes));
  } else {
    estimate_->setText(reason.isEmpty() ? QString() : "out.gif: no estimate (" + reason + ")");
  }
  emit EstimateChanged();
}

qint64 Form1::EstimatedBytes() const {
  return estimator_->Bytes();
}

ConversionOptions Form1::Options() const {
  return options_box_->Options();
}

void Form1::ShowCount() {
  const int n = list_->Count();
  count_->setText(n == 1 ? QString("1 picture") : QString("%1 pictures").arg(n));
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
    if (FileExists(S(cur))) SetHandCursor(LoadCursorFile(cur));
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
  trap.Step(9, [&] { options_box_->LoadSettings(); });
  // Step 118 switched the coordinate unit to pixels; Qt works in pixels throughout.
}

const cGIF* Form1::Animation() const {
  return m_cGIF.get();
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
    SetAnswerUnasked(true);  // whoever closed the window does not wait for its last messages
    RequestCancel();
    event->ignore();
    return;
  }
  close_pending_ = false;
  SetAnswerUnasked(false);
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
  if (GetMousePointer() != kPointerBusy) SetMousePointer(kPointerDefault);
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
      if (GetMousePointer() != kPointerBusy) SetMousePointer(kPointerCustom);
    } else if (event->type() == QEvent::MouseMove) {
      HoverDefault();
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace qm::app
