// Windows games out of a build folder: installed for the user, exported, or saved portable.
#pragma once

#include <QString>
#include <functional>

#include "builder/catalog.hpp"

namespace builder {

// What one Windows build produced.
struct BuiltGame {
  Game game;
  QString exe;       // <build>/bin/skarnbolt-<id> + kExe
  QString data_dir;  // <build>/games/<id>: lib/, assets/, icon.png
};

// Receives one line on each file that could not be copied, with the system's reason.
using CopyNotes = std::function<void(const QString& line)>;

// Installs into <local app data>/Programs/skarnbolt-port/<id> with a Start-menu shortcut and
// an uninstall entry; the folder, or empty with `error` set.
QString install(const BuiltGame& game, QString& error, const CopyNotes& notes = {});
// Writes the game folder straight into `destination`; false with `error` set.
bool export_folder(const BuiltGame& game, const QString& destination, QString& error,
                   const CopyNotes& notes = {});
// Writes the game folder into parent + "/" + title; that folder, or empty with `error` set.
QString export_portable(const BuiltGame& game, const QString& parent, QString& error,
                        const CopyNotes& notes = {});

}  // namespace builder
