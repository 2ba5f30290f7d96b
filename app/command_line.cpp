#include "app/command_line.h"

#include <QDir>
#include <QFileInfo>

#include "platform/version.h"

namespace qm::app {

CommandLine ReadCommandLine(const QStringList& args, const QString& current_folder) {
  CommandLine line;
  const QDir here(current_folder);
  bool only_paths = false;
  for (const QString& a : args) {
    if (!only_paths && a == "--") {
      only_paths = true;
      continue;
    }
    if (!only_paths && a.size() > 1 && a.startsWith('-')) {
      if (a == "--help" || a == "-h") {
        line.action = CommandLine::Action::Help;
      } else if (a == "--version") {
        line.action = CommandLine::Action::Version;
      } else {
        line.action = CommandLine::Action::UsageError;
        line.error = "unknown option: " + a;
      }
      line.paths.clear();
      line.missing.clear();
      return line;
    }
    if (a.isEmpty()) continue;  // names nothing
    const QString path = QDir::cleanPath(here.absoluteFilePath(a));
    line.paths << path;
    if (!QFileInfo::exists(path)) line.missing << path;
  }
  return line;
}

QString CommandLineHelp() {
  return QStringLiteral(
      "usage: quillomat [--] [PICTURE|FOLDER...]\n"
      "       quillomat --help | --version\n"
      "Starts the window with the pictures named in its list, in the order given; a folder adds\n"
      "every file of its tree, as dropping it on the list does.\n");
}

QString VersionLine() {
  return QStringLiteral("quillomat ") + QString::fromUtf8(kVersion);
}

}  // namespace qm::app
