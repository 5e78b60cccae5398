// Android and Nintendo Switch builds of the test port through the build job: the host tool,
// the target options, the packages, and what happens with adb's devices.
#include <gtest/gtest.h>

#include <QDir>
#include <QStandardPaths>

#include "builder/devkitpro.hpp"
#include "builder/job.hpp"
#include "builder/paths.hpp"
#include "support/job_runner.hpp"
#include "support/test_support.hpp"
#include "support/tool_cache.hpp"

namespace {

using namespace testing_support;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }
QString native(const fs::path& path) { return QDir::toNativeSeparators(q(path)); }

// The names in a ZIP archive.
std::string zip_names(const fs::path& archive) {
  std::string output;
  run("python3 -c " +
          shell_quote(
              "import sys, zipfile; print('\\n'.join(zipfile.ZipFile(sys.argv[1]).namelist()))") +
          " " + shell_quote(archive.string()),
      &output);
  return output;
}

builder::Request rally_on_android(const JobWorkspace& ws) {
  builder::Request request;
  request.apk = q(ws.apk("rallydust"));
  request.game = port_game("rally");
  request.android = true;
  return request;
}

TEST(AndroidBuild, NoDeviceOneDeviceUnauthorizedAndBothFlags) {
  JobWorkspace ws;
  const fs::path build = ws.build("android-arm64");
  const fs::path host = ws.build("host");
  const QString source = q(ws.cache() / "source");
  const QString cmake = q(ws.cache() / "tools/cmake/bin/cmake");
  const fs::path keystore = ws.root() / "data/builder/android.keystore";

  const JobResult first = run_job(rally_on_android(ws));
  EXPECT_TRUE(first.lines.value(0).endsWith(", Android, " + QString::number(builder::job_count()) +
                                            " parallel jobs"))
      << first.lines.value(0).toStdString();
  EXPECT_TRUE(first.lines.contains(
      "$ " + cmake + " -S " + source + " -B " + q(host) + " -G Ninja -DCMAKE_MAKE_PROGRAM=" +
      q(ws.cache() / "tools/ninja/ninja") + " -DCMAKE_BUILD_TYPE=Release" +
      " -DSKARNBOLT_TOOLS_ONLY=ON -DSKARNBOLT_SYSTEM_DEPS=OFF -DCMAKE_TOOLCHAIN_FILE=" + source +
      "/cmake/toolchains/llvm-mingw.cmake -DLLVM_MINGW=" + q(ws.cache() / "tools/llvm-mingw")))
      << first.lines.join('\n').toStdString();
  EXPECT_TRUE(fs::exists(host / "host-tools/codelift"));
  EXPECT_TRUE(first.lines.contains(
      "$ " + cmake + " -S " + source + " -B " + q(build) +
      " -G Ninja -DCMAKE_MAKE_PROGRAM=" + q(ws.cache() / "tools/ninja/ninja") +
      " -DCMAKE_BUILD_TYPE=Release -DGAME_APKS=" + q(ws.apk("rallydust")) +
      " -DSKARNBOLT_DEFAULT_MODS=default -DGAME_EXTRA_starwars2= " + "-DCMAKE_TOOLCHAIN_FILE=" +
      q(ws.cache() / "tools/android-ndk") +
      "/build/cmake/android.toolchain.cmake -DANDROID_ABI=arm64-v8a" +
      " -DANDROID_PLATFORM=android-24 -DSKARNBOLT_HOST_TOOLS=" + q(host / "host-tools") +
      " -DSKARNBOLT_ANDROID_SDK=" + q(ws.cache() / "tools/android-sdk") + " -DSKARNBOLT_JDK=" +
      q(ws.cache() / "tools/jdk") + " -DSKARNBOLT_ANDROID_KEYSTORE=" + q(keystore)))
      << first.lines.join('\n').toStdString();
  EXPECT_FALSE(first.lines.filter("] Packaging Rally Dust (APK)").isEmpty());
  EXPECT_TRUE(first.statuses.contains("Preparing the build tools"));
  EXPECT_TRUE(first.statuses.contains("Packaging Rally Dust"));
  ASSERT_EQ(first.phases.size(), 5);
  EXPECT_EQ(first.phases[1].weight, 60);
  EXPECT_EQ(first.phases[4].weight, 15);
  const fs::path package = build / "bin/skarnbolt-rally.apk";
  EXPECT_NE(zip_names(package).find("lib/arm64-v8a/libmain.so"), std::string::npos);
  EXPECT_TRUE(fs::exists(keystore));  // the port signs with the builder's key
  EXPECT_NE(read_text(build / "games/rally/assets/build-info.txt").find("target=android\n"),
            std::string::npos);

  // Two devices: the first one gets the APK. The host tool is not configured again.
  set_adb_devices(ws.cache(),
                  adb_listing({{"B2", "unauthorized"}, {"A1", "device"}, {"C3", "device"}}));
  const JobResult installed = run_job(rally_on_android(ws));
  EXPECT_TRUE(installed.lines.filter("-DSKARNBOLT_TOOLS_ONLY=ON").isEmpty());
  EXPECT_TRUE(installed.lines.contains("$ " + cmake + " --build " + q(host) + " -j " +
                                       QString::number(builder::job_count())));
  EXPECT_TRUE(installed.lines.filter("/generated/funcs_").isEmpty());

  const fs::path downloads =
      QStandardPaths::writableLocation(QStandardPaths::DownloadLocation).toStdString();
  EXPECT_TRUE(first.ok) << describe(first);
  EXPECT_EQ(first.message, "No Android device is connected, so the APK was saved:\n" +
                               native(downloads / "Rally Dust.apk"));
  EXPECT_EQ(first.result_path, q(downloads / "Rally Dust.apk"));
  EXPECT_EQ(read_bytes(downloads / "Rally Dust.apk"), read_bytes(package));

  EXPECT_TRUE(installed.ok) << describe(installed);
  EXPECT_EQ(installed.message, "Rally Dust is installed on the Android device.");
  EXPECT_TRUE(installed.result_path.isEmpty());
  EXPECT_TRUE(installed.statuses.contains("Installing on A1"));
  EXPECT_EQ(
      adb_calls(seeded_adb(ws.cache())),
      (std::vector<std::vector<std::string>>{{"-s", "A1", "install", "-r", package.string()}}));

  // Only an unauthorized device: saved where the request says.
  set_adb_devices(ws.cache(), adb_listing({{"B2", "unauthorized"}}));
  builder::Request to_file = rally_on_android(ws);
  to_file.output = q(ws.root() / "out/rally.apk");
  fs::create_directories(ws.root() / "out");
  const JobResult saved = run_job(to_file);
  EXPECT_TRUE(saved.ok) << describe(saved);
  EXPECT_EQ(saved.message, "No Android device is connected, so the APK was saved:\n" +
                               native(ws.root() / "out/rally.apk"));
  EXPECT_EQ(saved.result_path, to_file.output);
  EXPECT_EQ(adb_calls(seeded_adb(ws.cache())).size(), 1u);

  // Both flags, which only a Request made by hand carries: Android is built and finished.
  builder::Request both = rally_on_android(ws);
  both.switch_ = true;
  both.install = false;
  both.output = q(ws.root() / "out/both.apk");
  const JobResult android = run_job(both);
  EXPECT_TRUE(android.ok) << describe(android);
  EXPECT_TRUE(android.lines.value(0).contains(", Android, "));
  EXPECT_EQ(android.message, "The APK was saved:\n" + native(ws.root() / "out/both.apk"));
  EXPECT_EQ(read_bytes(ws.root() / "out/both.apk"), read_bytes(package));
  EXPECT_FALSE(fs::exists(ws.build("switch")));
}

