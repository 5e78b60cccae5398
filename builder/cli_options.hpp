// The command-line build's options.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "builder/job.hpp"

namespace builder {

// The usage text of the command-line build, ending in a line feed.
extern const char* const kBuildUsage;

// Walks the command-line build's options in `args` (the program name first) into a Request
// that still lacks its game; paths are made absolute against the current folder. No value,
// with the usage text in `error`, when an argument is no option or an option lacks its value.
std::optional<Request> parse_build_options(const QStringList& args, QString& error);

}  // namespace builder
