#include <gtest/gtest.h>

#include <unistd.h>

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
void python_zip(const fs::path& out, const std::vector<std::pair<std::string, std::string>>& members) {
  std::string script = "import zipfile\nwith zipfile.ZipFile(r'''" + out.string() + "''', 'w') as z:\n    pass\n";
  for (const auto& [name, content] : members) {
    script += "    with z.open(zipfile.ZipInfo(" + py_bytes(name) + ".decode()), 'w') as f: f.write(" +
              py_bytes(content) + ")\n";
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
  const std::string absolute = "/tmp/skarnbolt-unpack-" + std::to_string(getpid());
  const std::vector<std::string> names = {
      "",           "../up.txt",     "a/../../up.txt", "..\\up.txt",      "..",
      "C:up.txt",   "c:/up.txt",     "z:\\up.txt",     absolute,          "\\" + absolute.substr(1),
      "//host/share/up.txt",         "\\\\host\\share\\up.txt",
      // Names that fold away to the destination itself.
      "a/..",       "./",            "a\\..",         "x/y/../../",
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
  fs::create_symlink(dir / "outside.txt", dest / "linked.txt");
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
  const fs::file_time_type old_time = fs::file_time_type::clock::now() - std::chrono::hours(48);

  void write_old(const Bytes& data) {
    ts::write_bytes(path, data);
    fs::last_write_time(path, old_time);
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
      {"same bytes", data, data, false},
      {"one byte different", data, changed, true},
      {"one byte more", data, longer, true},
      {"one byte less", longer, data, true},
      {"empty over empty", {}, {}, false},
      {"empty over data", data, {}, true},
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
