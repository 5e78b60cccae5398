// The launcher's prepare step running real builds of the test port with a seeded tool cache.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include "support/program.hpp"
#include "support/test_support.hpp"
#include "support/tool_cache.hpp"

namespace {

using testing_support::file_bytes;
using testing_support::Outcome;
using testing_support::Sandbox;
using testing_support::write_file;

const QByteArray kStarwars2Sha = "5448bfdd5a53594a8b48e22ce210dcc57c5ce0c71ea1c05823afda48b897fbfb";
const QByteArray kPinballSha = "a8fcb4e3479f2bf0c5b39336488b40eabc9bfbd24dbb715436766586488761d9";

class LauncherBuild : public testing::Test {
 protected:
  LauncherBuild()
      : sandbox(QString::fromStdString(dir.path().string())), data(sandbox.root + "/data") {
    EXPECT_TRUE(testing_support::seed_tool_cache((data + "/cache").toStdString(), false, false));
  }

  QString apk(const QString& name, const QString& library) {
    EXPECT_TRUE(testing_support::make_apk(sandbox.cwd + "/" + name, library));
    return name;
  }

  Outcome prepare(const QStringList& args) {
    return sandbox.run(QStringList{"--prepare", "--data=" + data} + args);
  }

  QByteArray stamp(const QString& id) { return file_bytes(data + "/games/" + id + "/build.txt"); }

