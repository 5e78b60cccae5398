#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "apk/zip.hpp"
#include "support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::uint32_t get32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}
std::uint16_t get16(const Bytes& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }

class ZipWriterTest : public ::testing::Test {
 protected:
  ts::TempDir dir;
  fs::path zip = dir / "out.zip";

  std::string run(const std::string& command) {
    std::string output;
    int status = ts::run(command, &output);
    return status == 0 ? "" : "status " + std::to_string(status) + ": " + output;
  }
};

TEST_F(ZipWriterTest, PadsStoredMembersToTheAlignment) {
  apk::ZipWriter writer;
  ASSERT_TRUE(writer.open(zip)) << writer.error;
  struct Case {
    std::string name;
    std::size_t size;
    bool deflate;
    std::uint32_t alignment;
    int padding;  // -1: whatever reaches the alignment
  };
  // Positions follow from the members before: 0, 33, 66, 101, 139.
  const std::vector<Case> cases = {
      {"a", 1, false, 4, 1},     // 30 + 1 + 1 = 32
      {"b", 2, false, 1, 0},     // ends at 66
      {"cd", 3, false, 0, 0},    // ends at 101
      {"efgh", 4, false, 3, 0},  // 101 + 30 + 4 = 135, a multiple of 3
      {"i", 6, true, 4096, 0},   // deflated: never padded
      {"jk", 7, false, 4096, -1},
  };
  std::vector<std::uint64_t> data_starts;
  for (const Case& c : cases) {
    const std::uint64_t position = ftello(writer.file);
    ASSERT_TRUE(writer.add(c.name, Bytes(c.size, 'x'), c.deflate, c.alignment)) << writer.error;
    data_starts.push_back(ftello(writer.file) - c.size * !c.deflate);
    EXPECT_EQ(writer.entries.back().local_header_offset, position);
  }
  ASSERT_TRUE(writer.close()) << writer.error;
  EXPECT_EQ(writer.file, nullptr);

  const Bytes raw = ts::read_bytes(zip);
  ASSERT_EQ(writer.entries.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::uint64_t local = writer.entries[i].local_header_offset;
    const std::uint32_t padding = get16(raw, local + 28);
    if (cases[i].padding >= 0) {
      EXPECT_EQ(padding, std::uint32_t(cases[i].padding)) << cases[i].name;
    }
    EXPECT_LT(padding, std::max<std::uint32_t>(cases[i].alignment, 1));
    const std::uint64_t data = local + 30 + cases[i].name.size() + padding;
    EXPECT_TRUE(std::all_of(raw.begin() + local + 30 + cases[i].name.size(), raw.begin() + data,
                            [](unsigned char b) { return b == 0; }));
    if (!cases[i].deflate) {
      EXPECT_EQ(data, data_starts[i]) << cases[i].name;
      if (cases[i].alignment > 1) {
        EXPECT_EQ(data % cases[i].alignment, 0u) << cases[i].name;
      }
    }
  }
  EXPECT_EQ(data_starts[0], 32u);
  EXPECT_EQ(writer.entries[1].local_header_offset, 33u);
}

TEST_F(ZipWriterTest, WritesTheHeaderFields) {
  apk::ZipWriter writer;
  ASSERT_TRUE(writer.open(zip));
  const Bytes text = bytes_of(std::string(3000, 'z'));
  ASSERT_TRUE(writer.add("deflated.txt", text, true, 4));
  ASSERT_TRUE(writer.add("stored.txt", text, false, 4));
  ASSERT_TRUE(writer.close());
  const Bytes raw = ts::read_bytes(zip);
  const std::uint32_t crc = apk::crc32(text.data(), text.size());

  const std::size_t end = raw.size() - 22;
  ASSERT_EQ(get32(raw, end), 0x06054B50u);
  EXPECT_EQ(get16(raw, end + 4), 0);
  EXPECT_EQ(get16(raw, end + 6), 0);
  EXPECT_EQ(get16(raw, end + 8), 2);
  EXPECT_EQ(get16(raw, end + 10), 2);
  EXPECT_EQ(get16(raw, end + 20), 0);
  const std::size_t directory = get32(raw, end + 16);
  EXPECT_EQ(directory + get32(raw, end + 12), end);

  std::size_t central = directory;
  for (std::size_t i = 0; i < 2; ++i) {
    const apk::ZipEntry& entry = writer.entries[i];
    const bool deflated = i == 0;
    const std::size_t local = entry.local_header_offset;
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(entry.method, deflated ? 8 : 0);
    EXPECT_EQ(entry.crc32, crc);
    EXPECT_EQ(entry.uncompressed_size, text.size());
    EXPECT_EQ(entry.compressed_size < text.size(), deflated);
    EXPECT_EQ(entry.unix_mode, 0);

    EXPECT_EQ(get32(raw, local), 0x04034B50u);
    EXPECT_EQ(get16(raw, local + 4), deflated ? 20 : 10);
    EXPECT_EQ(get16(raw, local + 6), 0x0800);
    EXPECT_EQ(get16(raw, local + 8), entry.method);
    EXPECT_EQ(get16(raw, local + 10), 0);
    EXPECT_EQ(get16(raw, local + 12), 0x0021);
    EXPECT_EQ(get32(raw, local + 14), crc);
    EXPECT_EQ(get32(raw, local + 18), entry.compressed_size);
    EXPECT_EQ(get32(raw, local + 22), text.size());
    EXPECT_EQ(get16(raw, local + 26), entry.name.size());

    EXPECT_EQ(get32(raw, central), 0x02014B50u);
    EXPECT_EQ(get16(raw, central + 4), 0x0014);
    EXPECT_EQ(get16(raw, central + 6), deflated ? 20 : 10);
    EXPECT_EQ(get16(raw, central + 8), 0x0800);
    EXPECT_EQ(get16(raw, central + 10), entry.method);
    EXPECT_EQ(get16(raw, central + 12), 0);
    EXPECT_EQ(get16(raw, central + 14), 0x0021);
    EXPECT_EQ(get32(raw, central + 16), crc);
    EXPECT_EQ(get32(raw, central + 20), entry.compressed_size);
    EXPECT_EQ(get32(raw, central + 24), text.size());
    EXPECT_EQ(get16(raw, central + 28), entry.name.size());
    for (std::size_t zero : {30, 32, 34, 36}) EXPECT_EQ(get16(raw, central + zero), 0) << zero;
    EXPECT_EQ(get32(raw, central + 38), 0u);
    EXPECT_EQ(get32(raw, central + 42), local);
    EXPECT_EQ(
        std::string(raw.begin() + central + 46, raw.begin() + central + 46 + entry.name.size()),
        entry.name);
    central += 46 + entry.name.size();
  }
  EXPECT_EQ(central, end);
}

