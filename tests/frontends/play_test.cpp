// The launcher mode's play step with a stand-in game: ids, saves, logs, exit codes, and the
// game's life tied to the launcher's.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <filesystem>
#include <iterator>
#include <tuple>
#include <vector>

#include "support/program.hpp"
#include "support/test_support.hpp"

namespace {

using testing_support::file_bytes;
using testing_support::kHangMs;
using testing_support::Outcome;
using testing_support::program_path;
using testing_support::Sandbox;
using testing_support::write_file;

// A game that reports its arguments, a line of its input and to its standard error, then ends
// with GAME_EXIT.
const QByteArray kGame =
    "#!/bin/sh\n"
    "echo \"args: $*\"\n"
    "echo \"to stderr\" >&2\n"
    "read line\n"
    "echo \"stdin: $line\"\n"
    "exit ${GAME_EXIT:-0}\n";

class Play : public testing::Test {
 protected:
  Play() : sandbox(QString::fromStdString(dir.path().string())), data(sandbox.root + "/data") {}

  // Places `script` as the exported program of game `id`.
  QString place_game(const QString& id, const QByteArray& script = kGame) {
    const QString exe = data + "/games/" + id + "/skarnbolt-" + id;
    EXPECT_TRUE(write_file(exe, script));
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return exe;
  }

  Outcome play(const QString& id, const QStringList& options = {}, const QByteArray& input = {},
               int timeout_ms = kHangMs) {
    return sandbox.run(QStringList{"--data=" + data, "--play=" + id} + options, input, timeout_ms);
  }

  QByteArray log(const QString& name) { return file_bytes(data + "/logs/" + name); }

  testing_support::TempDir dir;
  Sandbox sandbox;
  QString data;
};

TEST_F(Play, BadIdsAreRefusedBeforeAnyFileIsTouched) {
  for (const QString id : {"Pinball", "pin.ball", "pin/ball", "..", "", "pinball\n", "p\\b"}) {
    SCOPED_TRACE(id.toStdString());
    const Outcome outcome = play(id);
    EXPECT_EQ(outcome.code, 2);
    EXPECT_EQ(outcome.out, "error: Unknown game '" + id.toUtf8() + "'.\n");
    EXPECT_FALSE(QFileInfo::exists(data));
  }
}

TEST_F(Play, AGameNotBuiltEndsWithThree) {
  const Outcome outcome = play("pinball");
  EXPECT_EQ(outcome.code, 3);
  EXPECT_EQ(outcome.out,
            "error: " + data.toUtf8() + "/games/pinball/skarnbolt-pinball is not built yet.\n");
  EXPECT_FALSE(QFileInfo::exists(data + "/logs"));
}

TEST_F(Play, RunsTheGameWithItsSavesOptionsAndInput) {
  place_game("pinball");
  sandbox.env.insert("GAME_EXIT", "7");
  const Outcome outcome = play(
      "pinball", {"--apk=x.apk", "--fullscreen", "--starwars2-assets=a", "-v"}, "hello game\n");
  EXPECT_EQ(outcome.code, 7);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(log("pinball.log"),
            "args: --data " + data.toUtf8() +
                "/saves/pinball --fullscreen -v\nto stderr\nstdin: hello game\n");
  EXPECT_FALSE(QFileInfo::exists(data + "/saves/pinball"));  // nothing to migrate, nothing made
}

// A launcher whose parent ignores SIGCHLD inherits that; the kernel would then reap the game
// before the launcher could read how it ended.
TEST_F(Play, AParentIgnoringChildSignalsStillGetsTheGamesExitCode) {
  place_game("pinball");
  sandbox.env.insert("GAME_EXIT", "7");
  const QString wrapper = sandbox.root + "/ignoring-chld";
  ASSERT_TRUE(write_file(wrapper,
                         "#!/usr/bin/env python3\n"
                         "import os, signal, sys\n"
                         "signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
                         "os.execv(sys.argv[1], sys.argv[1:])\n"));
  QFile::setPermissions(wrapper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QString launcher = sandbox.program;
  sandbox.program = wrapper;
  for (const bool namespaces : {true, false}) {
    SCOPED_TRACE(namespaces ? "in a namespace" : "in a process group");
    if (namespaces)
      sandbox.env.remove("SKARNBOLT_NO_GAME_NAMESPACE");
    else
      sandbox.env.insert("SKARNBOLT_NO_GAME_NAMESPACE", "1");
    const Outcome outcome =
        sandbox.run(QStringList{launcher, "--data=" + data, "--play=pinball"}, "hello game\n");
    EXPECT_EQ(outcome.code, 7) << outcome.err.toStdString();
  }
}

TEST_F(Play, ACrashEndsWithOne) {
  place_game("rally", "#!/bin/sh\nkill -SEGV $$\n");
  EXPECT_EQ(play("rally").code, 1);
}

TEST_F(Play, AGameThatCannotStartEndsWithOne) {
  const QString exe = place_game("rally");
  QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner);
  const Outcome outcome = play("rally");
  EXPECT_EQ(outcome.code, 1);
  EXPECT_TRUE(outcome.out.startsWith("error: Cannot start " + exe.toUtf8() + ": "))
      << outcome.out.data();
}

TEST_F(Play, KeepsTheLogsOfTheLastFiveStarts) {
  place_game("pinball", "#!/bin/sh\necho \"$3\"\n");
  for (int start = 1; start <= 5; ++start) play("pinball", {QString("run%1").arg(start)});
  EXPECT_EQ(log("pinball.log"), "run5\n");
  EXPECT_EQ(log("pinball-1.log"), "run4\n");
  EXPECT_EQ(log("pinball-2.log"), "run3\n");
  EXPECT_EQ(log("pinball-3.log"), "run2\n");
  EXPECT_EQ(log("pinball-4.log"), "run1\n");
  play("pinball", {"run6"});
  EXPECT_EQ(log("pinball.log"), "run6\n");
  EXPECT_EQ(log("pinball-4.log"), "run2\n");
  EXPECT_EQ(QDir(data + "/logs").entryList(QDir::Files).size(), 5);
}

// Where the old saves lie and which of them are taken over on the first start.
TEST_F(Play, MigratesOldSavesOnceFromTheFirstPlaceThatHasThem) {
  const QString local = sandbox.root + "/local", roaming = sandbox.root + "/roaming";
  const QString installed = local + "/Programs/skarnbolt-port/pinball/saves";
  const QString port = roaming + "/skarnbolt-port/pinball";
  const QString home_installed = sandbox.home() + "/Programs/skarnbolt-port/pinball/saves";
  struct Case {
    const char* name;
    QString localappdata;  // null: unset
    QString appdata;
    QStringList old_folders;
    bool saves_exist;
    QString expected_from;  // empty: no migration
  };
  const QList<Case> cases = {
      {"installed first", local, roaming, {installed, port}, false, installed},
      {"port saves", local, roaming, {port}, false, port},
      {"none", local, roaming, {}, false, {}},
      {"saves already there", local, roaming, {installed}, true, {}},
      {"unset LOCALAPPDATA is the home",
       {},
       roaming,
       {home_installed, port},
       false,
       home_installed},
      {"empty LOCALAPPDATA is the home", "", "", {home_installed}, false, home_installed},
      {"empty APPDATA names nothing", local, "", {}, false, {}},
  };
  place_game("pinball");
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    QDir(local).removeRecursively();
    QDir(roaming).removeRecursively();
    QDir(sandbox.home() + "/Programs").removeRecursively();
    QDir(data + "/saves").removeRecursively();
    for (const QString& folder : each.old_folders) {
      write_file(folder + "/slot1.sav", folder.toUtf8());
      write_file(folder + "/.hidden/deep/slot2.sav", "two");
    }
    if (each.saves_exist) QDir().mkpath(data + "/saves/pinball");
    sandbox.env.remove("LOCALAPPDATA");
    sandbox.env.remove("APPDATA");
    if (!each.localappdata.isNull()) sandbox.env.insert("LOCALAPPDATA", each.localappdata);
    if (!each.appdata.isNull()) sandbox.env.insert("APPDATA", each.appdata);

    const Outcome outcome = play("pinball");
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.out, "");
    const QString saves = data + "/saves/pinball";
    if (each.expected_from.isEmpty()) {
      EXPECT_EQ(QFileInfo::exists(saves), each.saves_exist);
      EXPECT_FALSE(QFileInfo::exists(saves + "/slot1.sav"));
      continue;
    }
    EXPECT_EQ(file_bytes(saves + "/slot1.sav"), each.expected_from.toUtf8());
    EXPECT_EQ(file_bytes(saves + "/.hidden/deep/slot2.sav"), "two");
    EXPECT_TRUE(QFileInfo::exists(each.expected_from + "/slot1.sav"));  // left in place

