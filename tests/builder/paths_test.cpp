// Workspace folders: sizes, both layouts, portable data, the short cache link and unpacked copies.
//
// The folder globals are set once per run, so every layout is exercised in a fresh process: the
// test executable, hard-linked to wherever the scenario needs "the program's folder", is run
// again as a driver that performs a list of steps and prints the resulting folders.
#include "builder/paths.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

// ---- The driver side, registered only when the executable is started as a driver.

void drive_steps() {
  int argc = 1;
  char name[] = "driver";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  std::stringstream steps(std::getenv("SKARNBOLT_T_ACTIONS"));
  std::string step;
  while (std::getline(steps, step, ';')) {
    if (step == "portable")
      builder::use_portable_data();
    else if (step.rfind("root:", 0) == 0)
      builder::set_data_root(QString::fromStdString(step.substr(5)));
    else if (step == "shorten")
      builder::shorten_cache();
    else if (step == "remove_unpacked")
      builder::remove_unpacked_app();
    else if (step == "finish_removal")
      builder::finish_unpacked_app_removal();
    else if (!step.empty())
      FAIL() << "unknown step " << step;
  }
  auto put = [](const char* key, const QString& value) {
    std::printf("@@%s=%s\n", key, value.toStdString().c_str());
  };
  put("data_root", builder::data_root());
  put("cache_dir", builder::cache_dir());
  put("log_dir", builder::log_dir());
  put("data_dir", builder::data_dir());
  put("home_dir", builder::home_dir());
  put("unpacked_app_dir", builder::unpacked_app_dir());
  put("legacy_cache_dirs", builder::legacy_cache_dirs().join('|'));
  put("source_dir", builder::source_dir());
  put("sdl3_kit_dir", builder::sdl3_kit_dir());
  std::fflush(stdout);
}

const bool g_driver = register_driver("SKARNBOLT_T_ACTIONS", drive_steps);

// ---- The test side.

using Env = std::vector<std::pair<std::string, std::string>>;
using Folders = std::map<std::string, std::string>;

// This executable at folder/driver, so that it runs from `folder`.
fs::path place_program(const fs::path& folder) { return place_self(folder / "driver"); }

// Runs the driver with only the given workspace variables set; the folders it printed.
Folders drive(const fs::path& program, const std::string& steps, const fs::path& home,
              const Env& env) {
  std::string command =
      "env -u LOCALAPPDATA -u APPDATA -u SKARNBOLT_BUILDER_HOME -u APPIMAGE HOME=" +
      shell_quote(home.string()) + " SKARNBOLT_T_ACTIONS=" + shell_quote(steps);
  for (const auto& [key, value] : env) command += " " + key + "=" + shell_quote(value);
  command += " " + shell_quote(program.string()) + " --gtest_filter=Driver.run";
  std::string output;
  const int status = run(command, &output);
  EXPECT_EQ(status, 0) << output;
  Folders folders;
  std::stringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("@@", 0) != 0) continue;
    const auto eq = line.find('=');
    folders[line.substr(2, eq - 2)] = line.substr(eq + 1);
  }
  EXPECT_EQ(folders.size(), 9u) << output;
  return folders;
}

