#include "app/preview_pane.h"

#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QLocale>
#include <QMovie>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include "app/std_text.h"
#include "platform/host.h"

namespace qm::app {

PreviewPane::PreviewPane(QWidget* parent) : QGroupBox("Preview", parent) {
  setObjectName("FramePreview");
  preview_ = new QLabel(this);
  preview_->setObjectName("picPreview");
  preview_->setAlignment(Qt::AlignCenter);
  preview_->setMinimumSize(240, 160);
  preview_->setFrameShape(QFrame::StyledPanel);
  preview_->setText("Select a picture, or convert to see out.gif here.");
  preview_->setWordWrap(true);
  info_ = new QLabel(this);
  info_->setObjectName("lblPreviewInfo");
  info_->setWordWrap(true);
  info_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  info_->setMinimumWidth(240);
  // Room for the path and the figures, so showing them never resizes the window.
  info_->setMinimumHeight(3 * info_->fontMetrics().lineSpacing());
  info_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  open_gif_ = new QPushButton("Open GIF", this);
  open_gif_->setObjectName("PushButtonOpenGif");
  open_gif_->setToolTip("Opens out.gif in the desktop's viewer.");
  open_folder_ = new QPushButton("Open Folder", this);
  open_folder_->setObjectName("PushButtonOpenFolder");
  open_folder_->setToolTip("Shows the folder of out.gif in the desktop's file browser.");
  for (QPushButton* b : {open_gif_, open_folder_}) {
    b->setAutoDefault(false);
    b->setEnabled(false);
  }
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(open_gif_);
  buttons->addWidget(open_folder_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(preview_, 1);
  layout->addWidget(info_);
  layout->addLayout(buttons);
  connect(open_gif_, &QPushButton::clicked, this, [this] {
    if (!previewed_gif_.isEmpty()) CurrentHost().OpenFolder(S(previewed_gif_));
  });
  connect(open_folder_, &QPushButton::clicked, this, [this] {
    if (!previewed_gif_.isEmpty())
      CurrentHost().OpenFolder(S(QFileInfo(previewed_gif_).absolutePath() + "/"));
  });
}

void PreviewPane::StopMovie() {
  if (!movie_) return;
  preview_->setMovie(nullptr);
  delete movie_;
  movie_ = nullptr;
}

void PreviewPane::Clear() {
  ++thumbnail_request_;
  StopMovie();
  preview_->setPixmap(QPixmap());
  preview_->setText(QString());
  info_->clear();
  previewed_gif_.clear();
  open_gif_->setEnabled(false);
  open_folder_->setEnabled(false);
}

void PreviewPane::ShowGif(const QString& path) {
  Clear();
  QImageReader reader(path);
  const QSize size = reader.size();
  const int frames = reader.imageCount();
  movie_ = new QMovie(path, QByteArray(), this);
  if (!movie_->isValid() || !size.isValid()) {
    info_->setText(QString("%1\ncannot be shown.").arg(QDir::toNativeSeparators(path)));
    return;
  }
  const QSize room = preview_->contentsRect().size().boundedTo(QSize(480, 360));
  if (size.width() > room.width() || size.height() > room.height())
    movie_->setScaledSize(size.scaled(room, Qt::KeepAspectRatio));
  preview_->setMovie(movie_);
  movie_->start();
  previewed_gif_ = path;
  info_->setText(
      QString("%1\n%2, %3 frame%4, %5 %6 %7 pixels")
          .arg(QDir::toNativeSeparators(path), QLocale().formattedDataSize(QFileInfo(path).size()))
          .arg(frames)
          .arg(frames == 1 ? "" : "s")
          .arg(size.width())
          .arg(QString::fromUtf8("\u00d7"))
          .arg(size.height()));
  open_gif_->setEnabled(true);
  open_folder_->setEnabled(true);
}

void PreviewPane::ShowPicture(const QString& path) {
  const int request = ++thumbnail_request_;
  const QSize room = preview_->contentsRect().size().expandedTo(QSize(120, 90));
  // Decoding a large photo takes long enough to stall the window: it is done on a worker, and
  // only the newest request is shown.
  auto* watcher = new QFutureWatcher<QImage>(this);
  connect(watcher, &QFutureWatcher<QImage>::finished, this, [this, watcher, request, path] {
    watcher->deleteLater();
    if (request != thumbnail_request_) return;
    const QImage image = watcher->result();
    StopMovie();
    if (image.isNull()) {
      preview_->setPixmap(QPixmap());
      preview_->setText("This picture cannot be read.");
    } else {
      preview_->setPixmap(QPixmap::fromImage(image));
    }
    info_->setText(QDir::toNativeSeparators(path));
    emit ThumbnailShown();
  });
  watcher->setFuture(QtConcurrent::run([path, room] {
    QImageReader reader(path);
    reader.setAutoTransform(true);  // EXIF orientation
    QSize size = reader.size();
    if (reader.transformation() & QImageIOHandler::TransformationRotate90) size.transpose();
    if (size.isValid() && (size.width() > room.width() || size.height() > room.height())) {
      QSize scaled = size.scaled(room, Qt::KeepAspectRatio);
      // The reader scales before it turns the picture.
      if (reader.transformation() & QImageIOHandler::TransformationRotate90) scaled.transpose();
      reader.setScaledSize(scaled);
    }
    return reader.read();
  }));
}

}  // namespace qm::app
