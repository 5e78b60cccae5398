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
// with the usage text in `error`, when an argument is no option, an option lacks its value, or
// both "--android" and "--switch" are given.
std::optional<Request> parse_build_options(const QStringList& args, QString& error);

// A message naming the first raw argument after the program name that is not valid text in
// the system's encoding (decoded, it would name another path), or empty when there is none.
QString argument_encoding_error(int argc, char** argv);

}  // namespace builder
