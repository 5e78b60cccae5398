// One build at a time per cache: an advisory lock that the system frees when its holder ends,
// so neither a crash nor whatever the lock file holds can leave it held.
#pragma once

#include <QString>
#include <atomic>
#include <functional>

#include "builder/file_lock.hpp"

namespace builder {

// The status shown while a build waits for another one to finish.
extern const char* const kWaitingStatus;

// The lock file that a build holds on its cache: cache_dir() + "/build.lock".
QString cache_lock_path();

// What a holder writes into its lock file: its process id and host name, one a line.
QByteArray lock_holder();

// The line that names the lock file `path` and its holder, as far as the file tells:
// "Waiting for <path> (held by process <pid> on <host>)".
QString waiting_line(const QString& path);

// Takes `lock`, waiting while another holder has it; `on_wait` runs once, with waiting_line(),
// when it has to wait. Where the file system cannot lock, true without the lock and `note`
// says so. False with `error` "Cancelled" when `cancel` is set while waiting, or
// "Cannot write " + the lock's folder when the lock file cannot be made.
bool take_lock(platform::FileLock& lock, const std::atomic<bool>& cancel,
               const std::function<void(const QString& line)>& on_wait, QString& note,
               QString& error);

}  // namespace builder
