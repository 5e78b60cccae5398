// Windows games out of a hand-made build folder: install with its shortcut and uninstall entry,
// the launcher's export, the portable folder, and how they fail.
#include "builder/install.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSettings>
#include <functional>
#include <memory>
#include <vector>

#include "builder/platform.hpp"
#include "support/built_game.hpp"
#include "support/test_support.hpp"

namespace {

using namespace testing_support;

const QString kKey =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\skarnbolt-rally";

struct World : ::testing::Environment {
  void SetUp() override {
    static int argc = 1;
    static char arg0[] = "builder_install_test";
    static char* argv[] = {arg0, nullptr};
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  void TearDown() override { app.reset(); }
  std::unique_ptr<QCoreApplication> app;
};
[[maybe_unused]] auto* const g_world = ::testing::AddGlobalTestEnvironment(new World);

// Every test gets its own home, XDG folders and LOCALAPPDATA.
class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base = QString::fromStdString(temp.path().string());
    home = base + "/home";
    QDir().mkpath(home);
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_DATA_HOME", (home + "/.local/share").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + "/.config").toUtf8());
    qputenv("LOCALAPPDATA", (base + "/local").toUtf8());
  }

  QString installed() const { return base + "/local/Programs/skarnbolt-port/rally"; }
  QString desktop_file() const {
    return home + "/.local/share/applications/Rally Champions.desktop";
  }
  QString ini_file() const { return home + "/.config/skarnbolt-uninstall.ini"; }

  TempDir temp;
  QString base;
  QString home;
};

// A desktop entry's string value as its readers see it.
QString unescape(const QString& value) {
  QString out;
  for (qsizetype i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    const QChar c = value[++i];
    out += c == 's'   ? QChar(' ')
           : c == 'n' ? QChar('\n')
           : c == 't' ? QChar('\t')
           : c == 'r' ? QChar('\r')
                      : c;
  }
  return out;
}

// The keys of the [Desktop Entry] group, values unescaped.
QMap<QString, QString> desktop_entry(const QString& path) {
  QMap<QString, QString> keys;
  const QStringList lines = QString::fromUtf8(file_bytes(path)).split('\n');
  if (lines.value(0) != "[Desktop Entry]") return keys;
  for (const QString& line : lines.mid(1)) {
    const qsizetype equals = line.indexOf('=');
    if (equals > 0) keys[line.left(equals)] = unescape(line.mid(equals + 1));
  }
  return keys;
}

// Runs an Exec line the way a desktop's launcher does (its quoting is the shell's double
// quoting); what the program printed.
QByteArray run_exec(QString exec) {
  exec.replace("%%", "%");
  QProcess shell;
  shell.start("sh", {"-c", exec});
  shell.waitForFinished(10000);
  return shell.readAllStandardOutput();
}

// The value names of the uninstall group, sorted.
QStringList ini_names(const QString& path) {
  QStringList names;
  bool inside = false;
  for (const QString& line : QString::fromUtf8(file_bytes(path)).split('\n')) {
    if (line.startsWith('['))
      inside = line.contains("Uninstall%5Cskarnbolt-rally");
    else if (inside && line.contains('='))
      names << line.section('=', 0, 0);
  }
  names.sort();
  return names;
}

bool executable_by_all(const QString& path) {
  const auto want = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
  return (QFileInfo(path).permissions() & want) == want;
}

TEST_F(InstallTest, InstallsTheGameWithShortcutAndUninstallEntry) {
  const builder::BuiltGame game = make_build(base + "/build", rally_game());
  put_file(desktop_file(), "an older entry");
  QString error;
  const QString dir = builder::install(game, error);
  ASSERT_EQ(dir, installed()) << error.toStdString();

  EXPECT_EQ(file_bytes(dir + "/skarnbolt-rally"), exe_script("v1"));
  EXPECT_TRUE(executable_by_all(dir + "/skarnbolt-rally"));
  EXPECT_EQ(file_bytes(dir + "/libEGL.dll"), "libEGL.dll v1");
  EXPECT_EQ(file_bytes(dir + "/libGLESv2.dll"), "libGLESv2.dll v1");
  EXPECT_EQ(files_below(dir + "/game"), game_files());
  EXPECT_EQ(file_bytes(dir + "/game/lib/mods/.hidden/turbo.bin"), "turbo v1");

  EXPECT_EQ(builder::platform::shortcut_path("Rally Champions"), desktop_file());
  const auto entry = desktop_entry(desktop_file());
  EXPECT_EQ(entry.value("Type"), "Application");
  EXPECT_EQ(entry.value("Name"), "Rally Champions");
  EXPECT_EQ(entry.value("Icon"), dir + "/game/icon.png");
  EXPECT_EQ(entry.value("Path"), dir);
  EXPECT_EQ(run_exec(entry.value("Exec")), "v1\n");

  EXPECT_EQ(builder::platform::uninstall_entries_path(), ini_file());
  EXPECT_EQ(ini_names(ini_file()),
            (QStringList{"DisplayIcon", "DisplayName", "DisplayVersion", "InstallLocation",
                         "NoModify", "NoRepair", "Publisher", "UninstallString"}));
  QSettings ini(ini_file(), QSettings::IniFormat);
  ini.beginGroup(kKey);
  EXPECT_EQ(ini.value("DisplayName").toString(), "Rally Champions");
  EXPECT_EQ(ini.value("DisplayVersion").toString(), "1.2.3");
  EXPECT_EQ(ini.value("DisplayIcon").toString(), dir + "/skarnbolt-rally");
  EXPECT_EQ(ini.value("Publisher").toString(), "skarnbolt-port");
  EXPECT_EQ(ini.value("InstallLocation").toString(), dir);
  EXPECT_EQ(ini.value("NoModify").toInt(), 1);
  EXPECT_EQ(ini.value("NoRepair").toInt(), 1);
  EXPECT_EQ(ini.value("UninstallString").toString(),
            "cmd.exe /c del /q \"" + dir + "\\skarnbolt-rally\" \"" + dir + "\\libEGL.dll\" \"" +
                dir + "\\libGLESv2.dll\" & rmdir /s /q \"" + dir + "\\game\" & rmdir \"" + dir +
                "\" & del /q \"" + desktop_file() +
                "\" & reg delete \"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
                "\\skarnbolt-rally\" /f");
}

