// The launcher mode's two steps and the output they share.
#pragma once

#include <QString>
#include <QStringList>

namespace builder::launcher {

// Writes "error: " + message and a line feed to standard output and flushes it.
void print_error(const QString& message);
// Writes "progress " + fraction (clamped to 0..1, three decimals) + " " + text and flushes.
void print_progress(double fraction, const QString& text);
// Writes `message` and a line feed to standard error and flushes it: notes for a person, not
// for the launcher.
void print_note(const QString& message);
// The exported game folder, data_root() + "/games/" + id.
QString game_folder(const QString& id);
// The exported game's program inside its folder.
QString game_exe(const QString& id);
// Builds every game of `apks` that is not up to date into the data folder; the exit code.
int prepare(const QStringList& apks, const QString& assets);
// Starts the built game `id` with its saves and log and waits for it; the exit code.
int play(const QString& id, const QStringList& options);

}  // namespace builder::launcher
