// A hand-made build folder of the port, as a finished build leaves it, and a few file helpers
// for the tests that install, export or save it.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <functional>
#include <ostream>

#include "builder/catalog.hpp"
#include "builder/install.hpp"
#include "builder/platform.hpp"

// Readable strings in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace testing_support {

// Writes `content` to `path`, making its folder; false when that failed.
inline bool put_file(const QString& path, const QByteArray& content) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         file.write(content) == content.size();
}

// The bytes of `path`, empty when it cannot be read.
inline QByteArray file_bytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The files below `folder` (hidden ones included) as sorted relative paths.
inline QStringList files_below(const QString& folder) {
  QStringList files;
  const QDir root(folder);
  std::function<void(const QString&)> walk = [&](const QString& dir) {
    for (const QFileInfo& info :
         QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
      if (info.isDir() && !info.isSymLink())
        walk(info.filePath());
      else
        files << root.relativeFilePath(info.filePath());
    }
  };
  walk(folder);
  files.sort();
  return files;
}

// The game the tests build.
inline builder::Game rally_game() {
  builder::Game game;
  game.id = "rally";
  game.title = "Rally Champions";
  game.version = "1.2.3 (build 9)";
  return game;
}

// The executable of a build: a shell script that prints `version`, not yet executable, so that
// the tests see the permission being added.
inline QByteArray exe_script(const QByteArray& version) {
  return "#!/bin/sh\necho " + version + "\n";
}

// Writes what a Windows build of `game` leaves in `build`: bin/skarnbolt-<id> (exe_script of
// `version`), the graphics DLLs beside it when `dlls`, and games/<id> with lib/ and assets/
// (nested and hidden files) and icon.png, their contents tagged with `version`. The record
// that hands it on.
inline builder::BuiltGame make_build(const QString& build, const builder::Game& game,
                                     const QByteArray& version = "v1", bool dlls = true) {
  const QString exe = build + "/bin/skarnbolt-" + game.id + builder::platform::kExe;
  put_file(exe, exe_script(version));
  QFile::setPermissions(exe,
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
  for (const char* dll : {"libEGL.dll", "libGLESv2.dll"}) {
    if (dlls)
      put_file(build + "/bin/" + dll, QByteArray(dll) + " " + version);
    else
      QFile::remove(build + "/bin/" + dll);
  }
  const QString data = build + "/games/" + game.id;
  QDir(data).removeRecursively();
  put_file(data + "/lib/game.bin", "code " + version);
  put_file(data + "/lib/mods/.hidden/turbo.bin", "turbo " + version);
  put_file(data + "/assets/tracks/alps.trk", "alps " + version);
  put_file(data + "/assets/.nomedia", "");
  put_file(data + "/icon.png", "png " + version);
  return {game, exe, data};
}

// The files make_build puts below the game folder's game/, as files_below lists them.
inline QStringList game_files() {
  return {"assets/.nomedia", "assets/tracks/alps.trk", "icon.png", "lib/game.bin",
          "lib/mods/.hidden/turbo.bin"};
}

}  // namespace testing_support
