// The game catalogue (games/<id>/game.json) and the mod registry (SKARNBOLT_MOD registrations).
#pragma once

#include <QList>
#include <QString>

namespace builder {

// One supported game.
struct Game {
  QString id;  // folder name under games/
  QString title;
  QString version;
  QString package;
  QString library;  // the APK holds lib/armeabi-v7a/lib<library>.so
  QString sha256;
};

// One mod of the port.
struct Mod {
  QString name;
  QString description;
  bool enabled = true;  // false for SKARNBOLT_MOD_OFF
};

// The catalogue of the source tree, sorted by folder name; problems only shorten it.
QList<Game> load_games(const QString& source);

// The mods of the source tree that apply to `game`, sorted by name.
QList<Mod> load_mods(const QString& source, const QString& game);

}  // namespace builder
