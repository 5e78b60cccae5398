// The build job's arithmetic and its child processes: the target, job counts, the phase
// table, the time estimate, the Ninja status parser, the build estimate and run_process.
#include "builder/job.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "builder/paths.hpp"
#include "support/test_support.hpp"
#include "support/tool_cache.hpp"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;
using builder::Job;

QCoreApplication& app() {
  static int argc = 1;
  static char name[] = "job_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication instance(argc, argv);
  return instance;
}

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

QT_BEGIN_NAMESPACE
// Readable failure messages for Qt strings.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
QT_END_NAMESPACE

namespace {

builder::Request request_for(const QString& id, bool android = false, bool nx = false) {
  builder::Request request;
  request.game.id = id;
  request.game.title = "Game " + id;
  request.android = android;
  request.switch_ = nx;
  return request;
}

// Sets the standard five phases with these weights.
void lay_phases(Job& job, std::initializer_list<double> weights) {
  const char* names[] = {"Tools", "Build tools", "Configure", "Build", "Finish"};
  job.phases.clear();
  int i = 0;
  for (double weight : weights) job.phases.append({names[i++], weight, 0});
}

TEST(JobTarget, AndroidFirstThenTheSwitchElseThisComputer) {
  const struct {
    bool android, nx;
    builder::Target expected;
  } cases[] = {
      {false, false, builder::Target::Windows},
      {true, false, builder::Target::Android},
      {false, true, builder::Target::Switch},
      {true, true, builder::Target::Android},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(builder::target_of(request_for("rally", c.android, c.nx)), c.expected)
        << "android " << c.android << ", switch " << c.nx;
  }
}

TEST(JobCount, ProcessorsCappedByFreeMemory) {
  constexpr quint64 MiB = 1 << 20;
  struct Case {
    unsigned threads;
    std::optional<quint64> bytes;
    int expected;
  };
  const Case cases[] = {
      {8, std::nullopt, 4}, {2, std::nullopt, 2},          {0, std::nullopt, 1},
      {32, 2135 * MiB, 1},  {32, 2135 * MiB + MiB - 1, 1}, {32, 2136 * MiB, 1},
      {32, 2736 * MiB, 2},  {32, 17136 * MiB, 26},         {8, 17136 * MiB, 8},
      {32, 100 * MiB, 1},   {0, 17136 * MiB, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(builder::job_count(c.threads, c.bytes), c.expected)
        << c.threads << " threads, " << (c.bytes ? *c.bytes / MiB : -1) << " MiB";
  }
  const int jobs = builder::job_count();
  EXPECT_GE(jobs, 1);
  EXPECT_LE(jobs, int(std::max(1u, std::thread::hardware_concurrency())));
}

TEST(JobPhases, SetPhaseClampsAndOrders) {
  app();
  Job job(request_for("pinball"));
  job.set_phase(3, 0.5);  // an empty table stays empty
  EXPECT_TRUE(job.phases.isEmpty());
  lay_phases(job, {10, 20, 30, 40, 50});
  job.set_phase(3, 2.0);
  EXPECT_EQ(job.phases[0].done, 10);
  EXPECT_EQ(job.phases[2].done, 30);
  EXPECT_EQ(job.phases[3].done, 40);
  EXPECT_EQ(job.phases[4].done, 0);
  job.set_phase(3, -1);
  EXPECT_EQ(job.phases[2].done, 30);
  EXPECT_EQ(job.phases[3].done, 0);
  job.set_phase(1, 0.25);
  EXPECT_EQ(job.phases[0].done, 10);
  EXPECT_EQ(job.phases[1].done, 5);
  EXPECT_EQ(job.phases[2].done, 0);
}

TEST(JobReport, NoWeightGivesNoEstimateAndEmptyStatusKeepsTheLast) {
  app();
  Job job(request_for("pinball"));
  QSignalSpy spy(&job, &Job::progress);
  job.report("Preparing");
  lay_phases(job, {0, 0, 0, 0, 0});
  job.report(QString());
  ASSERT_EQ(spy.count(), 2);
  for (const QList<QVariant>& emitted : spy) {
    EXPECT_EQ(emitted[0].toDouble(), 0);
    EXPECT_EQ(emitted[1].toString(), "Preparing");
    EXPECT_EQ(emitted[2].toLongLong(), -1);
  }
}

TEST(JobReport, PlainWeightsFirstThenTheObservedRateWithinItsBounds) {
  app();
  Job job(request_for("pinball"));
  QSignalSpy spy(&job, &Job::progress);
  lay_phases(job, {1, 0, 150, 900, 5});
  job.timer.start();
  job.set_phase(2, 0.5);
  job.report("Configuring");
  // Within the first five seconds the weights themselves are the estimate.
  EXPECT_NEAR(spy.last()[0].toDouble(), 76.0 / 1056, 1e-9);
  EXPECT_EQ(spy.last()[2].toLongLong(), 980);

  // The observed pace counts once the build has run five seconds.
  while (job.timer.elapsed() <= 5000) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  struct Case {
    std::initializer_list<double> weights;
    int phase;
    double fraction;
    double rate;  // seconds per expected second, or 0 for the observed pace within its bounds
  };
  const Case cases[] = {
      {{40, 0, 0, 0, 0}, 0, 1.0 / 40, 0},   // 1 of 40 done: the observed pace
      {{20, 0, 0, 0, 0}, 0, 0.5 / 20, 6},   // slow, ten seconds or more each: at most 6
      {{10000, 0, 0, 0, 0}, 0, 0.9, 0.25},  // fast: at least 0.25
      {{1000, 0, 0, 0, 0}, 0, 0.01, 1},     // below 2 %: the plain weights
  };
  for (const Case& c : cases) {
    lay_phases(job, c.weights);
    job.set_phase(c.phase, c.fraction);
    // However long the report takes on a busy machine, the elapsed time it saw lies between
    // these two.
    const double before = job.timer.elapsed() / 1000.0;
    job.report(QString());
    const double after = job.timer.elapsed() / 1000.0;
    double weight = 0, done = 0;
    for (const Job::Phase& phase : job.phases) weight += phase.weight, done += phase.done;
    const double left = weight - done;
    const double low = c.rate ? left * c.rate : left * std::clamp(before / done, 0.25, 6.0);
    const double high = c.rate ? left * c.rate : left * std::clamp(after / done, 0.25, 6.0);
    const qint64 reported = spy.last()[2].toLongLong();
    EXPECT_GE(reported, qint64(low) - 1) << c.fraction;
    EXPECT_LE(reported, qint64(high) + 1) << c.fraction;
    EXPECT_EQ(spy.last()[1].toString(), "Configuring");
  }
}

TEST(JobEstimate, CountsWhatIsLeftInTheBuildFolder) {
  app();
  TempDir dir;
  const fs::path build = dir / "build";
  Job windows(request_for("rally"));
  Job android(request_for("rally", true));
  Job::Estimate e = windows.estimate_build(q(build));
  EXPECT_TRUE(e.recompile);
  EXPECT_EQ(e.missing, 128);
  EXPECT_EQ(e.recompile_seconds, 135);
  EXPECT_EQ(e.missing_seconds, 128 * 14);
  EXPECT_EQ(e.other_steps, 500);
  EXPECT_EQ(android.estimate_build(q(build)).recompile_seconds, 175);

  write_text(build / "build.ninja", "");
  write_text(build / "games/rally/generated/funcs.hpp", "");
  const fs::path objects = build / "games/CMakeFiles/recomp_game_code_rally.dir/rally/generated";
  char name[32];
  for (int i = 0; i < 128; i += 2) {
    std::snprintf(name, sizeof name, "funcs_%03d.cpp.o", i);
    write_text(objects / name, "");
  }
  write_text(objects / "funcs_1.cpp.o", "");  // not zero-padded: does not count
  e = windows.estimate_build(q(build));
  EXPECT_FALSE(e.recompile);
  EXPECT_EQ(e.missing, 64);
  EXPECT_EQ(e.recompile_seconds, 15);
  EXPECT_EQ(e.other_steps, 20);
  EXPECT_EQ(android.estimate_build(q(build)).recompile_seconds, 55);
  EXPECT_EQ(windows.estimate_build(q(build) + "/other").missing, 128);
}

// A stand-in for cmake's build mode that prints the given lines and exits with `code`.
QString fake_cmake(const fs::path& dir, const std::string& lines, int code = 0) {
  const fs::path script = dir / "cmake";
  write_text(script, "#!/bin/sh\nprintf '" + lines + "'\nexit " + std::to_string(code) + "\n");
  fs::permissions(script, fs::perms::owner_all);
  return q(script);
}

TEST(JobBuild, NinjaStatusLinesDriveCostsAndTexts) {
  app();
  TempDir dir;
  Job job(request_for("pinball"));
  job.jobs = 2;
  lay_phases(job, {1, 0, 150, 900, 5});
  // A fresh folder: recompile (135 s), 128 missing objects (1792 s), and Ninja says 132 steps,
  // so 132 - 128 - 1 - 1 = 2 other steps of 1.5 s: a total cost of 135 + 1795 = 1930 s.
  job.cmake =
      fake_cmake(dir.path(),
                 "noise before\\n"
                 "[1/132] Recompiling Game pinball (128 files)\\n"
                 "[2/132] Building CXX object games/x.dir/pinball/generated/funcs_000.cpp.o\\n"
                 "[3/132] Extracting the game data\\n"
                 "[4/132] Packaging skarnbolt-pinball.apk (release)\\n"
                 "[5/132] Linking CXX executable bin/skarnbolt-pinball\\n"
                 "[6/132] Linking CXX shared library libmain.so\\n"
                 "[7/132] Building CXX object runtime.cpp.o\\n"
                 "[x/132] Recompiling again\\n"
                 "[8/132] Generating something\\n");
  QSignalSpy spy(&job, &Job::progress);
  QString error;
  ASSERT_TRUE(job.build(q(dir / "build"), {"skarnbolt-pinball"}, error)) << error.toStdString();
  EXPECT_EQ(job.phases[3].weight, 1795.0 / 2 + 135);
  const char* texts[] = {"Building Game pinball",
                         "Recompiling Game pinball",
                         "Compiling the recompiled code",
                         "Extracting the game data",
                         "Packaging skarnbolt-pinball.apk",
                         "Building Game pinball",
                         "Building Game pinball",
                         "Building Game pinball",
                         "Building Game pinball"};
  const double costs[] = {0, 120, 14, 20, 40, 15, 15, 1.5, 1.5};
  ASSERT_EQ(spy.count(), 9);
  double done = 0;
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(spy[i][1].toString(), texts[i]) << i;
    done += costs[i];
  }
  EXPECT_NEAR(job.phases[3].done / job.phases[3].weight, done / 1930, 1e-9);
  EXPECT_EQ(job.phases[2].done, 150);

  job.cmake = fake_cmake(dir.path(), "[1/3] Linking CXX executable bin/skarnbolt-pinball\\n", 1);
  EXPECT_FALSE(job.build(q(dir / "build"), {"skarnbolt-pinball"}, error));
  EXPECT_EQ(error, "The build failed.");
}

TEST(JobProcess, LinesAreSplitTrimmedAndTheLastOneKeptAsItIs) {
  app();
  TempDir dir;
  Job job(request_for("pinball"));
  QSignalSpy logged(&job, &Job::log_line);
  QStringList seen;
  const int code = job.run_process("/bin/sh", {"-c", "printf '  a\\r\\n\\nb  '; exit 3"},
                                   [&](const QString& line) { seen << line; });
  EXPECT_EQ(code, 3);
  EXPECT_EQ(seen, (QStringList{"a", "", "b  "}));
  ASSERT_EQ(logged.count(), 4);
  EXPECT_EQ(logged[0][0].toString(), "$ /bin/sh -c printf '  a\\r\\n\\nb  '; exit 3");

  logged.clear();
  EXPECT_EQ(job.run_process(q(dir / "no-such-program"), {}), -1);
  ASSERT_EQ(logged.count(), 2);
  EXPECT_EQ(logged[0][0].toString(), "$ " + q(dir / "no-such-program") + " ");
  EXPECT_TRUE(
      logged[1][0].toString().startsWith("cannot start " + q(dir / "no-such-program") + ": "));

  EXPECT_EQ(job.run_process("/bin/sh", {"-c", "kill -SEGV $$"}), -1);
}

TEST(JobProcess, CancelEndsTheChild) {
  app();
  Job job(request_for("pinball"));
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    job.cancel.store(true);
  });
  QStringList seen;
  const auto start = std::chrono::steady_clock::now();
  const int code = job.run_process("/bin/sh", {"-c", "echo started; exec sleep 60"},
                                   [&](const QString& line) { seen << line; });
  canceller.join();
  EXPECT_EQ(code, -1);
  EXPECT_EQ(seen, QStringList{"started"});
  // Far less than the child's own minute: the kill came from the poll.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(JobTools, CachedToolsAreTakenAsTheyAreAndSetTheChildEnvironment) {
  app();
  TempDir dir;
  const fs::path cache = dir / "cache";
  ASSERT_TRUE(seed_tool_cache(cache, true, false));
  builder::set_cache_dir(q(cache));
  const QString path_before = QProcessEnvironment::systemEnvironment().value("PATH");
  const QString tools = q(cache / "tools");
  struct Case {
    bool android;
    QStringList path_head;
    QString java_home;
  };
  const Case cases[] = {
      {false, {tools + "/cmake/bin", tools + "/ninja", tools + "/llvm-mingw/bin"}, {}},
      {true,
       {tools + "/cmake/bin", tools + "/ninja", tools + "/llvm-mingw/bin", tools + "/jdk/bin"},
       tools + "/jdk"},
  };
  for (const Case& c : cases) {
    Job job(request_for("rally", c.android));
    QSignalSpy spy(&job, &Job::progress);
    QString error;
    ASSERT_TRUE(job.prepare_tools(error)) << error.toStdString();
    EXPECT_EQ(spy.count(), 0);  // nothing to download, so no download status
    EXPECT_EQ(job.cmake, tools + "/cmake/bin/cmake");
    EXPECT_EQ(job.ninja, tools + "/ninja/ninja");
    EXPECT_TRUE(QFileInfo(job.ninja).isExecutable());
    EXPECT_EQ(job.env.value("NINJA_STATUS"), "[%f/%t] ");
    EXPECT_EQ(job.env.value("PATH"), c.path_head.join(':') + ":" + path_before);
    EXPECT_EQ(job.env.contains("JAVA_HOME"), c.android);
    EXPECT_EQ(job.env.value("JAVA_HOME"), c.java_home);
    EXPECT_EQ(job.sdk, c.android ? tools + "/android-sdk" : QString());
  }
  builder::set_cache_dir(QString());
}

// True once `pid` has ended (gone, or a zombie waiting for its new parent).
bool ended(const std::string& pid) {
  for (int i = 0; i < 100; ++i) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    if (line.substr(line.rfind(')') + 2, 1) == "Z") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(JobProcess, CancelEndsWhatTheChildStarted) {
  app();
  Job job(request_for("pinball"));
  QStringList seen;
  // The tool started by the child (as CMake starts Ninja) must not outlive the cancel.
  const int code =
      job.run_process("/bin/sh", {"-c", "sleep 60 & echo $!; wait"}, [&](const QString& line) {
        seen << line;
        job.cancel.store(true);
      });
  EXPECT_EQ(code, -1);
  ASSERT_EQ(seen.size(), 1);
  EXPECT_TRUE(ended(seen[0].toStdString())) << "the grandchild still runs";
}

}  // namespace
