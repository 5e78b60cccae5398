// The window's responsiveness while a build of the test port fills its log: how late a
// zero-delay timer fires on the GUI thread, sampled every 10 ms; the latest one is the longest
// stall of the event loop (no repaint, no Cancel). One build as the port prints normally, one
// whose configure step prints 30,000 lines. Targets: max below 100 ms, p99 below 16 ms.
// Needs an application of its own: run it alone, as skarnbolt-bench --benchmark_filter=Window.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <vector>

#include "builder/paths.hpp"
#include "builder/window.hpp"
#include "tests/support/job_runner.hpp"
#include "tests/support/test_support.hpp"
#include "tests/support/tool_cache.hpp"

namespace {

namespace fs = std::filesystem;

QString qpath(const fs::path& path) { return QString::fromStdString(path.string()); }

// The application, or null when another benchmark made a console one first.
QApplication* gui() {
  static QApplication* app = []() -> QApplication* {
    if (QCoreApplication::instance())
      return qobject_cast<QApplication*>(QCoreApplication::instance());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform says this at every size change of a window; it tells nothing.
    static const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
          if (message != "This plugin does not support propagateSizeHints()")
            previous(type, context, message);
        });
    static int argc = 1;
    static char name[] = "skarnbolt-bench";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return app;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[at];
}

// range(0): 1 when the configure step floods the log with 30,000 lines.
void BM_WindowLatencyDuringBuild(benchmark::State& state) {
  const bool flood = state.range(0) != 0;
  if (!gui()) {
    state.SkipWithError("needs a run of its own: --benchmark_filter=Window");
    return;
  }
  testing_support::TempDir dir;
  qputenv("HOME", qpath(dir / "home").toUtf8());
  qputenv("LOCALAPPDATA", qpath(dir / "local").toUtf8());
  qputenv("XDG_DATA_HOME", qpath(dir / "xdg-data").toUtf8());
  qputenv("XDG_CONFIG_HOME", qpath(dir / "xdg-config").toUtf8());
  fs::create_directories(dir / "home");
  builder::set_data_root(qpath(dir / "data"));
  const fs::path cache = builder::cache_dir().toStdString();
  testing_support::seed_tool_cache(cache, false, false);
  testing_support::make_apk(dir / "pinball.apk", "pinball");
  if (flood) qputenv("SKARNBOLT_TEST_PORT_FAULT", "configure-flood");

  std::vector<double> lateness;
  int lines = 0;
  bool ok = true;
  for (auto _ : state) {
    state.PauseTiming();
    // A fresh build folder, so every round compiles the whole port and prints every step.
    fs::remove_all(cache / "build" / "windows");
    builder::Window window;
    window.show();
    window.open_apk(qpath(dir / "pinball.apk"));
    state.ResumeTiming();

    window.build_button->click();
    if (!window.job) {
      ok = false;
      break;
    }
    QObject::connect(window.job, &builder::Job::log_line, &window, [&] { ++lines; });
    QElapsedTimer clock;
    clock.start();
    QTimer sampler;
    sampler.setInterval(10);
    QObject::connect(&sampler, &QTimer::timeout, &window, [&] {
      const qint64 posted = clock.nsecsElapsed();
      QTimer::singleShot(0, &window, [&, posted] {
        lateness.push_back(static_cast<double>(clock.nsecsElapsed() - posted) / 1e6);
      });
    });
    QEventLoop loop;
    QObject::connect(window.job, &builder::Job::finished, &loop, &QEventLoop::quit,
                     Qt::QueuedConnection);
    sampler.start();
    loop.exec();
    sampler.stop();
    QCoreApplication::processEvents();
    ok = ok && window.progress_bar->value() == 1000;
  }
  if (flood) qunsetenv("SKARNBOLT_TEST_PORT_FAULT");
  if (!ok) state.SkipWithError("the build did not finish");
  state.counters["p50_ms"] = percentile(lateness, 0.50);
  state.counters["p99_ms"] = percentile(lateness, 0.99);
  state.counters["max_ms"] = percentile(lateness, 1.0);
  state.counters["samples"] = static_cast<double>(lateness.size());
  state.counters["log_lines"] = static_cast<double>(lines);
}

BENCHMARK(BM_WindowLatencyDuringBuild)
    ->ArgName("flood")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kSecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace
