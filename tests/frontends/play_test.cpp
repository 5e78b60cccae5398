// The launcher mode's play step with a stand-in game: ids, saves, logs, exit codes, and the
// game's life tied to the launcher's.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <csignal>

#include "support/program.hpp"
#include "support/test_support.hpp"

namespace {

using testing_support::file_bytes;
using testing_support::Outcome;
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

  Outcome play(const QString& id, const QStringList& options = {}, const QByteArray& input = {}) {
    return sandbox.run(QStringList{"--data=" + data, "--play=" + id} + options, input);
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
  // A link to nothing cannot be copied, whichever file comes first.
  ASSERT_TRUE(QFile::link(installed + "/missing", installed + "/slot2.sav"));
  place_game("pinball");
  EXPECT_EQ(play("pinball").out, "error: Cannot copy the saves from " + installed.toUtf8() + "\n");
  EXPECT_FALSE(QFileInfo::exists(data + "/saves/pinball"));

  QFile::remove(installed + "/slot2.sav");
  EXPECT_EQ(play("pinball").out, "");
  EXPECT_EQ(file_bytes(data + "/saves/pinball/slot1.sav"), "one");
}

bool process_gone(qint64 pid) {
  if (::kill(pid_t(pid), 0) != 0) return true;
  // A zombie waiting for its new parent to reap it has ended too.
  const QByteArray stat = file_bytes(QString("/proc/%1/stat").arg(pid));
  const qsizetype paren = stat.lastIndexOf(')');
  return paren >= 0 && stat.mid(paren + 2, 1) == "Z";
}

TEST_F(Play, TheGameEndsWhenTheLauncherIsKilled) {
  const QString pid_file = sandbox.root + "/game.pid";
  place_game("pinball", "#!/bin/sh\necho $$ > \"$GAME_PID\"\nexec sleep 60\n");
  sandbox.env.insert("GAME_PID", pid_file);
  QProcess launcher;
  sandbox.setup(launcher, {"--data=" + data, "--play=pinball"});
  launcher.start();
  ASSERT_TRUE(launcher.waitForStarted(30000));
  qint64 game = 0;
  for (int i = 0; i < 300 && game == 0; ++i) {
    QThread::msleep(50);
    game = file_bytes(pid_file).trimmed().toLongLong();
  }
  ASSERT_NE(game, 0) << "the game did not start";
  EXPECT_FALSE(process_gone(game));
  launcher.kill();  // SIGKILL: the launcher gets no chance to clean up
  launcher.waitForFinished(10000);
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = process_gone(game);
    if (!gone) QThread::msleep(50);
  }
  EXPECT_TRUE(gone);
  if (!gone) ::kill(pid_t(game), SIGKILL);
}

}  // namespace
