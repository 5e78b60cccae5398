// Launcher mode: prepares games into a data folder and starts them for an outside launcher.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace builder {

// What the launcher mode's arguments ask for.
struct LauncherOptions {
  bool prepare = false;
  QString data;         // the data folder
  QString id;           // the game to start
  QString assets;       // the extra data of starwars2, as written
  QStringList apks;     // the APKs to prepare, in order
  QStringList options;  // the game's own options, in order
};

// True when some argument after the program name is "--prepare" or starts with "--play=".
bool is_launcher_mode(int argc, char** argv);
// Walks the launcher mode's arguments in `args` (the program name first). No value, with the
// usage text in `error`, when no data folder is given, or prepare meets "--play=" or game
// options.
std::optional<LauncherOptions> parse_launcher_options(const QStringList& args, QString& error);
// Runs the launcher mode on the application's arguments, refusing raw arguments (`argc`,
// `argv`) that are not valid text; the process exit code.
int run_launcher_mode(int argc, char** argv);

}  // namespace builder