TEST_F(InstallTest, ReinstallReplacesExecutableDllsAndGameData) {
  const QString build = base + "/build";
  QString error;
  ASSERT_FALSE(builder::install(make_build(build, rally_game(), "v1"), error).isEmpty());
  put_file(installed() + "/saves.dat", "progress");
  put_file(installed() + "/game/assets/stale.trk", "gone after the reinstall");

  builder::Game newer = rally_game();
  newer.version = "1.3 beta";
  ASSERT_FALSE(builder::install(make_build(build, newer, "v2"), error).isEmpty())
      << error.toStdString();
  EXPECT_EQ(file_bytes(installed() + "/skarnbolt-rally"), exe_script("v2"));
  EXPECT_TRUE(executable_by_all(installed() + "/skarnbolt-rally"));
  EXPECT_EQ(file_bytes(installed() + "/libGLESv2.dll"), "libGLESv2.dll v2");
  EXPECT_EQ(files_below(installed() + "/game"), game_files());
  EXPECT_EQ(file_bytes(installed() + "/game/assets/tracks/alps.trk"), "alps v2");
  EXPECT_EQ(file_bytes(installed() + "/saves.dat"), "progress");
  EXPECT_EQ(run_exec(desktop_entry(desktop_file()).value("Exec")), "v2\n");
  QSettings ini(ini_file(), QSettings::IniFormat);
  EXPECT_EQ(ini.value(kKey + "/DisplayVersion").toString(), "1.3");
}

TEST_F(InstallTest, InstallsWithoutTheGraphicsDlls) {
  QString error;
  const QString dir =
      builder::install(make_build(base + "/build", rally_game(), "v1", false), error);
  ASSERT_EQ(dir, installed()) << error.toStdString();
  EXPECT_TRUE(QFileInfo::exists(dir + "/skarnbolt-rally"));
  EXPECT_FALSE(QFileInfo::exists(dir + "/libEGL.dll"));
  EXPECT_FALSE(QFileInfo::exists(dir + "/libGLESv2.dll"));
}

TEST_F(InstallTest, ShortcutThatCannotBeMadeIsNoFailure) {
  // The applications folder would have to be made below a file.
  put_file(base + "/data-file", "");
  qputenv("XDG_DATA_HOME", (base + "/data-file").toUtf8());
  QString error;
  EXPECT_EQ(builder::install(make_build(base + "/build", rally_game()), error), installed());
  EXPECT_TRUE(error.isEmpty());
  EXPECT_FALSE(QFileInfo::exists(base + "/data-file/applications"));
  QSettings ini(ini_file(), QSettings::IniFormat);
  EXPECT_EQ(ini.value(kKey + "/DisplayName").toString(), "Rally Champions");
}

TEST_F(InstallTest, ShortcutStartsTheGameFromAFolderWithShellCharacters) {
  const QString local = base + "/odd folder $HOME `x` \"q\" 'a' \\b 100%";
  qputenv("LOCALAPPDATA", local.toUtf8());
  QString error;
  const QString dir = builder::install(make_build(base + "/build", rally_game()), error);
  ASSERT_EQ(dir, local + "/Programs/skarnbolt-port/rally") << error.toStdString();
  const auto entry = desktop_entry(desktop_file());
  EXPECT_EQ(run_exec(entry.value("Exec")), "v1\n") << entry.value("Exec").toStdString();
  EXPECT_EQ(entry.value("Icon"), dir + "/game/icon.png");
}

