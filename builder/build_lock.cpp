// One build at a time per cache.
#include "builder/build_lock.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QThread>

#include "builder/paths.hpp"

namespace builder {

namespace {

// How often a waiting build tries again and looks at its cancel flag.
constexpr int kRetryMs = 200;

}  // namespace

const char* const kWaitingStatus = "Waiting for another build to finish";

QByteArray lock_holder() {
  return QByteArray::number(QCoreApplication::applicationPid()) + "\n" +
         QSysInfo::machineHostName().toUtf8() + "\n";
}

QString cache_lock_path() { return cache_dir() + "/build.lock"; }

QString waiting_line(const QString& path) {
  QFile file(path);
  // The file is only a hint: it may be empty, half written or from an older program.
  const QList<QByteArray> lines =
      file.open(QIODevice::ReadOnly) ? file.read(512).split('\n') : QList<QByteArray>();
  bool number = false;
  const qint64 pid = lines.value(0).toLongLong(&number);
  const QString host = QString::fromUtf8(lines.value(1)).trimmed();
  const QString holder = number && pid > 0 && !host.isEmpty()
                             ? QString("process %1 on %2").arg(pid).arg(host)
                             : QString("another build");
  return "Waiting for " + QDir::toNativeSeparators(path) + " (held by " + holder + ")";
}

bool take_lock(platform::FileLock& lock, const std::atomic<bool>& cancel,
               const std::function<void(const QString& line)>& on_wait, QString& note,
               QString& error) {
  const QString folder = QFileInfo(lock.path()).path();
  const QByteArray holder = lock_holder();
  bool waited = false;
  bool made_folder = false;
  for (;;) {
    switch (lock.try_lock(holder)) {
      case platform::FileLock::State::Taken: return true;
      case platform::FileLock::State::Unsupported:
        note = "The file system cannot lock " + QDir::toNativeSeparators(lock.path()) +
               ": building without waiting for other builds";
        return true;
      case platform::FileLock::State::Failed:
        // Clearing the cache removes the folder with the lock file: make it again, once.
        if (made_folder || !QDir().mkpath(folder)) {
          error = "Cannot write " + QDir::toNativeSeparators(folder);
          return false;
        }
        made_folder = true;
        continue;
      case platform::FileLock::State::Held: break;
    }
    if (cancel.load()) {
      error = "Cancelled";
      return false;
    }
    if (!waited && on_wait) on_wait(waiting_line(lock.path()));
    waited = true;
    QThread::msleep(kRetryMs);
  }
}

}  // namespace builder
