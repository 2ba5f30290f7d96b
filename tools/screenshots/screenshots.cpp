// Makes the README's screenshots of the window: idle with the samples listed, converting, and the
// preview after a conversion. Run under a display (xvfb-run works):
//   quillomat_screenshots OUTPUT_FOLDER
// Settings and the output go to a temporary home, so the shots show a first start.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "app/file_list.h"
#include "app/form1.h"
#include "platform/fs.h"
#include "platform/host.h"

namespace {

class ShootingForm : public qm::app::Form1 {
 public:
  using Form1::Form1;
  QString folder;
  bool shot = false;
  void Yield() override {
    Form1::Yield();
    auto* bar = findChild<QProgressBar*>("ProgressBar1");
    // Halfway through the colours: every stage's text has been on screen once.
    if (!shot && Converting() && bar->text().startsWith("Colours") &&
        bar->value() * 2 >= bar->maximum()) {
      shot = true;
      QApplication::processEvents();
      grab().save(folder + "/screenshot-converting.png");
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  QTemporaryDir home;
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
  QDir().mkpath(home.path() + "/Desktop");
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: quillomat_screenshots OUTPUT_FOLDER\n");
    return 2;
  }
  const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  qm::Host silent;  // answers every question with OK / No
  ShootingForm form(QString::fromStdString(qm::DataFolder()));
  form.folder = out;
  form.SetDialogHost(&silent);
  qm::ScopedHost scoped(&form);
  form.Load();
  form.show();
  form.findChild<QPushButton*>("PushButton7")->click();
  auto wait = [](int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
  };
  form.List()->SelectAt(3);
  wait(2500);  // the thumbnail and the size estimate arrive in the background
  form.grab().save(out + "/screenshot-idle.png");
  form.findChild<QPushButton*>("PushButton2")->click();
  wait(1500);  // a few frames of the animation
  form.grab().save(out + "/screenshot-preview.png");
  return form.PreviewedGif().isEmpty() || !form.shot ? 1 : 0;
}
