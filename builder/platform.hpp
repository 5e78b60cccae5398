// The few operating-system services the engine needs, one implementation per platform.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>
#include <QtGlobal>
#include <atomic>
#include <memory>
#include <optional>

class QProcess;

namespace builder::platform {

// Folder links: a directory junction on Windows, a symbolic link elsewhere.

// True when `path` itself is a folder link (whether or not its target exists).
bool is_folder_link(const QString& path);
// True when the target of the link `path` exists.
bool folder_link_target_exists(const QString& path);
// Runs the system's link command to make `link` point to the folder `target` and waits for it
// without a time limit; false when the command could not be run or failed.
bool make_folder_link(const QString& link, const QString& target);
// Removes the link `path` itself, never its target; false when that failed.
bool remove_folder_link(const QString& path);

// Detached clean-up.

// Starts a detached command, in `working_dir`, that removes `folder` and everything in it
// after about three seconds; nothing waits for it or looks at its result.
void remove_folder_later(const QString& folder, const QString& working_dir);

// Programs and the environment of child processes.

// The suffix of program files: ".exe" on Windows, "" elsewhere.
extern const char* const kExe;
// The separator of the PATH variable: ";" on Windows, ":" elsewhere.
extern const char* const kPathSep;

// Available physical memory in bytes, or no value when the system cannot tell.
std::optional<quint64> free_memory();

// Ends the process `pid` and every process started below it, so that a cancelled tool leaves
// none of its own children running. Does nothing for a pid of 0 or below, which would name a
// process group (this program's own for 0) rather than a process.
void kill_process_tree(qint64 pid);

// The processes of one tool run, ended together on cancel. Windows: a job object of the tool's
// own that the tool starts inside, so that whatever it starts, even while being ended, is in
// it; closing the job ends what is left. Elsewhere: the tool's process tree, walked on end.
class ToolProcesses {
 public:
  ToolProcesses();
  ~ToolProcesses();
  ToolProcesses(const ToolProcesses&) = delete;
  ToolProcesses& operator=(const ToolProcesses&) = delete;
  // Before `process` starts: makes it start inside the group; it starts as usual when the
  // system cannot do that.
  void prepare(QProcess& process);
  // Ends `process` and everything it started.
  void end(const QProcess& process);

 private:
  struct Data;
  std::unique_ptr<Data> data_;
};

// Advisory file locks: the system releases one when its holder ends, however it ends, so no
// file content can leave one held.

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

// The short (8.3) form of `path` when the system has one, else `path` unchanged.
QString short_path(const QString& path);

// Installed games.

// The per-user base folder of installed programs' data: LOCALAPPDATA when set and not empty,
// else the home folder (never the file-system root).
QString local_app_data();
// Makes a Start-menu entry named `title` in the user's applications folder (made when missing)
// that starts `exe`, replacing an older one; its path, or empty when it could not be made.
// Windows: a <title>.lnk shortcut. Elsewhere: a <title>.desktop entry that also names `icon`
// when that file exists.
QString make_shortcut(const QString& title, const QString& exe, const QString& icon);
// The path of the entry make_shortcut makes for `title`, made or not.
QString shortcut_path(const QString& title);
// Writes `values` in their order under the uninstall key `key`, its full path starting with
// "HKEY_CURRENT_USER\"; failures are not reported. Windows: the registry. Elsewhere: the group
// `key` of the INI file uninstall_entries_path().
void write_uninstall_entry(const QString& key, const QList<QPair<QString, QVariant>>& values);
// The INI file that holds the uninstall entries where there is no registry; empty on Windows.
QString uninstall_entries_path();

// A started game's life tied to the launcher's.

// Before `process` starts: arranges that its program and every process it starts end when
// this process ends, however it ends (POSIX: a PID namespace where the system allows one, else
// the program alone plus, away from a terminal, a process group ended on the signals this
// process can catch). Its input, output, exit code and working folder stay as QProcess sets
// them. Start the process from the main thread, which lives as long as this process.
void tie_child_before_start(QProcess& process);
// After `process` has started: the rest of that arrangement; failures are ignored and the
// program keeps running.
void tie_child_after_start(QProcess& process);

// The first raw argument after the program name that does not come back as the same bytes
// once decoded into the application's argument list, or no value. Windows hands programs their
// arguments as text, so there it is always none.
std::optional<QByteArray> undecodable_argument(int argc, char** argv);
// True when the environment variable `name` is set to bytes that do not come back the same
// once decoded, as qEnvironmentVariable decodes them. Windows keeps the environment as text,
// so there it is always false.
bool undecodable_variable(const char* name);

// Termination signals (SIGTERM, SIGINT and SIGHUP; on Windows the console's Ctrl+C, Ctrl+Break
// and close).

// From now on the first termination signal stores true in `flag` instead of ending the
// process, so that a running build cancels and ends its tools; with no flag (nullptr) it ends
// the process at once with 128 + the signal's number. A second signal always ends it at once.
void cancel_on_termination(std::atomic<bool>* flag);
// The number of the first termination signal received, or 0 when none came.
int termination_signal();

}  // namespace builder::platform
