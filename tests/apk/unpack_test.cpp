#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "apk/extract.hpp"
#include "support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A Python literal for a byte string.
std::string py_bytes(const std::string& text) {
  std::string out = "b'";
  for (unsigned char c : text) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
    out += buffer;
  }
  return out + "'";
}

// Writes an archive with Python's zipfile, members given as (name, content) in order.
void python_zip(const fs::path& out,
                const std::vector<std::pair<std::string, std::string>>& members) {
  std::string script =
      "import zipfile\nwith zipfile.ZipFile(r'''" + out.string() + "''', 'w') as z:\n    pass\n";
  for (const auto& [name, content] : members) {
    script += "    with z.open(zipfile.ZipInfo(" + py_bytes(name) +
              ".decode()), 'w') as f: f.write(" + py_bytes(content) + ")\n";
  }
  std::string output;
  ASSERT_EQ(ts::run_python(script, &output), 0) << output;
}

// Every path below `root`, relative, sorted.
std::vector<std::string> listing(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& item : fs::recursive_directory_iterator(root))
    out.push_back(fs::relative(item.path(), root).generic_string());
  std::sort(out.begin(), out.end());
  return out;
}

class UnpackTest : public ::testing::Test {
 protected:
  ts::TempDir dir;
  fs::path zip = dir / "a.zip";
  fs::path dest = dir / "sandbox/dest";
  std::string error;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  apk::ProgressCallback progress = [this](std::uint64_t done, std::uint64_t total) {
    reports.emplace_back(done, total);
  };

  bool unpack() {
    apk::ZipReader reader;
    EXPECT_TRUE(reader.open(zip)) << reader.error;
    return apk::unpack(reader, dest, error, progress);
  }
};

TEST_F(UnpackTest, WritesEveryEntryAndReportsEach) {
  python_zip(zip, {{"folder/", ""}, {"folder/file.txt", "inside"}, {"top.txt", "top"}});
  ASSERT_TRUE(unpack()) << error;
  using Report = std::pair<std::uint64_t, std::uint64_t>;
  EXPECT_EQ(reports, (std::vector<Report>{{1, 3}, {2, 3}, {3, 3}}));
  EXPECT_EQ(listing(dest), (std::vector<std::string>{"folder", "folder/file.txt", "top.txt"}));
  EXPECT_EQ(ts::read_text(dest / "folder/file.txt"), "inside");
  EXPECT_EQ(ts::read_text(dest / "top.txt"), "top");
}

TEST_F(UnpackTest, NormalisesNamesThatStayInside) {
  python_zip(zip, {{"a/b/../c.txt", "c"},
                   {"down/../direct.txt", "direct"},
                   {"./dot.txt", "dot"},
                   {"a\\b.txt", "backslash"},
                   {"deep\\er\\..\\x.txt", "x"}});
  ASSERT_TRUE(unpack()) << error;
  EXPECT_EQ(listing(dest), (std::vector<std::string>{"a", "a/b.txt", "a/c.txt", "deep",
                                                     "deep/x.txt", "direct.txt", "dot.txt"}));
  EXPECT_EQ(ts::read_text(dest / "a/b.txt"), "backslash");
  EXPECT_EQ(ts::read_text(dest / "direct.txt"), "direct");
}

TEST_F(UnpackTest, RefusesNamesThatLeaveTheDestination) {
  // The same name in both runs of these tests, so that Windows can replay the Linux archives.
  const std::string absolute = "/tmp/skarnbolt-unpack-outside";
  const std::vector<std::string> names = {
      "",
      "../up.txt",
      "a/../../up.txt",
      "..\\up.txt",
      "..",
      "C:up.txt",
      "c:/up.txt",
      "z:\\up.txt",
      absolute,
      "\\" + absolute.substr(1),
      "//host/share/up.txt",
      "\\\\host\\share\\up.txt",
      // Names that fold away to the destination itself.
      "a/..",
      "./",
      "a\\..",
      "x/y/../../",
  };
  for (const std::string& name : names) {
    fs::remove_all(dir / "sandbox");
    reports.clear();
    python_zip(zip, {{"before.txt", "b"}, {name, "evil"}, {"after.txt", "a"}});
    EXPECT_FALSE(unpack()) << name;
    EXPECT_EQ(error, "unsafe name in archive: " + name);
    EXPECT_EQ(listing(dir / "sandbox"), (std::vector<std::string>{"dest", "dest/before.txt"}))
        << name;
    EXPECT_EQ(reports.size(), 1u) << name;
    EXPECT_FALSE(fs::exists(absolute)) << name;
    EXPECT_FALSE(fs::exists(dir / "up.txt")) << name;
  }
}

