// Start-up: picks the command-line build, the launcher mode or the window from the raw
// arguments, before any application object exists.
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QTextStream>
#include <cstdio>
#include <cstring>
#include <optional>

#include "builder/apk_match.hpp"
#include "builder/build_lock.hpp"
#include "builder/catalog.hpp"
#include "builder/cli_options.hpp"
#include "builder/job.hpp"
#include "builder/job_console.hpp"
#include "builder/launcher.hpp"
#include "builder/paths.hpp"
#include "builder/platform.hpp"
#include "builder/startup.hpp"
#include "builder/termination.hpp"
#include "builder/window.hpp"

namespace {

// The command-line build; its exit code.
int run_cli(QCoreApplication& app) {
  app.setApplicationName("skarnbolt-builder");
  // A signal ends the program with 128 + its number; during the build it cancels it first.
  builder::platform::cancel_on_termination(nullptr);
  builder::use_portable_data();

  const QStringList args = QCoreApplication::arguments();
  QTextStream err(stderr);

  QString error;
  std::optional<builder::Request> options = builder::parse_build_options(args, error);
  if (!options) {
    err << error;
    return 2;
  }
  builder::Request request = std::move(*options);

  const std::optional<builder::Game> game =
      builder::identify_apk(request.apk, builder::load_games(builder::source_dir()), error);
  if (!game) {
    err << error << "\n";
    return 1;
  }
  request.game = *game;
  if (game->id != "starwars2") request.assets.clear();
  if (builder::target_of(request) == builder::Target::Switch) {
    request.install = false;
    if (request.output.isEmpty())
      request.output = QDir::currentPath() + "/skarnbolt-" + game->id + ".nro";
  }

  int last_percent = -1;
  int exit_code = 1;
  builder::Job job(request);
  // Both handlers run on the build thread; they touch only these two integers and stdout.
  QObject::connect(
      &job, &builder::Job::progress, &job,
      [&last_percent](double fraction, const QString& status, qint64 eta) {
        const int percent = int(fraction * 100);
        if (percent == last_percent) return;
        last_percent = percent;
        const QString suffix = eta < 0 ? QString() : QString("  (~%1 s left)").arg(eta);
        std::printf("%3d %%  %s%s\n", percent, status.toLocal8Bit().constData(),
                    suffix.toLocal8Bit().constData());
        std::fflush(stdout);
        // What it waits for, so that a person can tell which build holds the cache.
        if (status == builder::kWaitingStatus) {
          const QString line = builder::waiting_line(builder::cache_lock_path());
          std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
          std::fflush(stderr);
        }
      },
      Qt::DirectConnection);
  QObject::connect(
      &job, &builder::Job::finished, &job,
      [&job, &exit_code](bool ok, const QString& message, const QString&) {
        std::printf("%s\n", message.toLocal8Bit().constData());
        std::fflush(stdout);
        if (job.log_written()) {
          std::printf("log: %s\n", job.log_path().toLocal8Bit().constData());
          std::fflush(stdout);
        }
        exit_code = ok ? 0 : 1;
      },
      Qt::DirectConnection);
  // A script's SIGTERM or Ctrl+C cancels the build as the window's Cancel does.
  builder::run_on_console(job, [](const QString& line) {
    // The one log line worth a script's attention: the log itself cannot be written.
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
  });
  return builder::console_exit_code(exit_code);
}

// The window; the event loop's exit code.
int run_gui(int argc, char** argv) {
  const bool breeze = !builder::style_requested(argc, argv);
  QApplication app(argc, argv);
  // A data folder that does not decode would be another folder: refused before any is made.
  const QString bad = builder::home_variable_error();
  if (!bad.isEmpty()) {
    std::fprintf(stderr, "%s\n", bad.toLocal8Bit().constData());
    QMessageBox::critical(nullptr, "Skarnbolt Builder", bad);
    return 2;
  }
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
  builder::platform::keep_child_exit_codes();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--build") == 0) {
      // Before anything is touched: a path that does not decode would name another file.
      QString bad = builder::argument_encoding_error(argc, argv);
      if (bad.isEmpty()) bad = builder::home_variable_error();
      if (!bad.isEmpty()) {
        std::fprintf(stderr, "%s\n", bad.toLocal8Bit().constData());
        return 2;
      }
      QCoreApplication app(argc, argv);
      return run_cli(app);
    }
  }
  if (builder::is_launcher_mode(argc, argv)) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("skarnbolt-builder");
    return builder::run_launcher_mode(argc, argv);
  }
  return run_gui(argc, argv);
}