TEST_F(InstallTest, EmptyLocalAppDataInstallsBelowHome) {
  qputenv("LOCALAPPDATA", "");
  QString error;
  EXPECT_EQ(builder::install(make_build(base + "/build", rally_game()), error),
            home + "/Programs/skarnbolt-port/rally");
}

TEST_F(InstallTest, ExportsWriteTheGameFolder) {
  for (const bool dlls : {true, false}) {
    SCOPED_TRACE(dlls ? "with DLLs" : "without DLLs");
    const builder::BuiltGame game = make_build(base + "/build", rally_game(), "v1", dlls);
    const QString out = base + (dlls ? "/out-dlls" : "/out-plain");
    QString error;
    ASSERT_TRUE(builder::export_folder(game, out + "/folder", error)) << error.toStdString();
    EXPECT_EQ(builder::export_portable(game, out + "/parent", error),
              out + "/parent/Rally Champions");
    for (const QString& dir : {out + "/folder", out + "/parent/Rally Champions"}) {
      QStringList expected = {"skarnbolt-rally"};
      if (dlls)
        expected << "libEGL.dll"
                 << "libGLESv2.dll";
      for (const QString& file : game_files()) expected << "game/" + file;
      expected.sort();
      EXPECT_EQ(files_below(dir), expected);
      EXPECT_TRUE(executable_by_all(dir + "/skarnbolt-rally"));
    }
  }
  // Neither export touches the user's Start menu or uninstall entries.
  EXPECT_FALSE(QFileInfo::exists(desktop_file()));
  EXPECT_FALSE(QFileInfo::exists(ini_file()));
}

TEST_F(InstallTest, GameDataCopiesAsFoundAndDropsStaleFiles) {
  builder::BuiltGame game = make_build(base + "/build", rally_game());
  const QString out = base + "/out";
  put_file(out + "/game/lib/old.bin", "from an earlier export");
  put_file(out + "/game/unknown/file", "from an earlier export");
  put_file(out + "/notes.txt", "the user's");

  // No assets folder, an empty lib folder and no icon: empty folders stand in for all three.
  QDir(game.data_dir + "/assets").removeRecursively();
  QDir(game.data_dir + "/lib").removeRecursively();
  QDir().mkpath(game.data_dir + "/lib");
  QFile::remove(game.data_dir + "/icon.png");
  QString error;
  ASSERT_TRUE(builder::export_folder(game, out, error)) << error.toStdString();
  EXPECT_EQ(files_below(out),
            (QStringList{"libEGL.dll", "libGLESv2.dll", "notes.txt", "skarnbolt-rally"}));
  for (const char* folder : {"/game/lib", "/game/assets", "/game/icon.png"})
    EXPECT_TRUE(QFileInfo(out + folder).isDir()) << folder;
  EXPECT_FALSE(QFileInfo::exists(out + "/game/unknown"));

  // The next export puts the icon file where that folder stood.
  game = make_build(base + "/build", rally_game(), "v2");
  ASSERT_TRUE(builder::export_folder(game, out, error)) << error.toStdString();
  EXPECT_EQ(file_bytes(out + "/game/icon.png"), "png v2");
}

TEST_F(InstallTest, FailuresNameTheFolder) {
  const QString build = base + "/build";
  put_file(base + "/file", "");
  struct Case {
    const char* name;
    std::function<void()> spoil;
    QString destination;
    QString error;
  };
  const std::vector<Case> cases = {
      {"destination below a file",
       {},
       base + "/file/out",
       "Cannot copy the game into " + base + "/file/out"},
      {"no executable", [&] { QFile::remove(build + "/bin/skarnbolt-rally"); }, base + "/a",
       "Cannot copy the game into " + base + "/a"},
      {"a DLL blocked by a folder", [&] { put_file(base + "/c/libGLESv2.dll/inside", ""); },
       base + "/c", "Cannot copy libGLESv2.dll into " + base + "/c"},
      {"no destination", {}, "", "Cannot copy the game into "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const builder::BuiltGame game = make_build(build, rally_game());
    if (c.spoil) c.spoil();
    QString error;
    EXPECT_FALSE(builder::export_folder(game, c.destination, error));
    EXPECT_EQ(error, c.error);
  }

  QString error;
  const builder::BuiltGame game = make_build(build, rally_game());
  EXPECT_EQ(builder::export_portable(game, "", error), QString());
  EXPECT_EQ(error, "Cannot copy the game into /Rally Champions");
  EXPECT_FALSE(QFileInfo::exists("/Rally Champions"));
  qputenv("LOCALAPPDATA", (base + "/file").toUtf8());
  EXPECT_EQ(builder::install(game, error), QString());
  EXPECT_EQ(error, "Cannot copy the game into " + base + "/file/Programs/skarnbolt-port/rally");
  EXPECT_FALSE(QFileInfo::exists(desktop_file()));
  EXPECT_FALSE(QFileInfo::exists(ini_file()));
}

}  // namespace
