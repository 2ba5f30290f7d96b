// Shared pieces of the window tests: a registry so several Qt Test classes run from one
// executable, and a harness that builds the real Form1 with a scripted host behind its dialogs.
#pragma once

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QObject>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/file_list.h"
#include "app/form1.h"
#include "platform/error.h"
#include "platform/error_report.h"
#include "platform/host.h"
#include "tests/support/fake_host.h"

namespace qm::app::test {

using Factory = std::function<QObject*()>;
std::vector<Factory>& Registry();

struct Registrar {
  explicit Registrar(Factory f) { Registry().push_back(std::move(f)); }
};

#define QM_APP_TEST(Class) \
  static ::qm::app::test::Registrar registrar_##Class([] { return new Class; })

// Removes every setting of the section so a test starts as a first run.
void ClearSettings();
QString StoredSetting(const char* key);  // "<absent>" when missing
void StoreSetting(const char* key, const QString& value);

// Records the arguments of the dialogs on top of FakeHost's queues.
struct RecordingHost : testing::FakeHost {
  std::string file_title, file_filter, input_prompt, input_title, input_default;
  int file_buffer = 0;
  int raise_number = 0;  // non-zero: OpenFileDialog raises this error
  std::string OpenFileDialog(const std::string& title, const std::string& filter,
                             int buffer_chars) override {
    file_title = title;
    file_filter = filter;
    file_buffer = buffer_chars;
    if (raise_number) Raise(raise_number);
    return FakeHost::OpenFileDialog(title, filter, buffer_chars);
  }
  bool InputBox(const std::string& prompt, const std::string& title,
                const std::string& default_text, std::string* answer) override {
    input_prompt = prompt;
    input_title = title;
    input_default = default_text;
    return FakeHost::InputBox(prompt, title, default_text, answer);
  }
};

// The window as the program runs it: installed as the current host, loaded, its questions and
// dialogs answered by `host`.
class Harness {
 public:
  explicit Harness(const QString& program_folder = QString(), Form1* form = nullptr);
  ~Harness();
  Form1& form() { return *form_; }
  FileList& list() { return *form_->List(); }
  QPushButton* Button(const char* name) { return form_->findChild<QPushButton*>(name); }
  template <class T>
  T* Child(const char* name) {
    return form_->findChild<T*>(name);
  }
  void SetEntries(const QStringList& texts);
  int ended = 0;
  RecordingHost host;

 private:
  QTemporaryDir empty_program_;
  std::unique_ptr<Form1> form_;
  std::unique_ptr<ScopedHost> scoped_;
};

// Sends a mouse event straight to a widget (offscreen has no real pointer).
void SendMouse(QWidget* target, QEvent::Type type, const QPoint& pos, Qt::MouseButton button,
               Qt::MouseButtons buttons, Qt::KeyboardModifiers mods = Qt::NoModifier);
QPoint CentreOf(FileList& list, int position);  // viewport point of an entry

// Writes `text` to a new file (folders made as needed); returns its path.
QString WriteFile(const QString& path, const QByteArray& text = "x");

}  // namespace qm::app::test
