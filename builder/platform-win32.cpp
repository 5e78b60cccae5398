// The operating-system services on Windows: directory junctions made by cmd.exe, detached
// clean-up, the memory status, short paths, Start-menu shortcuts and the uninstall registry.
#include "builder/platform.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <iterator>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace builder::platform {

namespace {

const wchar_t* wide(const QString& native) {
  return reinterpret_cast<const wchar_t*>(native.utf16());
}

}  // namespace

bool is_folder_link(const QString& path) {
  const QString native = QDir::toNativeSeparators(path);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(wide(native), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  // The reparse tag of a found entry sits in dwReserved0.
  return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT;
}

bool folder_link_target_exists(const QString& path) {
  const QString native = QDir::toNativeSeparators(path);
  // Opening without FILE_FLAG_OPEN_REPARSE_POINT follows the junction to its target.
  HANDLE handle =
      CreateFileW(wide(native), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

bool make_folder_link(const QString& link, const QString& target) {
  QProcess process;
  process.setProgram("cmd.exe");
  // cmd.exe does its own quoting, so the argument string goes over unchanged.
  process.setNativeArguments(
      QString("/d /c mklink /J \"%1\" \"%2\"")
          .arg(QDir::toNativeSeparators(link), QDir::toNativeSeparators(target)));
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start();
  if (!process.waitForFinished(-1)) return false;
  return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool remove_folder_link(const QString& path) {
  // A junction is a folder entry; removing it leaves the target alone.
  return RemoveDirectoryW(wide(QDir::toNativeSeparators(path))) != 0;
}

void remove_folder_later(const QString& folder, const QString& working_dir) {
  QProcess process;
  process.setProgram("cmd.exe");
  process.setNativeArguments(QString("/d /c ping -n 4 127.0.0.1 >nul & rmdir /s /q \"%1\"")
                                 .arg(QDir::toNativeSeparators(folder)));
  process.setWorkingDirectory(working_dir);
  process.setCreateProcessArgumentsModifier(
      [](QProcess::CreateProcessArguments* arguments) { arguments->flags |= CREATE_NO_WINDOW; });
  process.startDetached();
}

// Programs and the environment of child processes.

const char* const kExe = ".exe";
const char* const kPathSep = ";";

void keep_child_exit_codes() {}

std::optional<quint64> free_memory() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof(status);
  if (!GlobalMemoryStatusEx(&status)) return std::nullopt;
  return quint64(status.ullAvailPhys);
}

QString short_path(const QString& path) {
  wchar_t buffer[260];
  const DWORD length =
      GetShortPathNameW(wide(QDir::toNativeSeparators(path)), buffer, DWORD(std::size(buffer)));
  if (length < 1 || length >= std::size(buffer)) return path;
  return QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)));
}

// Installed games.

QString shortcut_path(const QString& title) {
  return QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) + "/" + title +
         ".lnk";
}

QString make_shortcut(const QString& title, const QString& exe, const QString&) {
  // A shortcut shows the program's own icon.
  const QString path = shortcut_path(title);
  if (!QDir().mkpath(QFileInfo(path).path())) return {};
  QFile::remove(path);
  return QFile::link(exe, path) ? path : QString();
}

QString uninstall_entries_path() { return {}; }

void write_uninstall_entry(const QString& key, const QList<QPair<QString, QVariant>>& values) {
  // Integers become DWORD values, strings REG_SZ.
  QSettings settings(key, QSettings::NativeFormat);
  for (const auto& [name, value] : values) settings.setValue(name, value);
  settings.sync();
}

std::optional<QByteArray> undecodable_argument(int, char**) {
  // Qt reads the command line as UTF-16 here, never through the 8-bit argv.
  return std::nullopt;
}

bool undecodable_variable(const char*) { return false; }

}  // namespace builder::platform
