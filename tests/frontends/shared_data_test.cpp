// Builds that share a data folder take turns, and a build ended from outside by a signal ends
// every tool it started: the command-line build and prepare, run as scripts and launchers run
// them, building the test port for real.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFileInfo>
#include <QSysInfo>
#include <QThread>
#include <csignal>
#include <memory>

#include "builder/build_lock.hpp"
#include "builder/file_lock.hpp"
#include "support/job_runner.hpp"
#include "support/program.hpp"
#include "support/running.hpp"
#include "support/test_support.hpp"
#include "support/tool_cache.hpp"

namespace {

using builder::platform::FileLock;
using testing_support::describe;
using testing_support::file_bytes;
using testing_support::Outcome;
using testing_support::Running;
using testing_support::Sandbox;
using testing_support::wait_for_hold;

const QByteArray kWaiting = "Waiting for another build to finish";

// The end of the line that names the lock file `name` a build waits for, held by this test
// process. (The cache may be reached through a short link, so its folder is left out.)
QByteArray waiting_for(const QString& name) {
  return "/" + name.toLocal8Bit() + " (held by process " +
         QByteArray::number(QCoreApplication::applicationPid()) + " on " +
         QSysInfo::machineHostName().toLocal8Bit() + ")\n";
}

// Every tool of a build that was ended: gone, or at least sent SIGKILL, which no process
// survives. A held step would otherwise wait for a minute.
void expect_nothing_left(const QString& folder) {
  const QList<int> left = testing_support::survivors(folder);
  EXPECT_TRUE(left.isEmpty()) << "tools of the ended build still run, the first "
                              << file_bytes("/proc/" + QString::number(left.value(0)) + "/cmdline")
                                     .replace('\0', ' ')
                                     .data();
}

class SharedData : public testing::Test {
 protected:
  SharedData()
      : sandbox(QString::fromStdString(dir.path().string())),
        portable(sandbox.portable_data()),
        data(sandbox.root + "/data") {
    EXPECT_TRUE(testing_support::make_apk(sandbox.cwd + "/pinball.apk", "pinball"));
    EXPECT_TRUE(testing_support::make_apk(sandbox.cwd + "/rally.apk", "rallydust"));
    EXPECT_TRUE(
        testing_support::seed_tool_cache((portable + "/cache").toStdString(), false, false));
    EXPECT_TRUE(testing_support::seed_tool_cache((data + "/cache").toStdString(), false, false));
  }

  QStringList prepare_args() const {
    return {"--prepare", "--data=" + data, "--apk=pinball.apk", "--apk=rally.apk"};
  }

  testing_support::TempDir dir;
  Sandbox sandbox;
  QString portable;  // the command-line build's data folder
  QString data;      // the launcher's data folder
};

// A whole log of one build that saved the game: one header, and the message last.
void expect_whole_log(const QString& path) {
  const QByteArray text = file_bytes(path);
  EXPECT_EQ(text.count(" parallel jobs\n"), 1) << text.data();
  const qsizetype message = text.lastIndexOf("\nThe game was saved:\n");
  EXPECT_GT(message, 0) << text.data();
  EXPECT_EQ(text.indexOf('\n', message + 22), text.size() - 1) << text.data();
}

TEST_F(SharedData, TwoCommandLineBuildsStartedTogetherBothSucceed) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Running first(sandbox, {"--build", "pinball.apk", "--only", "one"});
    Running second(sandbox, {"--build", "pinball.apk", "--only", "two"});
    const Outcome a = first.finish();
    const Outcome b = second.finish();
    ASSERT_EQ(a.code, 0) << describe(a);
    ASSERT_EQ(b.code, 0) << describe(b);
    EXPECT_TRUE(QFileInfo::exists(sandbox.cwd + "/one/Pinball Nights/skarnbolt-pinball"));
    EXPECT_TRUE(QFileInfo::exists(sandbox.cwd + "/two/Pinball Nights/skarnbolt-pinball"));
    expect_whole_log(portable + "/logs/last-build.log");
  }
}

