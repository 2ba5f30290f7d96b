// quillomat: the window program. Shows Form1, with the pictures of the command line in its list,
// and runs until the window is closed.
#include <QApplication>
#include <QDir>
#include <cstdio>

#include "app/command_line.h"
#include "app/file_list.h"
#include "app/form1.h"
#include "convert/gif_picture.h"
#include "platform/fs.h"
#include "platform/host.h"
#include "platform/memory.h"

namespace {

// Prints what --help or --version ask for; false for any other action.
bool Answered(const qm::app::CommandLine& line) {
  using Action = qm::app::CommandLine::Action;
  if (line.action == Action::Help) {
    std::fputs(qm::app::CommandLineHelp().toLocal8Bit().constData(), stdout);
    return true;
  }
  if (line.action == Action::Version) {
    std::printf("%s\n", qm::app::VersionLine().toLocal8Bit().constData());
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // --help and --version answer before Qt starts, so they work without a display.
  QStringList raw;
  for (int i = 1; i < argc; ++i) raw << QString::fromLocal8Bit(argv[i]);
  if (Answered(qm::app::ReadCommandLine(raw, QDir::currentPath()))) return 0;

  qm::TuneAllocatorForFrames();
  qm::RegisterGifPictureDecoder();
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Marrowby");
  QApplication::setApplicationName("Quillomat");
  QApplication::setApplicationVersion(qm::app::VersionLine().section(' ', 1));
  // Lets the desktop match the window to its menu entry and icon.
  QGuiApplication::setDesktopFileName(QUILLOMAT_APP_ID);

  // Qt has taken its own options out of the arguments by now.
  const qm::app::CommandLine line =
      qm::app::ReadCommandLine(QApplication::arguments().mid(1), QDir::currentPath());
  if (Answered(line)) return 0;
  if (line.action == qm::app::CommandLine::Action::UsageError) {
    std::fprintf(stderr, "quillomat: %s\n%s", line.error.toLocal8Bit().constData(),
                 qm::app::CommandLineHelp().toLocal8Bit().constData());
    return 2;
  }
  for (const QString& path : line.missing) {
    std::fprintf(stderr, "quillomat: %s: no such file or folder\n", path.toLocal8Bit().constData());
  }

  qm::app::Form1 form(QString::fromStdString(qm::DataFolder()));
  qm::ScopedHost host(&form);
  form.Load();
  form.List()->AddDroppedPaths(line.paths);
  form.show();
  return app.exec();
}
