// The operating-system services on Windows: directory junctions made by cmd.exe, detached
// clean-up, the memory status, short paths, Start-menu shortcuts and the uninstall registry.
#include "builder/platform.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <cstdio>
#include <iterator>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <tlhelp32.h>

namespace builder::platform {

namespace {

const wchar_t* wide(const QString& native) {
  return reinterpret_cast<const wchar_t*>(native.utf16());
}

// A job object that ends its processes when its last handle closes; null when that failed.
HANDLE kill_on_close_job() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
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
  HANDLE handle = CreateFileW(wide(native), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

bool make_folder_link(const QString& link, const QString& target) {
  QProcess process;
  process.setProgram("cmd.exe");
  // cmd.exe does its own quoting, so the argument string goes over unchanged.
  process.setNativeArguments(QString("/d /c mklink /J \"%1\" \"%2\"")
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

std::optional<quint64> free_memory() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof(status);
  if (!GlobalMemoryStatusEx(&status)) return std::nullopt;
  return quint64(status.ullAvailPhys);
}

struct ToolProcesses::Data {
  HANDLE job = nullptr;
  std::vector<char> attributes;  // the attribute list naming `job`, alive until the start
  bool attributes_ready = false;
  STARTUPINFOEXW startup = {};
};

ToolProcesses::ToolProcesses() : data_(std::make_unique<Data>()) { data_->job = kill_on_close_job(); }

ToolProcesses::~ToolProcesses() {
  // Kill-on-close: whatever the tool left running ends with the job.
  if (data_->job) CloseHandle(data_->job);
  if (data_->attributes_ready) {
    DeleteProcThreadAttributeList(
        reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(data_->attributes.data()));
  }
}

void ToolProcesses::prepare(QProcess& process) {
  if (!data_->job) return;
  Data* data = data_.get();
  // The tool is created inside the job rather than joined after its start, when it might
  // already have started processes of its own.
  process.setCreateProcessArgumentsModifier([data](QProcess::CreateProcessArguments* arguments) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    data->attributes.resize(size);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(data->attributes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    data->attributes_ready = true;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &data->job,
                                   sizeof(HANDLE), nullptr, nullptr)) {
      return;
    }
    data->startup.StartupInfo = *arguments->startupInfo;
    data->startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
    data->startup.lpAttributeList = list;
    arguments->startupInfo = &data->startup.StartupInfo;
    arguments->flags |= EXTENDED_STARTUPINFO_PRESENT;
  });
}

void ToolProcesses::end(const QProcess&) {
  // Process ids are reused on Windows, so the job, not a walk by parent id, says what is the
  // tool's; processes the tool starts meanwhile are in it too.
  if (data_->job) TerminateJobObject(data_->job, 1);
}

void kill_process_tree(qint64 pid) {
  // 0 is the idle process, and no process has an id below it.
  if (pid <= 0) return;
  // Children first, found through a snapshot of all processes and their parents.
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    QList<DWORD> children;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      if (entry.th32ParentProcessID == DWORD(pid) && entry.th32ProcessID != DWORD(pid))
        children << entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    for (DWORD child : children) kill_process_tree(child);
  }
  if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid))) {
    TerminateProcess(process, 1);
    CloseHandle(process);
  }
}

// Advisory file locks: LockFileEx on a handle of the lock's own, which the system releases
// when the handle closes, with the process if need be. The locked byte lies far beyond the
// holder's text, so others can still read who holds the file.

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
  return CreateFileW(wide(QDir::toNativeSeparators(path)), GENERIC_READ | GENERIC_WRITE,
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
    const bool same = now != INVALID_HANDLE_VALUE && file_id(data_->file, held) &&
                      file_id(now, named) &&
                      held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
                      held.nFileIndexHigh == named.nFileIndexHigh &&
                      held.nFileIndexLow == named.nFileIndexLow;
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

QString short_path(const QString& path) {
  wchar_t buffer[260];
  const DWORD length =
      GetShortPathNameW(wide(QDir::toNativeSeparators(path)), buffer, DWORD(std::size(buffer)));
  if (length < 1 || length >= std::size(buffer)) return path;
  return QDir::fromNativeSeparators(
      QString::fromWCharArray(buffer, int(length)));
}

// Installed games.

QString local_app_data() {
  // An empty value counts as unset: paths built on it would land at the drive's root.
  const QString value = qEnvironmentVariable("LOCALAPPDATA");
  return value.isEmpty() ? QDir::homePath() : value;
}

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

// A started game's life tied to the launcher's: a job object that ends its processes when its
// last handle closes, and whose handle this process never closes.

void tie_child_before_start(QProcess&) {}

void tie_child_after_start(QProcess& process) {
  HANDLE job = kill_on_close_job();
  if (!job) return;
  HANDLE game =
      OpenProcess(PROCESS_TERMINATE | PROCESS_SET_QUOTA, FALSE, DWORD(process.processId()));
  if (!game) {
    CloseHandle(job);
    return;
  }
  AssignProcessToJobObject(job, game);
  CloseHandle(game);
  // `job` stays open until this process ends, however it ends; then the system ends the game.
}

std::optional<QByteArray> undecodable_argument(int, char**) {
  // Qt reads the command line as UTF-16 here, never through the 8-bit argv.
  return std::nullopt;
}

bool undecodable_variable(const char*) { return false; }

// Termination: console events arrive on a thread of their own.

namespace {

std::atomic<std::atomic<bool>*> g_termination_flag{nullptr};
std::atomic<int> g_termination_signal{0};

BOOL WINAPI on_console_event(DWORD event) {
  // The numbers of the C runtime's SIGINT and SIGBREAK; closing the console counts as a hang-up.
  const int signo = event == CTRL_C_EVENT ? 2 : event == CTRL_BREAK_EVENT ? 21 : 1;
  int none = 0;
  // A second event ends the process at once; its tools end with it, as their job objects close.
  if (!g_termination_signal.compare_exchange_strong(none, signo)) ExitProcess(128 + signo);
  std::atomic<bool>* flag = g_termination_flag.load();
  if (!flag) ExitProcess(128 + signo);
  flag->store(true);
  // A thread of its own, not a signal handler: the C library may be used.
  std::fputs("Cancelling the build; a second signal ends it at once.\n", stderr);
  std::fflush(stderr);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Windows ends the process once this returns from a close, logoff or shutdown event: give
  // the cancel a few seconds to end the tools first.
  Sleep(4000);
  return TRUE;
}

}  // namespace

void cancel_on_termination(std::atomic<bool>* flag) {
  g_termination_flag.store(flag);
  static const bool installed = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
  (void)installed;
}

int termination_signal() { return g_termination_signal.load(); }

}  // namespace builder::platform
