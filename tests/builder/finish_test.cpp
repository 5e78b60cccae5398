// The last step of a build for every target, driven on a hand-made build folder: the Switch
// file, the Android package on a device (through an adb stand-in) or saved, and the Windows game
// installed, exported or saved portable.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "builder/job.hpp"
#include "builder/paths.hpp"
#include "support/adb_stub.hpp"
#include "support/built_game.hpp"
#include "support/test_support.hpp"

namespace {

using namespace testing_support;
using Devices = std::vector<std::pair<std::string, std::string>>;
using Calls = std::vector<std::vector<std::string>>;

struct World : ::testing::Environment {
  void SetUp() override {
    static int argc = 1;
    static char arg0[] = "builder_finish_test";
    static char* argv[] = {arg0, nullptr};
    app = std::make_unique<QCoreApplication>(argc, argv);
    temp = std::make_unique<TempDir>();
    builder::set_data_root(QString::fromStdString(temp->path().string()));
  }
  void TearDown() override {
    temp.reset();
    app.reset();
  }
  std::unique_ptr<QCoreApplication> app;
  std::unique_ptr<TempDir> temp;
};
[[maybe_unused]] auto* const g_world = ::testing::AddGlobalTestEnvironment(new World);

// What one call of finish gave.
struct Outcome {
  bool ok = false;
  QString message;
  QString result_path;
  QString error;
  QStringList statuses;  // of the progress signals, in order
  QStringList lines;     // of the log
};

// Every test gets its own home, download folder, LOCALAPPDATA and a build folder holding the
// outputs of all three targets.
class FinishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base = QString::fromStdString(temp.path().string());
    home = base + "/home";
    QDir().mkpath(downloads());
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_DATA_HOME", (home + "/.local/share").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + "/.config").toUtf8());
    qputenv("LOCALAPPDATA", (base + "/local").toUtf8());
    make_build(build(), rally_game());
    put_file(build() + "/bin/skarnbolt-rally.apk", "apk");
    put_file(build() + "/bin/skarnbolt-rally.nro", "nro");
  }

  QString build() const { return base + "/build"; }
  QString sdk() const { return base + "/sdk"; }
  QString adb() const { return sdk() + "/platform-tools/adb"; }
  QString apk() const { return build() + "/bin/skarnbolt-rally.apk"; }
  QString downloads() const { return home + "/Downloads"; }
  QString saved_apk() const { return downloads() + "/Rally Champions.apk"; }

  // An adb that lists `devices` and exits with `code` from install.
  void attach(const Devices& devices, int code = 0) {
    write_adb_stub(adb().toStdString(), adb_listing(devices), code);
  }
  Calls adb_calls() const { return testing_support::adb_calls(adb().toStdString()); }

  builder::Request request(bool android, bool switch_, bool install, const QString& output) {
    builder::Request r;
    r.apk = base + "/game.apk";
    r.game = rally_game();
    r.android = android;
    r.switch_ = switch_;
    r.install = install;
    r.output = output;
    return r;
  }

  Outcome finish(builder::Request r) {
    builder::Job job(std::move(r));
    job.build_dir = build();
    job.sdk = sdk();
    Outcome outcome;
    QObject::connect(&job, &builder::Job::progress,
                     [&](double, const QString& status, qint64) { outcome.statuses << status; });
    QObject::connect(&job, &builder::Job::log_line,
                     [&](const QString& line) { outcome.lines << line; });
    outcome.ok = job.finish(outcome.message, outcome.result_path, outcome.error);
    return outcome;
  }

  TempDir temp;
  QString base;
  QString home;
};

TEST_F(FinishTest, SwitchCopiesTheHomebrewToOutput) {
  const QString output = base + "/sd/rally.nro";
  put_file(output, "an older build");
  const Outcome out = finish(request(false, true, false, output));
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(file_bytes(output), "nro");
  EXPECT_EQ(out.result_path, output);
  EXPECT_EQ(out.message, "The Nintendo Switch homebrew was saved:\n" + output +
                             "\n\nCopy it into the folder switch on the SD card and start it "
                             "from the Homebrew Menu.");
  EXPECT_EQ(out.statuses, QStringList{"Saving"});
}

TEST_F(FinishTest, SwitchFailsWithoutAWritableOutput) {
  put_file(base + "/file", "");
  for (const QString& output : {QString(), base + "/file/rally.nro"}) {
    const Outcome out = finish(request(false, true, false, output));
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, "Cannot write " + output);
    EXPECT_TRUE(out.result_path.isEmpty());
  }
}

