// The build engine's door to the APK toolkit: identification with user messages, the icon.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <filesystem>
#include <optional>

#include "builder/catalog.hpp"

namespace builder {

// The catalogued game the APK holds; no value with a sentence for the user in `error`.
std::optional<Game> identify_apk(const QString& path, const QList<Game>& games, QString& error);

// The PNG bytes of the APK's largest launcher icon, or an empty array.
QByteArray apk_icon(const QString& path);

// A Qt string path as a filesystem path, character for character, uncleaned.
std::filesystem::path to_path(const QString& path);

}  // namespace builder
