// Advisory file locks: the system releases one when its holder ends, however it ends, so no
// file content can leave one held.
#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

namespace builder::platform {

// A lock on the file `path`, which is made when missing and never removed. Two locks on one
// file exclude each other, within one process as across processes.
class FileLock {
 public:
  enum class State {
    Taken,        // this lock holds the file now
    Held,         // another lock holds it
    Unsupported,  // the file system cannot lock (some network shares)
    Failed,       // the file cannot be opened or made
  };
  explicit FileLock(const QString& path);
  ~FileLock();  // releases the lock
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Takes the lock without waiting; once taken, the file holds `holder` alone. A file removed
  // or replaced while it was being locked is locked again where it stands now.
  State try_lock(const QByteArray& holder);
  void release();
  const QString& path() const { return path_; }

 private:
  struct Data;
  QString path_;
  std::unique_ptr<Data> data_;
};

}  // namespace builder::platform