// A fresh folder with a short path, for the cache-length rule.
class ShortDir {
 public:
  ShortDir() {
    char name[] = "/tmp/skb.XXXXXX";
    path_ = mkdtemp(name);
  }
  ~ShortDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A stand-in for `tool` first in PATH that logs each call ("<working folder> <arguments>").
Env logging_tool(const fs::path& bin, const std::string& tool, const fs::path& log) {
  std::string real;
  run("command -v " + tool, &real);
  while (!real.empty() && real.back() == '\n') real.pop_back();
  write_text(bin / tool, "#!/bin/sh\necho \"$(pwd) $*\" >> " + shell_quote(log.string()) +
                             "\nexec " + shell_quote(real) + " \"$@\"\n");
  fs::permissions(bin / tool, fs::perms::owner_all);
  return {{"PATH", bin.string() + ":" + std::getenv("PATH")}};
}

int line_count(const fs::path& file) {
  if (!fs::exists(file)) return 0;
  std::stringstream lines(read_text(file));
  int count = 0;
  for (std::string line; std::getline(lines, line);) ++count;
  return count;
}

std::string sha256_name(const std::string& text) {
  std::string out;
  run_python("import hashlib,sys\nsys.stdout.write(hashlib.sha256(" + std::string("'''") + text +
                 "'''.lower().encode()).hexdigest()[:8])\n",
             &out);
  return out;
}

TEST(FormatSize, MebibytesBelowATenthOfAGibibyteThenGibibytes) {
  struct Case {
    qint64 bytes;
    const char* text;
  };
  const Case cases[] = {
      {0, "0 MiB"},
      {107374182, "102 MiB"},
      {107374183, "0.1 GiB"},
      {1610612736, "1.5 GiB"},
  };
  for (const Case& c : cases) EXPECT_EQ(builder::format_size(c.bytes), c.text) << c.bytes;
}

TEST(TreeSize, CountsHiddenFilesButNeitherFollowsNorCountsLinks) {
  TempDir dir;
  write_bytes(dir / "tree/a.bin", std::vector<unsigned char>(1000));
  write_bytes(dir / "tree/sub/.hidden", std::vector<unsigned char>(234));
  write_bytes(dir / "outside/big.bin", std::vector<unsigned char>(100000));
  fs::create_directory_symlink(dir / "outside", dir / "tree/sub/to-outside");
  fs::create_symlink(dir / "outside/big.bin", dir / "tree/big-link");
  EXPECT_EQ(builder::tree_size(QString::fromStdString((dir / "tree").string())), 1234);
  EXPECT_EQ(builder::tree_size(QString::fromStdString((dir / "missing").string())), 0);
}

TEST(Workspace, PortableFolderIsSoughtInTheHomeVariableTheAppImageOrBesideTheProgram) {
  TempDir dir;
  const fs::path program = place_program(dir / "program");
  fs::create_directories(dir / "chosen");
  fs::create_directories(dir / "image");
  write_text(dir / "image/Game.AppImage", "");
  const std::string chosen = (dir / "chosen").string();
  const std::string image = (dir / "image/Game.AppImage").string();
  struct Case {
    const char* what;
    Env env;
    fs::path home;
  };
  const Case cases[] = {
      {"home variable, cleaned", {{"SKARNBOLT_BUILDER_HOME", chosen + "//./"}}, dir / "chosen"},
      {"home variable wins",
       {{"SKARNBOLT_BUILDER_HOME", chosen}, {"APPIMAGE", image}},
       dir / "chosen"},
      {"empty home variable, AppImage",
       {{"SKARNBOLT_BUILDER_HOME", ""}, {"APPIMAGE", image}},
       dir / "image"},
      {"beside the program", {}, dir / "program"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Env env = c.env;
    env.push_back({"LOCALAPPDATA", (dir / "local").string()});
    const Folders f = drive(program, "portable", dir / "user", env);
    const std::string root = (c.home / "skarnbolt-builder-data").string();
    EXPECT_EQ(f.at("home_dir"), c.home.string());
    EXPECT_EQ(f.at("data_root"), root);
    EXPECT_EQ(f.at("log_dir"), root + "/logs");
    EXPECT_EQ(f.at("data_dir"), root + "/builder");
    EXPECT_TRUE(fs::is_directory(root));
    EXPECT_FALSE(fs::exists(root + "/.write-test"));
  }
}

// A program folder or home variable that does not decode as text names no folder that the
// user chose: the per-user layout stays, and nothing is made at the file-system root.
TEST(Workspace, UndecodableFoldersNeverGivePortableData) {
  TempDir dir;
  const bool root_had_one = fs::exists("/skarnbolt-builder-data");
  struct Case {
    const char* what;
    fs::path program_folder;
    Env env;
  };
  const Case cases[] = {
      {"program folder", dir / "program\xe9", {}},
      {"home variable",
       dir / "program",
       {{"SKARNBOLT_BUILDER_HOME", (dir / "chosen\xff").string()}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path program = place_program(c.program_folder);
    Env env = c.env;
    env.push_back({"LOCALAPPDATA", (dir / "local").string()});
    const Folders f = drive(program, "portable", dir / "user", env);
    EXPECT_EQ(f.at("data_root"), "");
    EXPECT_EQ(f.at("cache_dir"), (dir / "local/skarnbolt/c").string());
    EXPECT_FALSE(fs::exists(c.program_folder / "skarnbolt-builder-data"));
  }
  EXPECT_FALSE(fs::exists(dir / "chosen\xff"));
  EXPECT_FALSE(fs::exists(dir / "chosen\xef\xbf\xbd"));
  if (!root_had_one) {
    EXPECT_FALSE(fs::exists("/skarnbolt-builder-data"));
  }
}

TEST(Workspace, PortableLayoutWithoutALinkKeepsEverythingBelowTheDataRoot) {
  ShortDir dir;
  const fs::path program = place_program(dir.path() / "p");
  const Folders f = drive(program, "portable", dir.path() / "u",
                          {{"SKARNBOLT_BUILDER_HOME", (dir.path() / "h").string()}});
  const std::string root = (dir.path() / "h/skarnbolt-builder-data").string();
  ASSERT_LE(root.size() + 6, 60u);
  EXPECT_EQ(f.at("data_root"), root);
  EXPECT_EQ(f.at("cache_dir"), root + "/cache");
  EXPECT_EQ(f.at("log_dir"), root + "/logs");
  EXPECT_EQ(f.at("data_dir"), root + "/builder");
  EXPECT_FALSE(fs::exists(dir.path() / "u/skarnbolt/l"));
}

TEST(Workspace, UnwritablePortableFolderLeavesThePerUserLayout) {
  TempDir dir;
  const fs::path program = place_program(dir / "program");
  // Both fail even for root: a path through a regular file cannot be made, and a folder
  // standing where the probe file goes cannot be opened for writing.
  write_text(dir / "blocker", "");
  fs::create_directories(dir / "probe-blocked/skarnbolt-builder-data/.write-test");
  const std::string local = (dir / "local").string();
  struct Case {
    const char* what;
    Env env;
    std::string cache;
    std::string data;
  };
  const Case cases[] = {
      {"folder cannot be made, LOCALAPPDATA",
       {{"SKARNBOLT_BUILDER_HOME", (dir / "blocker").string()}, {"LOCALAPPDATA", local}},
       local + "/skarnbolt/c",
       local + "/skarnbolt/data"},
      {"probe cannot be written, home folder",
       {{"SKARNBOLT_BUILDER_HOME", (dir / "probe-blocked").string()}},
       (dir / "user/skarnbolt/c").string(),
       (dir / "user/skarnbolt/data").string()},
      // Never the file-system root when LOCALAPPDATA is set but empty.
      {"empty LOCALAPPDATA, home folder",
       {{"SKARNBOLT_BUILDER_HOME", (dir / "blocker").string()}, {"LOCALAPPDATA", ""}},
       (dir / "user/skarnbolt/c").string(),
       (dir / "user/skarnbolt/data").string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Folders f = drive(program, "portable", dir / "user", c.env);
    EXPECT_EQ(f.at("data_root"), "");
    EXPECT_EQ(f.at("cache_dir"), c.cache);
    EXPECT_EQ(f.at("log_dir"), c.cache);
    EXPECT_EQ(f.at("data_dir"), c.data);
    EXPECT_EQ(f.at("legacy_cache_dirs"), "");
  }
  EXPECT_TRUE(fs::is_directory(dir / "probe-blocked/skarnbolt-builder-data/.write-test"));
}

TEST(Workspace, PortableUseTakesOverTheOldCacheAndCopiesTheKeystore) {
  TempDir dir;
  const fs::path program = place_program(dir / "program");
  const fs::path local = dir / "local";
  const fs::path root = dir / "home/skarnbolt-builder-data";
  write_text(local / "skarnbolt/c/downloads/tool.zip", "old cache");
  write_text(local / "skarnbolt/data/android.keystore", "user key");
  const Env env = {{"SKARNBOLT_BUILDER_HOME", (dir / "home").string()},
                   {"LOCALAPPDATA", local.string()}};
  drive(program, "portable", dir / "user", env);
  EXPECT_EQ(read_text(root / "cache/downloads/tool.zip"), "old cache");
  EXPECT_FALSE(fs::exists(local / "skarnbolt/c"));
  EXPECT_EQ(read_text(root / "builder/android.keystore"), "user key");
  EXPECT_EQ(read_text(local / "skarnbolt/data/android.keystore"), "user key");

  // Existing portable data is never replaced; the per-user cache then stays behind as legacy.
  write_text(local / "skarnbolt/c/downloads/newer.zip", "newer cache");
  write_text(local / "skarnbolt/data/android.keystore", "other user key");
  const Folders f = drive(program, "portable", dir / "user", env);
  EXPECT_FALSE(fs::exists(root / "cache/downloads/newer.zip"));
  EXPECT_EQ(read_text(local / "skarnbolt/c/downloads/newer.zip"), "newer cache");
  EXPECT_EQ(read_text(root / "builder/android.keystore"), "user key");
  EXPECT_EQ(f.at("legacy_cache_dirs"), (local / "skarnbolt/c").string());
}

TEST(ShortCache, CachePathsLongerThanSixtyCharactersGetAReusedLink) {
  ShortDir dir;
  const fs::path local = dir.path() / "l";
  const fs::path links = local / "skarnbolt/l";
  const fs::path program = place_program(dir.path() / "p");
  const fs::path log = dir.path() / "ln.log";
  Env env = logging_tool(dir.path() / "bin", "ln", log);
  env.push_back({"LOCALAPPDATA", local.string()});
  // Data roots whose cache path ("<root>/cache") is exactly `length` characters long.
  auto root_of_length = [&](std::size_t length) {
    const std::string base = (dir.path() / "r").string() + std::to_string(length) + "-";
    return base + std::string(length - 6 - base.size(), 'x');
  };

  const std::string root60 = root_of_length(60);
  Folders f = drive(program, "root:" + root60 + ";shorten", dir.path() / "u", env);
  EXPECT_EQ(f.at("cache_dir"), root60 + "/cache");
  EXPECT_EQ(line_count(log), 0);

  const std::string root61 = root_of_length(61);
  const std::string cache61 = root61 + "/cache";
  const std::string link = (links / sha256_name(cache61)).string();
  f = drive(program, "root:" + root61 + ";shorten", dir.path() / "u", env);
  EXPECT_EQ(f.at("cache_dir"), link);
  EXPECT_EQ(f.at("log_dir"), root61 + "/logs");
  EXPECT_EQ(fs::read_symlink(link), cache61);
  EXPECT_TRUE(fs::is_directory(cache61));
  EXPECT_EQ(line_count(log), 1);

  // A second start finds the link and runs no command.
  f = drive(program, "root:" + root61 + ";shorten", dir.path() / "u", env);
  EXPECT_EQ(f.at("cache_dir"), link);
  EXPECT_EQ(line_count(log), 1);
}

TEST(ShortCache, RootsDifferingOnlyInCaseShareTheLinkName) {
  ShortDir dir;
  const fs::path program = place_program(dir.path() / "p");
  const std::string long_part = "/A-Data-Root-Long-Enough-To-Need-A-Short-Link-Somewhere";
  std::vector<std::string> names;
  for (const std::string& root :
       {dir.path().string() + long_part,
        dir.path().string() + QString::fromStdString(long_part).toLower().toStdString()}) {
    ShortDir local;
    const Folders f = drive(program, "root:" + root + ";shorten", dir.path() / "u",
                            {{"LOCALAPPDATA", local.path().string()}});
    const fs::path link = f.at("cache_dir");
    EXPECT_EQ(link.parent_path(), local.path() / "skarnbolt/l");
    names.push_back(link.filename().string());
  }
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], names[1]);
  EXPECT_EQ(names[0].size(), 8u);
  EXPECT_EQ(names[0].find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(ShortCache, APlainFolderWhereTheLinkBelongsIsLeftAlone) {
  ShortDir dir;
  const fs::path local = dir.path() / "l";
  const fs::path program = place_program(dir.path() / "p");
  const fs::path log = dir.path() / "ln.log";
  Env env = logging_tool(dir.path() / "bin", "ln", log);
  env.push_back({"LOCALAPPDATA", local.string()});
  const std::string root = dir.path().string() + "/a-data-root-long-enough-to-need-a-short-link";
  const fs::path in_the_way = local / "skarnbolt/l" / sha256_name(root + "/cache");
  write_text(in_the_way / "mine.txt", "keep");

  const Folders f = drive(program, "root:" + root + ";shorten", dir.path() / "u", env);
  EXPECT_EQ(line_count(log), 1);
  EXPECT_EQ(f.at("cache_dir"), root + "/cache");
  EXPECT_FALSE(fs::is_symlink(in_the_way));
  std::vector<fs::path> inside;
  for (const auto& entry : fs::directory_iterator(in_the_way)) inside.push_back(entry.path());
  EXPECT_EQ(inside, std::vector<fs::path>{in_the_way / "mine.txt"});
}

TEST(ShortCache, DanglingLinksAreRemovedWhetherOrNotALinkIsNeeded) {
  ShortDir dir;
  const fs::path program = place_program(dir.path() / "p");
  for (const std::string& tail :
       {std::string("/s"), std::string("/a-data-root-long-enough-to-need-a-short-link")}) {
    SCOPED_TRACE(tail);
    ShortDir local;
    const fs::path links = local.path() / "skarnbolt/l";
    fs::create_directories(links);
    fs::create_directories(dir.path() / "alive");
    fs::create_directory_symlink(dir.path() / "gone", links / "deadbeef");
    fs::create_directory_symlink(dir.path() / "alive", links / "0badf00d");
    write_text(links / "notes.txt", "plain file");
    drive(program, "root:" + dir.path().string() + tail + ";shorten", dir.path() / "u",
          {{"LOCALAPPDATA", local.path().string()}});
    EXPECT_FALSE(fs::is_symlink(links / "deadbeef"));
    EXPECT_TRUE(fs::is_symlink(links / "0badf00d"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "alive"));
    EXPECT_EQ(read_text(links / "notes.txt"), "plain file");
  }
}

TEST(ProgramFolder, SourcesAndSdl3KitAreFoundBesideTheProgramInOrder) {
  TempDir dir;
  auto source_tree = [](const fs::path& folder) {
    write_text(folder / "CMakeLists.txt", "");
    fs::create_directories(folder / "games");
  };
  auto sdl3_kit = [](const fs::path& folder) {
    write_text(folder / "lib/cmake/SDL3/SDL3Config.cmake", "");
  };
  struct Case {
    const char* what;
    fs::path bin;
    std::string source;  // empty: the compiled-in fallback
    std::string sdl3;
  };
  const fs::path a = dir / "a", b = dir / "b", c = dir / "c", d = dir / "d";
  // a: every candidate qualifies; b: only the bundle layout; c: only the installed layout, and
  // an incomplete tree beside the program; d: nothing.
  source_tree(a / "bin/source");
  source_tree(a / "Resources/source");
  sdl3_kit(a / "bin/sdl3");
  sdl3_kit(a / "share/skarnbolt-builder/sdl3");
  source_tree(b / "Resources/source");
  source_tree(c / "share/skarnbolt-builder/source");
  fs::create_directories(c / "bin/source/games");
  sdl3_kit(c / "share/skarnbolt-builder/sdl3");
  fs::create_directories(d / "bin");
  const Case cases[] = {
      {"all there", a / "bin", (a / "bin/source").string(), (a / "bin/sdl3").string()},
      {"bundle", b / "bin", (b / "Resources/source").string(), ""},
      {"installed", c / "bin", (c / "share/skarnbolt-builder/source").string(),
       (c / "share/skarnbolt-builder/sdl3").string()},
      {"none", d / "bin", "", ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const Folders f = drive(place_program(k.bin), "", dir / "user", {});
    EXPECT_EQ(f.at("sdl3_kit_dir"), k.sdl3);
    if (!k.source.empty()) {
      EXPECT_EQ(f.at("source_dir"), k.source);
    } else {
      EXPECT_TRUE(fs::path(f.at("source_dir")).is_absolute()) << f.at("source_dir");
      EXPECT_NE(f.at("source_dir").rfind(dir.path().string(), 0), 0u) << f.at("source_dir");
    }
  }
}

TEST(UnpackedCopy, FoundBelowEitherRootWhateverTheLetterCase) {
  TempDir dir;
  const fs::path local = dir / "local";
  const fs::path home = dir / "home";
  const std::string root = (home / "skarnbolt-builder-data").string();
  struct Case {
    const char* what;
    fs::path program_dir;
    std::string steps;
    std::string copy;
  };
  const Case cases[] = {
      {"portable root", root + "/app/release/bin", "portable", root + "/app/release"},
      {"portable root, other case", home / "Skarnbolt-Builder-Data/APP/Release/bin", "portable",
       root + "/app/Release"},
      {"per-user root, other case", local / "Skarnbolt/App/v2/bin", "",
       (local / "skarnbolt/app/v2").string()},
      {"per-user root in the portable layout", local / "skarnbolt/app/v3/bin", "portable",
       (local / "skarnbolt/app/v3").string()},
      {"elsewhere", dir / "elsewhere/bin", "portable", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path program = place_program(c.program_dir);
    const Folders f =
        drive(program, c.steps, dir / "user",
              {{"SKARNBOLT_BUILDER_HOME", home.string()}, {"LOCALAPPDATA", local.string()}});
    EXPECT_EQ(f.at("unpacked_app_dir"), c.copy);
  }
}

TEST(UnpackedCopy, NoPerUserRootWithoutLocalAppData) {
  TempDir dir;
  // With LOCALAPPDATA unset only the portable root counts; the home folder stands in for the
  // per-user cache but never for the root of unpacked copies.
  const fs::path user = dir / "user";
  fs::create_directories(user / "skarnbolt/c");
  fs::create_directories(user / "skarnbolt/app");
  const fs::path program = place_program(user / "skarnbolt/app/v1/bin");
  const Folders f =
      drive(program, "portable", user, {{"SKARNBOLT_BUILDER_HOME", (dir / "home").string()}});
  EXPECT_EQ(f.at("unpacked_app_dir"), "");
  EXPECT_EQ(f.at("legacy_cache_dirs"), "");  // the per-user cache was taken over
  EXPECT_TRUE(fs::is_directory(dir / "home/skarnbolt-builder-data/cache"));
}

TEST(UnpackedCopy, LegacyFoldersLeaveOutTheOneHoldingTheRunningCopy) {
  TempDir dir;
  const fs::path local = dir / "local";
  const fs::path home = dir / "home";
  fs::create_directories(home / "skarnbolt-builder-data/cache");
  fs::create_directories(local / "skarnbolt/c");
  fs::create_directories(local / "skarnbolt/app/v1");
  const Env env = {{"SKARNBOLT_BUILDER_HOME", home.string()}, {"LOCALAPPDATA", local.string()}};
  const std::string user_cache = (local / "skarnbolt/c").string();
  const std::string user_apps = (local / "skarnbolt/app").string();

  Folders f = drive(place_program(dir / "elsewhere"), "portable", dir / "user", env);
  EXPECT_EQ(f.at("legacy_cache_dirs"), user_cache + "|" + user_apps);
  f = drive(place_program(local / "skarnbolt/app/v2/bin"), "portable", dir / "user", env);
  EXPECT_EQ(f.at("legacy_cache_dirs"), user_cache);
  f = drive(place_program(dir / "elsewhere"), "", dir / "user", env);
  EXPECT_EQ(f.at("legacy_cache_dirs"), "");
}

TEST(UnpackedCopy, RemovalKeepsTheRunningCopyUntilAfterExit) {
  TempDir dir;
  const fs::path apps = dir / "home/skarnbolt-builder-data/app";
  write_text(apps / "old/bin/driver", "older copy");
  write_text(apps / ".hidden/keep.txt", "hidden");
  write_text(dir / "outside/precious.txt", "not ours");
  fs::create_directory_symlink(dir / "outside", apps / "linked");
  const fs::path program = place_program(apps / "current/bin");
  const fs::path log = dir / "sh.log";
  Env env = logging_tool(dir / "bin", "sh", log);
  env.push_back({"SKARNBOLT_BUILDER_HOME", (dir / "home").string()});

  drive(program, "portable;remove_unpacked;finish_removal", dir / "user", env);
  EXPECT_TRUE(fs::exists(program));  // the removal waits about three seconds
  EXPECT_FALSE(fs::exists(apps / "old"));
  EXPECT_FALSE(fs::exists(apps / "linked"));
  EXPECT_EQ(read_text(dir / "outside/precious.txt"), "not ours");
  EXPECT_TRUE(fs::exists(apps / ".hidden/keep.txt"));
  // The detached command outlives the program; it runs in the folder above the roots of
  // unpacked copies.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while ((line_count(log) == 0 || fs::exists(apps / "current")) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(line_count(log), 1);
  EXPECT_EQ(read_text(log).rfind((dir / "home/skarnbolt-builder-data").string() + " ", 0), 0u)
      << read_text(log);
  EXPECT_FALSE(fs::exists(apps / "current"));
  EXPECT_TRUE(fs::is_directory(apps));
}

TEST(UnpackedCopy, NothingIsRemovedOrStartedWithoutACopyOrARequest) {
  TempDir dir;
  const fs::path log = dir / "sh.log";
  Env env = logging_tool(dir / "bin", "sh", log);
  env.push_back({"SKARNBOLT_BUILDER_HOME", (dir / "home").string()});
  const fs::path apps = dir / "home/skarnbolt-builder-data/app";
  write_text(dir / "elsewhere/sibling/file.txt", "x");
  write_text(apps / "old/file.txt", "x");

  drive(place_program(dir / "elsewhere/bin"), "portable;remove_unpacked;finish_removal",
        dir / "user", env);
  drive(place_program(apps / "current/bin"), "portable;finish_removal", dir / "user", env);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(fs::exists(dir / "elsewhere/sibling/file.txt"));
  EXPECT_TRUE(fs::exists(apps / "old/file.txt"));
  EXPECT_TRUE(fs::exists(apps / "current/bin/driver"));
  EXPECT_EQ(line_count(log), 0);
}

}  // namespace