TEST_F(SharedData, TwoPreparesStartedTogetherBothSucceedAndTheLaterFindsTheGamesBuilt) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    QFile::remove(data + "/games/pinball/build.txt");
    QFile::remove(data + "/games/rally/build.txt");
    Running first(sandbox, prepare_args());
    Running second(sandbox, prepare_args());
    const Outcome a = first.finish();
    const Outcome b = second.finish();
    ASSERT_EQ(a.code, 0) << describe(a);
    ASSERT_EQ(b.code, 0) << describe(b);
    // One of them built both games; the other waited and found them built.
    const QByteArray built =
        "progress 0.500 Pinball Nights is already built\n"
        "progress 1.000 Rally Dust is already built\n"
        "progress 1.000 Done\n";
    EXPECT_TRUE(a.out.endsWith(built) != b.out.endsWith(built)) << a.out.data() << b.out.data();
    EXPECT_EQ(file_bytes(data + "/games/prepared.txt"), "pinball\nrally\n");
    EXPECT_TRUE(file_bytes(data + "/games/pinball/build.txt").startsWith("v1.3.2\n"));
    EXPECT_TRUE(file_bytes(data + "/games/rally/build.txt").startsWith("v1.3.2\n"));
    expect_whole_log(data + "/logs/last-build.log");
  }
}

TEST_F(SharedData, ABuildWaitsForTheCacheAndLeavesTheOtherBuildsLogAlone) {
  const QString log = portable + "/logs/last-build.log";
  testing_support::write_file(log, "the other build's log\n");
  FileLock other(portable + "/cache/build.lock");
  ASSERT_EQ(other.try_lock(builder::lock_holder()), FileLock::State::Taken);

  Running build(sandbox, {"--build", "pinball.apk", "--only", "out"});
  ASSERT_TRUE(build.wait_for_output("  0 %  " + kWaiting + "\n"));
  // Said once it has found the cache held, and before it ever looks again.
  ASSERT_TRUE(build.wait_for_error(waiting_for("build.lock")));
  EXPECT_EQ(file_bytes(log), "the other build's log\n");
  other.release();
  const Outcome outcome = build.finish();
  ASSERT_EQ(outcome.code, 0) << describe(outcome);
  expect_whole_log(log);
}

TEST_F(SharedData, APrepareWaitsForTheOtherPrepareAndCanBeEndedWhileItWaits) {
  QDir().mkpath(data);
  FileLock other(data + "/prepare.lock");
  ASSERT_EQ(other.try_lock(builder::lock_holder()), FileLock::State::Taken);

  {
    Running prepare(sandbox, prepare_args());
    ASSERT_TRUE(prepare.wait_for_output("progress 0.000 " + kWaiting + "\n"));
    prepare.send(SIGTERM);
    const Outcome outcome = prepare.finish();
    EXPECT_EQ(outcome.code, 128 + SIGTERM) << describe(outcome);
    EXPECT_FALSE(QFileInfo::exists(data + "/games/pinball"));
  }

  Running prepare(sandbox, prepare_args());
  ASSERT_TRUE(prepare.wait_for_output("progress 0.000 " + kWaiting + "\n"));
  ASSERT_TRUE(
      prepare.wait_for_error("Waiting for " + data.toLocal8Bit() + waiting_for("prepare.lock")));
  other.release();
  const Outcome outcome = prepare.finish();
  ASSERT_EQ(outcome.code, 0) << describe(outcome);
  EXPECT_TRUE(outcome.out.endsWith("progress 1.000 Done\n"));
}

// Lock files that no running build holds, as a power cut in a build's first second, an older
// program or a data folder carried over from another computer leave them: none of them keeps
// a build or a prepare waiting.
TEST_F(SharedData, ALockFileThatNoRunningBuildHoldsKeepsNoOneWaiting) {
  const QList<QByteArray> contents = {"", "\x01 not a lock \xff\n\n",
                                      "4242\nskarnbolt-builder\nanother-computer.invalid\n"};
  const QList<QStringList> runs = {{"--build", "pinball.apk", "--only", "out"},
                                   {"--prepare", "--data=" + data, "--apk=pinball.apk"}};
  for (const QByteArray& content : contents) {
    SCOPED_TRACE(content.toStdString());
    for (const QString& lock :
         {portable + "/cache/build.lock", data + "/prepare.lock", data + "/cache/build.lock"})
      ASSERT_TRUE(testing_support::write_file(lock, content));
    QFile::remove(data + "/games/pinball/build.txt");
    for (const QStringList& args : runs) {
      SCOPED_TRACE(args.first().toStdString());
      Running run(sandbox, args);
      const bool waited = run.wait_for_output(kWaiting);
      if (waited) run.send(SIGKILL);
      const Outcome outcome = run.finish();
      EXPECT_FALSE(waited) << describe(outcome);
      EXPECT_EQ(outcome.code, 0) << describe(outcome);
    }
  }
}

