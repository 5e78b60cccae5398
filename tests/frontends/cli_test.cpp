// The command-line build, run as a script runs it: usage, identification and exit codes.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include "support/program.hpp"
#include "support/test_support.hpp"

namespace {

using testing_support::Outcome;
using testing_support::Sandbox;

const QByteArray kUsage =
    "usage: skarnbolt-builder --build <apk> [--android | --switch] [--only "
    "<folder|file.apk|file.nro>] [--mods <a,b>|none] [--starwars2-assets=<zip or folder>]\n";

class Cli : public testing::Test {
 protected:
  Cli() : sandbox(QString::fromStdString(dir.path().string())) {}

  QString apk(const QString& name, const QString& library, const QString& text = {}) {
    return sandbox.apk(name, library, text);
  }

  testing_support::TempDir dir;
  Sandbox sandbox;
};

TEST_F(Cli, WrongArgumentsPrintTheUsageAndBuildNothing) {
  apk("sw.apk", "starwars2");
  const QList<QStringList> cases = {
      {"--build"},                      // the value is missing
      {"--build", "sw.apk", "--only"},  // a value-less option last
      {"--build", "sw.apk", "--mods"},
      {"--build", "sw.apk", "--frobnicate"},        // unknown
      {"--build", "sw.apk", "--Android"},           // case matters
      {"--build", "sw.apk", "--starwars2-assets"},  // without its "="
      {"--build", "sw.apk", "stray"},
      {"--prepare", "--play=pinball", "--build"},      // --build wins over the launcher
      {"--build", "sw.apk", "--android", "--switch"},  // one target at a time
      {"--switch", "--build", "sw.apk", "--only", "x.nro", "--android"},
  };
  for (const QStringList& args : cases) {
    SCOPED_TRACE(args.join(' ').toStdString());
    const Outcome outcome = sandbox.run(args);
    EXPECT_EQ(outcome.code, 2);
    EXPECT_EQ(outcome.err, kUsage);
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_FALSE(QFileInfo::exists(sandbox.portable_data() + "/logs/last-build.log"));
}

TEST_F(Cli, AnUnidentifiedApkEndsWithItsMessageOnStandardError) {
  apk("old.apk", "starwars2", "fixture library starwars2 v1.5\n");
  apk("rock.apk", "rock");
  apk("semi;colon.apk", "starwars2");
  apk("back\\slash.apk", "starwars2");
  apk("line\nbreak.apk", "starwars2");
  struct Case {
    QString apk;
    QByteArray message;
  };
  const QList<Case> cases = {
      {"missing.apk", "This file is not an APK, or it is damaged.\n"},
      {"old.apk",
       "This is Starwars 2, but another version. Supported is version 1.4 (build 12).\n"},
      {"rock.apk",
       "This APK is not a supported game. Supported are:\n\xe2\x80\xa2 Pinball Nights 2.0.3\n"
       "\xe2\x80\xa2 Rally Dust 3.1\n\xe2\x80\xa2 Starwars 2 1.4\n"},
      {"semi;colon.apk",
       "Please rename the file or its folder: the path must not contain "
       "\xe2\x80\x9c;\xe2\x80\x9d.\n"},
      {"back\\slash.apk",
       "Please rename the file or its folder: the path must not contain "
       "\xe2\x80\x9c\\\xe2\x80\x9d.\n"},
      {"line\nbreak.apk",
       "Please rename the file or its folder: the path must not contain line breaks or other "
       "control characters.\n"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.apk.toStdString());
    const Outcome outcome = sandbox.run({"--build", each.apk});
    EXPECT_EQ(outcome.code, 1);
    EXPECT_EQ(outcome.err, each.message);
    EXPECT_EQ(outcome.out, "");
  }
}

// An argument that is not valid text would be read as another path: it is refused before
// anything is touched.
TEST_F(Cli, AnArgumentThatIsNotValidTextIsRefused) {
  apk("sw.apk", "starwars2");
  Sandbox shell = sandbox;
  shell.program = "/bin/sh";
  const Outcome outcome = shell.run(
      {"-c", "exec \"$0\" --build sw.apk --only \"$(printf 'out\\377')\"", sandbox.program});
  EXPECT_EQ(outcome.code, 2);
  EXPECT_EQ(outcome.err,
            "The argument \"out\\xff\" is not valid text in this system's character encoding, "
            "so it cannot name a file.\n");
  EXPECT_EQ(outcome.out, "");
  EXPECT_FALSE(QFileInfo::exists(sandbox.portable_data()));
}

// A data folder variable that is not valid text would name another folder: refused before
// any folder is made, beside it or per user.
TEST_F(Cli, AHomeVariableThatIsNotValidTextIsRefused) {
  apk("sw.apk", "starwars2");
  Sandbox shell = sandbox;
  shell.program = "/bin/sh";
  const Outcome outcome = shell.run({"-c",
                                     "SKARNBOLT_BUILDER_HOME=\"$SKARNBOLT_BUILDER_HOME$(printf "
                                     "'\\377')\" exec \"$0\" --build sw.apk",
                                     sandbox.program});
  EXPECT_EQ(outcome.code, 2);
  EXPECT_EQ(outcome.err,
            "The variable SKARNBOLT_BUILDER_HOME is not valid text in this system's character "
            "encoding, so it cannot name a folder.\n");
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(QDir(sandbox.root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList({"home", "work"}));
  EXPECT_EQ(QDir(sandbox.home()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList());
}

TEST_F(Cli, TakesUpPortableData) {
  sandbox.run({"--build", "missing.apk"});
  EXPECT_TRUE(QFileInfo(sandbox.portable_data()).isDir());
}

}  // namespace
