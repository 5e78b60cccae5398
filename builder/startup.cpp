#include "builder/startup.hpp"

#include <QApplication>
#include <QIcon>
#include <string_view>

#include "builder/breeze_style.hpp"
#include "builder/paths.hpp"

namespace builder {

bool style_requested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "-style" || arg == "--style" || arg.starts_with("-style=") ||
        arg.starts_with("--style="))
      return true;
  }
  return false;
}

void prepare_gui(QApplication& app, bool breeze) {
  if (breeze) use_breeze(app);
  QApplication::setApplicationName("skarnbolt-builder");
  QApplication::setApplicationDisplayName("Skarnbolt Builder");
  QApplication::setDesktopFileName("skarnbolt-builder");
  QApplication::setWindowIcon(QIcon(":/builder.svg"));
  use_portable_data();
}

std::optional<QString> apk_argument(const QStringList& arguments) {
  if (arguments.size() < 2 || arguments[1].startsWith("--")) return std::nullopt;
  return arguments[1];
}

}  // namespace builder
