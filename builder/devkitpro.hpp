// The devkitPro toolchain for Switch builds, from devkitPro's pacman package databases.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include "builder/downloads.hpp"

namespace builder {

// The reason a Switch build cannot run where devkitpro_available() is false.
extern const char kSwitchUnavailable[];

// True when devkitPro publishes host tools for this CPU architecture (x86_64).
bool devkitpro_available();

// The devkitPro root <cache>/tools/devkitpro when ready, else empty with `error` set.
// `cmake` is the CMake program used for its tar mode.
QString fetch_devkitpro(const QString& cmake, const FetchContext& context, QString& error);

// The fields of a pacman desc file: the first value after each %NAME% header, trimmed.
QHash<QString, QString> read_desc(const QByteArray& text);

}  // namespace builder
