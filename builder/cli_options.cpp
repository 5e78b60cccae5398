// The command-line build's option walk.
#include "builder/cli_options.hpp"

#include <QFileInfo>

#include "builder/platform.hpp"

namespace builder {

const char* const kBuildUsage =
    "usage: skarnbolt-builder --build <apk> [--android | --switch] [--only "
    "<folder|file.apk|file.nro>] [--mods <a,b>|none] [--starwars2-assets=<zip or folder>]\n";

std::optional<Request> parse_build_options(const QStringList& args, QString& error) {
  Request request;
  const QString assets_prefix = "--starwars2-assets=";
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& arg = args[i];
    const bool has_value = i + 1 < args.size();
    if (arg == "--build" && has_value) {
      request.apk = QFileInfo(args[++i]).absoluteFilePath();
    } else if (arg == "--android") {
      request.android = true;
    } else if (arg == "--switch") {
      request.switch_ = true;
    } else if (arg == "--only" && has_value) {
      request.install = false;
      request.output = QFileInfo(args[++i]).absoluteFilePath();
    } else if (arg == "--mods" && has_value) {
      request.default_mods = false;
      const QString value = args[++i];
      if (value != "none") request.mods = value.split(',', Qt::SkipEmptyParts);
    } else if (arg.startsWith(assets_prefix)) {
      request.assets = QFileInfo(arg.mid(assets_prefix.size())).absoluteFilePath();
    } else {
      error = QString::fromLatin1(kBuildUsage);
      return std::nullopt;
    }
  }
  // One build has one target: both would save an Android package under the Switch's name.
  if (request.android && request.switch_) {
    error = QString::fromLatin1(kBuildUsage);
    return std::nullopt;
  }
  return request;
}

QString argument_encoding_error(int argc, char** argv) {
  const std::optional<QByteArray> bad = platform::undecodable_argument(argc, argv);
  if (!bad) return QString();
  QString shown;
  for (const char byte : *bad) {
    const uchar c = uchar(byte);
    shown += c >= 0x20 && c < 0x7f ? QString(QChar(c)) : QString("\\x%1").arg(c, 2, 16, QChar('0'));
  }
  return "The argument \"" + shown +
         "\" is not valid text in this system's character encoding, so it cannot name a file.";
}

}  // namespace builder