TEST_F(ZipWriterTest, WritesEmptyMembersAndEmptyArchives) {
  apk::ZipWriter empty;
  ASSERT_TRUE(empty.open(zip));
  ASSERT_TRUE(empty.close());
  const Bytes only_end = {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 0, 0, 0,
                          0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ts::read_bytes(zip), only_end);
  EXPECT_EQ(run("unzip -t -q " + ts::shell_quote(zip.string()) + " 2>&1 | grep -q 'empty'"), "");

  apk::ZipWriter writer;
  ASSERT_TRUE(writer.open(zip));
  ASSERT_TRUE(writer.add("stored", {}, false, 4));
  ASSERT_TRUE(writer.add("deflated", {}, true, 0));
  ASSERT_TRUE(writer.close());
  for (const apk::ZipEntry& entry : writer.entries) {
    EXPECT_EQ(entry.crc32, 0u);
    EXPECT_EQ(entry.uncompressed_size, 0u);
  }
  EXPECT_EQ(writer.entries[0].compressed_size, 0u);
  // zlib's raw stream for no input: one empty final block.
  const Bytes raw = ts::read_bytes(zip);
  const std::size_t data = writer.entries[1].local_header_offset + 30 + 8;
  EXPECT_EQ(writer.entries[1].compressed_size, 2u);
  EXPECT_EQ(Bytes(raw.begin() + data, raw.begin() + data + 2), (Bytes{0x03, 0x00}));

  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  EXPECT_EQ(reader.read("stored"), Bytes{});
  EXPECT_EQ(reader.read("deflated"), Bytes{});
}

TEST_F(ZipWriterTest, ArchivesPassOtherToolsAndReadBack) {
  struct Member {
    std::string name;
    Bytes data;
    bool deflate;
  };
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + "\n";
  const std::vector<Member> members = {
      {"AndroidManifest.xml", ts::random_bytes(1234, 1), false},
      {"assets/text.txt", bytes_of(text), true},
      {"assets/random.bin", ts::random_bytes(300000, 2), true},
      {"lib/armeabi-v7a/libgame.so", ts::random_bytes(77777, 3), false},
      {"res/a.png", ts::random_bytes(5, 4), false},
      {"res/empty", {}, false},
      {"n\xC3\xA4me.txt", bytes_of("utf-8"), true},
  };
  apk::ZipWriter writer;
  ASSERT_TRUE(writer.open(zip));
  for (const Member& m : members) ASSERT_TRUE(writer.add(m.name, m.data, m.deflate, 4)) << m.name;
  ASSERT_TRUE(writer.close()) << writer.error;

  const std::string quoted = ts::shell_quote(zip.string());
  EXPECT_EQ(run("unzip -t -qq " + quoted), "");
  EXPECT_EQ(run("zipalign -c 4 " + quoted), "");
  for (const Member& m : members) ts::write_bytes(dir / "expected" / ts::utf8_path(m.name), m.data);
  std::string output;
  EXPECT_EQ(ts::run_python(R"(
import zipfile, os
expected = r''')" + (dir / "expected").string() +
                               R"('''
with zipfile.ZipFile(r''')" + zip.string() +
                               R"(''') as z:
    assert z.testzip() is None
    names = z.namelist()
    assert len(names) == 7, names
    for info in z.infolist():
        assert info.flag_bits & 0x800
        with open(os.path.join(expected, info.filename), 'rb') as f:
            assert z.read(info) == f.read(), info.filename
)",
                           &output),
            0)
      << output;

  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  ASSERT_EQ(reader.entries.size(), members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    const apk::ZipEntry& read = reader.entries[i];
    const apk::ZipEntry& written = writer.entries[i];
    EXPECT_EQ(read.name, written.name);
    EXPECT_EQ(read.method, written.method);
    EXPECT_EQ(read.crc32, written.crc32);
    EXPECT_EQ(read.compressed_size, written.compressed_size);
    EXPECT_EQ(read.uncompressed_size, written.uncompressed_size);
    EXPECT_EQ(read.local_header_offset, written.local_header_offset);
    EXPECT_EQ(reader.read(read), members[i].data) << read.name;
  }
}

