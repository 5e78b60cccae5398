// The few operating-system services the engine needs, one implementation per platform.
#pragma once

#include <QString>

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

}  // namespace builder::platform
