// Advisory file locks on Windows: LockFileEx on a handle of the lock's own, which the system
// releases when the handle closes, with the process if need be. The locked byte lies far beyond
// the holder's text, so others can still read who holds the file.
#include "builder/file_lock.hpp"

#include <QDir>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace builder::platform {

struct FileLock::Data {
  HANDLE file = INVALID_HANDLE_VALUE;
};

FileLock::FileLock(const QString& path) : path_(path), data_(std::make_unique<Data>()) {}

FileLock::~FileLock() { release(); }

namespace {

// The volume and index that name the file of `handle`; false when they cannot be read.
bool file_id(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  return GetFileInformationByHandle(handle, &info) != 0;
}

HANDLE open_lock_file(const QString& path) {
  const QString native = QDir::toNativeSeparators(path);
  return CreateFileW(reinterpret_cast<const wchar_t*>(native.utf16()), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

FileLock::State FileLock::try_lock(const QByteArray& holder) {
  // A few rounds: each one follows a file that was removed or replaced meanwhile.
  for (int round = 0; round < 8; ++round) {
    if (data_->file == INVALID_HANDLE_VALUE) data_->file = open_lock_file(path_);
    if (data_->file == INVALID_HANDLE_VALUE) return State::Failed;
    OVERLAPPED at = {};
    at.OffsetHigh = 1;  // 4 GiB in
    if (!LockFileEx(data_->file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &at)) {
      const DWORD code = GetLastError();
      if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return State::Held;
      release();
      return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION ? State::Unsupported
                                                                           : State::Failed;
    }
    // The holder before may have removed the file while this one waited on it.
    BY_HANDLE_FILE_INFORMATION held;
    BY_HANDLE_FILE_INFORMATION named;
    HANDLE now = open_lock_file(path_);
    const bool same =
        now != INVALID_HANDLE_VALUE && file_id(data_->file, held) && file_id(now, named) &&
        held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
        held.nFileIndexHigh == named.nFileIndexHigh && held.nFileIndexLow == named.nFileIndexLow;
    if (now != INVALID_HANDLE_VALUE) CloseHandle(now);
    if (same) {
      // The holder's name is only for messages: failing to write it changes nothing.
      DWORD written = 0;
      SetFilePointer(data_->file, 0, nullptr, FILE_BEGIN);
      WriteFile(data_->file, holder.constData(), DWORD(holder.size()), &written, nullptr);
      SetEndOfFile(data_->file);
      return State::Taken;
    }
    release();
  }
  return State::Held;
}

void FileLock::release() {
  if (data_->file == INVALID_HANDLE_VALUE) return;
  CloseHandle(data_->file);  // ends the lock
  data_->file = INVALID_HANDLE_VALUE;
}

}  // namespace builder::platform
