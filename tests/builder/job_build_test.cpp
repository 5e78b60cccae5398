// Windows builds of the test port through the build job, with the machine's CMake and Ninja
// from a seeded tool cache: a first build and a rebuild, failures, cancels and moved sources.
#include <gtest/gtest.h>

#include <chrono>

#include <QDir>
#include <QRegularExpression>

#include "builder/job.hpp"
#include "builder/paths.hpp"
#include "support/job_runner.hpp"
#include "support/test_support.hpp"

namespace {

using namespace testing_support;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

// Whether `wanted` appear in `list` in this order, others between them allowed.
bool in_order(const QStringList& list, const QStringList& wanted) {
  qsizetype at = 0;
  for (const QString& item : list)
    if (at < wanted.size() && item == wanted[at]) ++at;
  return at == wanted.size();
}

QStringList containing(const QStringList& lines, const QString& text) {
  return lines.filter(text, Qt::CaseSensitive);
}

// The parallel job count that the log's header names.
int header_jobs(const QStringList& lines) {
  static const QRegularExpression header(
      R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d: Pinball Nights \(2\.0\.3\), this computer, (\d+) parallel jobs$)");
  const QRegularExpressionMatch match = header.match(lines.value(0));
  return match.hasMatch() ? match.captured(1).toInt() : 0;
}

TEST(WindowsBuild, FirstWindowsBuildThenRebuild) {
  JobWorkspace ws;
  const fs::path build = ws.build("windows");
  const QString source = q(ws.cache() / "source");
  const QString cmake = q(ws.cache() / "tools/cmake/bin/cmake");

  const JobResult first = run_job(pinball_request(ws));
  EXPECT_EQ(first.finished_count, 1);
  EXPECT_TRUE(first.signals_on_build_thread);
  EXPECT_EQ(QString::fromStdString(read_text(ws.log())), log_text(first));
  const int jobs = header_jobs(first.lines);
  ASSERT_GT(jobs, 0) << first.lines.value(0).toStdString();
  EXPECT_EQ(jobs, builder::job_count());
  EXPECT_TRUE(first.lines.contains("To do: recompile, recompiled files to compile: 128"));

  // Every option in its order, and the compile step.
  EXPECT_TRUE(first.lines.contains(
      "$ " + cmake + " -S " + source + " -B " + q(build) +
      " -G Ninja -DCMAKE_MAKE_PROGRAM=" + q(ws.cache() / "tools/ninja/ninja") +
      " -DCMAKE_BUILD_TYPE=Release -DGAME_APKS=" + q(ws.apk("pinball")) +
      " -DSKARNBOLT_DEFAULT_MODS=default -DGAME_EXTRA_starwars2= " + "-DCMAKE_TOOLCHAIN_FILE=" +
      source +
      "/cmake/toolchains/llvm-mingw.cmake -DLLVM_MINGW=" + q(ws.cache() / "tools/llvm-mingw")))
      << first.lines.join('\n').toStdString();
  EXPECT_TRUE(first.lines.contains("$ " + cmake + " --build " + q(build) +
                                   " --target skarnbolt-pinball -j " + QString::number(jobs)));

  // Ninja's own lines, and what they made of the progress.
  static const QRegularExpression status(R"(^\[(\d+)/(\d+)\] (.*)$)");
  const QStringList steps = first.lines.filter(status);
  ASSERT_FALSE(steps.isEmpty());
  const int total = status.match(steps[0]).captured(2).toInt();
  EXPECT_EQ(containing(steps, "] Extracting the data of Pinball Nights (from its APK)").size(), 1);
  EXPECT_EQ(containing(steps, "] Recompiling Pinball Nights (128 files)").size(), 1);
  EXPECT_EQ(containing(steps, "/generated/funcs_").size(), 128);
  EXPECT_EQ(containing(steps, "] Linking CXX executable bin/skarnbolt-pinball").size(), 1);
  EXPECT_TRUE(
      in_order(first.statuses, {"Preparing", "Preparing the build", "Building Pinball Nights",
                                "Extracting the data of Pinball Nights",
                                "Recompiling Pinball Nights", "Compiling the recompiled code"}))
      << first.statuses.join(" | ").toStdString();
  EXPECT_FALSE(first.statuses.contains("Preparing the build tools"));

  ASSERT_EQ(first.phases.size(), 5);
  const QStringList names = {"Tools", "Build tools", "Configure", "Build", "Finish"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(first.phases[i].name, names[i]);
  EXPECT_EQ(first.phases[0].weight, 1);  // every tool was in the cache
  EXPECT_EQ(first.phases[1].weight, 0);
  EXPECT_EQ(first.phases[2].weight, 150);
  const double other = std::max(0, total - 128 - 1 - 1) * 1.5;
  EXPECT_DOUBLE_EQ(first.phases[3].weight, std::max(5.0, (128 * 14 + other) / jobs + 135));
  EXPECT_EQ(first.phases[4].weight, 5);

  // What the port made, where the estimate looks for it.
  const fs::path objects =
      build / "games/CMakeFiles/recomp_game_code_pinball.dir/pinball/generated";
  for (int i = 0; i < 128; ++i) {
    const std::string name = "funcs_" + QString("%1").arg(i, 3, 10, QChar('0')).toStdString();
    EXPECT_TRUE(fs::exists(objects / (name + ".cpp.o"))) << name;
  }
  EXPECT_TRUE(fs::exists(build / "games/pinball/generated/funcs.hpp"));
  EXPECT_TRUE(fs::exists(build / "games/pinball/lib/libpinball.so"));
  EXPECT_TRUE(fs::exists(build / "games/pinball/icon.png"));
  EXPECT_EQ(read_text(build / "games/pinball/assets/data/pinball.txt"), "data of pinball\n");
  EXPECT_NE(read_text(build / "games/pinball/assets/build-info.txt").find("\nmods=default\n"),
            std::string::npos);
  std::string output;
  EXPECT_EQ(run(shell_quote((build / "bin/skarnbolt-pinball").string()), &output), 0);
  EXPECT_NE(output.find("recompiled functions: 128"), std::string::npos) << output;

  // Nothing changed: a short configure and nothing compiled.
  const JobResult again = run_job(pinball_request(ws));
  EXPECT_EQ(QString::fromStdString(read_text(ws.log())), log_text(again));
  EXPECT_TRUE(again.lines.contains("To do: recompiled files to compile: 0"));
  EXPECT_TRUE(containing(again.lines, "Sources moved").isEmpty());
  EXPECT_TRUE(containing(again.lines, "Recompiling").isEmpty());
  EXPECT_TRUE(containing(again.lines, "/generated/funcs_").isEmpty());
  EXPECT_TRUE(again.lines.contains("ninja: no work to do."))
      << again.lines.join('\n').toStdString();
  ASSERT_EQ(again.phases.size(), 5);
  EXPECT_EQ(again.phases[2].weight, 15);
  EXPECT_DOUBLE_EQ(again.phases[3].weight, std::max(5.0, 20 * 1.5 / jobs + 15));

  for (const JobResult* result : {&first, &again}) {
    EXPECT_TRUE(result->ok) << describe(*result);
    EXPECT_EQ(result->message, "The game was saved:\n" +
                                   QDir::toNativeSeparators(q(ws.home() / "Games/Pinball Nights")));
    EXPECT_EQ(result->statuses.last(), "Done");
    EXPECT_EQ(result->fraction, 1.0);
    EXPECT_EQ(result->eta, 0);
    EXPECT_EQ(result->lines.last(), result->message);
  }
}

// Sets the test port's fault hook for the jobs started while it lives.
class Fault {
 public:
  explicit Fault(const char* kind) { qputenv("SKARNBOLT_TEST_PORT_FAULT", kind); }
  ~Fault() { qunsetenv("SKARNBOLT_TEST_PORT_FAULT"); }
};

bool configure_line(const QString& line) { return line.startsWith("$ ") && line.contains(" -S "); }
bool compile_line(const QString& line) {
  return line.startsWith("$ ") && line.contains(" --build ");
}

void expect_failure(const JobResult& result, const QString& message, const fs::path& log) {
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, message) << describe(result);
  EXPECT_TRUE(result.result_path.isEmpty());
  EXPECT_EQ(result.finished_count, 1);
  EXPECT_EQ(result.lines.last(), "error: " + message);
  EXPECT_EQ(file_lines(log).last(), "error: " + message);
}

// A cancel ends every process of the build, CMake's Ninja and its held step too (which would
// otherwise wait for a minute), before the job says it has finished.
void expect_nothing_left(const fs::path& build) {
  EXPECT_FALSE(folder_busy(build)) << "a process of the cancelled build still runs";
}

TEST(WindowsBuild, FailuresCancelsAndMovedSources) {
  JobWorkspace ws;
  const fs::path build = ws.build("windows");
  {
    Fault fault("configure-fail");
    const JobResult result = run_job(pinball_request(ws));
    expect_failure(result, "Configuring the build failed.", ws.log());
    EXPECT_TRUE(result.lines.contains("The test port fails to configure, as asked"))
        << result.lines.join('\n').toStdString();
  }
  {
    Fault fault("compile-fail");
    const JobResult result = run_job(pinball_request(ws));
    expect_failure(result, "The build failed.", ws.log());
    EXPECT_FALSE(containing(result.lines, "The test port fails to compile, as asked").isEmpty());
  }
  {
    Fault fault("configure-hold");
    const JobResult result = run_job(pinball_request(ws), configure_line);
    expect_failure(result, "Cancelled", ws.log());
    // The held step would wait about a minute and then say so; the cancel ended it instead.
    EXPECT_GE(result.seconds_after_cancel, 0);
    EXPECT_TRUE(containing(result.lines, "held and released").isEmpty());
    expect_nothing_left(build);
  }

  // The cache moves: the build folder names the old sources and is started again.
  const fs::path moved = ws.root() / "moved-cache";
  fs::rename(ws.cache(), moved);
  builder::set_cache_dir(q(moved));
  {
    Fault fault("compile-hold");
    const JobResult result = run_job(pinball_request(ws), compile_line);
    expect_failure(result, "Cancelled", ws.log());
    EXPECT_TRUE(
        result.lines.contains("Sources moved: starting " + q(moved / "build/windows") + " again"))
        << result.lines.join('\n').toStdString();
    EXPECT_EQ(result.phases[2].weight, 25);  // the build folder was deleted
    EXPECT_GE(result.seconds_after_cancel, 0);
    EXPECT_TRUE(containing(result.lines, "held and released").isEmpty());
    expect_nothing_left(moved / "build/windows");
  }
}

// A log that cannot be opened is said once through log_line; the build goes on without it.
TEST(WindowsBuild, UnwritableLogStillBuilds) {
  JobWorkspace ws;
  fs::create_directories(ws.log());  // a folder where the log file should be
  const JobResult result = run_job(pinball_request(ws), configure_line);
  ASSERT_GE(result.lines.size(), 3);
  EXPECT_EQ(result.lines[0], "cannot write " + q(ws.log()));
  EXPECT_GT(header_jobs(result.lines.mid(1)), 0) << result.lines.value(1).toStdString();
  EXPECT_EQ(result.lines.last(), "error: Cancelled");
  EXPECT_EQ(result.finished_count, 1);
  EXPECT_TRUE(fs::is_directory(ws.log()));
  wait_for_idle(ws.build("windows"));
}

}  // namespace
