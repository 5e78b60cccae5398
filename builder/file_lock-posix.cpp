// Advisory file locks on POSIX systems: flock, which belongs to the open file, so two opens of
// one file exclude each other even within one process, and the lock ends when the file is
// closed.
#include "builder/file_lock.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>

namespace builder::platform {

struct FileLock::Data {
  int fd = -1;
};

FileLock::FileLock(const QString& path) : path_(path), data_(std::make_unique<Data>()) {}

FileLock::~FileLock() { release(); }

FileLock::State FileLock::try_lock(const QByteArray& holder) {
  const QByteArray name = QFile::encodeName(path_);
  // A few rounds: each one follows a file that was removed or replaced meanwhile.
  for (int round = 0; round < 8; ++round) {
    if (data_->fd < 0) data_->fd = open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (data_->fd < 0) return State::Failed;
    if (flock(data_->fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK || errno == EINTR) return State::Held;
      const bool unsupported =
          errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS;
      release();
      return unsupported ? State::Unsupported : State::Failed;
    }
    // The holder before may have removed the file (clearing the cache does) while this one
    // waited on it: a lock on a file that no longer stands at the path excludes nobody.
    struct stat held;
    struct stat named;
    if (fstat(data_->fd, &held) == 0 && stat(name.constData(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      // The holder's name is only for messages: failing to write it changes nothing.
      if (ftruncate(data_->fd, 0) == 0) {
        const ssize_t written = pwrite(data_->fd, holder.constData(), size_t(holder.size()), 0);
        (void)written;
      }
      return State::Taken;
    }
    release();
  }
  return State::Held;
}

void FileLock::release() {
  if (data_->fd < 0) return;
  close(data_->fd);  // ends the lock
  data_->fd = -1;
}

}  // namespace builder::platform
