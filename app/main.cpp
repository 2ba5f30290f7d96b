// quillomat: the window program. Shows Form1 and runs until the window is closed.
#include <QApplication>

#include "app/form1.h"
#include "platform/fs.h"
#include "platform/host.h"
#include "platform/memory.h"

int main(int argc, char** argv) {
  qm::TuneAllocatorForFrames();
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Marrowby");
  QApplication::setApplicationName("Quillomat");
  qm::app::Form1 form(QString::fromStdString(qm::ProgramFolder()));
  qm::ScopedHost host(&form);
  form.Load();
  form.show();
  return app.exec();
}
