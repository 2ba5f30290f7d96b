// The window program's command line ("Open With"), its version and its About box.
#include "app/command_line.h"

#include <QAction>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QtTest>

#include "platform/version.h"
#include "tests/app/app_test_support.h"

namespace qm::app::test {

using Action = CommandLine::Action;

class CommandLineTest : public QObject {
  Q_OBJECT

 private slots:
  void namesBecomeCleanAbsolutePathsInTheOrderGiven() {
    QTemporaryDir dir;
    const QString b = WriteFile(dir.filePath("b.jpg"));
    const QString a = WriteFile(dir.filePath("sub/a.jpg"));
    const CommandLine line =
        ReadCommandLine({"b.jpg", "sub/../sub/a.jpg", b, "sub/", "", "gone.jpg", "-"}, dir.path());
    QVERIFY(line.action == Action::Run);
    QCOMPARE(line.paths, QStringList({b, a, b, dir.filePath("sub"), dir.filePath("gone.jpg"),
                                      dir.filePath("-")}));
    QCOMPARE(line.missing, QStringList({dir.filePath("gone.jpg"), dir.filePath("-")}));
  }

  void optionsDecideBeforeTheDoubleDashAndNamesAfterIt() {
    QCOMPARE(ReadCommandLine({"a.jpg", "--version", "b.jpg"}, "/tmp").action, Action::Version);
    QCOMPARE(ReadCommandLine({"--help"}, "/tmp").action, Action::Help);
    QCOMPARE(ReadCommandLine({"-h", "--version"}, "/tmp").action, Action::Help);
    const CommandLine bad = ReadCommandLine({"a.jpg", "--bogus"}, "/tmp");
    QCOMPARE(bad.action, Action::UsageError);
    QVERIFY(bad.error.contains("--bogus"));
    QVERIFY(bad.paths.isEmpty());
    const CommandLine after = ReadCommandLine({"--", "--version", "-x", "--"}, "/srv");
    QCOMPARE(after.action, Action::Run);
    QCOMPARE(after.paths, QStringList({"/srv/--version", "/srv/-x", "/srv/--"}));
  }

  // What main does with the command line: the paths go in as a drop would add them.
  void openedPathsFillTheListInOrderWithFoldersExpanded() {
    QTemporaryDir dir;
    const QString z = WriteFile(dir.filePath("z.jpg"));
    WriteFile(dir.filePath("album/frame10.jpg"));
    WriteFile(dir.filePath("album/frame2.jpg"));
    WriteFile(dir.filePath("album/deeper/x.png"));
    WriteFile(dir.filePath("album/.hidden/y.jpg"));
    const QString a = WriteFile(dir.filePath("a.jpg"));
    const CommandLine line =
        ReadCommandLine({"z.jpg", "album", "missing.jpg", "a.jpg", "z.jpg"}, dir.path());
    Harness h;
    h.list().AddDroppedPaths(line.paths);
    const QString al = dir.filePath("album");
    QCOMPARE(h.list().Texts(),
             QStringList({z, al + "/frame2.jpg", al + "/frame10.jpg", al + "/deeper/x.png", a, z}));
    QVERIFY(h.host.messages.empty());
  }

  void aboutBoxShowsTheVersionAndLicence() {
    Harness h;
    auto* bar = h.Child<QMenuBar>("MenuBar");
    QVERIFY(bar);
    QVERIFY(bar->isVisible());
    // The menu sits above the controls, never over them.
    QVERIFY(bar->geometry().bottom() < h.Child<QWidget>("Frame2")->geometry().top());
    auto* about = h.form().findChild<QAction*>("actionAbout");
    QVERIFY(about);
    QCOMPARE(about->text(), QString("&About Quillomat"));
    about->trigger();
    QCOMPARE(h.host.messages.size(), size_t(1));
    const auto& m = h.host.messages[0];
    QCOMPARE(m.title, std::string("About Quillomat"));
    QVERIFY(m.buttons == MsgButtons::Ok);
    QVERIFY(m.text.rfind(std::string("Quillomat ") + kVersion + "\r", 0) == 0);
    QVERIFY(m.text.find("GPL-3.0-or-later") != std::string::npos);
  }

  // The real program: --version and --help need no display, a wrong option is exit status 2.
  void programAnswersVersionHelpAndUsageErrors() {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    p.setProcessEnvironment(env);
    p.start(QUILLOMAT_WINDOW_PROGRAM, {"--version"});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()), QString("quillomat ") + kVersion + "\n");
    p.start(QUILLOMAT_WINDOW_PROGRAM, {"--help"});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(p.readAllStandardOutput().startsWith("usage: quillomat"));

    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(QUILLOMAT_WINDOW_PROGRAM, {"a.jpg", "--frobnicate"});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(p.readAllStandardError().contains("unknown option: --frobnicate"));
  }
};

QM_APP_TEST(CommandLineTest);

}  // namespace qm::app::test

#include "command_line_test.moc"
