// What the window shows around a conversion: Cancel in each stage, the preview of the written
// out.gif and of a selected picture, a typed name of a missing file in the file dialog, and the
// size estimate against the real size.
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QPainter>
#include <QProgressBar>
#include <QSignalSpy>
#include <QtTest>

#include "platform/cancel.h"
#include "tests/app/app_test_support.h"

namespace qm::app::test {

namespace {

QStringList MakePictures(const QString& folder, int count) {
  QDir().mkpath(folder);
  QStringList files;
  for (int i = 1; i <= count; ++i) {
    QImage img(80, 60, QImage::Format_RGB32);
    img.fill(QColor::fromHsv((i * 41) % 360, 160, 230));
    QPainter p(&img);
    p.setBrush(Qt::darkBlue);
    p.drawEllipse(i * 3 % 60, 10, 20, 20);
    p.end();
    const QString path = QString("%1/f%2.jpg").arg(folder).arg(i, 3, 10, QChar('0'));
    img.save(path, "JPG", 90);
    files << path;
  }
  return files;
}

// Presses Cancel at the second frame of one stage, as a user watching the bar would.
class CancellingForm : public Form1 {
 public:
  using Form1::Form1;
  QString cancel_in;
  QString stage;
  bool pressed = false;
  QStringList temp_during_run;
  QString temp_folder;
  void SetProgressStage(const std::string& s) override {
    stage = QString::fromStdString(s);
    Form1::SetProgressStage(s);
  }
  void Yield() override {
    Form1::Yield();
    auto* bar = findChild<QProgressBar*>("ProgressBar1");
    if (!pressed && Converting() && stage == cancel_in && bar->value() >= 2) {
      pressed = true;
      temp_during_run = QDir(temp_folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
      findChild<QPushButton*>("PushButtonCancel")->click();
    }
  }
};

struct TempEnv {
  QTemporaryDir dir;
  QByteArray old = qgetenv("TEMP");
  TempEnv() { qputenv("TEMP", dir.path().toUtf8()); }
  ~TempEnv() {
    if (old.isNull())
      qunsetenv("TEMP");
    else
      qputenv("TEMP", old);
  }
};

QString Corpus(const QString& relative) {
  return QString(QUILLOMAT_CORPUS_DIR) + "/" + relative;
}

}  // namespace

class PreviewTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ClearSettings(); }

  void cancelInEachStageLeavesNothingBehindAndTheOldGif() {
    for (const char* stage : {"Reading pictures", "Colours", "Writing GIF"}) {
      QTemporaryDir program, out;
      const QStringList files = MakePictures(program.filePath("pics"), 6);
      TempEnv temp;
      auto* form = new CancellingForm(program.path());
      form->cancel_in = stage;
      form->temp_folder = temp.dir.path();
      Harness h(program.path(), form);
      h.SetEntries(files);
      h.Child<QLineEdit>("Text1")->setText(out.path() + "/");
      WriteFile(out.filePath("out.gif"), "an old animation");
      auto* cancel = h.Button("PushButtonCancel");
      QVERIFY(!cancel->isEnabled());  // nothing to stop yet
      h.Button("PushButton2")->click();

      QVERIFY2(form->pressed, stage);
      QCOMPARE(form->temp_during_run.size(), 1);  // the run's private folder existed
      QCOMPARE(h.host.MessageTexts(), std::vector<std::string>{"Cancelled."});
      QFile old(out.filePath("out.gif"));
      QVERIFY(old.open(QIODevice::ReadOnly));
      QCOMPARE(old.readAll(), QByteArray("an old animation"));
      QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
      QVERIFY2(QDir(temp.dir.path()).isEmpty(), stage);
      QCOMPARE(h.form().GetMousePointer(), 0);
      QVERIFY(!QApplication::overrideCursor());
      auto* bar = h.Child<QProgressBar>("ProgressBar1");
      QCOMPARE(bar->value(), 0);
      QVERIFY(!bar->isTextVisible());
      QVERIFY(!cancel->isEnabled());
      QVERIFY(h.Button("PushButton2")->isEnabled());
      QVERIFY(h.form().PreviewedGif().isEmpty());
      QVERIFY(!CancelRequested());
    }
  }