TEST(SwitchBuild, ChosenModsExtraDataAndOutputPath) {
  if (!builder::devkitpro_available()) GTEST_SKIP() << "devkitPro serves x86_64 only";
  JobWorkspace ws;
  const fs::path build = ws.build("switch");
  const QString source = q(ws.cache() / "source");
  write_text(ws.root() / "assets_service/voices/en.txt", "hello\n");

  builder::Request request;
  request.apk = q(ws.apk("starwars2"));
  request.game = port_game("starwars2");
  request.switch_ = true;
  request.default_mods = false;
  request.mods = QStringList{"60 FPS", "Cockpit view"};
  request.assets = q(ws.root() / "assets_service");
  request.output = q(ws.root() / "sd/starwars2.nro");
  fs::create_directories(ws.root() / "sd");
  const JobResult result = run_job(request);

  EXPECT_TRUE(result.lines.value(0).contains(", Nintendo Switch, "));
  EXPECT_TRUE(result.statuses.contains("Checking devkitPro"));
  EXPECT_FALSE(result.lines
                   .filter(" -DSKARNBOLT_DEFAULT_MODS=60 FPS;Cockpit view -DGAME_EXTRA_starwars2=" +
                           request.assets + " -DCMAKE_TOOLCHAIN_FILE=" + source +
                           "/cmake/toolchains/switch.cmake -DDEVKITPRO=" +
                           q(ws.cache() / "tools/devkitpro") +
                           " -DSKARNBOLT_HOST_TOOLS=" + q(ws.build("host") / "host-tools"))
                   .isEmpty())
      << result.lines.join('\n').toStdString();
  EXPECT_TRUE(result.lines.filter("Unpacking").isEmpty());  // devkitPro was current
  EXPECT_FALSE(result.lines.filter("] Packaging Starwars 2 (NRO)").isEmpty());
  const std::string info = read_text(build / "games/starwars2/assets/build-info.txt");
  EXPECT_NE(info.find("\nmods=60 FPS;Cockpit view\n"), std::string::npos) << info;
  EXPECT_NE(info.find("\nextra=" + request.assets.toStdString() + "\n"), std::string::npos);
  const fs::path package = build / "bin/skarnbolt-starwars2.nro";
  EXPECT_NE(zip_names(package).find("romfs/assets/assets_service/voices/en.txt"),
            std::string::npos);
  std::string output;
  run(shell_quote((build / "bin/skarnbolt-starwars2.elf").string()), &output);
  EXPECT_NE(output.find("mod Cockpit view: on"), std::string::npos) << output;
  EXPECT_NE(output.find("mod Wide view: off"), std::string::npos) << output;

  EXPECT_TRUE(result.ok) << describe(result);
  EXPECT_EQ(result.message, "The Nintendo Switch homebrew was saved:\n" +
                                native(ws.root() / "sd/starwars2.nro") +
                                "\n\nCopy it into the folder switch on the SD card and start it "
                                "from the Homebrew Menu.");
  EXPECT_EQ(result.result_path, request.output);
  EXPECT_EQ(read_bytes(ws.root() / "sd/starwars2.nro"), read_bytes(package));
}

}  // namespace