// Names that Windows would not write as given: a device instead of a file, an alternate data
// stream of another file, or a name whose trailing dots or blanks Windows drops. Refused on
// every system, so that an archive unpacks the same everywhere.
TEST_F(UnpackTest, RefusesDeviceAndStreamNames) {
  const std::vector<std::string> names = {
      "con",
      "CON",
      "nul.txt",
      "aux",
      "folder/aux.tar.gz",
      "Com1",
      "lpt9.log",
      "con .txt",
      "conin$",
      "folder\\prn\\x.txt",
      "com\xC2\xB9",
      "a.txt:stream",
      "folder/file.txt:Zone.Identifier:$DATA",
      "a.txt::$DATA",
      "trailing.",
      "folder./x.txt",
      "blank ",
  };
  for (const std::string& name : names) {
    fs::remove_all(dir / "sandbox");
    python_zip(zip, {{"before.txt", "b"}, {name, "evil"}, {"after.txt", "a"}});
    EXPECT_FALSE(unpack()) << name;
    EXPECT_EQ(error, "unsafe name in archive: " + name);
    EXPECT_EQ(listing(dir / "sandbox"), (std::vector<std::string>{"dest", "dest/before.txt"}))
        << name;
  }
}

TEST_F(UnpackTest, WritesNamesThatOnlyLookLikeDevices) {
  python_zip(zip, {{"console.txt", "1"},
                   {"auxiliary/com10", "2"},
                   {"lpt", "3"},
                   {"nul-file", "4"},
                   {"con_/x.txt", "5"},
                   {".hidden", "6"}});
  ASSERT_TRUE(unpack()) << error;
  EXPECT_EQ(listing(dest),
            (std::vector<std::string>{".hidden", "auxiliary", "auxiliary/com10", "con_",
                                      "con_/x.txt", "console.txt", "lpt", "nul-file"}));
  EXPECT_EQ(ts::read_text(dest / "auxiliary/com10"), "2");
}

TEST_F(UnpackTest, WritesUnicodeNamesBelowAUnicodeDestination) {
  const std::string folder =
      "donn\xC3\xA9"
      "es/\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB";
  const std::string file = "\xE7\x9B\xAE\xE5\xBD\x95-\xC3\x9F.txt";
  python_zip(zip, {{folder + "/", ""}, {folder + "/" + file, "unicode"}});
  // Moved after Python made it: the archive's own path is Unicode too.
  const fs::path unicode_zip =
      dir.path() / ts::utf8_path("\xC3\x84rchiv-\xD0\xB0\xD1\x80\xD1\x85.zip");
  fs::rename(zip, unicode_zip);
  zip = unicode_zip;
  dest = dir.path() / ts::utf8_path(
                          "Z\xC3\xAF"
                          "el-\xE7\x9B\xAE\xE6\xA0\x87");
  ASSERT_TRUE(unpack()) << error;
  EXPECT_EQ(ts::read_text(dest / ts::utf8_path(folder + "/" + file)), "unicode");

  apk::ZipReader missing;
  EXPECT_FALSE(missing.open(dest / ts::utf8_path(file)));
  const std::u8string text = (dest / ts::utf8_path(file)).u8string();
  EXPECT_EQ(missing.error, "cannot open " + std::string(text.begin(), text.end()));
}

// Windows long refused paths past 260 characters unless the program opted out of that limit.
TEST_F(UnpackTest, WritesPathsPastTheOldWindowsLimit) {
  const std::string piece(100, 'p');
  python_zip(zip, {{piece + "/" + piece + ".txt", "deep"}});
  const fs::path deep_zip = dir / piece / piece / (piece + ".zip");
  fs::create_directories(deep_zip.parent_path());
  fs::rename(zip, deep_zip);
  zip = deep_zip;
  dest = dir / piece / piece / piece;
  ASSERT_GT(zip.native().size(), 260u);
  ASSERT_TRUE(unpack()) << error;
  const fs::path target = dest / piece / (piece + ".txt");
  EXPECT_GT(target.native().size(), 400u);
  EXPECT_EQ(ts::read_text(target), "deep");
}

TEST_F(UnpackTest, StopsAtTheFirstUnreadableEntry) {
  python_zip(zip, {{"good.txt", "good"}, {"bad.txt", "flip me"}, {"later.txt", "later"}});
  Bytes raw = ts::read_bytes(zip);
  const std::string needle = "flip me";
  auto at = std::search(raw.begin(), raw.end(), needle.begin(), needle.end());
  ASSERT_NE(at, raw.end());
  *at ^= 1;
  ts::write_bytes(zip, raw);
  EXPECT_FALSE(unpack());
  EXPECT_EQ(error, "checksum mismatch in bad.txt");
  EXPECT_EQ(listing(dest), (std::vector<std::string>{"good.txt"}));
}

