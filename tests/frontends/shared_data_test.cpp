// Builds that share a data folder take turns, and a build ended from outside by a signal ends
// every tool it started: the command-line build and prepare, run as scripts and launchers run
// them, building the test port for real.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <memory>

#include "support/job_runner.hpp"
#include "support/program.hpp"
#include "support/test_support.hpp"
#include "support/tool_cache.hpp"

namespace {

using testing_support::describe;
using testing_support::file_bytes;
using testing_support::Outcome;
using testing_support::Sandbox;

const QByteArray kWaiting = "Waiting for another build to finish";

// The program started in the background.
class Running {
 public:
  Running(const Sandbox& sandbox, const QStringList& args) {
    sandbox.setup(process_, args);
    process_.start();
    EXPECT_TRUE(process_.waitForStarted(30000));
  }
  ~Running() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(30000);
    }
  }

  // Waits (at most two minutes) until the standard output holds `text`; false when it never did.
  bool wait_for_output(const QByteArray& text) {
    const QDeadlineTimer deadline(120000);
    while (!out_.contains(text) && !deadline.hasExpired()) {
      if (!process_.waitForReadyRead(100) && process_.state() == QProcess::NotRunning) break;
      out_ += process_.readAllStandardOutput();
    }
    return out_.contains(text);
  }

  void send(int signo) { ::kill(pid_t(process_.processId()), signo); }

  // Waits for the end (at most two minutes).
  Outcome finish() {
    Outcome outcome;
    if (!process_.waitForFinished(120000)) return outcome;
    outcome.out = out_ + process_.readAllStandardOutput();
    outcome.err = process_.readAllStandardError();
    if (process_.exitStatus() == QProcess::NormalExit) outcome.code = process_.exitCode();
    return outcome;
  }

 private:
  QProcess process_;
  QByteArray out_;
};

// True when some process names both `a` and `b` on its command line.
bool process_running(const QByteArray& a, const QByteArray& b) {
  for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
    const QByteArray command = file_bytes("/proc/" + pid + "/cmdline");
    if (command.contains(a) && command.contains(b)) return true;
  }
  return false;
}

// Waits (at most two minutes) until the test port's held step runs below `folder`.
bool wait_for_hold(const QString& folder) {
  const QDeadlineTimer deadline(120000);
  while (!process_running("hold.cmake", folder.toLocal8Bit()) && !deadline.hasExpired())
    QThread::msleep(50);
  return !deadline.hasExpired();
}

// A cancel ends every tool of the build (a held step would otherwise wait for a minute); the
// kernel may take a moment to tear the killed processes down.
void expect_nothing_left(const QString& folder) {
  for (int i = 0; i < 30 && testing_support::folder_busy(folder.toStdString()); ++i)
    QThread::msleep(100);
  EXPECT_FALSE(testing_support::folder_busy(folder.toStdString()))
      << "a tool of the cancelled build still runs";
}

class SharedData : public testing::Test {
 protected:
  SharedData()
      : sandbox(QString::fromStdString(dir.path().string())),
        portable(sandbox.portable_data()),
        data(sandbox.root + "/data") {
    EXPECT_TRUE(testing_support::make_apk(sandbox.cwd + "/pinball.apk", "pinball"));
    EXPECT_TRUE(testing_support::make_apk(sandbox.cwd + "/rally.apk", "rallydust"));
    EXPECT_TRUE(testing_support::seed_tool_cache((portable + "/cache").toStdString(), false, false));
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
  QLockFile other(portable + "/cache/build.lock");
  ASSERT_TRUE(other.tryLock(0));

  Running build(sandbox, {"--build", "pinball.apk", "--only", "out"});
  ASSERT_TRUE(build.wait_for_output("  0 %  " + kWaiting + "\n"));
  QThread::msleep(500);
  EXPECT_EQ(file_bytes(log), "the other build's log\n");
  other.unlock();
  const Outcome outcome = build.finish();
  ASSERT_EQ(outcome.code, 0) << describe(outcome);
  expect_whole_log(log);
}

TEST_F(SharedData, APrepareWaitsForTheOtherPrepareAndCanBeEndedWhileItWaits) {
  QDir().mkpath(data);
  QLockFile other(data + "/prepare.lock");
  ASSERT_TRUE(other.tryLock(0));

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
  other.unlock();
  const Outcome outcome = prepare.finish();
  ASSERT_EQ(outcome.code, 0) << describe(outcome);
  EXPECT_TRUE(outcome.out.endsWith("progress 1.000 Done\n"));
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

// A second signal does not wait for the cancel: the program ends at once, with the number of
// that second signal.
TEST_F(SharedData, ASecondSignalEndsTheBuildAtOnce) {
  sandbox.env.insert("SKARNBOLT_TEST_PORT_FAULT", "compile-hold");
  Running build(sandbox, {"--build", "pinball.apk", "--only", "out"});
  ASSERT_TRUE(wait_for_hold(sandbox.root));
  build.send(SIGTERM);
  build.send(SIGINT);
  const Outcome outcome = build.finish();
  EXPECT_EQ(outcome.code, 128 + SIGINT) << describe(outcome);
  testing_support::wait_for_idle((portable + "/cache/build/windows").toStdString());
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
