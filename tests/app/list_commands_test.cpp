// The list commands: Move Up / Move Down, Delete, double-click, Clear List, Add JPG File(s),
// and the error report of a failing command.
#include <QtTest>

#include "tests/app/app_test_support.h"

namespace qm::app::test {

namespace {
const QStringList kABC = {"A", "B", "C"};

// What a real double-click delivers: press, release, double-click, release.
void DoubleClick(QWidget* w, const QPoint& p) {
  SendMouse(w, QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton);
  SendMouse(w, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
  SendMouse(w, QEvent::MouseButtonDblClick, p, Qt::LeftButton, Qt::LeftButton);
  SendMouse(w, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
}
}  // namespace

class ListCommandsTest : public QObject {
  Q_OBJECT

 private slots:
  void moveUpOnTheThirdEntry() {
    Harness h;
    h.SetEntries(kABC);
    h.list().SelectAt(3);
    h.Button("PushButton5")->click();
    QCOMPARE(h.list().Texts(), QStringList({"A", "C", "B"}));
    QCOMPARE(h.list().SelectedPosition(), 2);
    QVERIFY(h.list().hasFocus() || QApplication::focusWidget() == &h.list());
    h.Button("PushButton5")->click();
    QCOMPARE(h.list().Texts(), QStringList({"C", "A", "B"}));
    QCOMPARE(h.list().SelectedPosition(), 1);
  }

  void moveUpOnTheFirstOrNoEntryChangesNothing() {
    Harness h;
    h.SetEntries(kABC);
    h.list().SelectAt(1);
    h.Button("PushButton5")->click();
    QCOMPARE(h.list().Texts(), kABC);
    QCOMPARE(h.list().SelectedPosition(), 1);
    h.list().clearSelection();
    h.Button("PushButton5")->click();
    QCOMPARE(h.list().Texts(), kABC);
    QCOMPARE(h.list().SelectedPosition(), 0);
    QVERIFY(h.host.messages.empty());
  }

  void moveDownOnTheFirstAndLastEntry() {
    Harness h;
    h.SetEntries(kABC);
    h.list().SelectAt(1);
    h.Button("PushButton6")->click();
    QCOMPARE(h.list().Texts(), QStringList({"B", "A", "C"}));
    QCOMPARE(h.list().SelectedPosition(), 2);
    h.Button("PushButton6")->click();
    QCOMPARE(h.list().Texts(), QStringList({"B", "C", "A"}));
    QCOMPARE(h.list().SelectedPosition(), 3);
    h.Button("PushButton6")->click();  // already last
    QCOMPARE(h.list().Texts(), QStringList({"B", "C", "A"}));
    QCOMPARE(h.list().SelectedPosition(), 3);
  }

  void moveDownWithoutSelectionSelectsTheFirstEntry() {
    Harness h;
    h.SetEntries(kABC);
    h.list().clearSelection();
    h.Button("PushButton6")->click();
    QCOMPARE(h.list().Texts(), kABC);
    QCOMPARE(h.list().SelectedPosition(), 1);
    h.SetEntries({});
    h.Button("PushButton6")->click();  // empty list: nothing to do, nothing shown
    QCOMPARE(h.list().Count(), 0);
    QVERIFY(h.host.messages.empty());
  }

  void duplicateEntriesMoveAsSeparateEntries() {
    Harness h;
    h.SetEntries({"A", "A", "B"});
    h.list().SelectAt(3);
    h.Button("PushButton5")->click();
    QCOMPARE(h.list().Texts(), QStringList({"A", "B", "A"}));
    QCOMPARE(h.list().SelectedPosition(), 2);
  }

  void deleteKeyRemovesTheSelectedEntryWhateverTheModifiers() {
    Harness h;
    h.SetEntries({"A", "B", "C", "D"});
    h.list().setFocus();
    const Qt::KeyboardModifiers mods[] = {Qt::NoModifier, Qt::ShiftModifier, Qt::ControlModifier};
    QStringList expected = {"A", "B", "C", "D"};
    for (Qt::KeyboardModifiers m : mods) {
      h.list().SelectAt(2);
      expected.removeAt(1);
      QTest::keyClick(&h.list(), Qt::Key_Delete, m);
      QCOMPARE(h.list().Texts(), expected);
    }
    h.list().clearSelection();
    QTest::keyClick(&h.list(), Qt::Key_Delete);
    QCOMPARE(h.list().Texts(), QStringList({"A"}));
    QVERIFY(h.host.messages.empty());
  }

  void doubleClickRemovesTheClickedEntry() {
    Harness h;
    h.SetEntries(kABC);
    DoubleClick(h.list().viewport(), CentreOf(h.list(), 2));
    QCOMPARE(h.list().Texts(), QStringList({"A", "C"}));
    // Double-click on the empty area below the entries removes nothing.
    const QPoint below(10, h.list().viewport()->height() - 3);
    h.list().clearSelection();
    DoubleClick(h.list().viewport(), below);
    QCOMPARE(h.list().Texts(), QStringList({"A", "C"}));
  }

  void clearListEmptiesSilently() {
    Harness h;
    h.SetEntries(kABC);
    h.Button("PushButton4")->click();
    QCOMPARE(h.list().Count(), 0);
    h.Button("PushButton4")->click();
    QCOMPARE(h.list().Count(), 0);
    QVERIFY(h.host.messages.empty());
  }

  void addFilesAsksWithTheFixedDialogSettings() {
    Harness h;
    h.host.file_choices = {"/pics/holiday one.jpg"};
    h.Button("PushButton1")->click();
    QCOMPARE(h.host.file_title,
             std::string("Add File(s) - Hold Ctrl or Shift to select multiple files"));
    QCOMPARE(h.host.file_filter, std::string("JPG Files (*.jpg;*.jpeg)|*.jpg;*.jpeg|"));
    QCOMPARE(h.host.file_buffer, 30000);
    QCOMPARE(h.list().Texts(), QStringList({"/pics/holiday one.jpg"}));
  }

  void addFilesSplitsAMultipleSelection() {
    Harness h;
    using namespace std::string_literals;
    h.host.file_choices = {"/pics\0a.jpg\0b.jpg\0c.jpg"s, "/\0x.jpg\0y.jpg"s, "/pics/\0d.jpg"s, ""s,
                           "/pics/a.jpg"s};
    for (int i = 0; i < 5; ++i) h.Button("PushButton1")->click();
    QCOMPARE(h.list().Texts(), QStringList({"/pics/a.jpg", "/pics/b.jpg", "/pics/c.jpg", "/x.jpg",
                                            "/y.jpg", "/pics/d.jpg", "/pics/a.jpg"}));
    QVERIFY(h.host.messages.empty());
  }

  void addFilesRefusesATooLongSelection() {
    Harness h;
    h.SetEntries({"kept"});
    h.host.raise_buffer_too_small = true;
    h.Button("PushButton1")->click();
    QCOMPARE(h.list().Texts(), QStringList({"kept"}));
    QCOMPARE(h.host.messages.size(), size_t(1));
    const auto& m = h.host.messages[0];
    QCOMPARE(m.text, std::string("You've selected too many files to add.\r\rPlease try adding via "
                                 "the \"Add All\" button."));
    QCOMPARE(m.title, std::string("Quillomat"));
    QVERIFY(m.buttons == MsgButtons::Ok);
    QVERIFY(m.icon == MsgIcon::None);
  }

  void aFailingCommandShowsTheErrorReportAndGoesOn() {
    Harness h;
    h.host.raise_number = kErrPermissionDenied;
    h.Button("PushButton1")->click();
    QCOMPARE(h.host.messages.size(), size_t(1));
    const auto& m = h.host.messages[0];
    QCOMPARE(m.title, std::string("Application Error"));
    QVERIFY(m.icon == MsgIcon::Exclamation);
    QVERIFY(m.buttons == MsgButtons::Ok);
    QCOMPARE(m.text, DescribeError(kErrPermissionDenied) + "\r\n" +
                         "in Quillomat2/19/2015.Form1.PushButton1_Click at line 100\r\r" +
                         "Please email screenshot of this message to " + SupportAddress());
    QCOMPARE(h.list().Count(), 0);
  }
};

QM_APP_TEST(ListCommandsTest);

}  // namespace qm::app::test

#include "list_commands_test.moc"