    // Only once: later saves in the old place stay there.
    write_file(each.expected_from + "/slot3.sav", "three");
    play("pinball");
    EXPECT_FALSE(QFileInfo::exists(saves + "/slot3.sav"));
  }
}

TEST_F(Play, SavesThatCannotBeCopiedAreReportedAndTheGameStillStarts) {
  const QString installed = sandbox.home() + "/Programs/skarnbolt-port/pinball/saves";
  write_file(installed + "/slot1.sav", "one");
  write_file(data + "/saves", "a file where the saves folder belongs");
  place_game("pinball");
  sandbox.env.insert("GAME_EXIT", "5");
  const Outcome outcome = play("pinball");
  EXPECT_EQ(outcome.out, "error: Cannot copy the saves from " + installed.toUtf8() + "\n");
  EXPECT_EQ(outcome.code, 5);
  EXPECT_TRUE(log("pinball.log").startsWith("args: --data "));
}

TEST_F(Play, AMigrationThatFailsHalfwayIsTriedAgainAtTheNextStart) {
  const QString installed = sandbox.home() + "/Programs/skarnbolt-port/pinball/saves";
  write_file(installed + "/slot1.sav", "one");
  write_file(installed + "/slot2.sav", QByteArray(64 * 1024, 's'));
  place_game("pinball");
  // A disk that fills up: the launcher may write no file past 16 KiB (dash counts 512-byte
  // blocks), so the small save is copied and the large one is not.
  Sandbox full = sandbox;
  full.program = "/bin/sh";
  const QStringList args = {"-c", "trap '' XFSZ; ulimit -f 32; exec \"$0\" \"$@\"", sandbox.program,
                            "--data=" + data, "--play=pinball"};
  EXPECT_EQ(full.run(args).out, "error: Cannot copy the saves from " + installed.toUtf8() + "\n");
  EXPECT_FALSE(QFileInfo::exists(data + "/saves/pinball"));

  EXPECT_EQ(play("pinball").out, "");
  EXPECT_EQ(file_bytes(data + "/saves/pinball/slot1.sav"), "one");
  EXPECT_EQ(file_bytes(data + "/saves/pinball/slot2.sav").size(), 64 * 1024);
}

// Only regular files and folders are taken over: a FIFO would block the start for good, and a
// link may lead anywhere. What is skipped is said; the game starts with the rest.
TEST_F(Play, MigrationTakesRegularFilesAndFoldersOnly) {
  const QString installed = sandbox.home() + "/Programs/skarnbolt-port/pinball/saves";
  write_file(installed + "/slot1.sav", "one");
  QDir().mkpath(installed + "/empty");
  ASSERT_EQ(mkfifo((installed + "/pipe").toLocal8Bit().constData(), 0600), 0);
  ASSERT_TRUE(QFile::link(installed + "/missing", installed + "/dangling"));
  ASSERT_TRUE(QFile::link(installed + "/slot1.sav", installed + "/link.sav"));
  place_game("pinball");
  const Outcome outcome = play("pinball", {}, {}, 30000);
  EXPECT_EQ(outcome.code, 0);
  QStringList lines = QString::fromUtf8(outcome.out).split('\n', Qt::SkipEmptyParts);
  lines.sort();
  QStringList expected;
  for (const char* name : {"dangling", "link.sav", "pipe"})
    expected << "error: Skipped " + installed + "/" + name +
                    " in the saves: it is not a regular file or folder.";
  EXPECT_EQ(lines, expected);
  const QString saves = data + "/saves/pinball";
  EXPECT_EQ(file_bytes(saves + "/slot1.sav"), "one");
  EXPECT_TRUE(QFileInfo(saves + "/empty").isDir());
  EXPECT_EQ(QDir(saves).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
            QStringList({"empty", "slot1.sav"}));
}

