// Mirroring the port's sources into the cache.
//
// The source tree is found beside the program, so each run happens in a fresh process: the test
// executable, hard-linked next to a generated "source" folder, is run again as a driver that
// mirrors once and prints the result.
#include "builder/paths.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

// ---- The driver side, registered only when the executable is started as a driver.

void mirror_once() {
  int argc = 1;
  char name[] = "driver";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  builder::set_data_root(QString::fromStdString(std::getenv("SKARNBOLT_T_SYNC_ROOT")));
  QString error = "untouched";
  const QString result = builder::sync_sources(error);
  std::printf("@@result=%s\n@@error=%s\n", result.toStdString().c_str(),
              error.toStdString().c_str());
  std::fflush(stdout);
}

const bool g_driver = register_driver("SKARNBOLT_T_SYNC_ROOT", mirror_once);

// ---- The test side.

struct Outcome {
  std::string result;
  std::string error;
};

std::vector<std::string> files_below(const fs::path& folder) {
  std::vector<std::string> files;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator();
       ++it) {
    if (!it->is_directory() || it->is_symlink())
      files.push_back(it->path().lexically_relative(folder).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void set_old_time(const fs::path& file) {
  fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 20));
}

bool has_old_time(const fs::path& file) {
  return fs::last_write_time(file) <
         fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 10);
}

class SyncSources : public testing::Test {
 protected:
  void SetUp() override {
    place_self(program_);
    // The parts of a port tree that make the folder count as a source tree, and more.
    write_text(source_ / "CMakeLists.txt", "project(port)\n");
    write_text(source_ / "cmake/Port.cmake", "# helpers\n");
    write_text(source_ / "games/g1/game.json", "{\"title\": \"One\"}\n");
    write_text(source_ / "games/g1/.hidden", "hidden");
    write_text(source_ / "mods/m/a.cpp", "int a;\n");
    write_bytes(source_ / "mods/m/exact.bin", random_bytes(1 << 20, 1));
    write_text(source_ / "mods/gone/only.cpp", "int gone;\n");
    write_text(source_ / "platform/win/main.c", "int main() {}\n");
    fs::create_directories(source_ / "runtime");
    write_text(source_ / "tools/empty.txt", "");
    write_bytes(source_ / "tools/big.bin", random_bytes(5 << 19, 2));
    // Not mirrored: other top-level entries, folders reached through links, dangling links.
    write_text(source_ / "README.md", "read me");
    write_text(source_ / "docs/guide.md", "guide");
    write_text(dir_ / "outside/elsewhere.txt", "elsewhere");
    fs::create_directory_symlink(dir_ / "outside", source_ / "games/linked");
    fs::create_symlink(dir_ / "nowhere", source_ / "mods/m/dangling");
  }

  Outcome sync() {
    const std::string command =
        "env SKARNBOLT_T_SYNC_ROOT=" + shell_quote((dir_ / "data").string()) + " " +
        shell_quote(program_.string()) + " --gtest_filter=Driver.run";
    std::string output;
    EXPECT_EQ(run(command, &output), 0) << output;
    Outcome outcome;
    std::stringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("@@result=", 0) == 0) outcome.result = line.substr(9);
      if (line.rfind("@@error=", 0) == 0) outcome.error = line.substr(8);
    }
    return outcome;
  }

  void expect_success() {
    const Outcome outcome = sync();
    EXPECT_EQ(outcome.result, mirror_.string());
    EXPECT_EQ(outcome.error, "untouched");
  }

  TempDir dir_;
  fs::path program_ = dir_ / "app/driver";
  fs::path source_ = dir_ / "app/source";
  fs::path mirror_ = dir_ / "data/cache/source";
  const std::vector<std::string> mirrored_ = {
      "CMakeLists.txt",     "cmake/Port.cmake", "games/g1/.hidden", "games/g1/game.json",
      "mods/gone/only.cpp", "mods/m/a.cpp",     "mods/m/exact.bin", "platform/win/main.c",
      "tools/big.bin",      "tools/empty.txt"};
};

TEST_F(SyncSources, FirstRunCopiesTheMirroredEntriesOnly) {
  expect_success();
  EXPECT_EQ(files_below(mirror_), mirrored_);
  for (const std::string& file : mirrored_)
    EXPECT_EQ(read_bytes(mirror_ / file), read_bytes(source_ / file)) << file;
}

TEST_F(SyncSources, UnchangedFilesAreComparedByContentNotTimeStamp) {
  expect_success();
  for (const std::string& file : mirrored_) set_old_time(mirror_ / file);
  // New time stamps on every source file, the same content.
  for (const std::string& file : mirrored_)
    fs::last_write_time(source_ / file, fs::file_time_type::clock::now());
  expect_success();
  for (const std::string& file : mirrored_) EXPECT_TRUE(has_old_time(mirror_ / file)) << file;

  // Same sizes, different bytes: in the first chunk, at the very end of a one-chunk file, and
  // in the last chunk of a larger one.
  const std::vector<std::string> changed = {"games/g1/game.json", "mods/m/exact.bin",
                                            "tools/big.bin"};
  write_text(source_ / "games/g1/game.json", "{\"title\": \"Two\"}\n");
  for (const char* name : {"mods/m/exact.bin", "tools/big.bin"}) {
    auto bytes = read_bytes(source_ / name);
    bytes.back() ^= 0xff;
    write_bytes(source_ / name, bytes);
  }
  expect_success();
  for (const std::string& file : mirrored_) {
    const bool is_changed = std::count(changed.begin(), changed.end(), file) != 0;
    EXPECT_EQ(has_old_time(mirror_ / file), !is_changed) << file;
    EXPECT_EQ(read_bytes(mirror_ / file), read_bytes(source_ / file)) << file;
  }
}

TEST_F(SyncSources, StaleFilesGoAndFoldersStay) {
  expect_success();
  fs::remove(source_ / "mods/gone/only.cpp");
  write_text(mirror_ / "old-top.txt", "left by an older tree");
  write_text(mirror_ / ".stale", "hidden");
  write_text(mirror_ / "docs/old.md", "old");
  write_text(mirror_ / "games/g1/stale.json", "old");
  // A link in the mirror is not walked into, so nothing beyond it is touched.
  write_text(dir_ / "precious/keep.txt", "keep");
  fs::create_directory_symlink(dir_ / "precious", mirror_ / "cmake/precious");
  fs::create_symlink(dir_ / "nowhere", mirror_ / "tools/dangling");

  expect_success();
  std::vector<std::string> expected = mirrored_;
  expected.erase(std::find(expected.begin(), expected.end(), "mods/gone/only.cpp"));
  expected.push_back("cmake/precious");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files_below(mirror_), expected);
  EXPECT_TRUE(fs::is_directory(mirror_ / "mods/gone"));
  EXPECT_TRUE(fs::is_directory(mirror_ / "docs"));
  EXPECT_EQ(read_text(dir_ / "precious/keep.txt"), "keep");
}

TEST_F(SyncSources, ANameThatDiffersOnlyInCaseGoesUnlessItIsTheWantedFile) {
  expect_success();
  // Where letter case is ignored, a file renamed only in case (or one in a folder so renamed)
  // keeps its old name in the mirror and is the wanted file; a hard link stands in for that.
  struct Case {
    const char* stale;
    const char* wanted;
    bool same_file;
  };
  const Case cases[] = {
      {"mods/m/A.cpp", "mods/m/a.cpp", true},
      {"Mods/M/a.cpp", "mods/m/a.cpp", true},
      {"games/G1/game.json", "games/g1/game.json", false},
  };
  for (const Case& c : cases) {
    if (c.same_file) {
      fs::create_directories((mirror_ / c.stale).parent_path());
      fs::create_hard_link(mirror_ / c.wanted, mirror_ / c.stale);
    } else {
      write_text(mirror_ / c.stale, "another file");
    }
  }
  expect_success();
  for (const Case& c : cases) {
    EXPECT_EQ(fs::exists(mirror_ / c.stale), c.same_file) << c.stale;
    EXPECT_EQ(read_bytes(mirror_ / c.wanted), read_bytes(source_ / c.wanted)) << c.wanted;
  }
}