TEST_F(FinishTest, AndroidInstallsOnTheFirstAuthorizedDeviceOrSaves) {
  const QString installed = "Rally Champions is installed on the Android device.";
  const QString saved = "No Android device is connected, so the APK was saved:\n";
  struct Case {
    const char* name;
    Devices devices;
    QString output;
    std::string serial;  // the device installed on, or empty when the APK is saved
    QString saved_to;
  };
  const std::vector<Case> cases = {
      {"no device", {}, "", "", saved_apk()},
      {"one device", {{"emulator-5554", "device"}}, "", "emulator-5554", ""},
      {"two devices", {{"R58M20ABC", "device"}, {"emulator-5554", "device"}}, "", "R58M20ABC", ""},
      {"unauthorized", {{"R58M20ABC", "unauthorized"}}, "", "", saved_apk()},
      {"unauthorized, output",
       {{"R58M20ABC", "unauthorized"}},
       base + "/out/r.apk",
       "",
       base + "/out/r.apk"},
      {"offline and unauthorized before a device",
       {{"emulator-5554", "offline"}, {"R58M20ABC", "unauthorized"}, {"ZY22", "device"}},
       "",
       "ZY22",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    attach(c.devices);
    QFile::remove(QString::fromStdString(adb_calls_file(adb().toStdString()).string()));
    QFile::remove(saved_apk());
    QDir().mkpath(base + "/out");
    const Outcome out = finish(request(true, false, true, c.output));
    ASSERT_TRUE(out.ok) << out.error.toStdString();
    QStringList statuses = {"Finishing the Android package"};
    if (!c.serial.empty()) {
      EXPECT_EQ(adb_calls(), (Calls{{"-s", c.serial, "install", "-r", apk().toStdString()}}));
      EXPECT_EQ(out.message, installed);
      EXPECT_TRUE(out.result_path.isEmpty());
      EXPECT_FALSE(QFileInfo::exists(saved_apk()));
      statuses << "Installing on " + QString::fromStdString(c.serial);
    } else {
      EXPECT_EQ(adb_calls(), Calls{});
      EXPECT_EQ(file_bytes(c.saved_to), "apk");
      EXPECT_EQ(out.result_path, c.saved_to);
      EXPECT_EQ(out.message, saved + c.saved_to);
    }
    EXPECT_EQ(out.statuses, statuses);
  }
}

TEST_F(FinishTest, AndroidWithoutAdbSaves) {
  const Outcome out = finish(request(true, false, true, ""));
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(out.message, "No Android device is connected, so the APK was saved:\n" + saved_apk());
  EXPECT_EQ(file_bytes(saved_apk()), "apk");
}

TEST_F(FinishTest, AndroidSaveMakesAMissingDownloadFolder) {
  QDir(downloads()).removeRecursively();
  const Outcome out = finish(request(true, false, false, ""));
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(file_bytes(saved_apk()), "apk");
}

TEST_F(FinishTest, AndroidInstallFailureIsReported) {
  attach({{"emulator-5554", "device"}}, 1);
  const Outcome out = finish(request(true, false, true, ""));
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error,
            "Installing on the device failed (see the log). An older version signed with another "
            "key has to be uninstalled first.");
  EXPECT_EQ(adb_calls().size(), 1u);
  EXPECT_FALSE(QFileInfo::exists(saved_apk()));
}

TEST_F(FinishTest, AndroidWithoutInstallSavesWithoutAskingAdb) {
  attach({{"emulator-5554", "device"}});
  put_file(saved_apk(), "an older build");
  Outcome out = finish(request(true, false, false, ""));
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(file_bytes(saved_apk()), "apk");
  EXPECT_EQ(out.result_path, saved_apk());
  EXPECT_EQ(out.message, "The APK was saved:\n" + saved_apk());
  EXPECT_EQ(out.statuses, QStringList{"Finishing the Android package"});

  const QString output = base + "/chosen/Rally.apk";
  QDir().mkpath(base + "/chosen");
  out = finish(request(true, false, false, output));
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(file_bytes(output), "apk");
  EXPECT_EQ(out.message, "The APK was saved:\n" + output);
  EXPECT_EQ(adb_calls(), Calls{});

  QFile::remove(apk());
  out = finish(request(true, false, false, output));
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error, "Cannot write " + output);
}

TEST_F(FinishTest, AndroidWinsWhenBothTargetsAreAsked) {
  const QString output = base + "/both.apk";
  const Outcome out = finish(request(true, true, false, output));
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(file_bytes(output), "apk");
  EXPECT_EQ(out.message, "The APK was saved:\n" + output);
  EXPECT_EQ(out.statuses, QStringList{"Finishing the Android package"});
}