  testing_support::TempDir dir;
  Sandbox sandbox;
  QString data;
};

// The progress values in thousandths and their texts; fails on any other line.
QList<QPair<int, QString>> progress_lines(const QByteArray& out) {
  QList<QPair<int, QString>> result;
  static const QRegularExpression line("^progress ([01])\\.(\\d{3}) (.*)$");
  for (const QString& text : QString::fromLocal8Bit(out).split('\n', Qt::SkipEmptyParts)) {
    const QRegularExpressionMatch match = line.match(text);
    EXPECT_TRUE(match.hasMatch()) << text.toStdString();
    if (match.hasMatch())
      result.append(
          {match.captured(1).toInt() * 1000 + match.captured(2).toInt(), match.captured(3)});
  }
  return result;
}

TEST_F(LauncherBuild, PreparesEachGameOnceAndRebuildsOnlyWhatChanged) {
  write_file(sandbox.cwd + "/assets/intro.txt", "extra data\n");
  const QStringList apks = {"--apk=" + apk("sw-a.apk", "starwars2"),
                            "--apk=" + apk("sw-b.apk", "starwars2"),
                            "--apk=" + apk("pinball.apk", "pinball")};

  Outcome outcome = prepare(apks + QStringList{"--starwars2-assets=assets"});
  ASSERT_EQ(outcome.code, 0) << testing_support::describe(outcome);
  QList<QPair<int, QString>> lines = progress_lines(outcome.out);
  ASSERT_GE(lines.size(), 3);
  EXPECT_EQ(lines.last(), qMakePair(1000, QString("Done")));
  int last = 0;
  for (const auto& [value, text] : lines) {
    EXPECT_GE(value, last) << text.toStdString();
    // Starwars 2 fills the first third; the second APK of it has a slice but prints nothing.
    EXPECT_FALSE(value > 333 && value < 666) << value;
    EXPECT_FALSE(text.endsWith("is already built"));
    last = value;
  }
  EXPECT_EQ(lines.first().first, 0);
  EXPECT_EQ(stamp("starwars2"), "v1.3.2\n" + kStarwars2Sha + "\nassets\n");
  EXPECT_EQ(stamp("pinball"), "v1.3.2\n" + kPinballSha + "\n\n");
  EXPECT_EQ(file_bytes(data + "/games/prepared.txt"), "pinball\nstarwars2\n");
  EXPECT_TRUE(QFileInfo::exists(data + "/games/starwars2/skarnbolt-starwars2"));
  EXPECT_TRUE(QFileInfo::exists(data + "/games/pinball/skarnbolt-pinball"));
  EXPECT_TRUE(QFileInfo(data + "/saves").isDir());

  // Nothing changed: no job runs, so the build log stays as it was.
  const QByteArray log = file_bytes(data + "/logs/last-build.log");
  outcome = prepare(apks + QStringList{"--starwars2-assets=assets"});
  EXPECT_EQ(outcome.code, 0);
  EXPECT_EQ(outcome.out,
            "progress 0.333 Starwars 2 is already built\n"
            "progress 1.000 Pinball Nights is already built\n"
            "progress 1.000 Done\n");
  EXPECT_EQ(file_bytes(data + "/logs/last-build.log"), log);

  // Another way of writing the same folder is other extra data: Starwars 2 alone is rebuilt.
  outcome = prepare(apks + QStringList{"--starwars2-assets=./assets"});
  ASSERT_EQ(outcome.code, 0) << testing_support::describe(outcome);
  lines = progress_lines(outcome.out);
  ASSERT_GE(lines.size(), 3);
  EXPECT_FALSE(lines.first().second.endsWith("is already built"));
  EXPECT_EQ(lines[lines.size() - 2], qMakePair(1000, QString("Pinball Nights is already built")));
  EXPECT_EQ(stamp("starwars2"), "v1.3.2\n" + kStarwars2Sha + "\n./assets\n");
  EXPECT_TRUE(file_bytes(data + "/logs/last-build.log").contains("Starwars 2"));
}

// Printed values are cut, not rounded: two thirds of the way is 0.666 both for the game already
// built and for the first line of the next one.
TEST_F(LauncherBuild, ProgressNeverFallsAfterGamesThatAreAlreadyBuilt) {
  const QStringList two = {"--apk=" + apk("pinball.apk", "pinball"),
                           "--apk=" + apk("rally.apk", "rallydust")};
  Outcome outcome = prepare(two);
  ASSERT_EQ(outcome.code, 0) << testing_support::describe(outcome);
  outcome = prepare(two + QStringList{"--apk=" + apk("sw.apk", "starwars2")});
  ASSERT_EQ(outcome.code, 0) << testing_support::describe(outcome);
  const QList<QPair<int, QString>> lines = progress_lines(outcome.out);
  ASSERT_GE(lines.size(), 4);
  EXPECT_EQ(lines[0], qMakePair(333, QString("Pinball Nights is already built")));
  EXPECT_EQ(lines[1], qMakePair(666, QString("Rally Dust is already built")));
  EXPECT_EQ(lines[2].first, 666);
  int last = 0;
  for (const auto& [value, text] : lines) {
    EXPECT_GE(value, last) << text.toStdString();
    last = value;
  }
  EXPECT_EQ(lines.last(), qMakePair(1000, QString("Done")));
}

TEST_F(LauncherBuild, AFailedBuildLeavesNoStampAndTheOldList) {
  // A game that looks built, but from another version of the program.
  write_file(data + "/games/pinball/skarnbolt-pinball", "old program");
  write_file(data + "/games/pinball/build.txt", "v1.0.0\n" + kPinballSha + "\n\n");
  write_file(data + "/games/prepared.txt", "pinball\n");
  sandbox.env.insert("SKARNBOLT_TEST_PORT_FAULT", "configure-fail");
  const Outcome outcome = prepare({"--apk=" + apk("pinball.apk", "pinball")});
  EXPECT_EQ(outcome.code, 1);
  const QString log = data + "/logs/last-build.log";
  EXPECT_TRUE(outcome.out.endsWith("\nLog: " + log.toLocal8Bit() + "\n")) << outcome.out.data();
  EXPECT_TRUE(outcome.out.contains("\nerror: ")) << outcome.out.data();
  EXPECT_FALSE(QFileInfo::exists(data + "/games/pinball/build.txt"));
  EXPECT_EQ(file_bytes(data + "/games/prepared.txt"), "pinball\n");
}

}  // namespace