TEST_F(SyncSources, MissingEntriesArePassedOver) {
  fs::remove_all(source_ / "cmake");
  fs::remove_all(source_ / "mods");
  fs::remove_all(source_ / "platform");
  fs::remove_all(source_ / "tools");
  expect_success();
  EXPECT_EQ(files_below(mirror_),
            (std::vector<std::string>{"CMakeLists.txt", "games/g1/.hidden", "games/g1/game.json"}));
}

TEST_F(SyncSources, ReadOnlySourceBecomesAWritableCopyThatLaterChangesReplace) {
  const fs::path file = source_ / "games/g1/game.json";
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  expect_success();
  EXPECT_EQ(fs::status(mirror_ / "games/g1/game.json").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);

  fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
  write_text(file, "{\"title\": \"Changed while read-only\"}\n");
  fs::permissions(file, fs::perms::owner_write, fs::perm_options::remove);
  expect_success();
  EXPECT_EQ(read_text(mirror_ / "games/g1/game.json"),
            "{\"title\": \"Changed while read-only\"}\n");
}

TEST_F(SyncSources, AFailedCopyStopsAndDeletesNothingUntilTheNextRunRepairs) {
  expect_success();
  write_text(mirror_ / "old-top.txt", "stale");
  write_text(source_ / "tools/empty.txt", "no longer empty");
  // A source path that fits on the system but not at the mirror's longer location: fails
  // even for root, as a full disk would.
  constexpr std::size_t kPathMax = 4095;
  ASSERT_GT(mirror_.string().size(), source_.string().size());
  std::string rel = "games/deep";
  while (source_.string().size() + 1 + rel.size() + 1 + 200 + 100 < kPathMax)
    rel += "/" + std::string(200, 'd');
  rel += "/" + std::string(kPathMax - source_.string().size() - 1 - rel.size() - 1, 'f');
  ASSERT_EQ((source_ / rel).string().size(), kPathMax);
  write_text(source_ / rel, "deep");

  const Outcome failed = sync();
  EXPECT_EQ(failed.result, "");
  EXPECT_EQ(failed.error, "Cannot copy the sources to " + mirror_.string());
  EXPECT_EQ(read_text(mirror_ / "old-top.txt"), "stale");
  EXPECT_EQ(read_text(mirror_ / "tools/empty.txt"), "");  // later entries are not reached

  fs::remove_all(source_ / "games/deep");
  expect_success();
  EXPECT_FALSE(fs::exists(mirror_ / "old-top.txt"));
  EXPECT_EQ(read_text(mirror_ / "tools/empty.txt"), "no longer empty");
}

TEST_F(SyncSources, EntriesThatChangedShapeAreMirroredInTheirNewShape) {
  write_text(source_ / "tools/codelift", "a file at first");
  write_text(source_ / "cmake/modules/FindX.cmake", "# in a folder at first");
  expect_success();
  // The next tree has a folder where a file was and a file where a folder was; a dangling
  // link in the mirror stands where a folder goes.
  fs::remove(source_ / "tools/codelift");
  write_text(source_ / "tools/codelift/main.cpp", "int main() {}\n");
  fs::remove_all(source_ / "cmake/modules");
  write_text(source_ / "cmake/modules", "now a file");
  write_text(source_ / "games/g2/game.json", "{}");
  fs::create_symlink(dir_ / "nowhere", mirror_ / "games/g2");

  expect_success();
  EXPECT_EQ(read_text(mirror_ / "tools/codelift/main.cpp"), "int main() {}\n");
  EXPECT_EQ(read_text(mirror_ / "cmake/modules"), "now a file");
  EXPECT_EQ(read_text(mirror_ / "games/g2/game.json"), "{}");
  std::vector<std::string> expected = mirrored_;
  for (const char* file : {"cmake/modules", "games/g2/game.json", "tools/codelift/main.cpp"})
    expected.push_back(file);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files_below(mirror_), expected);
}

}  // namespace
