// The built program run as a child process, as a script or an outside launcher runs it, in a
// home of its own below a test folder.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <string>

#include "support/test_support.hpp"

namespace testing_support {

// What one run of the program left.
struct Outcome {
  int code = -1;  // -1 when it did not finish normally in time
  QByteArray out;
  QByteArray err;
};

// The program under test, as built.
inline QString program_path() { return QString::fromUtf8(SKARNBOLT_PROGRAM); }

// make_apk for the paths and texts of these tests.
inline bool make_apk(const QString& path, const QString& library, const QString& text = {}) {
  return make_apk(utf8_path(path.toStdString()), library.toStdString(), text.toStdString());
}

// A home for the program below `root`: HOME and SKARNBOLT_BUILDER_HOME point into it (so the
// command-line build's portable data is root + "/home/skarnbolt-builder-data"), and nothing of
// the user's own folders leaks in.
class Sandbox {
 public:
  explicit Sandbox(const QString& root) : root(root), cwd(root + "/work"), program(program_path()) {
    QDir().mkpath(home());
    QDir().mkpath(cwd);
    env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"LOCALAPPDATA", "APPDATA", "APPIMAGE", "XDG_CONFIG_HOME",
                             "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
      env.remove(name);
    env.insert("HOME", home());
    env.insert("SKARNBOLT_BUILDER_HOME", home());
  }

  QString home() const { return root + "/home"; }
  // An APK named `name` in `cwd` holding the stand-in library `library`; its path.
  QString apk(const QString& name, const QString& library, const QString& text = {}) const {
    const QString path = cwd + "/" + name;
    EXPECT_TRUE(make_apk(path, library, text));
    return path;
  }
  // The command-line build's data folder.
  QString portable_data() const { return home() + "/skarnbolt-builder-data"; }

  // Runs the program with `args` and `input` on its standard input, in `cwd`.
  Outcome run(const QStringList& args, const QByteArray& input = {},
              int timeout_ms = kHangMs) const {
    QProcess process;
    setup(process, args);
    process.start();
    Outcome outcome;
    if (!process.waitForStarted(30000)) return outcome;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeout_ms)) {
      process.kill();
      process.waitForFinished(10000);
    }
    outcome.out = process.readAllStandardOutput();
    outcome.err = process.readAllStandardError();
    if (process.exitStatus() == QProcess::NormalExit) outcome.code = process.exitCode();
    return outcome;
  }

  // Prepares `process` to run the program with `args`; the caller starts it.
  void setup(QProcess& process, const QStringList& args) const {
    process.setProgram(program);
    process.setArguments(args);
    process.setWorkingDirectory(cwd);
    process.setProcessEnvironment(env);
  }

  QString root;
  QString cwd;
  QString program;
  QProcessEnvironment env;
};

// Writes `text` to `path`, making its folder; false when that failed.
inline bool write_file(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

// The whole file, or an empty array when it cannot be read.
inline QByteArray file_bytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The build log that a run's output names in a "log: " or "Log: " line, or empty.
inline QString named_log(const Outcome& outcome) {
  const QList<QByteArray> lines = outcome.out.split('\n');
  for (qsizetype i = lines.size() - 1; i >= 0; --i) {
    if (lines[i].startsWith("log: ") || lines[i].startsWith("Log: "))
      return QString::fromLocal8Bit(lines[i].mid(5));
  }
  return QString();
}

// What a run left, for the message of a failed expectation: its exit code, both outputs and
// the build log it names, so that a failure seen once can still be understood.
inline std::string describe(const Outcome& outcome) {
  std::string text = "exit code " + std::to_string(outcome.code) + "\n--- output:\n" +
                     outcome.out.toStdString() + "--- error output:\n" + outcome.err.toStdString();
  const QString log = named_log(outcome);
  if (!log.isEmpty()) {
    QFile file(log);
    text += "--- " + log.toStdString() + ":\n" +
            (file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "(cannot read)\n");
  }
  return text;
}

}  // namespace testing_support
