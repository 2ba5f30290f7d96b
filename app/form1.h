// Form1: the main window of Quillomat and the program's host (platform/host.h, through QtHost).
//
// The window owns the file list (ListView1), the frame-rate and output-folder fields, the
// progress bar and the command buttons, and the one animation object the conversions fill. It
// assembles the rooms beside them: the output options (OutputOptionsBox), the preview
// (PreviewPane), the size estimate (SizeEstimator, shown under the list with the number of
// pictures) and the Qt side of the host seam (QtHost: yielding, progress bar, pointer, dialogs).
// Its own work is the list commands, "Start Converting" with its Cancel button, the start-up
// sequence and the hover rule of the pointer (the hand over the command buttons, the default
// pointer elsewhere, nothing while busy).
//
// Command handlers trap run-time errors: each failing step is reported with the common error
// report (location text and step number) and the handler goes on with its next step. Move Up,
// Move Down, Delete and double-click skip failing steps silently.
//
// Closing the window while a conversion runs cancels it (platform/cancel.h); the window closes
// once the conversion has stopped and removed its files, without showing its last messages.
//
// Settings (app/settings.h): FPS (written on every change of the frame-rate field) and Text1
// (the output folder, written when one is chosen with "..."); the output options keep their own.
//
// Ownership: the controls and rooms are its children; the animation is owned here. Threads: the
// user-interface thread only.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "app/qt_host.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace qm {
class cGIF;
struct ConversionOptions;
}  // namespace qm

namespace qm::app {

class FileList;
class OutputOptionsBox;
class PreviewPane;
class SizeEstimator;

class Form1 : public QWidget, public QtHost {
  Q_OBJECT

 public:
  // `program_folder` is where Samples, HAND-M.CUR and drag.ico are looked for (the program passes
  // DataFolder() of platform/fs.h).
  explicit Form1(const QString& program_folder, QWidget* parent = nullptr);
  ~Form1() override;

  // The start-up sequence: centre, caption and icon, hand pointer, list column, settings, colour
  // reduction tables. Call once, with this window installed as the current host.
  void Load();

  // What ends the program after a close request (default: leave the event loop).
  void SetEndProgram(std::function<void()> end) { end_program_ = std::move(end); }

  FileList* List() const { return list_; }
  bool Converting() const { return converting_; }
  // The animation of the last conversion; nullptr before the first one or after the close.
  const cGIF* Animation() const;

  // The conversion options the output controls stand for.
  ConversionOptions Options() const;
  // The file the preview plays ("" when it shows none).
  QString PreviewedGif() const;
  // The estimated size of out.gif in bytes for the current list and options; -1 while none is
  // known (empty list, a rate that is no number, a sample that cannot be converted).
  qint64 EstimatedBytes() const;

 signals:
  void EstimateChanged();  // a new estimate is shown, or the old one withdrawn
  void ThumbnailShown();   // the selected picture's thumbnail is in the preview

 public slots:
  void AddFiles();            // PushButton1, "Add JPG File(s)"
  void StartConversion();     // PushButton2, "Start Converting"
  void AddAllInFolder();      // PushButton3, "Add All JPG File(s) In Folder"
  void ClearList();           // PushButton4, "Clear List"
  void MoveUp();              // PushButton5
  void MoveDown();            // PushButton6
  void LoadSamples();         // PushButton7, "Load Sample/Example Files"
  void BrowseOutputFolder();  // PushButton8, "..."
  void ShowAbout();           // Help > About Quillomat: version and licence
  void CancelConversion();    // PushButtonCancel, "Cancel"

 protected:
  void closeEvent(QCloseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void HoverDefault();
  void ReleaseGIF();
  void AppendEntry(const std::string& path);
  void ShowCount();
  void ShowPicturePreview();
  void RestartEstimate();
  void ShowEstimate(qint64 bytes, const QString& reason);

  QString program_folder_;
  std::function<void()> end_program_;
  bool converting_ = false;
  bool close_pending_ = false;  // closed during a conversion: close once it has stopped
  std::unique_ptr<cGIF> m_cGIF;

  QGroupBox* frame2_ = nullptr;
  QLineEdit* text1_ = nullptr;
  QPushButton* button8_ = nullptr;
  FileList* list_ = nullptr;
  QGroupBox* frame1_ = nullptr;
  QLineEdit* txt_fps_ = nullptr;
  QLabel* pic_save_ = nullptr;
  QPushButton* buttons_[8] = {};
  QProgressBar* progress_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QLabel* count_ = nullptr;
  QLabel* estimate_ = nullptr;
  OutputOptionsBox* options_box_ = nullptr;
  PreviewPane* preview_box_ = nullptr;
  SizeEstimator* estimator_ = nullptr;
};

// Location texts of the window's trapping handlers, as the error report shows them.
inline constexpr const char* kLocFormLoad = "in Quillomat2/19/2015.Form1.Form_Load ";
inline constexpr const char* kLocAddFiles = "in Quillomat2/19/2015.Form1.PushButton1_Click ";
inline constexpr const char* kLocConvert = "in Quillomat2/19/2015.Form1.PushButton2_Click ";
inline constexpr const char* kLocAddAll = "in Quillomat2/19/2015.Form1.PushButton3_Click ";
inline constexpr const char* kLocClear = "in Quillomat2/19/2015.Form1.PushButton4_Click ";
inline constexpr const char* kLocSamples = "in Quillomat2/19/2015.Form1.PushButton7_Click ";
inline constexpr const char* kLocBrowse = "in Quillomat2/19/2015.Form1.PushButton8_Click ";

}  // namespace qm::app
