// One build at a time per cache.
#include "builder/build_lock.hpp"

#include <QDir>
#include <QFileInfo>

#include "builder/paths.hpp"

namespace builder {

const char* const kWaitingStatus = "Waiting for another build to finish";

QString cache_lock_path() { return cache_dir() + "/build.lock"; }

bool take_lock(QLockFile& lock, const std::atomic<bool>& cancel,
               const std::function<void()>& on_wait, QString& error) {
  // A build can hold the lock far longer than Qt's default of 30 s: only a holder that is gone
  // makes the lock stale, never its age.
  lock.setStaleLockTime(0);
  bool waited = false;
  for (;;) {
    // Waits up to 200 ms, the interval at which a build looks at its cancel flag.
    if (lock.tryLock(waited ? 200 : 0)) return true;
    if (lock.error() != QLockFile::LockFailedError) {
      error = "Cannot write " + QDir::toNativeSeparators(QFileInfo(lock.fileName()).path());
      return false;
    }
    if (cancel.load()) {
      error = "Cancelled";
      return false;
    }
    if (!waited && on_wait) on_wait();
    waited = true;
  }
}

}  // namespace builder
