#include "app/file_list.h"

#include <sys/stat.h>

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPixmap>
#include <QUrl>

#include "platform/folders.h"

namespace qm::app {

bool CarriesLocalFiles(const QMimeData* data) {
  if (!data || !data->hasUrls()) return false;
  const QList<QUrl> urls = data->urls();
  if (urls.isEmpty()) return false;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile() || url.toLocalFile().isEmpty()) return false;
  }
  return true;
}

FileList::FileList(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(1);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setDragEnabled(false);
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
  setMouseTracking(true);
  header()->setSectionsClickable(false);
  header()->setStretchLastSection(false);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

QString FileList::Text(int position) const {
  if (position < 1 || position > Count()) return {};
  return topLevelItem(position - 1)->text(0);
}

QStringList FileList::Texts() const {
  QStringList out;
  for (int i = 0; i < Count(); ++i) out << topLevelItem(i)->text(0);
  return out;
}

void FileList::Append(const QString& text) {
  auto* item = new QTreeWidgetItem(QStringList{text});
  addTopLevelItem(item);
}

bool FileList::InsertBefore(int position, const QString& text) {
  if (position < 1 || position > Count() + 1) return false;
  insertTopLevelItem(position - 1, new QTreeWidgetItem(QStringList{text}));
  return true;
}

bool FileList::RemoveAt(int position) {
  if (position < 1 || position > Count()) return false;
  QTreeWidgetItem* item = takeTopLevelItem(position - 1);
  Forget(item);
  delete item;
  return true;
}

void FileList::RemoveAll() {
  drag_item_ = nullptr;
  clear();
}

void FileList::Forget(QTreeWidgetItem* item) {
  if (item == drag_item_) drag_item_ = nullptr;
}

int FileList::PositionOf(QTreeWidgetItem* item) const {
  return item ? indexOfTopLevelItem(item) + 1 : 0;
}

int FileList::SelectedPosition() const {
  const QList<QTreeWidgetItem*> selected = selectedItems();
  return selected.isEmpty() ? 0 : PositionOf(selected.first());
}

bool FileList::SelectAt(int position) {
  if (position < 1 || position > Count()) return false;
  QTreeWidgetItem* item = topLevelItem(position - 1);
  setCurrentItem(item);
  item->setSelected(true);
  return true;
}

void FileList::ScrollToPosition(int position) {
  if (position < 1 || position > Count()) return;
  scrollToItem(topLevelItem(position - 1));
}

void FileList::AddDroppedPaths(const QStringList& paths) {
  for (QString path : paths) {
    while (path.size() > 1 && path.endsWith('/')) path.chop(1);
    const std::string p = path.toStdString();
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) continue;  // vanished or unreadable: nothing to add
    // Any dropped folder is walked, a hidden one too: listing a folder as if it were a picture
    // would only fail later, in the conversion. Hidden folders inside it stay unvisited.
    if (S_ISDIR(st.st_mode)) {
      for (const std::string& file : FilesInFolderTree(p, "*.*")) {
        Append(QString::fromStdString(file));
      }
    } else {
      Append(path);
    }
  }
}

void FileList::dragEnterEvent(QDragEnterEvent* event) {
  if (CarriesLocalFiles(event->mimeData())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void FileList::dragMoveEvent(QDragMoveEvent* event) {
  if (CarriesLocalFiles(event->mimeData())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void FileList::dropEvent(QDropEvent* event) {
  if (!CarriesLocalFiles(event->mimeData())) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls()) paths << url.toLocalFile();
  AddDroppedPaths(paths);
}

void FileList::BeginEntryDrag() {
  QPixmap picture;
  if (!drag_icon_path_.isEmpty() && QFileInfo(drag_icon_path_).isFile() &&
      picture.load(drag_icon_path_)) {
    viewport()->setCursor(QCursor(picture));
  } else {
    viewport()->unsetCursor();
  }
  const QList<QTreeWidgetItem*> selected = selectedItems();
  drag_item_ = selected.isEmpty() ? nullptr : selected.first();
}

void FileList::ReorderStep(const QPoint& pos) {
  QTreeWidgetItem* hover = itemAt(pos);
  if (!hover || !drag_item_ || hover->text(0) == drag_item_->text(0)) return;
  const QString kept = drag_item_->text(0);
  drag_item_->setText(0, hover->text(0));
  hover->setText(0, kept);
  const int hover_pos = PositionOf(hover);
  SelectAt(hover_pos);
  drag_item_ = hover;
  const int y = cursor_y_ ? cursor_y_() : QCursor::pos().y();
  if (y < kScrollUpBelowY && hover_pos > 1) {
    ScrollToPosition(hover_pos - 1);
  } else if (y > kScrollDownAboveY && hover_pos < Count()) {
    ScrollToPosition(hover_pos + 1);
  }
}

void FileList::mousePressEvent(QMouseEvent* event) {
  QTreeWidget::mousePressEvent(event);
  button_down_ = true;
  if (itemAt(event->position().toPoint())) BeginEntryDrag();
}

void FileList::mouseMoveEvent(QMouseEvent* event) {
  emit MouseMovedOver();
  if (!button_down_) {
    QTreeWidget::mouseMoveEvent(event);
    return;
  }
  // The held button drags the entry's text, never a rubber-band selection or a drag of its own.
  ReorderStep(event->position().toPoint());
}

void FileList::mouseReleaseEvent(QMouseEvent* event) {
  QTreeWidget::mouseReleaseEvent(event);
  button_down_ = false;
  viewport()->setCursor(Qt::ArrowCursor);
}

void FileList::mouseDoubleClickEvent(QMouseEvent* event) {
  event->accept();
  RemoveAt(SelectedPosition());
}

void FileList::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Delete) {
    RemoveAt(SelectedPosition());
    event->accept();
    return;
  }
  QTreeWidget::keyPressEvent(event);
}

}  // namespace qm::app
