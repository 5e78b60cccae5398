// The smaller operating-system services the engine needs, one implementation per platform;
// tool processes, the game's tie, termination signals and file locks have files of their own.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>
#include <QtGlobal>
#include <optional>

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
// Lets this process learn how its children end, whatever its parent left it: a child signal
// inherited as ignored would have the system reap a tool or the game before anyone reads its
// exit code. Nothing to do on Windows.
void keep_child_exit_codes();

// Available physical memory in bytes, or no value when the system cannot tell.
std::optional<quint64> free_memory();

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

// The first raw argument after the program name that does not come back as the same bytes
// once decoded into the application's argument list, or no value. Windows hands programs their
// arguments as text, so there it is always none.
std::optional<QByteArray> undecodable_argument(int argc, char** argv);
// True when the environment variable `name` is set to bytes that do not come back the same
// once decoded, as qEnvironmentVariable decodes them. Windows keeps the environment as text,
// so there it is always false.
bool undecodable_variable(const char* name);

}  // namespace builder::platform
