// The window program's command line: `quillomat [--help | --version] [--] [FILE|FOLDER...]`.
//
// The pictures and folders named there go into the list at start-up, in the order given, the way
// a drop on the list adds them (a folder contributes every file of its tree). The desktop entry
// starts the program this way for "Open With". Qt's own options (-platform, -style, ...) are
// taken out by QApplication before this reads the rest.
#pragma once

#include <QString>
#include <QStringList>

namespace qm::app {

struct CommandLine {
  enum class Action { Run, Help, Version, UsageError };
  Action action = Action::Run;
  // Absolute, cleaned paths in the order given (relative ones are taken from the current folder).
  QStringList paths;
  // Those of `paths` that did not exist when the command line was read.
  QStringList missing;
  QString error;  // what was wrong, for UsageError
};

// Reads the arguments after the program name. The first --help or --version before "--" decides
// the action; any other argument starting with "-" before "--" is a usage error ("-" alone names
// a file).
CommandLine ReadCommandLine(const QStringList& args, const QString& current_folder);

QString CommandLineHelp();  // the --help text, ending in a line feed
QString VersionLine();      // "quillomat 0.2.0"

}  // namespace qm::app
