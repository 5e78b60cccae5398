#include "builder/apk_match.hpp"

#include <QDir>

#include <string>
#include <vector>

#include "apk/android_res.hpp"
#include "apk/identify.hpp"
#include "apk/zip.hpp"

namespace builder {

namespace {

// The characters that CMake and Ninja cannot carry through a build unchanged: ";" and "|"
// split the list of APKs, a backslash is read as an escape, and a control character such as
// a line break ends a line of build.ninja.
const char16_t kRefused[] = u";|\\";

// The sentence that refuses `path` before anything is opened, or empty when it can be built.
// Where the backslash separates folders it is no character of a name.
QString refused_path(const QString& path) {
  const QString start = "Please rename the file or its folder: the path must not contain ";
  for (const QChar c : QDir::fromNativeSeparators(path)) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7f)
      return start + "line breaks or other control characters.";
    if (QStringView(kRefused).contains(c))
      return start + QString::fromUtf8("“") + c + QString::fromUtf8("”.");
  }
  return {};
}

// "1.4 (build 12)" is listed as "1.4".
QString first_word(const QString& version) {
  const qsizetype space = version.indexOf(' ');
  return space < 0 ? version : version.left(space);
}

}  // namespace

std::optional<Game> identify_apk(const QString& path, const QList<Game>& games, QString& error) {
  const QString refusal = refused_path(path);
  if (!refusal.isEmpty()) {
    error = refusal;
    return std::nullopt;
  }
  apk::ZipReader reader;
  if (!reader.open(to_path(path)) || apk::resources_oversized(reader)) {
    error = "This file is not an APK, or it is damaged.";
    return std::nullopt;
  }

  std::vector<apk::GameSpec> specs;
  specs.reserve(static_cast<std::size_t>(games.size()));
  for (const Game& game : games)
    specs.push_back({game.id.toStdString(), game.library.toStdString(), game.sha256.toStdString()});
  const ApkIdentity identity = apk::identify(reader, specs);

  if (identity.spec) {
    for (const Game& game : games)
      if (game.id.toStdString() == identity.spec->id) return game;
  }
  if (identity.library_found) {
    for (qsizetype i = 0; i < games.size(); ++i) {
      if (!reader.find(apk::library_path(specs[static_cast<std::size_t>(i)]))) continue;
      error = "This is " + games[i].title + ", but another version. Supported is version " +
              games[i].version + ".";
      return std::nullopt;
    }
  }
  QStringList lines;
  for (const Game& game : games)
    lines.append(QString::fromUtf8("• ") + game.title + " " + first_word(game.version));
  error = "This APK is not a supported game. Supported are:\n" + lines.join('\n');
  return std::nullopt;
}

QByteArray apk_icon(const QString& path) {
  apk::ZipReader reader;
  if (!reader.open(to_path(path))) return {};
  const std::vector<apk::IconFile> icons = apk::app_icons(reader);
  if (icons.empty()) return {};
  // Only the largest is wanted; a smaller one would look blurred in the window.
  const auto png = reader.read(icons.front().path);
  if (!png) return {};
  return QByteArray(reinterpret_cast<const char*>(png->data()),
                    static_cast<qsizetype>(png->size()));
}

std::filesystem::path to_path(const QString& path) {
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    return std::filesystem::path(
        std::wstring(reinterpret_cast<const wchar_t*>(path.utf16()), path.size()));
  } else {
    // With a 32-bit wchar_t the standard library converts wide strings through the C locale,
    // which fails on any non-ASCII name; file names here are UTF-8 bytes, as for QFile.
    const QByteArray utf8 = path.toUtf8();
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
  }
}

}  // namespace builder
