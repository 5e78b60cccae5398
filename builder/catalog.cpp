#include "builder/catalog.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <algorithm>

namespace builder {

namespace {

// Visible subfolders, ordered by character code so that the order does not depend on the
// locale or on the file system.
QStringList subfolders(const QString& folder) {
  QStringList names = QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
  std::sort(names.begin(), names.end());
  return names;
}

// Visible files matching `pattern` (any case), in the file system's own order.
QStringList files(const QString& folder, const QString& pattern) {
  return QDir(folder).entryList(QStringList{pattern}, QDir::Files, QDir::Unsorted);
}

QList<Mod> registrations(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QString text = QString::fromUtf8(file.readAll());
  text.replace(QRegularExpression(R"(\\\s*\n)"), " ");

  static const QRegularExpression registration(
      R"re(SKARNBOLT_MOD(_OFF)?\(\s*\w+\s*,\s*"([^"]+)"\s*,((?:\s*"(?:[^"\\]|\\.)*")+)\s*\))re");
  static const QRegularExpression literal(R"re("((?:[^"\\]|\\.)*)")re");

  QList<Mod> mods;
  for (const QRegularExpressionMatch& match : registration.globalMatch(text)) {
    QString description;
    for (const QRegularExpressionMatch& part : literal.globalMatch(match.captured(3)))
      description += part.captured(1);
    description.replace(QStringLiteral("\\\""), QStringLiteral("\""));
    mods.append(Mod{match.captured(2), description, match.captured(1).isEmpty()});
  }
  return mods;
}

}  // namespace

QList<Game> load_games(const QString& source) {
  const QString games = source + "/games";
  QList<Game> list;
  for (const QString& name : subfolders(games)) {
    QFile file(games + "/" + name + "/game.json");
    if (!file.open(QIODevice::ReadOnly)) continue;
    const QJsonObject json = QJsonDocument::fromJson(file.readAll()).object();
    list.append(Game{name, json.value("title").toString(), json.value("version").toString(),
                     json.value("package").toString(), json.value("library").toString(),
                     json.value("sha256").toString()});
  }
  return list;
}

QList<Mod> load_mods(const QString& source, const QString& game) {
  const QString mods_folder = source + "/mods";
  QSet<QString> ids;
  for (const Game& entry : load_games(source)) ids.insert(entry.id);

  QList<Mod> result;
  QSet<QString> names;
  for (const QString& name : subfolders(mods_folder)) {
    if (name == "common") continue;
    const QString folder = mods_folder + "/" + name;

    QStringList taken;
    bool per_game = false;
    bool for_game = false;
    for (const QString& file : files(folder, "*.cpp")) {
      const QString base = QFileInfo(file).completeBaseName();
      if (ids.contains(base)) {
        per_game = true;
        if (base != game) continue;
        for_game = true;
      }
      taken.append(folder + "/" + file);
    }
    // A folder written for particular games says nothing about the others.
    if (per_game && !for_game) continue;
    for (const QString& file : files(folder, "*.hpp")) taken.append(folder + "/" + file);

    for (const QString& path : taken) {
      for (const Mod& mod : registrations(path)) {
        if (names.contains(mod.name)) continue;
        names.insert(mod.name);
        result.append(mod);
      }
    }
  }
  std::sort(result.begin(), result.end(),
            [](const Mod& a, const Mod& b) { return a.name < b.name; });
  return result;
}

}  // namespace builder