TEST_F(UnpackTest, ReportsTargetsThatCannotBeWritten) {
  python_zip(zip, {{"blocked", "x"}});
  ts::write_text(dest / "blocked/keep.txt", "in the way");
  EXPECT_FALSE(unpack());
  EXPECT_EQ(error, "cannot write " + (dest / "blocked").string());
  EXPECT_EQ(ts::read_text(dest / "blocked/keep.txt"), "in the way");
}

TEST_F(UnpackTest, WritesEveryFileAnewEvenThroughLinks) {
  python_zip(zip, {{"linked.txt", "archive"}, {"was-folder", "file"}});
  ts::write_text(dir / "outside.txt", "outside");
  fs::create_directories(dest / "was-folder");
  std::error_code ec;
  fs::create_symlink(dir / "outside.txt", dest / "linked.txt", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here (Wine makes none): " << ec.message();
  ASSERT_TRUE(unpack()) << error;
  EXPECT_FALSE(fs::is_symlink(dest / "linked.txt"));
  EXPECT_EQ(ts::read_text(dest / "linked.txt"), "archive");
  EXPECT_EQ(ts::read_text(dir / "outside.txt"), "outside");
  EXPECT_EQ(ts::read_text(dest / "was-folder"), "file");

  // A second run rewrites: a hard link to the old file keeps the old bytes.
  fs::create_hard_link(dest / "linked.txt", dir / "old.txt");
  ASSERT_TRUE(unpack()) << error;
  EXPECT_EQ(fs::hard_link_count(dest / "linked.txt"), 1u);
  EXPECT_EQ(ts::read_text(dest / "linked.txt"), "archive");
}

TEST_F(UnpackTest, EmptyArchiveDoesNothing) {
  python_zip(zip, {});
  ASSERT_TRUE(unpack()) << error;
  EXPECT_TRUE(reports.empty());
  EXPECT_FALSE(fs::exists(dest));
}

class WriteFileTest : public ::testing::Test {
 protected:
  ts::TempDir dir;
  fs::path path = dir / "file.bin";
  fs::file_time_type old_time;

  // The time is read back: Windows keeps it in steps of 100 ns.
  void write_old(const Bytes& data) {
    ts::write_bytes(path, data);
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(48));
    old_time = fs::last_write_time(path);
  }
};

TEST_F(WriteFileTest, LeavesEqualFilesAloneAndRewritesOthers) {
  struct Case {
    const char* what;
    Bytes existing;
    Bytes wanted;
    bool rewritten;
  };
  const Bytes data = ts::random_bytes(5000, 11);
  Bytes changed = data;
  changed[4999] ^= 0x80;
  Bytes longer = data;
  longer.push_back(0);
  const std::vector<Case> cases = {
      {"same bytes", data, data, false},     {"one byte different", data, changed, true},
      {"one byte more", data, longer, true}, {"one byte less", longer, data, true},
      {"empty over empty", {}, {}, false},   {"empty over data", data, {}, true},
  };
  for (const Case& c : cases) {
    write_old(c.existing);
    EXPECT_TRUE(apk::write_file(path, c.wanted)) << c.what;
    EXPECT_EQ(ts::read_bytes(path), c.wanted) << c.what;
    EXPECT_EQ(fs::last_write_time(path) != old_time, c.rewritten) << c.what;
  }
}

TEST_F(WriteFileTest, CreatesFilesAndFolders) {
  EXPECT_TRUE(apk::write_file(dir / "new/deeper/empty", {}));
  EXPECT_TRUE(fs::is_regular_file(dir / "new/deeper/empty"));
  EXPECT_EQ(fs::file_size(dir / "new/deeper/empty"), 0u);
  EXPECT_TRUE(apk::write_file(dir / "new/data", bytes_of("data")));
  EXPECT_EQ(ts::read_text(dir / "new/data"), "data");
}

TEST_F(WriteFileTest, ReportsFailures) {
  ts::write_text(dir / "plain", "a file");
  fs::create_directories(dir / "folder");
  EXPECT_FALSE(apk::write_file(dir / "plain/below", bytes_of("x")));
  EXPECT_FALSE(apk::write_file(dir / "folder", bytes_of("x")));
  // The device opens and buffers, and fails only when the bytes are flushed.
  if (fs::exists("/dev/full")) {
    EXPECT_FALSE(apk::write_file("/dev/full", bytes_of("x")));
  }
}

}  // namespace
