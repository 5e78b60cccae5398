// One build at a time per cache: a lock file that a killed holder does not leave held.
#pragma once

#include <QLockFile>
#include <QString>
#include <atomic>
#include <functional>

namespace builder {

// The status shown while a build waits for another one to finish.
extern const char* const kWaitingStatus;

// The lock file that a build holds on its cache: cache_dir() + "/build.lock".
QString cache_lock_path();

// Takes `lock`, waiting while another build holds it; `on_wait` runs once when it has to wait.
// False with `error` "Cancelled" when `cancel` is set while waiting, or "Cannot write " + the
// lock's folder when the lock file cannot be made.
bool take_lock(QLockFile& lock, const std::atomic<bool>& cancel,
               const std::function<void()>& on_wait, QString& error);

}  // namespace builder
