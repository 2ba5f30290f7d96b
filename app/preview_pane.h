// PreviewPane: the "Preview" box of the main window (FramePreview). It plays a finished GIF with
// its path, file size, frame count and size beneath, and offers Open GIF (the desktop's viewer)
// and Open Folder (its folder in the file browser) through the current host; or it shows a
// thumbnail of one listed picture with its path.
//
// A thumbnail is decoded on a worker thread (a large photo would stall the window) turned as its
// EXIF orientation says and fitted to the pane; only the newest request is shown, and Clear or a
// GIF shown meanwhile drops the ones still under way. Nothing here reports an error by message:
// a GIF or picture that cannot be read says so in the pane.
//
// Ownership: a child widget of its parent; it owns its controls and the playing QMovie. Threads:
// called on the user-interface thread; only the decoding runs on a worker, and its result comes
// back to this thread.
#pragma once

#include <QGroupBox>
#include <QString>

class QLabel;
class QMovie;
class QPushButton;

namespace qm::app {

class PreviewPane : public QGroupBox {
  Q_OBJECT

 public:
  explicit PreviewPane(QWidget* parent = nullptr);

  // Plays the GIF at `path`, or says that it cannot be shown.
  void ShowGif(const QString& path);
  // Starts decoding the thumbnail of the picture at `path`; ThumbnailShown follows.
  void ShowPicture(const QString& path);
  // Empties the pane, stops the movie and drops the thumbnails under way.
  void Clear();

  // The GIF being played ("" when none is).
  QString PreviewedGif() const { return previewed_gif_; }

 signals:
  // The newest requested picture is in the pane (or its "cannot be read").
  void ThumbnailShown();

 private:
  void StopMovie();

  QLabel* preview_ = nullptr;
  QLabel* info_ = nullptr;
  QPushButton* open_gif_ = nullptr;
  QPushButton* open_folder_ = nullptr;
  QMovie* movie_ = nullptr;
  QString previewed_gif_;
  int thumbnail_request_ = 0;  // the newest thumbnail asked for; older answers are dropped
};

}  // namespace qm::app