TEST_F(ZipWriterTest, ReportsOpenAndCloseFailures) {
  const fs::path unreachable = dir / "missing/folder/out.zip";
  apk::ZipWriter failed;
  EXPECT_FALSE(failed.open(unreachable));
  EXPECT_EQ(failed.error, "cannot write " + unreachable.string());
  EXPECT_FALSE(failed.close());
  EXPECT_EQ(failed.error, "cannot write " + unreachable.string());
  EXPECT_FALSE(failed.add("x", {}, false, 0));
  EXPECT_EQ(failed.error, "cannot write x");
  EXPECT_TRUE(failed.entries.empty());

  apk::ZipWriter twice;
  ASSERT_TRUE(twice.open(zip));
  EXPECT_TRUE(twice.close());
  EXPECT_FALSE(twice.close());
  EXPECT_TRUE(twice.error.empty());

  if (fs::exists("/dev/full")) {
    apk::ZipWriter full;
    ASSERT_TRUE(full.open("/dev/full"));
    // Small writes only fail when the buffer is flushed, larger ones at once.
    EXPECT_FALSE(full.add("big", ts::random_bytes(100000, 5), false, 0));
    EXPECT_EQ(full.error, "cannot write big");
    EXPECT_TRUE(full.entries.empty());
    EXPECT_TRUE(full.add("small", bytes_of("small"), false, 0));
    EXPECT_FALSE(full.close());
    EXPECT_EQ(full.error, "cannot write the archive directory");
    EXPECT_EQ(full.file, nullptr);
  }
}

TEST_F(ZipWriterTest, RefusesWhatTheClassicFieldsCannotHold) {
  apk::ZipWriter writer;
  ASSERT_TRUE(writer.open(zip));
  const std::string longest(0xFFFF, 'n');
  EXPECT_FALSE(writer.add(longest + "n", {}, false, 0));
  EXPECT_EQ(writer.error, "name too long: " + longest + "n");
  EXPECT_FALSE(writer.add("aligned", {}, false, 65537));
  EXPECT_EQ(writer.error, "alignment too large: 65537");
  EXPECT_TRUE(writer.entries.empty());

  ASSERT_TRUE(writer.add(longest, bytes_of("long"), false, 0));
  ASSERT_TRUE(writer.add("widest", bytes_of("wide"), false, 65536));
  for (int i = 2; i < 0xFFFF; ++i) ASSERT_TRUE(writer.add("m" + std::to_string(i), {}, false, 0));
  EXPECT_FALSE(writer.add("one too many", {}, false, 0));
  EXPECT_EQ(writer.error, "too many members in the archive");
  ASSERT_TRUE(writer.close()) << writer.error;

  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  ASSERT_EQ(reader.entries.size(), 0xFFFFu);
  EXPECT_EQ(reader.read(longest), bytes_of("long"));
  EXPECT_EQ(reader.find("widest")->local_header_offset + 30 + 6 +
                get16(ts::read_bytes(zip), reader.find("widest")->local_header_offset + 28),
            0x20000u);
  EXPECT_EQ(reader.read("m65534"), Bytes{});
  // Info-ZIP cuts names that long, so Python checks this one.
  std::string output;
  EXPECT_EQ(ts::run_python("import zipfile\nz = zipfile.ZipFile(r'''" + zip.string() +
                               "''')\nassert z.testzip() is None\n"
                               "assert len(z.namelist()) == 65535\n"
                               "assert z.read('n' * 65535) == b'long'\n",
                           &output),
            0)
      << output;
}

// The file handle is public, so a position past 4 GiB needs no 4 GiB of data.
TEST_F(ZipWriterTest, RefusesPositionsBeyondThirtyTwoBits) {
  apk::ZipWriter writer;
  ASSERT_TRUE(writer.open(zip));
  ASSERT_TRUE(writer.add("first", bytes_of("first"), false, 0));
  ASSERT_TRUE(ts::seek_file(writer.file, 0xFFFFFFFFLL));
  EXPECT_FALSE(writer.add("late", bytes_of("late"), true, 0));
  EXPECT_EQ(writer.error, "archive too large");
  EXPECT_EQ(writer.entries.size(), 1u);
  EXPECT_FALSE(writer.close());
  EXPECT_EQ(writer.error, "archive too large");
  EXPECT_EQ(writer.file, nullptr);
  EXPECT_LT(fs::file_size(zip), 100u);
}

}  // namespace