TEST_F(FinishTest, WindowsInstallsExportsOrSaves) {
  const QString installed = base + "/local/Programs/skarnbolt-port/rally";
  Outcome out = finish(request(false, false, true, ""));
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(out.result_path, installed);
  EXPECT_EQ(out.message, "Rally Champions is installed: find it in the Start menu.");
  EXPECT_EQ(out.statuses, QStringList{"Installing"});
  EXPECT_EQ(file_bytes(installed + "/skarnbolt-rally"), exe_script("v1"));
  EXPECT_TRUE(QFileInfo::exists(home + "/.local/share/applications/Rally Champions.desktop"));

  builder::Request launcher = request(false, false, false, base + "/launcher/games/rally");
  launcher.export_folder = true;
  out = finish(launcher);
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(out.result_path, base + "/launcher/games/rally");
  EXPECT_EQ(out.message, "The game was saved:\n" + base + "/launcher/games/rally");
  EXPECT_EQ(out.statuses, QStringList{"Saving"});
  EXPECT_EQ(file_bytes(base + "/launcher/games/rally/game/icon.png"), "png v1");

  out = finish(request(false, false, false, base + "/saved"));
  ASSERT_TRUE(out.ok) << out.error.toStdString();
  EXPECT_EQ(out.result_path, base + "/saved/Rally Champions");
  EXPECT_EQ(out.message, "The game was saved:\n" + base + "/saved/Rally Champions");
  EXPECT_TRUE(QFileInfo::exists(base + "/saved/Rally Champions/skarnbolt-rally"));
}

TEST_F(FinishTest, WindowsFailureKeepsTheResultPathEmpty) {
  put_file(base + "/file", "");
  builder::Request launcher = request(false, false, false, base + "/file/rally");
  launcher.export_folder = true;
  Outcome out = finish(launcher);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error, "Cannot copy the game into " + base + "/file/rally");
  EXPECT_TRUE(out.result_path.isEmpty());

  QFile::remove(build() + "/bin/skarnbolt-rally");
  out = finish(request(false, false, true, ""));
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error,
            "Cannot copy the game into " + base + "/local/Programs/skarnbolt-port/rally");
  EXPECT_TRUE(out.result_path.isEmpty());
  // The game data is still copied after the executable failed.
  EXPECT_EQ(file_bytes(base + "/local/Programs/skarnbolt-port/rally/game/icon.png"), "png v1");
}

// The message names only the folder or file; the log says which copy failed and why.
TEST_F(FinishTest, AFailedCopyLeavesTheSystemsReasonInTheLog) {
  put_file(base + "/out/game", "a file where the game's folder belongs");
  put_file(base + "/file", "");
  builder::Request exported = request(false, false, false, base + "/out");
  exported.export_folder = true;
  struct Case {
    const char* name;
    builder::Request request;
    QString error;
    QString copied_to;  // the target of the first failed copy
  };
  const std::vector<Case> cases = {
      {"Windows export", exported, "Cannot copy the game into " + base + "/out",
       base + "/out/game/lib/game.bin"},
      {"Switch", request(false, true, false, base + "/file/rally.nro"),
       "Cannot write " + base + "/file/rally.nro", base + "/file/rally.nro"},
      {"Android", request(true, false, false, base + "/file/rally.apk"),
       "Cannot write " + base + "/file/rally.apk", base + "/file/rally.apk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome out = finish(c.request);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, c.error);
    const QStringList notes = out.lines.filter(" to " + c.copied_to + ": ");
    ASSERT_EQ(notes.size(), 1) << out.lines.join('\n').toStdString();
    EXPECT_TRUE(notes[0].startsWith("Cannot copy " + base + "/build/")) << notes[0].toStdString();
    EXPECT_TRUE(notes[0].endsWith("Not a directory")) << notes[0].toStdString();
  }
}

// Cancelling while adb lists the devices or installs ends with "Cancelled" and saves nothing.
TEST_F(FinishTest, CancelDuringAdbEndsCancelled) {
  for (const char* step : {"devices", "install"}) {
    SCOPED_TRACE(step);
    QDir().mkpath(sdk() + "/platform-tools");
    // The step named by `step` hangs; the other answers at once.
    const QByteArray script =
        QByteArray("#!/bin/sh\n") + "if [ \"$1\" = devices ]; then\n" +
        (QByteArray(step) == "devices" ? "  exec sleep 20\n" : "") +
        "  printf 'List of devices attached\\nemulator-5554\\tdevice\\n'; exit 0\n"
        "fi\nexec sleep 20\n";
    put_file(adb(), script);
    QFile::setPermissions(adb(), QFile::permissions(adb()) | QFile::ExeOwner);
    QFile::remove(saved_apk());

    builder::Job job(request(true, false, true, ""));
    job.build_dir = build();
    job.sdk = sdk();
    QObject::connect(&job, &builder::Job::log_line, [&](const QString& line) {
      if (line.startsWith("$ ") && line.split(' ').contains(step)) job.cancel = true;
    });
    QString message, result_path, error;
    EXPECT_FALSE(job.finish(message, result_path, error));
    EXPECT_EQ(error, "Cancelled");
    EXPECT_TRUE(result_path.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(saved_apk()));
  }
}

}  // namespace