// The ways the launcher ties the game's processes to its own life, each forced from outside.
struct Road {
  const char* id;
  bool as_other_user;  // run by an unprivileged user, so the namespace needs a user namespace
  bool no_namespace;   // the process-group fallback
};

// Test names and reports show the road's name rather than its bytes.
void PrintTo(const Road& road, std::ostream* out) { *out << road.id; }

const Road kRoads[] = {
    {"PidNamespace", false, false},
    {"UserAndPidNamespace", true, false},
    {"ProcessGroup", false, true},
};

// An unprivileged user's ids. Not the kernel's overflow ids (65534), which a user namespace
// without an id map would show as well.
const char* const kOtherUser[] = {"--reuid=65533", "--regid=65533", "--clear-groups", "--"};
const char* const kOtherOwner = "65533:65533";

// Whether `command` succeeds as the other user.
bool other_user_can(const QStringList& command) {
  QProcess probe;
  probe.start("setpriv", QStringList(std::begin(kOtherUser), std::end(kOtherUser)) + command);
  return probe.waitForFinished(kHangMs) && probe.exitStatus() == QProcess::NormalExit &&
         probe.exitCode() == 0;
}

// Why `road` cannot be taken on this machine, or empty.
QString missing_for(const Road& road) {
  if (road.no_namespace) return {};
  if (geteuid() != 0) return "needs root to choose the road";
  if (!road.as_other_user) return {};
  if (!other_user_can({"unshare", "--user", "--pid", "--fork", "true"}))
    return "other users cannot make user namespaces here";
  return {};
}

