#include "tests/app/app_test_support.h"

#include <QFileInfo>
#include <QtTest>

namespace qm::app::test {

std::vector<Factory>& Registry() {
  static std::vector<Factory> registry;
  return registry;
}

static std::unique_ptr<QSettings> Open() {
  auto s = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Marrowby",
                                       "Marrowby");
  s->beginGroup("Quillomat");
  return s;
}

void ClearSettings() {
  auto s = Open();
  s->remove("");  // the whole section: FPS, Text1 and the output options
  s->sync();
}

QString StoredSetting(const char* key) {
  auto s = Open();
  return s->contains(key) ? s->value(key).toString() : QString("<absent>");
}

void StoreSetting(const char* key, const QString& value) {
  auto s = Open();
  s->setValue(key, value);
  s->sync();
}

Harness::Harness(const QString& program_folder, Form1* form) {
  const QString folder = program_folder.isEmpty() ? empty_program_.path() : program_folder;
  form_.reset(form ? form : new Form1(folder));
  form_->SetDialogHost(&host);
  form_->SetEndProgram([this] { ++ended; });
  scoped_ = std::make_unique<ScopedHost>(form_.get());
  form_->Load();
  form_->show();
  QApplication::processEvents();
}

Harness::~Harness() {
  scoped_.reset();
  form_.reset();
}

void Harness::SetEntries(const QStringList& texts) {
  list().RemoveAll();
  for (const QString& t : texts) list().Append(t);
}

void SendMouse(QWidget* target, QEvent::Type type, const QPoint& pos, Qt::MouseButton button,
               Qt::MouseButtons buttons, Qt::KeyboardModifiers mods) {
  QMouseEvent ev(type, QPointF(pos), QPointF(target->mapToGlobal(pos)), button, buttons, mods);
  QApplication::sendEvent(target, &ev);
}

QPoint CentreOf(FileList& list, int position) {
  return list.visualItemRect(list.topLevelItem(position - 1)).center();
}

QString WriteFile(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(text);
  return path;
}

}  // namespace qm::app::test

int main(int argc, char** argv) {
  // Settings and the desktop folder go to a private place, never the user's own.
  QTemporaryDir home;
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
  qputenv("XDG_RUNTIME_DIR", (home.path() + "/run").toUtf8());
  QDir().mkpath(home.path() + "/run");
  QFile::setPermissions(home.path() + "/run",
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" QUILLOMAT_TEST_SCREEN);
  QApplication app(argc, argv);
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path() + "/.config");
  int status = 0;
  for (const auto& make : qm::app::test::Registry()) {
    std::unique_ptr<QObject> test(make());
    status |= QTest::qExec(test.get(), argc, argv);
  }
  return status;
}
