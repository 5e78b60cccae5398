// The road of one build: the phase table, the CMake options of each target, the configure
// step and the compile step with its reading of Ninja's status lines.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

#include "builder/build_lock.hpp"
#include "builder/downloads.hpp"
#include "builder/job.hpp"
#include "builder/paths.hpp"
#include "builder/platform.hpp"

namespace builder {

namespace {

QString header_name(Target target) {
  switch (target) {
    case Target::Android: return "Android";
    case Target::Switch: return "Nintendo Switch";
    default: return "this computer";
  }
}

QString folder_name(Target target) {
  switch (target) {
    case Target::Android: return "android-arm64";
    case Target::Switch: return "switch";
    default: return "windows";
  }
}

QString cmake_target(Target target, const QString& id) {
  switch (target) {
    case Target::Android: return "skarnbolt-" + id + "-apk";
    case Target::Switch: return "skarnbolt-" + id + "-nro";
    default: return "skarnbolt-" + id;
  }
}

// Expected seconds of one compile step, by Ninja's description of it.
double step_cost(const QString& description) {
  if (description.startsWith("Recompiling")) return 120;
  if (description.startsWith("Extracting")) return 20;
  if (description.startsWith("Packaging")) return 40;
  if (description.startsWith("Linking") &&
      (description.contains("skarnbolt-") || description.contains("libmain")))
    return 15;
  if (description.contains("/generated/funcs_")) return 14;
  return 1.5;
}

// Expected seconds of the Build phase: the compile steps share the jobs, the recompile does not.
double build_weight(const Job::Estimate& estimate, int jobs) {
  return std::max(5.0, (estimate.missing_seconds + estimate.other_steps * 1.5) / jobs +
                           estimate.recompile_seconds);
}

// The phases of a build for `target`, weighed by what the cache already holds.
QList<Job::Phase> phase_table(Target target) {
  const bool built_before = QFileInfo::exists(cache_dir() + "/build");
  const bool android = target == Target::Android;
  QList<Job::Phase> table = {{"Tools", 1, 0},
                             {"Build tools", target != Target::Windows ? 60.0 : 0.0, 0},
                             {"Configure", built_before ? 25.0 : 150.0, 0},
                             {"Build", 900, 0},
                             {"Finish", android ? 15.0 : 5.0, 0}};
  if (target == Target::Switch && !QFileInfo::exists(cache_dir() + "/tools/devkitpro"))
    table[0].weight += 24;
  for (Tool tool : build_tools(target)) {
    const Download* row = download_for(tool);
    if (row && cached(*row).isEmpty()) table[0].weight += row->size / 5000000.0;
  }
  return table;
}

// The options of the game's configure step: the APK, the mods and the target's toolchain.
QStringList cmake_options(const Job& job, Target target) {
  const Request& request = job.request;
  QString mods = "none";
  if (request.default_mods)
    mods = "default";
  else if (!request.mods.isEmpty())
    mods = request.mods.join(';');
  QStringList options = {
      "-DGAME_APKS=" + request.apk, "-DSKARNBOLT_DEFAULT_MODS=" + mods,
      "-DGAME_EXTRA_starwars2=" + (request.game.id == "starwars2" ? request.assets : "")};
  if (target == Target::Android) {
    options << "-DCMAKE_TOOLCHAIN_FILE=" + job.ndk + "/build/cmake/android.toolchain.cmake"
            << "-DANDROID_ABI=arm64-v8a"
            << "-DANDROID_PLATFORM=android-24"
            << "-DSKARNBOLT_HOST_TOOLS=" + job.host_tools_dir
            << "-DSKARNBOLT_ANDROID_SDK=" + job.sdk << "-DSKARNBOLT_JDK=" + job.jdk
            << "-DSKARNBOLT_ANDROID_KEYSTORE=" + data_dir() + "/android.keystore";
  } else if (target == Target::Switch) {
    options << "-DCMAKE_TOOLCHAIN_FILE=" + job.source + "/cmake/toolchains/switch.cmake"
            << "-DDEVKITPRO=" + platform::short_path(job.devkitpro)
            << "-DSKARNBOLT_HOST_TOOLS=" + job.host_tools_dir;
  } else {
    options << "-DCMAKE_TOOLCHAIN_FILE=" + job.source + "/cmake/toolchains/llvm-mingw.cmake"
            << "-DLLVM_MINGW=" + job.llvm_mingw;
  }
  return options;
}

// What is left in `build_dir`, with the Build phase weighed by it until Ninja counts the steps.
Job::Estimate weigh_build(Job& job, const QString& build_dir) {
  const Job::Estimate estimate = job.estimate_build(build_dir);
  job.phases[3].weight = build_weight(estimate, job.jobs);
  return estimate;
}

// The steps after the log is open, from the sources to the finished game; false with `error`
// at the first that fails.
bool run_steps(Job& job, QString& message, QString& result_path, QString& error) {
  const Target target = target_of(job.request);
  job.source = sync_sources(error);
  if (job.source.isEmpty()) return false;
  if (!job.prepare_tools(error)) return false;
  if (target != Target::Windows) {
    job.set_phase(1, 0);
    job.report("Preparing the build tools");
    if (!job.build_host_tools(error)) return false;
  }
  job.set_phase(2, 0);
  job.report("Preparing the build");
  const QStringList options = cmake_options(job, target);
  const QString build_dir = cache_dir() + "/build/" + folder_name(target);
  job.build_dir = build_dir;
  job.reset_if_moved(build_dir);
  const Job::Estimate estimate = weigh_build(job, build_dir);
  job.log(QString("To do: %1recompiled files to compile: %2")
              .arg(estimate.recompile ? "recompile, " : "", QString::number(estimate.missing)));
  if (QFileInfo::exists(build_dir + "/build.ninja")) job.phases[2].weight = 15;
  job.report(QString());

  if (!job.configure(build_dir, options, error)) return false;
  job.set_phase(3, 0);
  if (!job.build(build_dir, {cmake_target(target, job.request.game.id)}, error)) return false;
  job.set_phase(4, 0);
  if (!job.finish(message, result_path, error)) return false;
  job.set_phase(4, 1);
  job.report("Done");
  job.log(message);
  return true;
}

}  // namespace

void Job::run() {
  timer.start();
  QString error;
  // One build at a time per cache: a second one waits here, before it touches the sources,
  // the build folders or the log.
  platform::FileLock lock(cache_lock_path());
  QString lock_note;
  const auto on_wait = [this](const QString& line) {
    report(kWaitingStatus);
    emit log_line(line);  // not into the log, which is still the other build's
  };
  if (!QDir().mkpath(cache_dir())) {
    error = "Cannot write " + QDir::toNativeSeparators(cache_dir());
  } else if (take_lock(lock, cancel, on_wait, lock_note, error)) {
    timer.start();  // the estimate is about this build's own work, not the wait
  }
  if (!error.isEmpty()) {
    log("error: " + error);
    emit finished(false, error, QString());
    return;
  }
  QDir().mkpath(log_dir());
  log_file.setFileName(log_path());
  if (log_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    wrote_log = true;
  } else {
    log_failure = "cannot write " + log_path();
    emit log_line(log_failure);
  }

  const Target target = target_of(request);
  jobs = job_count();
  log(QString("%1: %2 (%3), %4, %5 parallel jobs")
          .arg(QDateTime::currentDateTime().toString(Qt::ISODate), request.game.title,
               request.game.version, header_name(target), QString::number(jobs)));
  if (!lock_note.isEmpty()) log(lock_note);
  phases = phase_table(target);
  set_phase(0, 0);
  report("Preparing");

  QString message;
  QString result_path;
  const bool ok = run_steps(*this, message, result_path, error);
  if (!ok) log("error: " + error);
  log_file.close();
  lock.release();
  emit finished(ok, ok ? message : error, result_path);
}

Job::Estimate Job::estimate_build(const QString& build_dir) const {
  const QString& id = request.game.id;
  Estimate estimate;
  estimate.recompile = !QFileInfo::exists(build_dir + "/games/" + id + "/generated/funcs.hpp");
  const QString objects =
      build_dir + "/games/CMakeFiles/recomp_game_code_" + id + ".dir/" + id + "/generated/";
  for (int i = 0; i < 128; ++i) {
    if (!QFileInfo::exists(objects + QString("funcs_%1.cpp.o").arg(i, 3, 10, QChar('0'))))
      ++estimate.missing;
  }
  if (target_of(request) == Target::Windows)
    estimate.recompile_seconds = estimate.recompile ? 135 : 15;
  else
    estimate.recompile_seconds = estimate.recompile ? 175 : 55;
  estimate.missing_seconds = estimate.missing * 14.0;
  estimate.other_steps = QFileInfo::exists(build_dir + "/build.ninja") ? 20 : 500;
  return estimate;
}

bool Job::build(const QString& build_dir, const QStringList& targets, QString& error) {
  const QStringList arguments = QStringList{"--build", build_dir, "--target"} + targets +
                                QStringList{"-j", QString::number(jobs)};
  Estimate estimate = weigh_build(*this, build_dir);
  double total = 0;  // the cost of all steps, known from Ninja's first status line
  double done = 0;
  bool seen = false;
  const QString building = "Building " + request.game.title;
  report(building);

  auto parse = [&](const QString& line) {
    const std::optional<NinjaStatus> status = parse_ninja_status(line);
    if (!status) return;
    if (!seen) {
      // Ninja's own step count replaces the guess made from build.ninja's presence.
      seen = true;
      estimate.other_steps =
          std::max(0, status->steps - estimate.missing - (estimate.recompile ? 1 : 0) - 1);
      total = estimate.missing_seconds + estimate.other_steps * 1.5 + estimate.recompile_seconds;
      phases[3].weight = build_weight(estimate, jobs);
    }
    done += status->cost;
    set_phase(3, total > 0 ? done / total : 0);
    report(status->text.isEmpty() ? building : status->text);
  };
  if (run_process(cmake, arguments, parse) == 0) return true;
  error = cancel.load() ? "Cancelled" : "The build failed.";
  return false;
}

void Job::reset_if_moved(const QString& build_dir) {
  QFile file(build_dir + "/CMakeCache.txt");
  if (!file.open(QIODevice::ReadOnly)) return;
  static const QRegularExpression home("^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$",
                                       QRegularExpression::MultilineOption);
  const QRegularExpressionMatch match = home.match(QString::fromUtf8(file.readAll()));
  file.close();
  if (!match.hasMatch()) return;
  if (QDir::cleanPath(match.captured(1).trimmed()) == QDir::cleanPath(source)) return;
  log("Sources moved: starting " + build_dir + " again");
  QDir(build_dir).removeRecursively();
}

bool Job::configure(const QString& build_dir, const QStringList& options, QString& error) {
  reset_if_moved(build_dir);
  const QStringList arguments = QStringList{"-S",
                                            source,
                                            "-B",
                                            build_dir,
                                            "-G",
                                            "Ninja",
                                            "-DCMAKE_MAKE_PROGRAM=" + ninja,
                                            "-DCMAKE_BUILD_TYPE=Release"} +
                                options;
  if (run_process(cmake, arguments) == 0) return true;
  error = cancel.load() ? "Cancelled" : "Configuring the build failed.";
  return false;
}

std::optional<NinjaStatus> parse_ninja_status(const QString& line) {
  static const QRegularExpression status(R"(^\[(\d+)/(\d+)\] (.*)$)");
  const QRegularExpressionMatch match = status.match(line);
  if (!match.hasMatch()) return std::nullopt;
  NinjaStatus result;
  result.steps = match.captured(2).toInt();
  const QString description = match.captured(3);
  result.cost = step_cost(description);
  if (description.startsWith("Recompiling") || description.startsWith("Extracting") ||
      description.startsWith("Packaging")) {
    const qsizetype cut = description.indexOf(" (");
    result.text = cut < 0 ? description : description.left(cut);
  } else if (description.contains("/generated/funcs_")) {
    result.text = "Compiling the recompiled code";
  }
  return result;
}

}  // namespace builder