// A pidfd of `pid` while it is a process of this test's game (its environment holds `mark`),
// else -1. Taken before the check, the pidfd names the very process that had the mark, so a
// later signal cannot reach another one that took its number.
int hold_if_ours(qint64 pid, const QByteArray& mark) {
  const int fd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
  if (fd < 0) return -1;
  if (!file_bytes(QString("/proc/%1/environ").arg(pid)).split('\0').contains(mark)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the process held by `fd` has ended (a zombie has) within `timeout_ms`.
bool ends_within(int fd, int timeout_ms) {
  pollfd wait = {fd, POLLIN, 0};
  return ::poll(&wait, 1, timeout_ms) == 1;
}

// Runs the launcher on one road. The game is marked by a variable of its own, and a user
// other than root gets a folder and a copy of the program it can reach wherever the checkout
// lies.
class RoadTest : public Play {
 protected:
  void take(const Road& road) {
    road_ = road;
    mark_ = "SKARNBOLT_TEST_GAME=" + QByteArray::number(getpid()) + "-" +
            QByteArray::number(QRandomGenerator::global()->generate64());
    if (const QString missing = missing_for(road); !missing.isEmpty())
      GTEST_SKIP() << qPrintable(missing);
    if (road.as_other_user) {
      ASSERT_TRUE(own_.isValid());
      sandbox = Sandbox(own_.path());
      data = sandbox.root + "/data";
      sandbox.program = own_.path() + "/" + QFileInfo(program_path()).fileName();
      ASSERT_TRUE(QFile::copy(program_path(), sandbox.program));
      QProcess::execute("chown", {"-R", kOtherOwner, own_.path()});
      if (!other_user_can({"test", "-x", sandbox.program}))
        GTEST_SKIP() << "the other user cannot reach " << qPrintable(own_.path());
    }
    sandbox.env.insert(QString::fromUtf8(mark_.left(mark_.indexOf('='))),
                       QString::fromUtf8(mark_.mid(mark_.indexOf('=') + 1)));
  }

  // Starts the launcher with `args`; the caller waits for it.
  void start(QProcess& launcher, const QStringList& args) {
    sandbox.setup(launcher, args);
    QProcessEnvironment env = sandbox.env;
    if (road_.no_namespace) env.insert("SKARNBOLT_NO_GAME_NAMESPACE", "1");
    launcher.setProcessEnvironment(env);
    if (road_.as_other_user) {
      QProcess::execute("chown", {"-R", kOtherOwner, sandbox.root});
      launcher.setArguments(QStringList(std::begin(kOtherUser), std::end(kOtherUser)) +
                            QStringList{sandbox.program} + args);
      launcher.setProgram("setpriv");
    }
    launcher.start();
    ASSERT_TRUE(launcher.waitForStarted(30000));
  }

  // Runs the launcher to its end with `input`; its exit code, or -1 when it crashed or hung.
  int run(const QStringList& args, const QByteArray& input = {}) {
    QProcess launcher;
    start(launcher, args);
    launcher.write(input);
    launcher.closeWriteChannel();
    if (!launcher.waitForFinished(kHangMs)) launcher.kill();
    launcher.waitForFinished(10000);
    return launcher.exitStatus() == QProcess::NormalExit ? launcher.exitCode() : -1;
  }

  Road road_{};
  QByteArray mark_;
  QTemporaryDir own_{QDir::tempPath() + "/skarnbolt-road-XXXXXX"};
};

class PlayRoads : public RoadTest, public testing::WithParamInterface<Road> {
 protected:
  void SetUp() override { take(GetParam()); }
};

TEST_P(PlayRoads, KeepTheGamesInputOutputExitCodeAndFolder) {
  const QByteArray game =
      "#!/bin/sh\n"
      "echo \"args: $*\"\n"
      "echo \"folder: $(pwd)\"\n"
      "echo \"user: $(id -u) $(id -g)\"\n"
      "echo \"to stderr\" >&2\n"
      "read line\n"
      "echo \"stdin: $line\"\n"
      "exit 7\n";
  place_game("pinball", game);
  place_game("rally", "#!/bin/sh\nkill -SEGV $$\n");
  const QStringList play = {"--data=" + data, "--play=pinball"};
  EXPECT_EQ(run(play + QStringList{"-v"}, "hello game\n"), 7);
  const QByteArray user = road_.as_other_user
                              ? "65533 65533"
                              : QByteArray::number(geteuid()) + " " + QByteArray::number(getegid());
  EXPECT_EQ(log("pinball.log"), "args: --data " + data.toUtf8() +
                                    "/saves/pinball -v\nfolder: " + sandbox.cwd.toUtf8() +
                                    "\nuser: " + user + "\nto stderr\nstdin: hello game\n");
  // A crash is told apart from an exit, also when the game signals itself.
  EXPECT_EQ(run({"--data=" + data, "--play=rally"}), 1);
}

std::string road_name(const testing::TestParamInfo<Road>& info) { return info.param.id; }

INSTANTIATE_TEST_SUITE_P(Launcher, PlayRoads, testing::ValuesIn(kRoads), road_name);

// The game starts a child and a grandchild and waits; each notes its process id as this
// system numbers it (a PID namespace would show the game another one).
const QByteArray kFamily =
    "#!/bin/sh\n"
    "note() { read -r pid rest < /proc/self/stat; echo \"$pid\" >> \"$GAME_PIDS\"; }\n"
    "note\n"
    "( note; ( note; exec sleep 300 ) & wait ) &\n"
    "wait\n";

// The PID namespace of `pid`, as the kernel names it ("pid:[4026531836]").
std::string pid_namespace(qint64 pid) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/ns/pid", error);
}

// One road and the signal that ends the launcher.
class GameEnds : public RoadTest, public testing::WithParamInterface<std::tuple<Road, int>> {
 protected:
  void SetUp() override { take(std::get<0>(GetParam())); }
  ~GameEnds() override {
    for (const int fd : held_) {
      if (!ends_within(fd, 0)) ::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
      ::close(fd);
    }
  }
  std::vector<int> held_;
};

TEST_P(GameEnds, NoProcessOfTheGameOutlivesTheLauncher) {
  const int signal = std::get<1>(GetParam());
  place_game("pinball", kFamily);
  const QString pid_file = data + "/pids";
  sandbox.env.insert("GAME_PIDS", pid_file);
  QProcess launcher;
  start(launcher, {"--data=" + data, "--play=pinball"});
  // Each process is held once it shows the mark: the grandchild notes its id just before it
  // becomes "sleep", and while that exec runs its environment cannot be read.
  QList<qint64> family;
  for (QDeadlineTimer deadline(kHangMs); held_.size() < 3 && !deadline.hasExpired();) {
    QThread::msleep(50);
    family.clear();
    for (const QByteArray& line : file_bytes(pid_file).split('\n'))
      if (!line.isEmpty()) family << line.toLongLong();
    while (held_.size() < std::size_t(family.size())) {
      const int fd = hold_if_ours(family[qsizetype(held_.size())], mark_);
      if (fd < 0) break;
      held_.push_back(fd);
    }
  }
  ASSERT_EQ(family.size(), 3) << "the game did not start its family";
  ASSERT_EQ(held_.size(), 3u) << "process " << family[qsizetype(held_.size())]
                              << " does not carry the game's mark";
  const qint64 game = family[0];
  if (road_.no_namespace) {
    EXPECT_EQ(pid_namespace(game), pid_namespace(getpid()));
    EXPECT_EQ(getpgid(pid_t(game)), game);
  } else {
    EXPECT_NE(pid_namespace(game), pid_namespace(getpid()));
  }

  ::kill(pid_t(launcher.processId()), signal);
  EXPECT_TRUE(launcher.waitForFinished(kHangMs));
  // Without a namespace nothing is left to end the game's children after SIGKILL: the game
  // itself still ends, as the kernel ends it with its parent.
  const std::size_t ending = road_.no_namespace && signal == SIGKILL ? 1 : held_.size();
  for (std::size_t i = 0; i < ending; ++i)
    EXPECT_TRUE(ends_within(held_[i], 60000)) << "process " << family[qsizetype(i)] << " lives";
}

std::string ending_name(const testing::TestParamInfo<std::tuple<Road, int>>& info) {
  return std::string(std::get<0>(info.param).id) +
         (std::get<1>(info.param) == SIGKILL ? "Killed" : "Terminated");
}

INSTANTIATE_TEST_SUITE_P(Launcher, GameEnds,
                         testing::Combine(testing::ValuesIn(kRoads),
                                          testing::Values(SIGKILL, SIGTERM)),
                         ending_name);

// Started from a terminal, the game stays in the terminal's job, where it may read it: a game
// in a group of its own would be stopped at its first read.
TEST_F(Play, AGameStartedFromATerminalReadsIt) {
  place_game("pinball");
  QProcess setup;
  sandbox.setup(setup, {"--data=" + data, "--play=pinball"});
  // The group fallback, the one road that could take the game out of the terminal's job.
  sandbox.env.insert("SKARNBOLT_NO_GAME_NAMESPACE", "1");
  // Everything the child needs is made before the fork.
  QList<QByteArray> words = {QFile::encodeName(sandbox.program)};
  for (const QString& arg : setup.arguments()) words << arg.toLocal8Bit();
  QList<QByteArray> settings;
  for (const QString& each : sandbox.env.toStringList()) settings << each.toLocal8Bit();
  std::vector<char*> argv;
  for (QByteArray& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (QByteArray& each : settings) envp.push_back(each.data());
  envp.push_back(nullptr);
  ASSERT_TRUE(QDir().mkpath(sandbox.cwd));
  const QByteArray cwd = QFile::encodeName(sandbox.cwd);

  int terminal = -1;
  const pid_t launcher = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(launcher, 0);
  if (launcher == 0) {
    if (chdir(cwd.constData()) == 0) execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  const int held = int(::syscall(SYS_pidfd_open, launcher, 0));
  ASSERT_GE(held, 0);
  const char line[] = "hello game\n";
  EXPECT_EQ(::write(terminal, line, sizeof line - 1), ssize_t(sizeof line - 1));
  const bool ended = ends_within(held, kHangMs);
  if (!ended) ::syscall(SYS_pidfd_send_signal, held, SIGKILL, nullptr, 0);
  int status = 0;
  ::waitpid(launcher, &status, 0);
  ::close(held);
  ::close(terminal);
  ASSERT_TRUE(ended) << "the game could not read the terminal";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(log("pinball.log").contains("stdin: hello game\n")) << log("pinball.log").constData();
}

}  // namespace