  void cancelWhileIdleDoesNotStopTheNextRun() {
    QTemporaryDir program, out;
    Harness h(program.path());
    h.SetEntries(MakePictures(program.filePath("pics"), 2));
    h.Child<QLineEdit>("Text1")->setText(out.path() + "/");
    h.Button("PushButtonCancel")->click();  // disabled: no effect
    QVERIFY(!CancelRequested());
    h.Button("PushButton2")->click();
    QCOMPARE(h.host.MessageTexts().back(), std::string("Done."));
  }

  void thePreviewPlaysTheWrittenFile() {
    QTemporaryDir program, out;
    Harness h(program.path());
    h.SetEntries(MakePictures(program.filePath("pics"), 3));
    h.Child<QLineEdit>("Text1")->setText(out.path() + "/");
    QVERIFY(!h.Button("PushButtonOpenGif")->isEnabled());
    h.Button("PushButton2")->click();
    const QString gif = out.filePath("out.gif");
    QVERIFY(QFile::exists(gif));
    QCOMPARE(h.form().PreviewedGif(), gif);
    QMovie* movie = h.Child<QLabel>("picPreview")->movie();
    QVERIFY(movie != nullptr);
    QCOMPARE(movie->fileName(), gif);
    QCOMPARE(movie->state(), QMovie::Running);
    QCOMPARE(movie->frameCount(), 3);
    const QString info = h.Child<QLabel>("lblPreviewInfo")->text();
    QVERIFY2(info.contains(gif), qPrintable(info));
    QVERIFY2(info.contains(QLocale().formattedDataSize(QFileInfo(gif).size())), qPrintable(info));
    QVERIFY2(info.contains("3 frames"), qPrintable(info));
    QVERIFY2(info.contains(QString::fromUtf8("80 \u00d7 60")), qPrintable(info));
    h.Button("PushButtonOpenGif")->click();
    h.Button("PushButtonOpenFolder")->click();
    QCOMPARE(h.host.events[h.host.events.size() - 2], "open " + gif.toStdString());
    QCOMPARE(h.host.events.back(), "open " + out.path().toStdString() + "/");

    // A run that fails leaves no stale preview of the file it removed.
    h.SetEntries({program.filePath("missing.jpg")});
    h.Button("PushButton2")->click();
    QVERIFY(h.form().PreviewedGif().isEmpty());
    QVERIFY(h.Child<QLabel>("picPreview")->movie() == nullptr);
  }

  void selectingAnEntryShowsItsPictureTheRightWayUp() {
    // Stored turned, with an EXIF orientation that turns it back to landscape.
    const QString turned = Corpus("photos/landscape/Landscape_6.jpg");
    if (!QFile::exists(turned)) QSKIP("corpus missing");
    Harness h;
    h.SetEntries({Corpus("photos/landscape/Landscape_0.jpg"), turned, "/nowhere/x.jpg"});
    QSignalSpy shown(&h.form(), &Form1::ThumbnailShown);
    h.list().SelectAt(2);
    QVERIFY(shown.wait(20000));
    const QPixmap pixmap = h.Child<QLabel>("picPreview")->pixmap();
    QVERIFY(!pixmap.isNull());
    QVERIFY2(pixmap.width() > pixmap.height(), "EXIF orientation not applied");
    QVERIFY(pixmap.width() <= h.Child<QLabel>("picPreview")->width());
    QVERIFY(h.Child<QLabel>("lblPreviewInfo")->text().contains("Landscape_6.jpg"));
    h.list().SelectAt(3);
    QVERIFY(shown.wait(20000));
    QVERIFY(h.Child<QLabel>("picPreview")->pixmap().isNull());
    QCOMPARE(h.Child<QLabel>("picPreview")->text(), QString("This picture cannot be read."));
  }

