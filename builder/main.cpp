// Start-up: picks the command-line build, the launcher mode or the window from the raw
// arguments, before any application object exists.
#include <QApplication>
#include <QCoreApplication>
#include <QTextStream>
#include <cstring>

#include "builder/launcher.hpp"
#include "builder/paths.hpp"
#include "builder/startup.hpp"
#include "builder/window.hpp"

namespace {

// The command-line build; its exit code.
int run_cli(QCoreApplication& app) {
  (void)app;
  QTextStream(stderr) << "The command-line build is not there yet.\n";
  return 1;
}

// The window; the event loop's exit code.
int run_gui(int argc, char** argv) {
  const bool breeze = !builder::style_requested(argc, argv);
  QApplication app(argc, argv);
  builder::prepare_gui(app, breeze);
  builder::Window window;
  window.show();
  if (const auto apk = builder::apk_argument(QApplication::arguments())) window.open_apk(*apk);
  const int code = QApplication::exec();
  builder::finish_unpacked_app_removal();
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--build") == 0) {
      QCoreApplication app(argc, argv);
      return run_cli(app);
    }
  }
  if (builder::is_launcher_mode(argc, argv)) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("skarnbolt-builder");
    return builder::run_launcher_mode();
  }
  return run_gui(argc, argv);
}
