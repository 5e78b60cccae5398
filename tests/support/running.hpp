// The built program running in the background while a test acts beside it, and the processes
// of its build as /proc shows them.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QThread>
#include <csignal>

#include "support/process_state.hpp"
#include "support/program.hpp"

namespace testing_support {

class Running {
 public:
  Running(const Sandbox& sandbox, const QStringList& args) {
    sandbox.setup(process_, args);
    process_.start();
    EXPECT_TRUE(process_.waitForStarted(30000));
  }
  ~Running() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(30000);
    }
  }

  // Waits (until a hang is plain) until the standard output holds `text`; false when it never did.
  bool wait_for_output(const QByteArray& text) { return wait_for(QProcess::StandardOutput, text); }
  // The same for the standard error.
  bool wait_for_error(const QByteArray& text) { return wait_for(QProcess::StandardError, text); }

  qint64 pid() const { return process_.processId(); }
  // Signals the program while it runs; an ended one has no id of its own any more (0 would
  // name this process's group).
  void send(int signo) {
    const qint64 id = process_.processId();
    if (id > 0 && process_.state() == QProcess::Running) ::kill(pid_t(id), signo);
  }

  // Waits for the end (until a hang is plain).
  Outcome finish() {
    Outcome outcome;
    // waitForFinished is false for a process that has ended already.
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(kHangMs))
      return outcome;
    take();
    outcome.out = out_;
    outcome.err = err_;
    if (process_.exitStatus() == QProcess::NormalExit) outcome.code = process_.exitCode();
    return outcome;
  }

 private:
  void take() {
    out_ += process_.readAllStandardOutput();
    err_ += process_.readAllStandardError();
  }

  bool wait_for(QProcess::ProcessChannel channel, const QByteArray& text) {
    const QByteArray& seen = channel == QProcess::StandardOutput ? out_ : err_;
    process_.setReadChannel(channel);
    const QDeadlineTimer deadline(kHangMs);
    take();
    while (!seen.contains(text) && !deadline.hasExpired()) {
      if (!process_.waitForReadyRead(100) && process_.state() == QProcess::NotRunning) break;
      take();
    }
    take();
    return seen.contains(text);
  }

  QProcess process_;
  QByteArray out_;
  QByteArray err_;
};

// The ids of every process but this one.
inline QList<int> other_processes() {
  QList<int> found;
  const QString self = QString::number(QCoreApplication::applicationPid());
  for (const QString& pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    bool number = false;
    const int id = pid.toInt(&number);
    if (number && pid != self) found.append(id);
  }
  return found;
}

// True when some process names both `a` and `b` on its command line.
inline bool process_running(const QByteArray& a, const QByteArray& b) {
  for (const int pid : other_processes()) {
    const QByteArray command = file_bytes("/proc/" + QString::number(pid) + "/cmdline");
    if (command.contains(a) && command.contains(b)) return true;
  }
  return false;
}

// Waits (until a hang is plain) until the test port's held step runs below `folder`.
inline bool wait_for_hold(const QString& folder) {
  const QDeadlineTimer deadline(kHangMs);
  while (!process_running("hold.cmake", folder.toLocal8Bit()) && !deadline.hasExpired())
    QThread::msleep(50);
  return !deadline.hasExpired();
}

// The processes, other than this one, that still run (as still_runs says) with `folder` on
// their command line or as their working folder or below it.
inline QList<int> survivors(const QString& folder) {
  QList<int> found;
  for (const int id : other_processes()) {
    const QString base = "/proc/" + QString::number(id);
    const QString cwd = QFileInfo(base + "/cwd").symLinkTarget();
    const bool below = cwd == folder || cwd.startsWith(folder + "/") ||
                       file_bytes(base + "/cmdline").contains(folder.toLocal8Bit());
    if (below && still_runs(id)) found.append(id);
  }
  return found;
}

}  // namespace testing_support
