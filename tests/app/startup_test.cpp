// Start-up, settings, the output-folder button and the window's side of the host seam.
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QScreen>
#include <QStandardPaths>
#include <QtTest>

#include "app/pictures.h"
#include "tests/app/app_test_support.h"

namespace qm::app::test {

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ClearSettings(); }

  void controlsCarryTheirNamesAndCaptions() {
    Harness h;
    QCOMPARE(h.form().objectName(), QString("Form1"));
    QCOMPARE(h.form().windowTitle(), QString("Quillomat"));
    const std::pair<const char*, const char*> buttons[] = {
        {"PushButton1", "Add JPG File(s)"},
        {"PushButton2", "Start Converting"},
        {"PushButton3", "Add All JPG File(s) In Folder"},
        {"PushButton4", "Clear List"},
        {"PushButton5", "Move Up"},
        {"PushButton6", "Move Down"},
        {"PushButton7", "Load Sample/Example Files"},
        {"PushButton8", "..."}};
    for (const auto& [name, caption] : buttons) {
      QPushButton* b = h.Button(name);
      QVERIFY2(b, name);
      QCOMPARE(b->text(), QString(caption));
      QVERIFY2(b->isVisible(), name);
      // Nothing clipped: the caption fits the button.
      const int needed = b->fontMetrics().horizontalAdvance(b->text()) +
                         (b->icon().isNull() ? 0 : b->iconSize().width()) + 8;
      QVERIFY2(b->width() >= needed, name);
    }
    QCOMPARE(h.Child<QGroupBox>("Frame2")->title(), QString("Save Results To This Folder"));
    QCOMPARE(h.Child<QGroupBox>("Frame1")->title(), QString("Frames Per Second"));
    QVERIFY(h.Child<QLineEdit>("Text1"));
    QVERIFY(h.Child<QLineEdit>("txtFPS"));
    QVERIFY(h.Child<QProgressBar>("ProgressBar1"));
    QVERIFY(h.Child<QWidget>("picSave"));
    QVERIFY(!h.Child<QWidget>("picSave")->isVisible());
    auto* list = h.Child<QTreeWidget>("ListView1");
    QVERIFY(list);
    QCOMPARE(list->toolTip(),
             QString("Drag and drop files here. Double-click item to remove it. Move bar to right "
                     "and out of window to reveal full names."));
    QCOMPARE(list->columnCount(), 1);
    QCOMPARE(list->headerItem()->text(0), QString("JPG File(s)"));
    QCOMPARE(list->columnWidth(0), 433);
    QVERIFY(list->font().bold());
    QCOMPARE(list->font().pointSize(), 9);
    QVERIFY(list->viewport()->width() >= 433);
  }

  void windowIsCentred() {
    Harness h;
    const QRect screen = h.form().screen()->geometry();
    const QRect frame = h.form().frameGeometry();
    // Centred before it is shown; a window frame added later may shift it by its own width.
    const int slack = (frame.width() - h.form().width()) / 2 + 1;
    QVERIFY(qAbs(frame.center().x() - screen.center().x()) <= slack);
    QVERIFY(qAbs(frame.center().y() - screen.center().y()) <= slack);
    QVERIFY(screen.contains(frame));
  }

  void firstStartShowsDefaultsAndStoresTheRate() {
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    QVERIFY(QDir().mkpath(desktop));
    Harness h;
    QCOMPARE(h.Child<QLineEdit>("txtFPS")->text(), QString("1"));
    QCOMPARE(h.Child<QLineEdit>("Text1")->text(), desktop + "/");
    // Setting the field at load is a change, and every change is stored.
    QCOMPARE(StoredSetting("FPS"), QString("1"));
    QCOMPARE(StoredSetting("Text1"), QString("<absent>"));
  }

  void everyRateChangeIsStoredAndReadBack() {
    {
      Harness h;
      auto* fps = h.Child<QLineEdit>("txtFPS");
      fps->selectAll();
      QTest::keyClick(fps, Qt::Key_Backspace);
      QCOMPARE(StoredSetting("FPS"), QString(""));
      QTest::keyClick(fps, Qt::Key_1);
      QCOMPARE(StoredSetting("FPS"), QString("1"));
      QTest::keyClicks(fps, "2x");
      QCOMPARE(StoredSetting("FPS"), QString("12x"));  // unvalidated
    }
    {
      Harness h;
      QCOMPARE(h.Child<QLineEdit>("txtFPS")->text(), QString("12x"));
      h.Child<QLineEdit>("txtFPS")->clear();
    }
    Harness h;
    QCOMPARE(h.Child<QLineEdit>("txtFPS")->text(), QString(""));
  }

  void outputFolderComesFromTheSettingAndIsStoredWhenChosen() {
    StoreSetting("Text1", "/srv/animations/");
    {
      Harness h;
      QCOMPARE(h.Child<QLineEdit>("Text1")->text(), QString("/srv/animations/"));
      h.Child<QLineEdit>("Text1")->setText("/typed/");  // typing alone stores nothing
      QCOMPARE(StoredSetting("Text1"), QString("/srv/animations/"));
      h.host.folder_choices = {"/srv/other", ""};
      h.Button("PushButton8")->click();
      QCOMPARE(h.Child<QLineEdit>("Text1")->text(), QString("/srv/other/"));
      QCOMPARE(StoredSetting("Text1"), QString("/srv/other/"));
      h.Button("PushButton8")->click();  // cancelled: nothing changes
      QCOMPARE(StoredSetting("Text1"), QString("/srv/other/"));
    }
    Harness again;  // the next start opens where the last one chose
    QCOMPARE(again.Child<QLineEdit>("Text1")->text(), QString("/srv/other/"));
  }

  void aMissingDesktopFallsBackToPicturesThenHomeSilently() {
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString pictures = QDir::homePath() + "/Pictures";
    QDir(desktop).removeRecursively();
    QVERIFY(QDir().mkpath(pictures));
    {
      Harness h;
      QCOMPARE(h.Child<QLineEdit>("Text1")->text(), pictures + "/");
      QVERIFY(h.host.messages.empty());
    }
    QVERIFY(QDir(pictures).removeRecursively());
    {
      Harness h;
      QCOMPARE(h.Child<QLineEdit>("Text1")->text(), QDir::homePath() + "/");
      QVERIFY(h.host.messages.empty());
      QCOMPARE(StoredSetting("Text1"), QString("<absent>"));
    }
    QVERIFY(QDir().mkpath(desktop));
  }

  void browseButtonAppendsOneSlash() {
    Harness h;
    auto* text1 = h.Child<QLineEdit>("Text1");
    h.host.folder_choices = {"/", "/home/u/Pictures", ""};
    h.Button("PushButton8")->click();
    QCOMPARE(text1->text(), QString("/"));
    h.Button("PushButton8")->click();
    QCOMPARE(text1->text(), QString("/home/u/Pictures/"));
    h.Button("PushButton8")->click();  // cancelled
    QCOMPARE(text1->text(), QString("/home/u/Pictures/"));
    QCOMPARE(h.host.events.front(), std::string("browse Please select folder:"));
    QVERIFY(h.host.messages.empty());
  }

  void progressBarFollowsTheHost() {
    Harness h;
    auto* bar = h.Child<QProgressBar>("ProgressBar1");
    h.form().SetProgressMax(7);
    h.form().SetProgressValue(3);
    QCOMPARE(bar->maximum(), 7);
    QCOMPARE(bar->value(), 3);
    h.form().SetProgressValue(0);
    QCOMPARE(bar->value(), 0);
    // No pictures must not turn the bar into an endless "busy" animation.
    h.form().SetProgressMax(0);
    QVERIFY(bar->maximum() > bar->minimum());
    h.form().SetProgressValue(50);
    QCOMPARE(bar->value(), bar->maximum());
  }

  void busyPointerCoversTheWindowAndHoverLeavesItAlone() {
    Harness h;
    QPushButton* add = h.Button("PushButton1");
    SendMouse(add, QEvent::MouseMove, QPoint(3, 3), Qt::NoButton, Qt::NoButton);
    QCOMPARE(h.form().GetMousePointer(), 99);
    // Without HAND-M.CUR the "hand" is the ordinary arrow.
    QCOMPARE(h.form().cursor().shape(), Qt::ArrowCursor);
    SendMouse(h.Child<QWidget>("Frame1"), QEvent::MouseMove, QPoint(2, 2), Qt::NoButton,
              Qt::NoButton);
    QCOMPARE(h.form().GetMousePointer(), 0);

    h.form().SetMousePointer(11);
    QVERIFY(QApplication::overrideCursor());
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    SendMouse(add, QEvent::MouseMove, QPoint(3, 3), Qt::NoButton, Qt::NoButton);
    SendMouse(h.Child<QWidget>("Frame2"), QEvent::MouseMove, QPoint(2, 2), Qt::NoButton,
              Qt::NoButton);
    SendMouse(&h.form(), QEvent::MouseMove, QPoint(1, 1), Qt::NoButton, Qt::NoButton);
    SendMouse(h.list().viewport(), QEvent::MouseMove, QPoint(5, 5), Qt::NoButton, Qt::NoButton);
    QCOMPARE(h.form().GetMousePointer(), 11);
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    h.form().SetMousePointer(0);
    QVERIFY(!QApplication::overrideCursor());
  }

  void handPointerComesFromTheCursorFile() {
    QTemporaryDir program;
    // A 16x16 cursor: an icon file whose type is 2 and whose entry holds the hot spot (5, 3).
    QImage img(16, 16, QImage::Format_ARGB32);
    img.fill(Qt::red);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    QVERIFY(img.save(&buf, "ico"));
    bytes[2] = 2;
    bytes[10] = 5;
    bytes[11] = 0;
    bytes[12] = 3;
    bytes[13] = 0;
    WriteFile(program.filePath("HAND-M.CUR"), bytes);
    QCOMPARE(CursorHotSpot(bytes), std::optional<QPoint>(QPoint(5, 3)));

    Harness h(program.path());
    SendMouse(h.Button("PushButton4"), QEvent::MouseMove, QPoint(3, 3), Qt::NoButton, Qt::NoButton);
    QCOMPARE(h.form().GetMousePointer(), 99);
    QCOMPARE(h.form().cursor().shape(), Qt::BitmapCursor);
    QCOMPARE(h.form().cursor().hotSpot(), QPoint(5, 3));
    SendMouse(&h.form(), QEvent::MouseMove, QPoint(1, 1), Qt::NoButton, Qt::NoButton);
    QCOMPARE(h.form().cursor().shape(), Qt::ArrowCursor);
  }

  void damagedCursorFilesAreRefused() {
    QCOMPARE(CursorHotSpot(QByteArray()), std::optional<QPoint>());
    QCOMPARE(CursorHotSpot(QByteArray("\0\0\2\0\1\0\x10\x10", 8)), std::optional<QPoint>());
    QCOMPARE(CursorHotSpot(QByteArray("\0\0\1\0\1\0\x10\x10\0\0\5\0\3\0", 14)),
             std::optional<QPoint>());  // an icon, not a cursor
    QTemporaryDir dir;
    WriteFile(dir.filePath("HAND-M.CUR"), QByteArray("\0\0\2\0\1\0garbage", 13));
    QVERIFY(!LoadCursorFile(dir.filePath("HAND-M.CUR")).has_value());
    QVERIFY(!LoadCursorFile(dir.filePath("missing.cur")).has_value());
    Harness h(dir.path());  // a broken cursor file leaves the arrow, with no report
    QVERIFY(h.host.messages.empty());
  }

  void closeReleasesTheAnimationAndEnds() {
    Harness h;
    QVERIFY(h.form().close());
    QCOMPARE(h.ended, 1);
    QVERIFY(h.form().Animation() == nullptr);
  }
};

QM_APP_TEST(StartupTest);

}  // namespace qm::app::test

#include "startup_test.moc"
