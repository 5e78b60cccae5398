// Windows builds of the test port finished through the build job: installed with a shortcut
// and an uninstall entry, installed again, exported as a folder and saved portable.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QStandardPaths>

#include "builder/job.hpp"
#include "support/job_runner.hpp"
#include "support/test_support.hpp"

namespace {

using namespace testing_support;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }
QString native(const fs::path& path) { return QDir::toNativeSeparators(q(path)); }

builder::Request pinball(const JobWorkspace& ws) {
  builder::Request request;
  request.apk = q(ws.apk("pinball"));
  request.game = port_game("pinball");
  return request;
}

// The game folder layout beside the executable.
void expect_game_folder(const fs::path& folder, const fs::path& build) {
  EXPECT_EQ(read_bytes(folder / "skarnbolt-pinball"), read_bytes(build / "bin/skarnbolt-pinball"))
      << folder;
  EXPECT_NE(fs::status(folder / "skarnbolt-pinball").permissions() & fs::perms::others_exec,
            fs::perms::none);
  EXPECT_EQ(read_text(folder / "game/lib/libpinball.so"), "fixture library pinball\n");
  EXPECT_EQ(read_text(folder / "game/assets/data/pinball.txt"), "data of pinball\n");
  EXPECT_TRUE(fs::exists(folder / "game/assets/build-info.txt"));
  EXPECT_EQ(read_bytes(folder / "game/icon.png"), read_bytes(build / "games/pinball/icon.png"));
}

// The text of the files below `folder` that hold `needle`.
QString file_holding(const fs::path& folder, const QString& needle) {
  QDirIterator it(q(folder), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString text = QString::fromStdString(read_text(it.next().toStdString()));
    if (text.contains(needle)) return text;
  }
  return {};
}

TEST(WindowsInstall, InstallAgainExportAndPortable) {
  JobWorkspace ws;
  const fs::path build = ws.build("windows");
  const JobResult installed = run_job(pinball(ws));
  const fs::path folder = ws.root() / "local/Programs/skarnbolt-port/pinball";
  EXPECT_TRUE(installed.ok) << describe(installed);
  EXPECT_EQ(installed.message, "Pinball Nights is installed: find it in the Start menu.");
  EXPECT_EQ(installed.result_path, q(folder));
  expect_game_folder(folder, build);
  EXPECT_FALSE(fs::exists(folder / "libEGL.dll"));  // none were built, none are needed
  const fs::path applications =
      QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation).toStdString();
  const std::string shortcut = read_text(applications / "Pinball Nights.desktop");
  EXPECT_NE(shortcut.find("Exec="), std::string::npos) << shortcut;
  EXPECT_NE(shortcut.find((folder / "skarnbolt-pinball").string()), std::string::npos) << shortcut;
  const QString entry = file_holding(ws.root() / "xdg-config", "DisplayName=Pinball Nights");
  EXPECT_TRUE(entry.contains("DisplayVersion=2.0.3")) << entry.toStdString();
  EXPECT_TRUE(entry.contains("UninstallString=")) << entry.toStdString();

  // Installed again: the executable is replaced, and the graphics libraries now beside the
  // built program go along.
  write_text(folder / "skarnbolt-pinball", "an older build");
  write_text(build / "bin/libEGL.dll", "egl");
  write_text(build / "bin/libGLESv2.dll", "gles");
  const JobResult again = run_job(pinball(ws));
  EXPECT_TRUE(again.ok) << describe(again);
  expect_game_folder(folder, build);
  EXPECT_EQ(read_text(folder / "libEGL.dll"), "egl");
  EXPECT_EQ(read_text(folder / "libGLESv2.dll"), "gles");

  // The launcher's export: straight into the given folder.
  builder::Request exported = pinball(ws);
  exported.install = false;
  exported.export_folder = true;
  exported.output = q(ws.root() / "launcher/games/pinball");
  const JobResult to_folder = run_job(exported);
  EXPECT_TRUE(to_folder.ok) << describe(to_folder);
  EXPECT_EQ(to_folder.message,
            "The game was saved:\n" + native(ws.root() / "launcher/games/pinball"));
  EXPECT_EQ(to_folder.result_path, exported.output);
  expect_game_folder(ws.root() / "launcher/games/pinball", build);

  // Saved portable: a folder named after the game below the given one, without the libraries
  // once they are gone from the build.
  fs::remove(build / "bin/libEGL.dll");
  fs::remove(build / "bin/libGLESv2.dll");
  builder::Request portable = pinball(ws);
  portable.install = false;
  portable.output = q(ws.root() / "usb");
  const JobResult saved = run_job(portable);
  const fs::path game = ws.root() / "usb/Pinball Nights";
  EXPECT_TRUE(saved.ok) << describe(saved);
  EXPECT_EQ(saved.message, "The game was saved:\n" + native(game));
  EXPECT_EQ(saved.result_path, q(game));
  expect_game_folder(game, build);
  EXPECT_FALSE(fs::exists(game / "libEGL.dll"));
}

}  // namespace
