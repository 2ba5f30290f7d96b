// The window's own dialogs (no scripted host): what each Qt dialog shows and what the window
// hands back to the commands, including the file dialog's 30000-character limit.
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include "tests/app/app_test_support.h"

namespace qm::app::test {

namespace {

// Runs `act` on the first modal dialog of type T that opens.
template <class T>
void WhenOpen(std::function<void(T*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    if (auto* dlg = qobject_cast<T*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(dlg);
    }
  });
  timer->start();
}

// Types `names` into a file dialog opened on `folder` and accepts it.
void ChooseFiles(const QString& folder, const QString& names) {
  WhenOpen<QFileDialog>([folder, names](QFileDialog* dlg) {
    dlg->setDirectory(folder);
    auto* edit = dlg->findChild<QLineEdit*>("fileNameEdit");
    QVERIFY(edit);
    edit->setText(names);
    static_cast<QDialog*>(dlg)->accept();
  });
}

}  // namespace

class QtDialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void messageBoxShowsTitleIconButtonsAndLines() {
    Harness h;
    h.form().SetDialogHost(nullptr);
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    WhenOpen<QMessageBox>([&](QMessageBox* box) {
      title = box->windowTitle();
      text = box->text();
      icon = box->icon();
      buttons = box->standardButtons();
      box->button(QMessageBox::Yes)->click();
    });
    const MsgAnswer a =
        CurrentHost().MessageBox("first\r\rsecond", MsgButtons::YesNo, MsgIcon::None, "Quillomat");
    QVERIFY(a == MsgAnswer::Yes);
    QCOMPARE(title, QString("Quillomat"));
    QCOMPARE(text, QString("first\n\nsecond"));
    QCOMPARE(icon, QMessageBox::NoIcon);
    QCOMPARE(buttons, QMessageBox::Yes | QMessageBox::No);

    WhenOpen<QMessageBox>([&](QMessageBox* box) {
      title = box->windowTitle();
      icon = box->icon();
      buttons = box->standardButtons();
      box->button(QMessageBox::Ok)->click();
    });
    ShowErrorReport("Overflow", "in Quillomat2/19/2015.Form1.Form_Load ", 104);
    QCOMPARE(title, QString("Application Error"));
    QCOMPARE(icon, QMessageBox::Warning);
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  }

  void messageBoxShowsTheArrowWhileBusy() {
    Harness h;
    h.form().SetDialogHost(nullptr);
    h.form().SetMousePointer(11);
    Qt::CursorShape during = Qt::WaitCursor;
    WhenOpen<QMessageBox>([&](QMessageBox* box) {
      during = QApplication::overrideCursor()->shape();
      box->button(QMessageBox::Ok)->click();
    });
    CurrentHost().MessageBox("x", MsgButtons::Ok, MsgIcon::Exclamation, "Quillomat");
    QCOMPARE(during, Qt::ArrowCursor);
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    h.form().SetMousePointer(0);
  }

  void inputBoxReturnsTheTypedTextOrCancel() {
    Harness h;
    h.form().SetDialogHost(nullptr);
    QString label, initial;
    WhenOpen<QInputDialog>([&](QInputDialog* dlg) {
      label = dlg->labelText();
      initial = dlg->textValue();
      dlg->setTextValue("png");
      static_cast<QDialog*>(dlg)->accept();
    });
    std::string answer;
    QVERIFY(CurrentHost().InputBox("Enter:\r\r(hint)", "Quillomat", "jpg", &answer));
    QCOMPARE(answer, std::string("png"));
    QCOMPARE(label, QString("Enter:\n\n(hint)"));
    QCOMPARE(initial, QString("jpg"));
    WhenOpen<QInputDialog>([](QInputDialog* dlg) { dlg->reject(); });
    answer = "unchanged";
    QVERIFY(!CurrentHost().InputBox("Enter:", "Quillomat", "jpg", &answer));
    QCOMPARE(answer, std::string("unchanged"));
  }

  void fileDialogGivesOnePathOrFolderAndNames() {
    QTemporaryDir dir;
    for (const char* f : {"a.jpg", "b.jpg", "c.jpeg"}) WriteFile(dir.filePath(f));
    Harness h;
    h.form().SetDialogHost(nullptr);
    ChooseFiles(dir.path(), "\"b.jpg\"");
    h.Button("PushButton1")->click();
    QCOMPARE(h.list().Texts(), QStringList({dir.filePath("b.jpg")}));

    h.list().RemoveAll();
    ChooseFiles(dir.path(), "\"a.jpg\" \"c.jpeg\"");
    const std::string got =
        CurrentHost().OpenFileDialog("t", "JPG Files (*.jpg;*.jpeg)|*.jpg;*.jpeg|", 30000);
    QCOMPARE(got, dir.path().toStdString() + std::string("\0a.jpg\0c.jpeg", 13));
  }

  void fileDialogRaisesWhenTheSelectionDoesNotFit() {
    QTemporaryDir dir;
    QStringList quoted;
    for (int i = 0; i < 150; ++i) {
      const QString name = QString("%1-").arg(i, 3, 10, QChar('0')) + QString(200, 'p') + ".jpg";
      WriteFile(dir.filePath(name));
      quoted << "\"" + name + "\"";
    }
    Harness h;
    h.form().SetDialogHost(nullptr);
    ChooseFiles(dir.path(), quoted.join(' '));
    bool raised = false;
    try {
      CurrentHost().OpenFileDialog("t", "JPG Files (*.jpg;*.jpeg)|*.jpg;*.jpeg|", 30000);
    } catch (const RuntimeError& e) {
      raised = e.number() == kErrBufferTooSmall;
    }
    QVERIFY(raised);

    // Through the command: the message, and nothing added.
    ChooseFiles(dir.path(), quoted.join(' '));
    QString text;
    WhenOpen<QMessageBox>([&](QMessageBox* box) {
      text = box->text();
      box->button(QMessageBox::Ok)->click();
    });
    h.Button("PushButton1")->click();
    QCOMPARE(text, QString("You've selected too many files to add.\n\nPlease try adding via the "
                           "\"Add All\" button."));
    QCOMPARE(h.list().Count(), 0);
  }

  void folderDialogReturnsThePathWithoutTrailingSlash() {
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("Pictures"));
    Harness h;
    h.form().SetDialogHost(nullptr);
    for (const QString& choice : {dir.filePath("Pictures"), QString("/")}) {
      WhenOpen<QFileDialog>([choice](QFileDialog* dlg) {
        auto* edit = dlg->findChild<QLineEdit*>("fileNameEdit");
        QVERIFY(edit);
        edit->setText(choice);
        static_cast<QDialog*>(dlg)->accept();
      });
      QCOMPARE(QString::fromStdString(CurrentHost().BrowseForFolder("Please select folder:")),
               choice);
    }
    WhenOpen<QFileDialog>([](QFileDialog* dlg) { dlg->reject(); });
    QCOMPARE(CurrentHost().BrowseForFolder("Please select folder:"), std::string());
  }
};

QM_APP_TEST(QtDialogsTest);

}  // namespace qm::app::test

#include "qt_dialogs_test.moc"
