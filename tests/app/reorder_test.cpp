// Reordering by dragging an entry with the button held: swaps of two texts, never a shift.
#include <QScrollBar>
#include <QtTest>

#include "tests/app/app_test_support.h"

namespace qm::app::test {

namespace {

void Press(FileList& list, int position) {
  SendMouse(list.viewport(), QEvent::MouseButtonPress, CentreOf(list, position), Qt::LeftButton,
            Qt::LeftButton);
}
void MoveHeld(FileList& list, int position) {
  SendMouse(list.viewport(), QEvent::MouseMove, CentreOf(list, position), Qt::NoButton,
            Qt::LeftButton);
}
void Release(FileList& list, int position) {
  SendMouse(list.viewport(), QEvent::MouseButtonRelease, CentreOf(list, position), Qt::LeftButton,
            Qt::NoButton);
}

}  // namespace

class ReorderTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { screen_y_ = 330; }

  void oneStepOntoTheLastEntrySwapsTheTwo() {
    Harness h;
    Prepare(h, {"A", "B", "C", "D"});
    Press(h.list(), 1);
    MoveHeld(h.list(), 4);
    Release(h.list(), 4);
    QCOMPARE(h.list().Texts(), QStringList({"D", "B", "C", "A"}));
    QCOMPARE(h.list().SelectedPosition(), 4);
  }

  void stepsAcrossEveryEntryCarryTheTextAlong() {
    Harness h;
    Prepare(h, {"A", "B", "C", "D"});
    Press(h.list(), 1);
    for (int p : {2, 3, 4}) MoveHeld(h.list(), p);
    Release(h.list(), 4);
    QCOMPARE(h.list().Texts(), QStringList({"B", "C", "D", "A"}));
    QCOMPARE(h.list().SelectedPosition(), 4);
    // And back up again.
    Press(h.list(), 4);
    for (int p : {3, 2, 1}) MoveHeld(h.list(), p);
    Release(h.list(), 1);
    QCOMPARE(h.list().Texts(), QStringList({"A", "B", "C", "D"}));
  }

  void equalTextsNeverSwap() {
    Harness h;
    Prepare(h, {"A", "B", "A", "C"});
    Press(h.list(), 1);
    MoveHeld(h.list(), 3);
    QCOMPARE(h.list().Texts(), QStringList({"A", "B", "A", "C"}));
    MoveHeld(h.list(), 2);
    QCOMPARE(h.list().Texts(), QStringList({"B", "A", "A", "C"}));
    Release(h.list(), 2);
  }

  void movingWithoutTheButtonChangesNothing() {
    Harness h;
    Prepare(h, {"A", "B", "C"});
    QTest::mouseClick(h.list().viewport(), Qt::LeftButton, Qt::NoModifier, CentreOf(h.list(), 1));
    QVERIFY(!h.list().ButtonDown());
    SendMouse(h.list().viewport(), QEvent::MouseMove, CentreOf(h.list(), 3), Qt::NoButton,
              Qt::NoButton);
    QCOMPARE(h.list().Texts(), QStringList({"A", "B", "C"}));
  }

  void aRemovedDragEntryIsForgotten() {
    Harness h;
    Prepare(h, {"A", "B", "C"});
    Press(h.list(), 2);
    QVERIFY(h.list().DragItem() != nullptr);
    QTest::keyClick(&h.list(), Qt::Key_Delete);
    QVERIFY(h.list().DragItem() == nullptr);
    MoveHeld(h.list(), 1);
    QCOMPARE(h.list().Texts(), QStringList({"A", "C"}));
    Release(h.list(), 1);
    Press(h.list(), 1);
    h.Button("PushButton4")->click();
    QVERIFY(h.list().DragItem() == nullptr);
  }

  void scrollsByOneEntryNearTheScreenThresholds() {
    Harness h;
    QStringList many;
    for (int i = 1; i <= 60; ++i) many << QString("entry %1").arg(i);
    Prepare(h, many);
    QScrollBar* bar = h.list().verticalScrollBar();
    QVERIFY(bar->maximum() > 0);

    const int last = LastFullyVisible(h.list());
    QVERIFY(last > 2 && last < 60);
    screen_y_ = 340;  // between the thresholds: no scrolling
    Press(h.list(), last - 1);
    MoveHeld(h.list(), last);
    QCOMPARE(bar->value(), 0);
    screen_y_ = 365;  // low on the screen: the entry below the hovered one comes into view
    MoveHeld(h.list(), last - 1);
    MoveHeld(h.list(), last);
    Release(h.list(), last);
    QVERIFY(bar->value() > 0);
    QCOMPARE(LastFullyVisible(h.list()), last + 1);

    bar->setValue(10);
    const int first = FirstFullyVisible(h.list());
    screen_y_ = 304;  // high on the screen: the entry above comes into view
    Press(h.list(), first + 1);
    MoveHeld(h.list(), first);
    Release(h.list(), first);
    QCOMPARE(FirstFullyVisible(h.list()), first - 1);
  }

 private:
  void Prepare(Harness& h, const QStringList& texts) {
    h.SetEntries(texts);
    h.list().SetCursorYSource([this] { return screen_y_; });
    QApplication::processEvents();
  }
  static bool FullyVisible(FileList& list, int position) {
    const QRect r = list.visualItemRect(list.topLevelItem(position - 1));
    return list.viewport()->rect().contains(r);
  }
  static int LastFullyVisible(FileList& list) {
    int last = 0;
    for (int p = 1; p <= list.Count(); ++p) {
      if (FullyVisible(list, p)) last = p;
    }
    return last;
  }
  static int FirstFullyVisible(FileList& list) {
    for (int p = 1; p <= list.Count(); ++p) {
      if (FullyVisible(list, p)) return p;
    }
    return 0;
  }
  int screen_y_ = 330;
};

QM_APP_TEST(ReorderTest);

}  // namespace qm::app::test

#include "reorder_test.moc"
