// The output options of the window: what they store, what they hand to the conversion (checked
// against the command line with the same options, byte for byte), what the window refuses, and
// the progress text and picture count around a conversion.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProcess>
#include <QProgressBar>
#include <QSpinBox>
#include <QtTest>
#include <set>

#include "convert/driver.h"
#include "tests/app/app_test_support.h"

namespace qm::app::test {

namespace {

void MakePictures(const QString& folder, int count, int width = 64, int height = 48) {
  QDir().mkpath(folder);
  for (int i = 1; i <= count; ++i) {
    QImage img(width, height, QImage::Format_RGB32);
    img.fill(QColor::fromHsv((i * 53) % 360, 180, 220));
    QPainter p(&img);
    p.fillRect(i * 5 % width, 6, 14, 18, Qt::black);
    p.end();
    QVERIFY(img.save(QString("%1/p%2.jpg").arg(folder).arg(i, 2, 10, QChar('0')), "JPG", 90));
  }
}

// Records what the progress bar says at every yield of a conversion.
class WatchingForm : public Form1 {
 public:
  using Form1::Form1;
  std::vector<QString> texts;
  void Yield() override {
    if (Converting()) {
      auto* bar = findChild<QProgressBar*>("ProgressBar1");
      if (bar->isTextVisible()) texts.push_back(bar->text());
    }
    Form1::Yield();
  }
};

struct Choice {
  const char* name;
  std::function<void(Harness&)> set;  // on the window's controls
  QStringList cli;                    // the same choice on the command line
};

}  // namespace

class OptionsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ClearSettings(); }

  void defaultsAreTheClassicConversion() {
    Harness h;
    const ConversionOptions o = h.form().Options();
    const ConversionOptions classic;
    QCOMPARE(o.palette_mode, classic.palette_mode);
    QCOMPARE(o.dither_mode, classic.dither_mode);
    QCOMPARE(o.max_width, 0);
    QCOMPARE(o.max_height, 0);
    QVERIFY(!o.optimize);
    QCOMPARE(o.loop_count, 0);
    QCOMPARE(o.hold_last_cs, -1);
    QCOMPARE(o.hold_first_cs, -1);
    QVERIFY(o.delays_cs.empty());
    QCOMPARE(StoredSetting("Quality"), QString("<absent>"));  // nothing stored until changed
    for (const char* tip : {"cboSize", "cboQuality", "spnLoop", "spnHoldLast", "chkOptimize"})
      QVERIFY2(!h.Child<QWidget>(tip)->toolTip().isEmpty(), tip);
  }

  void everyOptionRoundTripsThroughTheSettings() {
    StoreSetting("FPS", "7");
    StoreSetting("Text1", "/srv/gifs/");
    {
      Harness h;
      h.Child<QComboBox>("cboSize")->setCurrentIndex(1);
      h.Child<QSpinBox>("spnMaxWidth")->setValue(320);
      h.Child<QSpinBox>("spnMaxHeight")->setValue(0);
      h.Child<QComboBox>("cboQuality")->setCurrentIndex(1);
      h.Child<QSpinBox>("spnLoop")->setValue(3);
      h.Child<QDoubleSpinBox>("spnHoldLast")->setValue(1.5);
      h.Child<QCheckBox>("chkOptimize")->setChecked(true);
      QCOMPARE(StoredSetting("OutputSize"), QString("AtMost"));
      QCOMPARE(StoredSetting("MaxWidth"), QString("320"));
      QCOMPARE(StoredSetting("MaxHeight"), QString("0"));
      QCOMPARE(StoredSetting("Quality"), QString("Best"));
      QCOMPARE(StoredSetting("Loop"), QString("3"));
      QCOMPARE(StoredSetting("HoldLast"), QString("1.50"));
      QCOMPARE(StoredSetting("Optimize"), QString("1"));
      // The classic keys keep their meaning.
      QCOMPARE(StoredSetting("FPS"), QString("7"));
      QCOMPARE(StoredSetting("Text1"), QString("/srv/gifs/"));
    }
    Harness h;
    QCOMPARE(h.Child<QComboBox>("cboSize")->currentIndex(), 1);
    QVERIFY(h.Child<QSpinBox>("spnMaxWidth")->isEnabled());
    QCOMPARE(h.Child<QSpinBox>("spnMaxWidth")->value(), 320);
    QCOMPARE(h.Child<QSpinBox>("spnMaxHeight")->text(), QString("any"));
    QCOMPARE(h.Child<QLineEdit>("txtFPS")->text(), QString("7"));
    const ConversionOptions o = h.form().Options();
    ConversionOptions best;
    ApplyBestPreset(best);
    QCOMPARE(o.palette_mode, best.palette_mode);
    QCOMPARE(o.dither_mode, best.dither_mode);
    QVERIFY(o.optimize);
    QCOMPARE(o.max_width, 320);
    QCOMPARE(o.max_height, 0);
    QCOMPARE(o.loop_count, 3);
    QCOMPARE(o.hold_last_cs, 150);

    // Back to "Original": the sides are kept for later but no longer limit the frames.
    h.Child<QComboBox>("cboSize")->setCurrentIndex(0);
    QVERIFY(!h.Child<QSpinBox>("spnMaxWidth")->isEnabled());
    QCOMPARE(h.form().Options().max_width, 0);
    QCOMPARE(StoredSetting("MaxWidth"), QString("320"));
    h.Child<QSpinBox>("spnLoop")->setValue(0);
    QCOMPARE(h.Child<QSpinBox>("spnLoop")->text(), QString("Forever"));
    QCOMPARE(h.form().Options().loop_count, 0);
  }

  void aConversionWithOptionsGivesTheCommandLinesBytes() {
#ifndef QUILLOMAT_CLI_PROGRAM
    QSKIP("built without the command line");
#else
    QTemporaryDir pictures, out;
    MakePictures(pictures.path(), 5);
    QStringList files;
    for (int i = 1; i <= 5; ++i)
      files << pictures.filePath(QString("p%1.jpg").arg(i, 2, 10, QChar('0')));
    const std::vector<Choice> choices = {
        {"classic", [](Harness&) {}, {}},
        {"loop and hold",
         [](Harness& h) {
           h.Child<QSpinBox>("spnLoop")->setValue(3);
           h.Child<QDoubleSpinBox>("spnHoldLast")->setValue(1.25);
         },
         {"--loop", "3", "--hold-last", "1.25"}},
        {"once", [](Harness& h) { h.Child<QSpinBox>("spnLoop")->setValue(1); }, {"--loop", "1"}},
        {"best",
         [](Harness& h) { h.Child<QComboBox>("cboQuality")->setCurrentIndex(1); },
         {"--best"}},
        {"size",
         [](Harness& h) {
           h.Child<QComboBox>("cboSize")->setCurrentIndex(1);
           h.Child<QSpinBox>("spnMaxWidth")->setValue(40);
           h.Child<QSpinBox>("spnMaxHeight")->setValue(40);
         },
         {"--width", "40", "--height", "40"}},
        {"smaller",
         [](Harness& h) { h.Child<QCheckBox>("chkOptimize")->setChecked(true); },
         {"--optimize"}},
    };
    for (const Choice& c : choices) {
      ClearSettings();
      Harness h;
      h.SetEntries(files);
      h.Child<QLineEdit>("txtFPS")->setText("4");
      h.Child<QLineEdit>("Text1")->setText(out.path() + "/");
      c.set(h);
      QFile::remove(out.filePath("out.gif"));
      h.Button("PushButton2")->click();

      QProcess cli;
      const QString cli_gif = out.filePath("cli.gif");
      QFile::remove(cli_gif);
      cli.start(QUILLOMAT_CLI_PROGRAM, QStringList{"--quiet", "--fps", "4", "--out", cli_gif} +
                                           c.cli + QStringList{"--"} + files);
      QVERIFY(cli.waitForFinished(120000));

      QCOMPARE(h.host.MessageTexts().back(), std::string("Done."));
      QCOMPARE(cli.exitCode(), 0);
      QFile a(out.filePath("out.gif")), b(cli_gif);
      QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
      const QByteArray window_bytes = a.readAll();
      QVERIFY2(window_bytes.size() > 0, c.name);
      QVERIFY2(window_bytes == b.readAll(), c.name);
    }
#endif
  }

  void theProgressBarNamesTheStageAndCounts() {
    QTemporaryDir program, out;
    MakePictures(program.filePath("Samples"), 4);
    auto* form = new WatchingForm(program.path());
    Harness h(program.path(), form);
    auto* count = h.Child<QLabel>("lblCount");
    QCOMPARE(count->text(), QString("0 pictures"));
    h.Button("PushButton7")->click();
    QCOMPARE(count->text(), QString("4 pictures"));
    h.Child<QLineEdit>("Text1")->setText(out.path() + "/");
    h.Child<QLineEdit>("txtFPS")->setText("5");
    h.Button("PushButton2")->click();
    QCOMPARE(h.host.MessageTexts().back(), std::string("Done."));
    const std::set<QString> seen(form->texts.begin(), form->texts.end());
    for (const char* expected : {"Reading pictures 1/4", "Reading pictures 3/4", "Colours 1/4",
                                 "Colours 4/4", "Writing GIF 1/4", "Writing GIF 4/4"}) {
      QVERIFY2(seen.count(expected), expected);
    }
    // Stages come in order: no reading after the colours started, no colours after writing.
    const auto first_of = [&](const QString& prefix) {
      return std::find_if(form->texts.begin(), form->texts.end(),
                          [&](const QString& t) { return t.startsWith(prefix); });
    };
    QVERIFY(first_of("Reading") < first_of("Colours"));
    QVERIFY(first_of("Colours") < first_of("Writing"));
    auto* bar = h.Child<QProgressBar>("ProgressBar1");
    QVERIFY(!bar->isTextVisible());  // idle again: an empty bar
    QCOMPARE(bar->value(), 0);
    h.list().RemoveAt(1);
    h.list().RemoveAt(1);
    h.list().RemoveAt(1);
    QCOMPARE(count->text(), QString("1 picture"));
  }
};

QM_APP_TEST(OptionsTest);

}  // namespace qm::app::test

#include "options_test.moc"
