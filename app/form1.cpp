#include "app/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
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

#include "app/file_list.h"
#include "app/output_options_box.h"
#include "app/pictures.h"
#include "app/preview_pane.h"
#include "app/settings.h"
#include "app/size_estimator.h"
#include "app/std_text.h"
#include "app/trap.h"
#include "platform/cancel.h"
#include "platform/error.h"
#include "platform/fs.h"

#if __has_include("imaging/mDither8bpp.h")
#include "imaging/mDither8bpp.h"
#define QUILLOMAT_HAVE_DITHER 1
#endif
#include "convert/driver.h"
#include "gif/cGIF.h"

namespace qm::app {

namespace {

constexpr int kColumnWidthPx = 433;  // 6500 twips at 15 twips per pixel
constexpr const char* kListTip =
    "Drag and drop files here. Double-click item to remove it. Move bar to right and out of "
    "window to reveal full names.";
constexpr const char* kCancelTip =
    "Stops the running conversion at its next frame and removes its files.";

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
  // and those slots would run on a Form1 that no longer exists. The rooms' signals likewise.
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

// ---- The rooms -----------------------------------------------------------------------------

ConversionOptions Form1::Options() const {
  return options_box_->Options();
}

QString Form1::PreviewedGif() const {
  return preview_box_->PreviewedGif();
}

qint64 Form1::EstimatedBytes() const {
  return estimator_->Bytes();
}

void Form1::ShowCount() {
  const int n = list_->Count();
  count_->setText(n == 1 ? QString("1 picture") : QString("%1 pictures").arg(n));
}

void Form1::ShowPicturePreview() {
  if (converting_) return;
  const int k = list_->SelectedPosition();
  if (k < 1) return;
  preview_box_->ShowPicture(list_->Text(k));
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
