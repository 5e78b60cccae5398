// Launcher mode: prepares games into a data folder and starts them for an outside launcher.
#include "builder/launcher.hpp"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "builder/cli_options.hpp"
#include "builder/launcher_parts.hpp"
#include "builder/paths.hpp"
#include "builder/platform.hpp"

namespace builder {

namespace {

const char* const kUsage =
    "usage: skarnbolt-builder --prepare --data=<dir> --apk=<apk>... [--starwars2-assets=<zip or "
    "folder>]\n"
    "       skarnbolt-builder --data=<dir> --play=<id> [game options...]";

const char* const kPrepare = "--prepare";
// The options that carry a value after their "=".
const char* const kData = "--data=";
const char* const kPlay = "--play=";
const char* const kApk = "--apk=";
const char* const kAssets = "--starwars2-assets=";

// Whether `arg` is the option `prefix`; its value is then put in `value`.
bool option_value(const QString& arg, const char* prefix, QString& value) {
  const QLatin1String name(prefix);
  if (!arg.startsWith(name)) return false;
  value = arg.mid(name.size());
  return true;
}

}  // namespace

namespace launcher {

void print_error(const QString& message) {
  std::printf("error: %s\n", message.toLocal8Bit().constData());
  std::fflush(stdout);
}

void print_note(const QString& message) {
  std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
  std::fflush(stderr);
}

void print_progress(double fraction, const QString& text) {
  // Cut, not rounded, so that the printed values never fall: 2/3 of the way is 0.666, as the
  // next game's first value is. The small allowance keeps 0.3 from printing as 0.299.
  const int thousandths = int(std::floor(std::clamp(fraction, 0.0, 1.0) * 1000 + 1e-6));
  std::printf("progress %d.%03d %s\n", thousandths / 1000, thousandths % 1000,
              text.toLocal8Bit().constData());
  std::fflush(stdout);
}

QString game_folder(const QString& id) { return data_root() + "/games/" + id; }

QString game_exe(const QString& id) {
  return game_folder(id) + "/skarnbolt-" + id + QString::fromLatin1(platform::kExe);
}

}  // namespace launcher

bool is_launcher_mode(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == kPrepare || arg.starts_with(kPlay)) return true;
  }
  return false;
}

std::optional<LauncherOptions> parse_launcher_options(const QStringList& args, QString& error) {
  LauncherOptions parsed;
  bool play_given = false;
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& arg = args[i];
    QString value;
    if (arg == QLatin1String(kPrepare)) {
      parsed.prepare = true;
    } else if (option_value(arg, kData, value)) {
      parsed.data = value;
    } else if (option_value(arg, kPlay, value)) {
      parsed.id = value;
      play_given = true;
    } else if (option_value(arg, kApk, value)) {
      parsed.apks.append(value);
    } else if (option_value(arg, kAssets, value)) {
      parsed.assets = value;
    } else {
      parsed.options.append(arg);
    }
  }
  if (parsed.data.isEmpty() || (parsed.prepare && (play_given || !parsed.options.isEmpty()))) {
    error = QString::fromLatin1(kUsage);
    return std::nullopt;
  }
  return parsed;
}

int run_launcher_mode(int argc, char** argv) {
  // Before anything is touched: a path that does not decode would name another folder.
  QString error = argument_encoding_error(argc, argv);
  if (!error.isEmpty()) {
    launcher::print_error(error);
    return 2;
  }
  const std::optional<LauncherOptions> parsed =
      parse_launcher_options(QCoreApplication::arguments(), error);
  if (!parsed) {
    launcher::print_error(error);
    return 2;
  }
  set_data_root(parsed->data);
  return parsed->prepare ? launcher::prepare(parsed->apks, parsed->assets)
                         : launcher::play(parsed->id, parsed->options);
}

}  // namespace builder