  void aTypedNameOfAMissingFileIsAdded() {
    QTemporaryDir dir;
    const QString existing = WriteFile(dir.filePath("there.jpg"));
    Harness h;
    h.form().SetDialogHost(nullptr);  // the real dialog
    auto type_into_dialog = [&](const QString& name) {
      QTimer timer;
      int tries = 0;
      QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
          if (++tries > 200) timer.stop();
          return;
        }
        timer.stop();
        dialog->setDirectory(dir.path());
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText(name);
        QMetaObject::invokeMethod(dialog, "accept");
      });
      timer.start(20);
      h.Button("PushButton1")->click();
    };
    type_into_dialog("not-yet.jpg");
    type_into_dialog("there.jpg");
    h.form().SetDialogHost(&h.host);
    QCOMPARE(h.list().Texts(), QStringList({dir.filePath("not-yet.jpg"), existing}));
  }

  void theEstimateComesWithinHalfAgainOfTheRealSize_data() {
    QTest::addColumn<QStringList>("files");
    QStringList samples;
    for (const QString& name : QDir(QCoreApplication::applicationDirPath() + "/Samples")
                                   .entryList({"*.jpg"}, QDir::Files, QDir::Name))
      samples << QCoreApplication::applicationDirPath() + "/Samples/" + name;
    QTest::newRow("samples") << samples;
    QStringList cameras;
    const QDir dir(Corpus("photos/cameras"));
    for (const QString& name : dir.entryList({"*.jpg"}, QDir::Files, QDir::Name)) {
      if (name != "corrupted.jpg") cameras << dir.filePath(name);
    }
    QTest::newRow("corpus cameras") << cameras;
    QStringList many;  // long enough that only a sample of it is converted
    for (int i = 0; i < 5; ++i) many << samples;
    QTest::newRow("samples five times") << many;
  }

  void theEstimateComesWithinHalfAgainOfTheRealSize() {
#ifndef QUILLOMAT_CLI_PROGRAM
    QSKIP("built without the command line");
#else
    QFETCH(QStringList, files);
    if (files.size() < 2) QSKIP("pictures missing");
    QTemporaryDir out;
    Harness h;
    h.Child<QLineEdit>("txtFPS")->setText("5");
    h.SetEntries(files);
    h.Child<QLineEdit>("Text1")->setText(out.path() + "/");
    QTRY_VERIFY_WITH_TIMEOUT(h.form().EstimatedBytes() > 0, 120000);
    QVERIFY(h.Child<QLabel>("lblEstimate")->text().startsWith("out.gif: about "));
    const qint64 estimate = h.form().EstimatedBytes();
    h.Button("PushButton2")->click();
    const qint64 real = QFileInfo(out.filePath("out.gif")).size();
    QVERIFY(real > 0);
    const double ratio = double(estimate) / double(real);
    qInfo("estimate %lld, real %lld, ratio %.3f", estimate, real, ratio);
    QVERIFY2(ratio > 1 / 1.5 && ratio < 1.5, qPrintable(QString::number(ratio)));

    // A shorter list is estimated anew, and smaller.
    QSignalSpy changed(&h.form(), &Form1::EstimateChanged);
    while (h.list().Count() > 1) h.list().RemoveAt(h.list().Count());
    QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0 && h.form().EstimatedBytes() > 0, 120000);
    QVERIFY(h.form().EstimatedBytes() < estimate);
    // Nothing to estimate: no figure.
    h.list().RemoveAll();
    QTRY_COMPARE_WITH_TIMEOUT(h.form().EstimatedBytes(), qint64(-1), 10000);
#endif
  }
};

QM_APP_TEST(PreviewTest);

}  // namespace qm::app::test

#include "preview_test.moc"
