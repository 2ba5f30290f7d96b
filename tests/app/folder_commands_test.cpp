// Commands that take whole folders: "Add All JPG File(s) In Folder", "Load Sample/Example
// Files", and files and folders dropped on the list.
#include <QMimeData>
#include <QtTest>

#include "tests/app/app_test_support.h"

namespace qm::app::test {

namespace {

// Remembers the pointer at every yield, to see what the user sees during a scan.
class WatchedForm : public Form1 {
 public:
  using Form1::Form1;
  std::vector<int> pointers_at_yield;
  void Yield() override {
    pointers_at_yield.push_back(GetMousePointer());
    Form1::Yield();
  }
};

// a.JPG, b.jpg, ~tmp.jpg, notes.txt, .hidden/c.jpg, visible/d.jpg, visible/frame10.jpg,
// visible/frame2.jpg, and the dot-files ._a.jpg and visible/.thumb.jpg
QString MakeTree(const QTemporaryDir& dir) {
  for (const char* f :
       {"a.JPG", "b.jpg", "~tmp.jpg", "notes.txt", ".hidden/c.jpg", "visible/d.jpg",
        "visible/frame10.jpg", "visible/frame2.jpg", "._a.jpg", "visible/.thumb.jpg"}) {
    WriteFile(dir.filePath(f));
  }
  return dir.path();
}

bool SendDrag(FileList& list, QMimeData* data, bool drop) {
  const QPoint at(20, 20);
  QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(list.viewport(), &enter);
  QDragMoveEvent move(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(list.viewport(), &move);
  const bool accepted = enter.isAccepted() && move.isAccepted();
  if (drop) {
    QDropEvent ev(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list.viewport(), &ev);
  }
  return accepted;
}

QMimeData* FileUrls(const QStringList& paths) {
  auto* data = new QMimeData;
  QList<QUrl> urls;
  for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
  data->setUrls(urls);
  return data;
}

}  // namespace

class FolderCommandsTest : public QObject {
  Q_OBJECT

 private slots:
  void addAllTakesMatchingFilesOfTheVisibleTree() {
    QTemporaryDir dir;
    const QString root = MakeTree(dir);
    Harness h;
    h.SetEntries({"first"});
    h.host.input_answers = {"jpg"};
    h.host.folder_choices = {root.toStdString()};
    h.Button("PushButton3")->click();
    QCOMPARE(h.list().Texts(),
             QStringList({"first", root + "/a.JPG", root + "/b.jpg", root + "/visible/d.jpg",
                          root + "/visible/frame2.jpg", root + "/visible/frame10.jpg"}));
    QCOMPARE(h.host.input_prompt,
             std::string("Enter file extension to load:\r\r(* for all files, txt for all txt "
                         "files, doc for all doc files, etc.)"));
    QCOMPARE(h.host.input_title, std::string("Quillomat"));
    QCOMPARE(h.host.input_default, std::string("jpg"));
    QVERIFY(std::find(h.host.events.begin(), h.host.events.end(), "browse Please select folder:") !=
            h.host.events.end());
    QVERIFY(h.host.messages.empty());
  }

  void addAllWithStarTakesEveryFileAndRunningTwiceListsTwice() {
    QTemporaryDir dir;
    const QString root = MakeTree(dir);
    Harness h;
    h.host.input_answers = {"*", "TXT"};
    h.host.folder_choices = {root.toStdString(), root.toStdString()};
    h.Button("PushButton3")->click();
    h.Button("PushButton3")->click();
    QCOMPARE(h.list().Texts(), QStringList({root + "/a.JPG", root + "/b.jpg", root + "/notes.txt",
                                            root + "/visible/d.jpg", root + "/visible/frame2.jpg",
                                            root + "/visible/frame10.jpg", root + "/notes.txt"}));
  }

  void addAllEndsQuietlyWhenCancelled() {
    QTemporaryDir dir;
    const QString root = MakeTree(dir);
    Harness h;
    h.host.input_answers = {""};  // emptied answer
    h.Button("PushButton3")->click();
    h.Button("PushButton3")->click();  // no answer queued: cancelled
    QVERIFY(std::none_of(h.host.events.begin(), h.host.events.end(),
                         [](const std::string& e) { return e.rfind("browse", 0) == 0; }));
    h.host.input_answers = {"jpg"};
    h.Button("PushButton3")->click();  // folder dialog cancelled
    QCOMPARE(h.list().Count(), 0);
    QVERIFY(h.host.messages.empty());
    QCOMPARE(h.form().GetMousePointer(), 0);
  }

  void addAllShowsTheBusyPointerWhileScanning() {
    QTemporaryDir dir;
    const QString root = MakeTree(dir);
    QTemporaryDir program;
    auto* form = new WatchedForm(program.path());
    Harness h(program.path(), form);
    h.host.input_answers = {"jpg"};
    h.host.folder_choices = {root.toStdString()};
    h.Button("PushButton3")->click();
    QVERIFY(!form->pointers_at_yield.empty());
    for (int p : form->pointers_at_yield) QCOMPARE(p, 11);
    QCOMPARE(form->GetMousePointer(), 0);
    QVERIFY(!QApplication::overrideCursor());
  }

