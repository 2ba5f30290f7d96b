// ListView1: the file list of the main window. A one-column, report-style list whose entries are
// the full paths of the pictures to convert, in frame order.
//
// It accepts drops of files and folders from a file browser (file URLs only; any other data is
// refused): a file is appended as it is, a folder contributes every file in it and beneath it.
// Dragging an entry with the mouse button held moves its text through the list by swapping it
// with the entry under the mouse, scrolling by one entry when the pointer is high or low on the
// screen. The Delete key and a double-click remove the selected entry.
//
// Positions are 1-based as the commands count them; 0 means "no entry".
#pragma once

#include <QCursor>
#include <QStringList>
#include <QTreeWidget>
#include <functional>

namespace qm::app {

class FileList : public QTreeWidget {
  Q_OBJECT

 public:
  // Screen heights (pixels) above and below which a reorder step scrolls by one entry.
  static constexpr int kScrollUpBelowY = 305;
  static constexpr int kScrollDownAboveY = 364;

  explicit FileList(QWidget* parent = nullptr);

  int Count() const { return topLevelItemCount(); }
  QString Text(int position) const;  // "" outside 1..Count()
  QStringList Texts() const;
  void Append(const QString& text);
  // Inserts before `position`; Count() + 1 appends. False (nothing done) outside 1..Count() + 1.
  bool InsertBefore(int position, const QString& text);
  bool RemoveAt(int position);  // false when there is no such entry
  void RemoveAll();
  // The selected entry's position, 0 when none is selected.
  int SelectedPosition() const;
  bool SelectAt(int position);
  void ScrollToPosition(int position);

  // Appends what a drop of these local paths adds (files as they are, folders as their trees).
  void AddDroppedPaths(const QStringList& paths);

  // Where the vertical screen position of the mouse pointer comes from (tests replace it).
  void SetCursorYSource(std::function<int()> source) { cursor_y_ = std::move(source); }
  // The picture shown while an entry is being dragged ("drag.ico" in the program folder).
  void SetDragIconPath(const QString& path) { drag_icon_path_ = path; }

  // One reorder step at the viewport point `pos`, as a mouse move with the button held does it.
  void ReorderStep(const QPoint& pos);
  // The entry click: the clicked entry becomes the one being dragged.
  void BeginEntryDrag();
  bool ButtonDown() const { return button_down_; }
  QTreeWidgetItem* DragItem() const { return drag_item_; }

 signals:
  // Every mouse move over the list, before any reorder step (the window's hover rule).
  void MouseMovedOver();

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Forget(QTreeWidgetItem* item);
  int PositionOf(QTreeWidgetItem* item) const;

  QTreeWidgetItem* drag_item_ = nullptr;  // never dangles: cleared when its entry goes
  bool button_down_ = false;
  QString drag_icon_path_;
  std::function<int()> cursor_y_;
};

// True when the drag data carries only local file paths (and at least one).
bool CarriesLocalFiles(const class QMimeData* data);

}  // namespace qm::app
