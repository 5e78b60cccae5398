// The launcher mode's prepare step, run as an outside launcher runs it.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <string>
#include <vector>

#include "builder/launcher.hpp"
#include "support/program.hpp"
#include "support/test_support.hpp"

namespace {

using testing_support::Outcome;
using testing_support::Sandbox;

const QByteArray kUsageLine =
    "error: usage: skarnbolt-builder --prepare --data=<dir> --apk=<apk>... "
    "[--starwars2-assets=<zip or folder>]\n"
    "       skarnbolt-builder --data=<dir> --play=<id> [game options...]\n";

class Launcher : public testing::Test {
 protected:
  Launcher() : sandbox(QString::fromStdString(dir.path().string())), data(sandbox.root + "/data") {}

  QString apk(const QString& name, const QString& library, const QString& text = {}) {
    return sandbox.apk(name, library, text);
  }

  testing_support::TempDir dir;
  Sandbox sandbox;
  QString data;
};

TEST_F(Launcher, WrongArgumentsPrintTheUsageOverTwoLines) {
  const QString data_arg = "--data=" + data;
  const QList<QStringList> cases = {
      {"--prepare", "--apk=a.apk"},  // no data folder
      {"--play=pinball"},
      {"--play=pinball", "--data="},                             // an empty one
      {"--prepare", data_arg, "--apk=a.apk", "--play=pinball"},  // both steps
      {"--prepare", data_arg, "--apk=a.apk", "--fullscreen"},    // game options in prepare
  };
  for (const QStringList& args : cases) {
    SCOPED_TRACE(args.join(' ').toStdString());
    const Outcome outcome = sandbox.run(args);
    EXPECT_EQ(outcome.code, 2);
    EXPECT_EQ(outcome.out, kUsageLine);
    EXPECT_FALSE(QFileInfo::exists(data));
  }
}

TEST_F(Launcher, PrepareWithoutApkIsAUsageError) {
  const Outcome outcome = sandbox.run({"--prepare", "--data=" + data});
  EXPECT_EQ(outcome.code, 2);
  EXPECT_EQ(outcome.out, "error: No APK was given (--apk=<file>).\n");
}

TEST_F(Launcher, EveryApkIsIdentifiedBeforeAnythingIsBuilt) {
  apk("sw.apk", "starwars2");
  apk("old.apk", "pinball", "fixture library pinball 1.9\n");
  apk("back\\slash.apk", "pinball");
  struct Case {
    QString apk;
    QByteArray line;
  };
  const QList<Case> cases = {
      {"missing.apk", "error: missing.apk: This file is not an APK, or it is damaged.\n"},
      {"./old.apk",
       "error: ./old.apk: This is Pinball Nights, but another version. Supported is "
       "version 2.0.3.\n"},
      {"back\\slash.apk",
       "error: back\\slash.apk: Please rename the file or its folder: the path must not contain "
       "\xe2\x80\x9c\\\xe2\x80\x9d.\n"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.apk.toStdString());
    const Outcome outcome =
        sandbox.run({"--prepare", "--data=" + data, "--apk=sw.apk", "--apk=" + each.apk});
    EXPECT_EQ(outcome.code, 1);
    EXPECT_EQ(outcome.out, each.line);
    EXPECT_FALSE(QFileInfo::exists(data));  // no saves, no games, no build log
  }
}

TEST(LauncherMode, ChosenByPrepareOrByPlayWithItsEquals) {
  struct Case {
    std::vector<std::string> args;
    bool launcher;
  };
  const std::vector<Case> cases = {
      {{"prog", "--prepare"}, true},
      {{"prog", "--data=d", "--play=pinball"}, true},
      {{"prog", "--play="}, true},
      {{"prog", "--play", "pinball"}, false},  // without its "="
      {{"prog", "--Prepare"}, false},
      {{"prog", "--prepared"}, false},
      {{"--prepare"}, false},  // the program name does not count
      {{"prog"}, false},
  };
  for (const Case& each : cases) {
    std::vector<char*> argv;
    for (const std::string& arg : each.args) argv.push_back(const_cast<char*>(arg.c_str()));
    EXPECT_EQ(builder::is_launcher_mode(int(argv.size()), argv.data()), each.launcher)
        << each.args.back();
  }
}

// An argument that is not valid text would be read as another path (a sibling of the data
// folder, a game that seems not built): it is refused before anything is touched.
TEST_F(Launcher, AnArgumentThatIsNotValidTextIsRefused) {
  Sandbox shell = sandbox;
  shell.program = "/bin/sh";
  const QString bad_data = "--data=\"$(printf '" + data + "\\377')\"";
  const QList<QString> commands = {
      "exec \"$0\" --prepare " + bad_data + " --apk=a.apk",
      "exec \"$0\" " + bad_data + " --play=pinball",
      "exec \"$0\" --data=" + data + " --play=pinball \"$(printf '\\200')\"",
  };
  for (const QString& command : commands) {
    SCOPED_TRACE(command.toStdString());
    const Outcome outcome = shell.run({"-c", command, sandbox.program});
    EXPECT_EQ(outcome.code, 2);
    EXPECT_TRUE(outcome.out.startsWith("error: The argument \"")) << outcome.out.data();
    EXPECT_TRUE(outcome.out.endsWith(
        "\" is not valid text in this system's character encoding, so it cannot name a file.\n"))
        << outcome.out.data();
    EXPECT_EQ(QDir(sandbox.root).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
              QStringList({"home", "work"}));
  }
}

TEST_F(Launcher, NeverTakesUpPortableData) {
  sandbox.run({"--prepare", "--data=" + data, "--apk=missing.apk"});
  sandbox.run({"--data=" + data, "--play=pinball"});
  EXPECT_FALSE(QFileInfo::exists(sandbox.portable_data()));
}

}  // namespace