// A build holds the cache for as long as it runs, often far longer than the age after which
// lock files are commonly taken for stale: however old its lock file, the next build waits.
TEST_F(SharedData, ABuildThatHoldsTheCacheLongKeepsTheNextOneWaiting) {
  const QProcessEnvironment plain = sandbox.env;
  sandbox.env.insert("SKARNBOLT_TEST_PORT_FAULT", "compile-hold");
  Running first(sandbox, {"--build", "pinball.apk", "--only", "one"});
  ASSERT_TRUE(wait_for_hold(sandbox.root));
  {
    // As if the first build had run for a day.
    QFile lock(portable + "/cache/build.lock");
    ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
    ASSERT_TRUE(lock.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                 QFileDevice::FileModificationTime));
  }
  sandbox.env = plain;
  Running second(sandbox, {"--build", "pinball.apk", "--only", "two"});
  ASSERT_TRUE(second.wait_for_output("  0 %  " + kWaiting + "\n"));
  ASSERT_TRUE(
      second.wait_for_error(" (held by process " + QByteArray::number(first.pid()) + " on "));
  ASSERT_TRUE(testing_support::write_file(portable + "/cache/build/windows/release-hold", ""));
  const Outcome held = first.finish();
  EXPECT_EQ(held.code, 1) << describe(held);
  EXPECT_TRUE(held.out.contains("\nThe build failed.\n")) << describe(held);
  const Outcome next = second.finish();
  ASSERT_EQ(next.code, 0) << describe(next);
  EXPECT_TRUE(QFileInfo::exists(sandbox.cwd + "/two/Pinball Nights/skarnbolt-pinball"));
}

// A build killed outright at any of its steps leaves nothing that stops the next one, started
// at once: it ends with exit 0 and a game that runs.
TEST_F(SharedData, ABuildKilledAtAnyStepLeavesTheNextOneWhole) {
  // As the command line shows them: one line per percent.
  const QList<QByteArray> steps = {"%  Preparing", "%  Building Pinball Nights",
                                   "%  Recompiling Pinball Nights",
                                   "%  Compiling the recompiled code"};
  for (const QByteArray& step : steps) {
    SCOPED_TRACE(step.toStdString());
    // From nothing built, so that the killed build passes every step.
    QDir(portable + "/cache/build/windows").removeRecursively();
    QDir(sandbox.cwd + "/out").removeRecursively();
    {
      Running killed(sandbox, {"--build", "pinball.apk", "--only", "out"});
      const bool reached = killed.wait_for_output(step);
      killed.send(SIGKILL);
      const Outcome outcome = killed.finish();
      ASSERT_TRUE(reached) << describe(outcome);
    }
    const Outcome next = sandbox.run({"--build", "pinball.apk", "--only", "out"});
    ASSERT_EQ(next.code, 0) << describe(next);
    QProcess game;
    game.setWorkingDirectory(sandbox.cwd + "/out/Pinball Nights");
    game.start(sandbox.cwd + "/out/Pinball Nights/skarnbolt-pinball", QStringList());
    ASSERT_TRUE(game.waitForFinished(testing_support::kHangMs));
    EXPECT_EQ(game.exitCode(), 0);
    EXPECT_TRUE(game.readAllStandardOutput().startsWith("Pinball Nights on ")) << step.data();
  }
}

// A signal sent to the program's own process id (not its group) cancels the build: every tool
// it started ends, and the program exits with 128 + the signal's number.
TEST_F(SharedData, ASignalCancelsTheCommandLineBuildAndEndsItsTools) {
  sandbox.env.insert("SKARNBOLT_TEST_PORT_FAULT", "compile-hold");
  const QString build_dir = portable + "/cache/build/windows";
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signo);
    Running build(sandbox, {"--build", "pinball.apk", "--only", "out"});
    ASSERT_TRUE(wait_for_hold(sandbox.root));
    build.send(signo);
    const Outcome outcome = build.finish();
    EXPECT_EQ(outcome.code, 128 + signo) << describe(outcome);
    EXPECT_TRUE(outcome.out.contains("\nCancelled\nlog: ")) << describe(outcome);
    expect_nothing_left(build_dir);
  }
}

