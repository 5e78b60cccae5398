// The seeded tool cache that the build-job tests stand on: every tool is found without a
// download, devkitPro's lists come from loopback, and adb is the stand-in.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <atomic>

#include "builder/devkitpro.hpp"
#include "builder/downloads.hpp"
#include "builder/paths.hpp"
#include "support/test_support.hpp"
#include "support/tool_cache.hpp"

namespace {

using namespace testing_support;

QString qpath(const fs::path& path) { return QString::fromStdString(path.string()); }

QCoreApplication& app() {
  static int argc = 1;
  static char arg0[] = "builder_tool_cache_test";
  static char* argv[] = {arg0, nullptr};
  static QCoreApplication instance(argc, argv);
  return instance;
}

TEST(ToolCache, EveryToolIsFoundWithoutADownload) {
  app();
  TempDir dir;
  const fs::path cache = dir / "cache";
  ASSERT_TRUE(seed_tool_cache(cache, true, true));
  ASSERT_TRUE(seed_tool_cache(cache, true, true));  // seeding again keeps what is there
  builder::set_cache_dir(qpath(cache));

  QStringList log;
  std::atomic<bool> cancel{false};
  builder::FetchContext context;
  context.cancel = &cancel;
  context.log = [&](const QString& line) { log << line; };
  for (int tool = 0; tool <= 8; ++tool) {
    const builder::Download* row = builder::download_for(builder::Tool(tool));
    if (!row) continue;
    QString error;
    EXPECT_EQ(builder::fetch(*row, context, error), qpath(cache / "tools") + "/" + row->folder)
        << error.toStdString();
  }
  EXPECT_TRUE(log.isEmpty()) << log.join('\n').toStdString();

  const QString cmake = qpath(cache / "tools/cmake/bin/cmake");
  QProcess version;
  version.start(cmake, {"--version"});
  ASSERT_TRUE(version.waitForFinished(30000));
  EXPECT_TRUE(version.readAll().startsWith("cmake version"));
  EXPECT_TRUE(fs::exists(cache / "tools/ninja/ninja"));
  EXPECT_TRUE(fs::exists(cache / "tools/android-ndk/build/cmake/android.toolchain.cmake"));

  if (builder::devkitpro_available()) {
    QString error;
    EXPECT_EQ(builder::fetch_devkitpro(cmake, context, error), qpath(cache / "tools/devkitpro"))
        << error.toStdString();
    // Only the two lists were fetched: the installed packages are current.
    EXPECT_EQ(log.filter("Downloading ").size(), 2) << log.join('\n').toStdString();
    EXPECT_TRUE(log.filter("Unpacking").isEmpty()) << log.join('\n').toStdString();
  }
}

TEST(ToolCache, StandInAdbAnswersDevicesAndRecordsInstalls) {
  TempDir dir;
  const fs::path cache = dir / "cache";
  ASSERT_TRUE(
      seed_tool_cache(cache, true, false, adb_listing({{"A1", "device"}, {"B2", "unauthorized"}})));
  const std::string adb = seeded_adb(cache).string();
  std::string output;
  EXPECT_EQ(run(shell_quote(adb) + " devices", &output), 0);
  EXPECT_EQ(output, "List of devices attached\nA1\tdevice\nB2\tunauthorized\n\n");
  set_adb_devices(cache, adb_listing({}));
  EXPECT_EQ(run(shell_quote(adb) + " devices", &output), 0);
  EXPECT_EQ(output, "List of devices attached\n\n");
  EXPECT_EQ(run(shell_quote(adb) + " -s A1 install -r /x/game.apk", &output), 0);
  EXPECT_EQ(adb_calls(seeded_adb(cache)),
            (std::vector<std::vector<std::string>>{{"-s", "A1", "install", "-r", "/x/game.apk"}}));
}

TEST(ToolCache, WritableCopyOfTheTestPort) {
  TempDir dir;
  write_text(dir / "port/stale.txt", "old");
  ASSERT_TRUE(copy_test_port(dir / "port"));
  EXPECT_FALSE(fs::exists(dir / "port/stale.txt"));
  EXPECT_TRUE(fs::exists(dir / "port/games/starwars2/game.json"));
  write_text(dir / "port/games/starwars2/game.json", "changed");
  EXPECT_NE(read_text(fixtures_dir() / "port/games/starwars2/game.json"), "changed");
}

}  // namespace
