// Whether a process can still do anything, as /proc tells, for tests that end processes.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <csignal>

namespace testing_support {

// A file below /proc read whole; empty once its process is gone.
inline QByteArray proc_bytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// True while the process `pid` can still run code of its own: it exists, is no zombie, is not
// exiting and has no SIGKILL waiting for it. A process that was sent SIGKILL counts as ended
// at once, however long the kernel takes to tear it down.
inline bool still_runs(int pid) {
  const QString base = "/proc/" + QString::number(pid);
  const QByteArray stat = proc_bytes(base + "/stat");
  if (stat.isEmpty()) return false;
  // The fields after the name in parentheses: state, parent, ..., flags is the seventh.
  const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
  const QByteArray state = fields.value(0);
  if (state == "Z" || state == "X" || state == "x") return false;
  constexpr unsigned long kExiting = 0x4;  // PF_EXITING
  if (fields.value(6).toULong() & kExiting) return false;
  for (const QByteArray& line : proc_bytes(base + "/status").split('\n')) {
    if (!line.startsWith("SigPnd:") && !line.startsWith("ShdPnd:")) continue;
    const unsigned long long pending = line.mid(7).trimmed().toULongLong(nullptr, 16);
    if (pending & (1ull << (SIGKILL - 1))) return false;
  }
  return true;
}

}  // namespace testing_support
