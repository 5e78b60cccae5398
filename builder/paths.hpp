// Where things live: data root, cache, logs, sources, and the housekeeping of those folders.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace builder {

// The data root; empty in the per-user layout.
QString data_root();
// Switches to the portable layout below `path` (made absolute and cleaned).
void set_data_root(const QString& path);
// Overrides the cache folder.
void set_cache_dir(const QString& path);
// The cache folder (downloads, tools, source mirror, build folders).
QString cache_dir();
// The folder of last-build.log.
QString log_dir();
// The builder's own data (the Android keystore).
QString data_dir();
// The port's source tree.
QString source_dir();
// The folder beside which the portable data folder is sought.
QString home_dir();
// A folder holding an SDL3 CMake package beside the program, or empty.
QString sdl3_kit_dir();
// True when `path` is a folder of its own, not a link or a junction to one elsewhere.
bool real_folder(const QString& path);
// Removes the folder `path` with everything in it, or the link standing there, never what a
// link points to.
void remove_folder(const QString& path);
// Total bytes of the files below `folder`; 0 when it is missing.
qint64 tree_size(const QString& folder);
// A byte count for the user: "1.5 GiB" from 0.1 GiB upward, else "102 MiB".
QString format_size(qint64 bytes);
// The running unpacked copy of the program, or empty.
QString unpacked_app_dir();
// Older cache folders that portable use leaves behind.
QStringList legacy_cache_dirs();
// Removes the other unpacked copies and marks the running one for removal after exit.
void remove_unpacked_app();
// At exit, hands the removal of the running copy to a delayed, detached command.
void finish_unpacked_app_removal();
// Makes or reuses the short cache link in the portable layout.
void shorten_cache();
// Switches to portable data when its folder can be written, taking over older per-user data.
// An empty or undecodable program folder, or an undecodable SKARNBOLT_BUILDER_HOME, never
// gives portable data.
void use_portable_data();
// The sentence that refuses an SKARNBOLT_BUILDER_HOME which is not valid text, or empty;
// the front ends show it before anything is written.
QString home_variable_error();

// Mirrors the port's sources into cache_dir() + "/source"; that folder, or empty with `error` set.
QString sync_sources(QString& error);

}  // namespace builder