  void samplesAreListedAndTheFolderOfferedEvenWhenEmpty() {
    QTemporaryDir program;
    for (const char* f : {"Samples/frame10.jpg", "Samples/frame2.jpg", "Samples/read me.txt"}) {
      WriteFile(program.filePath(f));
    }
    Harness h(program.path());
    h.host.answers = {MsgAnswer::Yes};
    h.Button("PushButton7")->click();
    const QString s = program.path() + "/Samples/";
    QCOMPARE(h.list().Texts(),
             QStringList({s + "frame2.jpg", s + "frame10.jpg", s + "read me.txt"}));
    QCOMPARE(h.host.messages.size(), size_t(1));
    QCOMPARE(h.host.messages[0].text,
             std::string("Would you like this software to open the folder where these sample "
                         "files are stored (so that you can view them before working with "
                         "them)?"));
    QVERIFY(h.host.messages[0].buttons == MsgButtons::YesNo);
    QVERIFY(h.host.messages[0].icon == MsgIcon::None);
    QCOMPARE(h.host.messages[0].title, std::string("Quillomat"));
    QCOMPARE(h.host.events.back(), "open " + s.toStdString());

    Harness missing;  // program folder without Samples; "No" opens nothing
    missing.Button("PushButton7")->click();
    QCOMPARE(missing.list().Count(), 0);
    QCOMPARE(missing.host.messages.size(), size_t(1));
    QVERIFY(std::none_of(missing.host.events.begin(), missing.host.events.end(),
                         [](const std::string& e) { return e.rfind("open", 0) == 0; }));
  }

  void droppedFilesAreAppendedAsTheyAre() {
    QTemporaryDir dir;
    const QString a = WriteFile(dir.filePath("a.jpg"));
    const QString b = WriteFile(dir.filePath("b.png"));
    const QString hidden = WriteFile(dir.filePath(".x.jpg"));
    Harness h;
    std::unique_ptr<QMimeData> data(FileUrls({a, b, dir.filePath("gone.jpg"), hidden}));
    QVERIFY(SendDrag(h.list(), data.get(), true));
    QCOMPARE(h.list().Texts(), QStringList({a, b, hidden}));
    QVERIFY(h.host.messages.empty());
  }

  void droppedFoldersContributeTheirTreesInDropOrder() {
    QTemporaryDir one, two;
    for (const char* f : {"x.jpg", "notes.txt", "~lock.jpg", "sub/y.jpg", ".hid/z.jpg", "._x.jpg",
                          "sub/.thumb.jpg", ".hid/.z.jpg"}) {
      WriteFile(one.filePath(f));
    }
    WriteFile(two.filePath("w.gif"));
    Harness h;
    std::unique_ptr<QMimeData> data(FileUrls({one.path(), two.path() + "/"}));
    QVERIFY(SendDrag(h.list(), data.get(), true));
    const QString o = one.path(), t = two.path();
    QCOMPARE(h.list().Texts(),
             QStringList({o + "/notes.txt", o + "/x.jpg", o + "/sub/y.jpg", t + "/w.gif"}));
    // A hidden folder dropped on its own is walked like any other, never listed as a picture.
    h.list().RemoveAll();
    std::unique_ptr<QMimeData> hidden(FileUrls({one.filePath(".hid")}));
    QVERIFY(SendDrag(h.list(), hidden.get(), true));
    QCOMPARE(h.list().Texts(), QStringList({o + "/.hid/z.jpg"}));
  }

  void otherDataIsRefused() {
    Harness h;
    std::unique_ptr<QMimeData> text(new QMimeData);
    text->setText("/etc/passwd");
    QVERIFY(!SendDrag(h.list(), text.get(), true));
    std::unique_ptr<QMimeData> web(new QMimeData);
    web->setUrls({QUrl("https://example.invalid/a.jpg")});
    QVERIFY(!SendDrag(h.list(), web.get(), true));
    QCOMPARE(h.list().Count(), 0);
  }

  void dropsStillWorkAfterAnEntryWasClicked() {
    QTemporaryDir dir;
    const QString a = WriteFile(dir.filePath("a.jpg"));
    Harness h;
    h.SetEntries({"A", "B"});
    QTest::mouseClick(h.list().viewport(), Qt::LeftButton, Qt::NoModifier, CentreOf(h.list(), 1));
    std::unique_ptr<QMimeData> data(FileUrls({a}));
    QVERIFY(SendDrag(h.list(), data.get(), true));
    QCOMPARE(h.list().Texts(), QStringList({"A", "B", a}));
  }
};

QM_APP_TEST(FolderCommandsTest);

}  // namespace qm::app::test

#include "folder_commands_test.moc"