// A second signal does not wait for the cancel: the tools and the program end at once, the
// program with the number of that second signal, so that no tool of it can still write into
// the cache that the next build may already hold.
TEST_F(SharedData, ASecondSignalEndsTheBuildAndItsToolsAtOnce) {
  sandbox.env.insert("SKARNBOLT_TEST_PORT_FAULT", "compile-hold");
  // The first signal's cancel ends the tools too, within a fifth of a second: a round in which
  // it got there before the second signal shows nothing of the second, and is taken again.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Running build(sandbox, {"--build", "pinball.apk", "--only", "out"});
    ASSERT_TRUE(wait_for_hold(sandbox.root));
    build.send(SIGTERM);
    // Only once the first has arrived: two signals sent together may come in either order.
    ASSERT_TRUE(build.wait_for_error("Cancelling the build; a second signal ends it at once.\n"));
    build.send(SIGINT);
    const Outcome outcome = build.finish();
    if (outcome.code == 128 + SIGTERM && outcome.out.contains("\nCancelled\n")) continue;
    EXPECT_EQ(outcome.code, 128 + SIGINT) << describe(outcome);
    // The cache may be reached through a short link beside it: all of the sandbox counts.
    expect_nothing_left(sandbox.root);
    return;
  }
  ADD_FAILURE() << "in every round the cancel ended the build before the second signal came";
}

TEST_F(SharedData, ASignalCancelsPrepareAndEndsItsTools) {
  sandbox.env.insert("SKARNBOLT_TEST_PORT_FAULT", "compile-hold");
  Running prepare(sandbox, prepare_args());
  ASSERT_TRUE(wait_for_hold(sandbox.root));
  prepare.send(SIGTERM);
  const Outcome outcome = prepare.finish();
  EXPECT_EQ(outcome.code, 128 + SIGTERM) << describe(outcome);
  EXPECT_TRUE(outcome.out.contains("\nerror: Cancelled\nLog: ")) << describe(outcome);
  expect_nothing_left(data + "/cache/build");
  EXPECT_FALSE(QFileInfo::exists(data + "/games/pinball/build.txt"));
}

TEST_F(SharedData, ADataFolderThatCannotBeMadeIsNamedAndNoLogIs) {
  testing_support::write_file(sandbox.root + "/file", "not a folder\n");
  const Outcome outcome =
      sandbox.run({"--prepare", "--data=" + sandbox.root + "/file", "--apk=pinball.apk"});
  EXPECT_EQ(outcome.code, 1) << describe(outcome);
  EXPECT_EQ(outcome.out, "error: The data folder " + sandbox.root.toLocal8Bit() +
                             "/file cannot be made or written.\n");
}

// A log that cannot be opened is said at once; the build goes on, and no line names that log.
TEST_F(SharedData, ALogThatCannotBeWrittenIsSaidAndNotNamed) {
  const QString cli_log = portable + "/logs/last-build.log";
  QDir().mkpath(cli_log + "/in-the-way");
  Outcome outcome = sandbox.run({"--build", "pinball.apk", "--only", "out"});
  EXPECT_EQ(outcome.code, 0) << describe(outcome);
  EXPECT_EQ(outcome.err, "cannot write " + cli_log.toLocal8Bit() + "\n");
  EXPECT_FALSE(outcome.out.contains("log: ")) << outcome.out.data();

  const QString launcher_log = data + "/logs/last-build.log";
  QDir().mkpath(launcher_log + "/in-the-way");
  sandbox.env.insert("SKARNBOLT_TEST_PORT_FAULT", "compile-fail");
  outcome = sandbox.run({"--prepare", "--data=" + data, "--apk=pinball.apk"});
  EXPECT_EQ(outcome.code, 1) << describe(outcome);
  EXPECT_TRUE(outcome.out.contains("error: cannot write " + launcher_log.toLocal8Bit() + "\n"))
      << outcome.out.data();
  EXPECT_TRUE(outcome.out.endsWith("\nerror: The build failed.\n")) << outcome.out.data();
}

}  // namespace
