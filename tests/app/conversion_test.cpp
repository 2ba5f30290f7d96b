// "Start Converting" from the window: its messages, the busy state, and a whole conversion of
// the sample pictures checked with giflib.
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QtTest>

#include "platform/cancel.h"
#include "tests/app/app_test_support.h"
#include "tests/gif/giflib_support.h"

namespace qm::app::test {

namespace {

class ConvertingForm : public Form1 {
 public:
  using Form1::Form1;
  int yields_while_converting = 0;
  int yields_with_button_enabled = 0;
  int nested_attempts = 0;
  void Yield() override {
    if (Converting()) {
      ++yields_while_converting;
      if (findChild<QPushButton*>("PushButton2")->isEnabled()) ++yields_with_button_enabled;
      if (nested_attempts++ == 0) StartConversion();  // a second press while running
    }
    Form1::Yield();
  }
};

// Closes itself at a chosen yield of a conversion, as a user closing the window mid-run.
class ClosingForm : public Form1 {
 public:
  using Form1::Form1;
  int close_at = 3;
  int yields = 0;
  bool close_returned = true;
  QStringList temp_during_run;
  QString temp_folder;
  void Yield() override {
    Form1::Yield();
    if (Converting() && ++yields == close_at) {
      temp_during_run = QDir(temp_folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
      close_returned = close();
    }
  }
};

void MakeSamples(const QTemporaryDir& program, int count) {
  QDir().mkpath(program.filePath("Samples"));
  for (int i = 1; i <= count; ++i) {
    QImage img(64, 48, QImage::Format_RGB32);
    img.fill(QColor::fromHsv((i * 97) % 360, 200, 230));
    QPainter p(&img);
    p.fillRect(i * 8, 10, 12, 20, Qt::black);
    p.end();
    QVERIFY(img.save(program.filePath(QString("Samples/frame%1.jpg").arg(i)), "JPG", 90));
  }
}

}  // namespace

class ConversionTest : public QObject {
  Q_OBJECT

 private slots:
  void inputChecksShowTheirMessages() {
#ifndef QUILLOMAT_HAVE_CONVERT
    QSKIP("built without the conversion");
#endif
    Harness h;
    h.Child<QLineEdit>("txtFPS")->setText("");
    h.Button("PushButton2")->click();  // empty list first, even with an empty rate
    h.SetEntries({"/nowhere/a.jpg"});
    h.Child<QLineEdit>("txtFPS")->setText("fast");
    h.Button("PushButton2")->click();
    QCOMPARE(h.host.MessageTexts(),
             std::vector<std::string>({"No files added.", "Enter frames per second"}));
    for (const auto& m : h.host.messages) {
      QCOMPARE(m.title, std::string("Quillomat"));
      QVERIFY(m.icon == MsgIcon::None);
    }
    QCOMPARE(h.form().GetMousePointer(), 0);
    QVERIFY(h.Button("PushButton2")->isEnabled());
  }

  void samplesBecomeAnAnimatedGif() {
#ifndef QUILLOMAT_HAVE_CONVERT
    QSKIP("built without the conversion");
#endif
    QTemporaryDir program, out;
    MakeSamples(program, 4);
    auto* form = new ConvertingForm(program.path());
    Harness h(program.path(), form);
    h.Button("PushButton7")->click();
    QCOMPARE(h.list().Count(), 4);
    h.Child<QLineEdit>("txtFPS")->setText("5");
    h.Child<QLineEdit>("Text1")->setText(out.path() + "/");
    h.Button("PushButton2")->click();

    const QString gif = out.filePath("out.gif");
    QVERIFY(QFile::exists(gif));
    QCOMPARE(h.host.MessageTexts().back(), std::string("Done."));
    // Only one run happened although the button was pressed again meanwhile.
    const std::vector<std::string> texts = h.host.MessageTexts();
    QCOMPARE(std::count(texts.begin(), texts.end(), "Done."), 1);
    QVERIFY(form->yields_while_converting > 0);
    QCOMPARE(form->yields_with_button_enabled, 0);
    QVERIFY(h.Button("PushButton2")->isEnabled());
    QCOMPARE(h.form().GetMousePointer(), 0);
    QCOMPARE(h.Child<QProgressBar>("ProgressBar1")->value(), 0);

    const testing::GiflibResult decoded = testing::DecodeFileWithGiflib(gif.toStdString());
    QVERIFY(decoded.ok);
    QCOMPARE(decoded.frames.size(), size_t(4));
    QCOMPARE(decoded.screen_width, 64);
    QCOMPARE(decoded.screen_height, 48);
    QCOMPARE(decoded.loop_count, 0);
    for (const auto& f : decoded.frames) QCOMPARE(f.delay, 20);
    QVERIFY(h.form().Animation() != nullptr);

    // The list is unchanged and can be converted again; the old out.gif is replaced.
    QCOMPARE(h.list().Count(), 4);
    h.list().RemoveAt(4);
    h.Button("PushButton2")->click();
    QCOMPARE(testing::DecodeFileWithGiflib(gif.toStdString()).frames.size(), size_t(3));
  }

  void closingDuringAConversionCancelsItCleansUpThenEnds() {
#ifndef QUILLOMAT_HAVE_CONVERT
    QSKIP("built without the conversion");
#endif
    QTemporaryDir program, out, temp;
    MakeSamples(program, 6);
    const QByteArray old_temp = qgetenv("TEMP");
    qputenv("TEMP", temp.path().toUtf8());
    auto* form = new ClosingForm(program.path());
    form->temp_folder = temp.path();
    Harness h(program.path(), form);
    h.Button("PushButton7")->click();
    h.Child<QLineEdit>("Text1")->setText(out.path() + "/");
    const size_t messages_before = h.host.messages.size();
    h.Button("PushButton2")->click();  // closed at its third yield, while writing the video
    if (old_temp.isNull())
      qunsetenv("TEMP");
    else
      qputenv("TEMP", old_temp);

    QCOMPARE(form->yields, 3);
    QCOMPARE(form->temp_during_run.size(), 1);  // the run's private folder existed
    QVERIFY(!form->close_returned);             // the first close waited for the conversion
    QCOMPARE(h.ended, 1);                       // the second one ended the program
    QVERIFY(h.form().Animation() == nullptr);
    QVERIFY(!h.form().Converting());
    QVERIFY(!QFile::exists(out.filePath("out.gif")));
    QVERIFY(QDir(temp.path()).isEmpty());
    QVERIFY(!CancelRequested());
    // Nothing more is shown to a user who has closed the window.
    QCOMPARE(h.host.messages.size(), messages_before);
  }
};

QM_APP_TEST(ConversionTest);

}  // namespace qm::app::test

#include "conversion_test.moc"
