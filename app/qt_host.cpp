#include "app/qt_host.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QUrl>
#include <algorithm>

#include "app/std_text.h"
#include "platform/error.h"

namespace qm::app {

namespace {

// Message texts separate lines with carriage returns; Qt lays out line feeds.
QString DisplayText(const std::string& text) {
  QString t = Q(text);
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return t;
}

// "Description (*.a;*.b)|*.a;*.b|..." -> Qt's "Description (*.a *.b);;..."
QString QtFilter(const std::string& filter) {
  const QStringList parts = Q(filter).split('|');
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString desc = parts[i].trimmed();
    const int paren = desc.lastIndexOf('(');
    if (paren > 0 && desc.endsWith(')')) desc = desc.left(paren).trimmed();
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    if (!desc.isEmpty() || !patterns.isEmpty()) out << QString("%1 (%2)").arg(desc, patterns);
  }
  return out.join(";;");
}

// The file-open dialog of "Add JPG File(s)". Qt's own dialog refuses a typed name of a file that
// does not exist; here such a name is taken as it is, like any other entry (the conversion
// reports it if it is still missing then).
class AddFilesDialog : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;
  QStringList Chosen() const { return typed_missing_.isEmpty() ? selectedFiles() : typed_missing_; }
  void accept() override {
    if (const auto* edit = findChild<QLineEdit*>("fileNameEdit")) {
      const QString text = edit->text().trimmed();
      // Several names come quoted; those are picked from the listing and exist.
      if (!text.isEmpty() && !text.contains('"')) {
        const QString path = QDir(directory().absolutePath()).absoluteFilePath(text);
        if (!QFileInfo::exists(path)) {
          typed_missing_ = {QDir::cleanPath(path)};
          QDialog::accept();
          return;
        }
      }
    }
    QFileDialog::accept();
  }

 private:
  QStringList typed_missing_;
};

}  // namespace

QtHost::QtHost(QWidget* window) : window_(window) {}

QtHost::~QtHost() {
  if (override_cursor_) QApplication::restoreOverrideCursor();
}

void QtHost::Yield() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtHost::SetProgressStage(const std::string& stage) {
  if (!progress_) return;
  const QString text = Q(stage);
  progress_->setFormat(text.isEmpty() ? QString("%p%") : text + " %v/%m");
  progress_->setTextVisible(!text.isEmpty());
}

void QtHost::SetProgressMax(int max) {
  if (!progress_) return;
  // A maximum of 0 would turn the bar into a "busy" animation; keep it an empty bar instead.
  progress_->setRange(0, std::max(1, max));
}

void QtHost::SetProgressValue(int value) {
  if (!progress_) return;
  progress_->setValue(std::clamp(value, progress_->minimum(), progress_->maximum()));
}

void QtHost::SetMousePointer(int pointer) {
  pointer_ = pointer;
  const bool busy = pointer == kPointerBusy;
  if (busy && !override_cursor_) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    override_cursor_ = true;
  } else if (!busy && override_cursor_) {
    QApplication::restoreOverrideCursor();
    override_cursor_ = false;
  }
  if (pointer == kPointerCustom && hand_cursor_) {
    window_->setCursor(*hand_cursor_);
  } else {
    window_->unsetCursor();
  }
}

template <class F>
auto QtHost::WithArrow(F&& show) {
  if (override_cursor_) QApplication::setOverrideCursor(Qt::ArrowCursor);
  struct Restore {
    bool on;
    ~Restore() {
      if (on) QApplication::restoreOverrideCursor();
    }
  } restore{override_cursor_};
  return show();
}

MsgAnswer QtHost::MessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                             const std::string& title) {
  if (unasked_) return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
  if (dialogs_) return dialogs_->MessageBox(text, buttons, icon, title);
  QMessageBox::Icon qicon = QMessageBox::NoIcon;
  switch (icon) {
    case MsgIcon::None:
      qicon = QMessageBox::NoIcon;
      break;
    case MsgIcon::Exclamation:
      qicon = QMessageBox::Warning;
      break;
    case MsgIcon::Question:
      qicon = QMessageBox::Question;
      break;
    case MsgIcon::Information:
      qicon = QMessageBox::Information;
      break;
    case MsgIcon::Critical:
      qicon = QMessageBox::Critical;
      break;
  }
  const auto qbuttons = buttons == MsgButtons::YesNo
                            ? QMessageBox::Yes | QMessageBox::No
                            : QMessageBox::StandardButtons(QMessageBox::Ok);
  QMessageBox box(qicon, Q(title), DisplayText(text), qbuttons,
                  window_->isVisible() ? window_ : nullptr);
  const int answer = WithArrow([&] { return box.exec(); });
  if (buttons == MsgButtons::YesNo)
    return answer == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
  return MsgAnswer::Ok;
}

bool QtHost::InputBox(const std::string& prompt, const std::string& title,
                      const std::string& default_text, std::string* answer) {
  if (dialogs_) return dialogs_->InputBox(prompt, title, default_text, answer);
  bool ok = false;
  const QString text = WithArrow([&] {
    return QInputDialog::getText(window_, Q(title), DisplayText(prompt), QLineEdit::Normal,
                                 Q(default_text), &ok);
  });
  if (ok && answer) *answer = S(text);
  return ok;
}

std::string QtHost::OpenFileDialog(const std::string& title, const std::string& filter,
                                   int buffer_chars) {
  if (dialogs_) return dialogs_->OpenFileDialog(title, filter, buffer_chars);
  const QStringList files = WithArrow([&] {
    AddFilesDialog dialog(window_, Q(title), QString(), QtFilter(filter));
    dialog.setObjectName("AddFilesDialog");
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    return dialog.exec() == QDialog::Accepted ? dialog.Chosen() : QStringList();
  });
  if (files.isEmpty()) return {};
  QString result;
  if (files.size() == 1) {
    result = files.first();
  } else {
    const QDir folder(QFileInfo(files.first()).absolutePath());
    QString root = folder.absolutePath();
    result = root;
    for (const QString& f : files) result += QChar(0) + folder.relativeFilePath(f);
  }
  // The selection, its terminator and the list's closing terminator must fit the buffer.
  if (result.size() + 2 > buffer_chars) Raise(kErrBufferTooSmall);
  return S(result);
}

std::string QtHost::BrowseForFolder(const std::string& prompt) {
  if (dialogs_) return dialogs_->BrowseForFolder(prompt);
  QString dir = WithArrow([&] {
    const QString hint = folder_hint_ ? folder_hint_() : QString();
    const QString start = QFileInfo(hint).isDir() ? hint : QString();
    return QFileDialog::getExistingDirectory(window_, Q(prompt), start, QFileDialog::ShowDirsOnly);
  });
  while (dir.size() > 1 && dir.endsWith('/')) dir.chop(1);
  return S(dir);
}

void QtHost::OpenFolder(const std::string& path) {
  if (dialogs_) {
    dialogs_->OpenFolder(path);
    return;
  }
  QDesktopServices::openUrl(QUrl::fromLocalFile(Q(path)));
}

void QtHost::ShowAboutBox(const std::string& text, const std::string& title) {
  if (dialogs_) {
    dialogs_->MessageBox(text, MsgButtons::Ok, MsgIcon::Information, title);
    return;
  }
  WithArrow([&] { QMessageBox::about(window_, Q(title), DisplayText(text)); });
}

}  // namespace qm::app
