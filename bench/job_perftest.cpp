// A rebuild of the test port through the build job with nothing changed (mirror, configure,
// build, finish) against the same configure and build run by hand with CMake, in the same
// build folder and the same run. The counter "ratio" is the job's time over the manual time.
#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <thread>

#include "builder/job.hpp"
#include "tests/support/job_runner.hpp"

namespace {

using namespace testing_support;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

bool run_cmake(const QString& cmake, const QStringList& arguments) {
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("NINJA_STATUS", "[%f/%t] ");
  process.setProcessEnvironment(env);
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(cmake, arguments);
  process.waitForFinished(-1);
  process.readAll();
  return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void BM_JobRebuildAgainstManual(benchmark::State& state) {
  JobWorkspace ws;
  builder::Request request;
  request.apk = q(ws.apk("pinball"));
  request.game = port_game("pinball");
  request.install = false;
  request.output = q(ws.root() / "saved");
  // The first build, not measured; the finishing step may still be missing.
  const JobResult first = run_job(request);
  const fs::path build = ws.build("windows");
  if (!fs::exists(build / "bin/skarnbolt-pinball")) {
    state.SkipWithError("the first build failed");
    return;
  }

  const QString cmake = q(ws.cache() / "tools/cmake/bin/cmake");
  const QString source = q(ws.cache() / "source");
  const QStringList configure = {
      "-S",
      source,
      "-B",
      q(build),
      "-G",
      "Ninja",
      "-DCMAKE_MAKE_PROGRAM=" + q(ws.cache() / "tools/ninja/ninja"),
      "-DCMAKE_BUILD_TYPE=Release",
      "-DGAME_APKS=" + request.apk,
      "-DSKARNBOLT_DEFAULT_MODS=default",
      "-DGAME_EXTRA_starwars2=",
      "-DCMAKE_TOOLCHAIN_FILE=" + source + "/cmake/toolchains/llvm-mingw.cmake",
      "-DLLVM_MINGW=" + q(ws.cache() / "tools/llvm-mingw")};
  const QStringList compile = {"--build",  q(build),
                               "--target", "skarnbolt-pinball",
                               "-j",       QString::number(builder::job_count())};

  double job_seconds = 0, manual_seconds = 0;
  for (auto _ : state) {
    QElapsedTimer timer;
    timer.start();
    const JobResult result = run_job(request);
    const double job = timer.nsecsElapsed() / 1e9;
    if (!result.ok && result.message != first.message) {
      state.SkipWithError("the job's rebuild failed");
      return;
    }
    timer.restart();
    if (!run_cmake(cmake, configure) || !run_cmake(cmake, compile)) {
      state.SkipWithError("the manual rebuild failed");
      return;
    }
    const double manual = timer.nsecsElapsed() / 1e9;
    job_seconds += job;
    manual_seconds += manual;
    state.SetIterationTime(job);
  }
  state.counters["job_s"] = benchmark::Counter(job_seconds, benchmark::Counter::kAvgIterations);
  state.counters["manual_s"] =
      benchmark::Counter(manual_seconds, benchmark::Counter::kAvgIterations);
  state.counters["ratio"] = manual_seconds > 0 ? job_seconds / manual_seconds : 0;
}
BENCHMARK(BM_JobRebuildAgainstManual)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace
