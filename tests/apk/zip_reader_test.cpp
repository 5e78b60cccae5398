#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>

#include "apk/zip.hpp"
#include "support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Runs Python with `out` bound to the archive path and `src` to the folder `dir`.
void python(const fs::path& out, const fs::path& dir, const std::string& body) {
  std::string script =
      "import zipfile, os, sys\n"
      "out = r'''" +
      out.string() +
      "'''\n"
      "src = r'''" +
      dir.string() + "'''\n" + body;
  std::string output;
  ASSERT_EQ(ts::run_python(script, &output), 0) << output;
}

// Little-endian helpers for the few archives that no tool makes.
std::uint32_t get32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}
std::uint16_t get16(const Bytes& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }
void set16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = v & 0xFF;
  b[at + 1] = (v >> 8) & 0xFF;
}
void set32(Bytes& b, std::size_t at, std::uint32_t v) {
  set16(b, at, v & 0xFFFF);
  set16(b, at + 2, v >> 16);
}
void set64(Bytes& b, std::size_t at, std::uint64_t v) {
  set32(b, at, static_cast<std::uint32_t>(v));
  set32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}
void put16(Bytes& b, std::uint32_t v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void put32(Bytes& b, std::uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
void put64(Bytes& b, std::uint64_t v) {
  put32(b, std::uint32_t(v));
  put32(b, std::uint32_t(v >> 32));
}

// Offset of the last record with this signature.
std::size_t last_signature(const Bytes& b, std::uint32_t signature) {
  for (std::size_t i = b.size() - 4;; --i) {
    if (get32(b, i) == signature) return i;
    if (i == 0) return std::string::npos;
  }
}
std::size_t end_record(const Bytes& b) { return last_signature(b, 0x06054B50); }

// Offset of the central record of `name`.
std::size_t central_record(const Bytes& b, const std::string& name) {
  for (std::size_t i = 0; i + 46 <= b.size(); ++i) {
    if (get32(b, i) != 0x02014B50) continue;
    std::size_t n = get16(b, i + 28);
    if (std::string(b.begin() + i + 46, b.begin() + i + 46 + n) == name) return i;
  }
  ADD_FAILURE() << "no central record for " << name;
  return 0;
}

// Start of an entry's data, from its local header.
std::size_t data_start(const Bytes& b, const std::string& name) {
  std::size_t local = get32(b, central_record(b, name) + 42);
  return local + 30 + get16(b, local + 26) + get16(b, local + 28);
}

// One central record with the given fields, followed by `extra`.
Bytes central(const std::string& name, std::uint16_t method, std::uint32_t crc,
              std::uint32_t compressed, std::uint32_t uncompressed, std::uint32_t offset,
              const Bytes& extra = {}) {
  Bytes r;
  put32(r, 0x02014B50);
  put16(r, 20);
  put16(r, 20);
  put16(r, 0);
  put16(r, method);
  put32(r, 0);
  put32(r, crc);
  put32(r, compressed);
  put32(r, uncompressed);
  put16(r, std::uint32_t(name.size()));
  put16(r, std::uint32_t(extra.size()));
  put16(r, 0);
  put16(r, 0);
  put16(r, 0);
  put32(r, 0);
  put32(r, offset);
  r.insert(r.end(), name.begin(), name.end());
  r.insert(r.end(), extra.begin(), extra.end());
  return r;
}

Bytes local_header(const std::string& name) {
  Bytes r;
  put32(r, 0x04034B50);
  r.resize(26, 0);
  put16(r, std::uint32_t(name.size()));
  put16(r, 0);
  r.insert(r.end(), name.begin(), name.end());
  return r;
}

Bytes end_of_directory(std::uint16_t count, std::uint32_t size, std::uint32_t offset) {
  Bytes r;
  put32(r, 0x06054B50);
  put32(r, 0);
  put16(r, count);
  put16(r, count);
  put32(r, size);
  put32(r, offset);
  put16(r, 0);
  return r;
}

// A ZIP64 end record and its locator for a directory at `offset`, placed at `at`.
Bytes zip64_trailer(std::uint64_t at, std::uint64_t count, std::uint64_t size,
                    std::uint64_t offset) {
  Bytes r;
  put32(r, 0x06064B50);
  put64(r, 44);
  put16(r, 45);
  put16(r, 45);
  put32(r, 0);
  put32(r, 0);
  put64(r, count);
  put64(r, count);
  put64(r, size);
  put64(r, offset);
  put32(r, 0x07064B50);
  put32(r, 0);
  put64(r, at);
  put32(r, 1);
  return r;
}

// The entry as ZipReader::stream hands it over, or no value when the stream fails.
std::optional<Bytes> streamed(apk::ZipReader& reader, const std::string& name) {
  const apk::ZipEntry* entry = reader.find(name);
  if (!entry) return std::nullopt;
  Bytes out;
  std::size_t largest = 0;
  const bool ok = reader.stream(*entry, [&](const unsigned char* data, std::size_t size) {
    out.insert(out.end(), data, data + size);
    largest = std::max(largest, size);
  });
  EXPECT_LE(largest, apk::kStreamChunk);
  if (!ok) return std::nullopt;
  return out;
}

class ZipReaderTest : public ::testing::Test {
 protected:
  ts::TempDir dir;
  fs::path zip = dir / "a.zip";

  // Files below dir/src, named by their archive names.
  void source(const std::string& name, const Bytes& data) {
    ts::write_bytes(dir / "src" / name, data);
  }
};

TEST_F(ZipReaderTest, RefusesWhatIsNoArchive) {
  apk::ZipReader missing;
  EXPECT_FALSE(missing.open(dir / "missing.zip"));
  EXPECT_EQ(missing.error, "cannot open " + (dir / "missing.zip").string());
  EXPECT_EQ(missing.file, nullptr);

  const std::vector<Bytes> cases = {{},
                                    Bytes(21, 0),
                                    ts::random_bytes(1000, 1),
                                    // A signature too close to the end to hold a record.
                                    {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 0, 0}};
  for (const Bytes& content : cases) {
    ts::write_bytes(zip, content);
    apk::ZipReader reader;
    EXPECT_FALSE(reader.open(zip));
    EXPECT_EQ(reader.error, zip.string() + " is not a zip archive") << content.size();
  }
}

TEST_F(ZipReaderTest, ReadsPythonArchiveEntryByEntry) {
  const Bytes random = ts::random_bytes(200000, 7);
  Bytes text;
  for (int i = 0; i < 5000; ++i) text.push_back("skarnbolt\n"[i % 10]);
  source("random.bin", random);
  source("text.txt", text);
  fs::permissions(dir / "src/text.txt", fs::perms(0640));
  python(zip, dir / "src", R"(
with zipfile.ZipFile(out, 'w') as z:
    z.write(os.path.join(src, 'random.bin'), 'random.bin', zipfile.ZIP_STORED)
    z.write(os.path.join(src, 'text.txt'), 'assets/text.txt', zipfile.ZIP_DEFLATED)
    z.writestr('empty-deflated', b'', zipfile.ZIP_DEFLATED)
    z.writestr('empty-stored', b'', zipfile.ZIP_STORED)
    z.writestr(zipfile.ZipInfo('folder/'), b'')
    z.writestr('n\u00e4me.txt', 'ü'.encode(), zipfile.ZIP_DEFLATED)
)");
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  ASSERT_EQ(reader.entries.size(), 6u);

  struct Expected {
    std::string name;
    std::uint16_t method;
    Bytes data;
  };
  const std::vector<Expected> expected = {
      {"random.bin", 0, random}, {"assets/text.txt", 8, text},
      {"empty-deflated", 8, {}}, {"empty-stored", 0, {}},
      {"folder/", 0, {}},        {"n\xC3\xA4me.txt", 8, bytes_of("\xC3\xBC")},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const apk::ZipEntry& entry = reader.entries[i];
    EXPECT_EQ(entry.name, expected[i].name);
    EXPECT_EQ(entry.method, expected[i].method) << entry.name;
    EXPECT_EQ(entry.uncompressed_size, expected[i].data.size()) << entry.name;
    EXPECT_EQ(entry.crc32, apk::crc32(expected[i].data.data(), expected[i].data.size()));
    std::optional<Bytes> data = reader.read(entry);
    ASSERT_TRUE(data) << reader.error;
    EXPECT_EQ(*data, expected[i].data) << entry.name;
    EXPECT_EQ(streamed(reader, entry.name), expected[i].data) << reader.error;
  }
  EXPECT_LT(reader.entries[1].compressed_size, text.size() / 10);
  // Files added from disk carry their Unix mode; names written from Python alone do not.
  EXPECT_EQ(reader.entries[1].unix_mode, 0100640);
  EXPECT_EQ(reader.entries[0].unix_mode & 0170000, 0100000);
  EXPECT_TRUE(reader.error.empty());

  // Reads in any order give the same bytes.
  EXPECT_EQ(reader.read("assets/text.txt"), text);
  EXPECT_EQ(reader.read("random.bin"), random);
}

TEST_F(ZipReaderTest, FindMatchesBytesExactlyAndReturnsTheFirst) {
  python(zip, dir.path(), R"(
import warnings
warnings.simplefilter('ignore')
with zipfile.ZipFile(out, 'w') as z:
    z.writestr('androidmanifest.xml', b'lower')
    z.writestr('./AndroidManifest.xml', b'dotted')
    z.writestr('twice', b'first')
    z.writestr('twice', b'second')
)");
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  EXPECT_EQ(reader.find("AndroidManifest.xml"), nullptr);
  EXPECT_FALSE(reader.read("AndroidManifest.xml"));
  EXPECT_EQ(reader.error, "no AndroidManifest.xml in the archive");
  ASSERT_NE(reader.find("twice"), nullptr);
  EXPECT_EQ(reader.find("twice"), &reader.entries[2]);
  EXPECT_EQ(reader.read("twice"), bytes_of("first"));
}

TEST_F(ZipReaderTest, ReadsInfoZipArchive) {
  source("tree/a.txt", bytes_of(std::string(2000, 'a')));
  source("tree/sub/b.bin", ts::random_bytes(70000, 3));
  source("tree/run.sh", bytes_of("#!/bin/sh\necho hi\n"));
  source("tree/icon.png", ts::random_bytes(3000, 4));
  fs::permissions(dir / "src/tree/run.sh", fs::perms(0755));
  std::string output;
  ASSERT_EQ(ts::run("cd " + ts::shell_quote((dir / "src").string()) + " && zip -q -r -n .png " +
                        ts::shell_quote(zip.string()) + " tree",
                    &output),
            0)
      << output;

  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  int files = 0;
  for (const apk::ZipEntry& entry : reader.entries) {
    std::optional<Bytes> data = reader.read(entry);
    ASSERT_TRUE(data) << reader.error;
    if (entry.name.back() == '/') {
      EXPECT_TRUE(data->empty());
      EXPECT_EQ(entry.unix_mode & 0170000, 0040000) << entry.name;
      continue;
    }
    ++files;
    EXPECT_EQ(*data, ts::read_bytes(dir / "src" / entry.name)) << entry.name;
    if (entry.name == "tree/icon.png") {
      EXPECT_EQ(entry.method, 0);
    } else if (entry.name == "tree/a.txt") {
      EXPECT_EQ(entry.method, 8);
    } else if (entry.name == "tree/run.sh") {
      EXPECT_EQ(entry.unix_mode, 0100755);
    }
  }
  EXPECT_EQ(files, 4);
}

// Written to a stream that cannot seek, sizes and CRC follow the data; the directory
// has them, and the reader takes them from there alone.
TEST_F(ZipReaderTest, ReadsEntriesWithDataDescriptors) {
  python(zip, dir.path(), R"(
class Stream:
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
with open(out, 'wb') as f:
    with zipfile.ZipFile(Stream(f), 'w') as z:
        z.writestr('deflated', b'streamed ' * 300, zipfile.ZIP_DEFLATED)
        z.writestr('stored', b'stored', zipfile.ZIP_STORED)
)");
  const Bytes raw = ts::read_bytes(zip);
  ASSERT_EQ(get16(raw, 6) & 0x08, 0x08);
  ASSERT_EQ(get32(raw, 18), 0u);
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  std::string streamed;
  for (int i = 0; i < 300; ++i) streamed += "streamed ";
  EXPECT_EQ(reader.read("deflated"), bytes_of(streamed));
  EXPECT_EQ(reader.read("stored"), bytes_of("stored"));
}

// An archive of a deflated "one.txt" and a stored "two.txt", for archives with data in front.
void python_one_two(const fs::path& zip, const fs::path& dir) {
  python(zip, dir, R"(
with zipfile.ZipFile(out, 'w') as z:
    z.writestr('one.txt', b'one' * 100, zipfile.ZIP_DEFLATED)
    z.writestr('two.txt', b'two', zipfile.ZIP_STORED)
)");
}

void expect_one_two(apk::ZipReader& reader, std::uint64_t bias) {
  ASSERT_EQ(reader.entries.size(), 2u);
  EXPECT_EQ(reader.entries[0].local_header_offset, bias);
  std::string ones;
  for (int i = 0; i < 100; ++i) ones += "one";
  EXPECT_EQ(reader.read("one.txt"), bytes_of(ones));
  EXPECT_EQ(reader.read("two.txt"), bytes_of("two"));
}

TEST_F(ZipReaderTest, ReadsArchiveWithPrependedStub) {
  python_one_two(zip, dir.path());
  Bytes plain = ts::read_bytes(zip);
  Bytes stubbed = ts::random_bytes(1000, 9);
  stubbed.insert(stubbed.end(), plain.begin(), plain.end());
  ts::write_bytes(zip, stubbed);

  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  expect_one_two(reader, 1000);
}

// The archive sits behind a hole of 5 GiB, so every seek and the file size need 64 bits
// (a long is 32 bits on Windows); the hole costs no disk.
TEST_F(ZipReaderTest, ReadsAnArchivePastFourGibibytes) {
  python_one_two(zip, dir.path());
  const std::int64_t hole = 5LL << 30;
  const fs::path big = dir / "big.zip";
  ASSERT_TRUE(ts::write_at(big, hole, ts::read_bytes(zip)));
  ASSERT_GT(fs::file_size(big), 0x100000000u);

  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(big)) << reader.error;
  expect_one_two(reader, std::uint64_t(hole));
}

TEST_F(ZipReaderTest, FindsTheEndRecordBehindComments) {
  struct Case {
    const char* what;
    const char* comment;  // Python expression
    std::size_t entries;
  };
  const Case cases[] = {
      {"largest comment", "b'c' * 65535", 1},
      {"signature too near the end to be a record", "b'x' * 40 + b'PK\\x05\\x06' + b'\\0' * 17", 1},
      // The scan takes the signature nearest the end: here a record that lists nothing.
      {"signature with a whole record behind it", "b'x' * 40 + b'PK\\x05\\x06' + b'\\0' * 18", 0},
  };
  for (const Case& c : cases) {
    python(zip, dir.path(),
           std::string(R"(
with zipfile.ZipFile(out, 'w') as z:
    z.writestr('member', b'content')
    z.comment = )") +
               c.comment + "\n");
    apk::ZipReader reader;
    ASSERT_TRUE(reader.open(zip)) << c.what << ": " << reader.error;
    ASSERT_EQ(reader.entries.size(), c.entries) << c.what;
    if (c.entries) {
      EXPECT_EQ(reader.read("member"), bytes_of("content")) << c.what;
    }
  }
}

TEST_F(ZipReaderTest, CountOfZeroOpensEmptyWhateverTheDirectorySize) {
  Bytes archive(100, 0x50);
  Bytes end = end_of_directory(0, 100, 0);
  archive.insert(archive.end(), end.begin(), end.end());
  ts::write_bytes(zip, archive);
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  EXPECT_TRUE(reader.entries.empty());
}

TEST_F(ZipReaderTest, ReadsInfoZipZip64Records) {
  source("a.txt", bytes_of("hello zip64\n"));
  source("b.txt", Bytes(10000, 'b'));
  std::string output;
  ASSERT_EQ(ts::run("cd " + ts::shell_quote((dir / "src").string()) + " && zip -q -fz " +
                        ts::shell_quote(zip.string()) + " a.txt b.txt",
                    &output),
            0)
      << output;
  Bytes raw = ts::read_bytes(zip);
  // Info-ZIP marks the directory offset and the uncompressed sizes as ZIP64.
  ASSERT_EQ(get32(raw, end_record(raw) + 16), 0xFFFFFFFFu);
  ASSERT_EQ(get32(raw, central_record(raw, "b.txt") + 24), 0xFFFFFFFFu);

  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  ASSERT_EQ(reader.entries.size(), 2u);
  EXPECT_EQ(reader.entries[1].uncompressed_size, 10000u);
  EXPECT_LT(reader.entries[1].compressed_size, 1000u);
  EXPECT_EQ(reader.read("a.txt"), bytes_of("hello zip64\n"));
  EXPECT_EQ(reader.read("b.txt"), Bytes(10000, 'b'));

  // Only the compressed size wide: then the first extra value is that one.
  const std::size_t record = central_record(raw, "b.txt");
  const std::uint32_t compressed = get32(raw, record + 20);
  set32(raw, record + 20, 0xFFFFFFFF);
  set32(raw, record + 24, 10000);
  std::size_t extra = record + 46 + 5;
  while (get16(raw, extra) != 0x0001) extra += 4 + get16(raw, extra + 2);
  set64(raw, extra + 4, compressed);
  ts::write_bytes(zip, raw);
  apk::ZipReader patched;
  ASSERT_TRUE(patched.open(zip)) << patched.error;
  EXPECT_EQ(patched.entries[1].compressed_size, compressed);
  EXPECT_EQ(patched.read("b.txt"), Bytes(10000, 'b'));

  // A locator pointing at no ZIP64 end record.
  const std::size_t locator = last_signature(raw, 0x07064B50);
  set64(raw, locator + 8, 3);
  ts::write_bytes(zip, raw);
  apk::ZipReader bad;
  EXPECT_FALSE(bad.open(zip));
  EXPECT_EQ(bad.error, "bad zip64 directory in " + zip.string());
}

// Python writes ZIP64 records and extras past 2 GiB; a lowered limit makes it do so here.
TEST_F(ZipReaderTest, ReadsPythonZip64RecordsWithClassicValuesInPlace) {
  python(zip, dir.path(), R"(
zipfile.ZIP64_LIMIT = 0
with zipfile.ZipFile(out, 'w') as z:
    z.writestr('first', b'1' * 500, zipfile.ZIP_DEFLATED)
    z.writestr('second', b'22', zipfile.ZIP_STORED)
    z.writestr('third', b'3' * 70, zipfile.ZIP_DEFLATED)
)");
  Bytes raw = ts::read_bytes(zip);
  ASSERT_NE(last_signature(raw, 0x07064B50), std::string::npos);
  ASSERT_NE(get32(raw, end_record(raw) + 16), 0xFFFFFFFFu);
  ASSERT_EQ(get32(raw, central_record(raw, "third") + 42), 0xFFFFFFFFu);

  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  ASSERT_EQ(reader.entries.size(), 3u);
  EXPECT_EQ(reader.entries[0].local_header_offset, 0u);
  EXPECT_EQ(reader.entries[2].uncompressed_size, 70u);
  EXPECT_EQ(reader.read("first"), Bytes(500, '1'));
  EXPECT_EQ(reader.read("second"), bytes_of("22"));
  EXPECT_EQ(reader.read("third"), Bytes(70, '3'));
}

// Any one saturated classic field calls for the ZIP64 records; a locator that leads nowhere
// is then an error rather than a reason to trust the other classic values.
TEST_F(ZipReaderTest, EachSaturatedFieldCallsForTheZip64Records) {
  python(zip, dir.path(), R"(
zipfile.ZIP64_LIMIT = 0
with zipfile.ZipFile(out, 'w') as z:
    z.writestr('first', b'1' * 500, zipfile.ZIP_DEFLATED)
    z.writestr('second', b'22')
)");
  const Bytes good = ts::read_bytes(zip);
  struct Case {
    const char* what;
    std::function<void(Bytes&, std::size_t)> saturate;
  };
  const std::vector<Case> cases = {
      {"count",
       [](Bytes& b, std::size_t end) {
         set16(b, end + 8, 0xFFFF);
         set16(b, end + 10, 0xFFFF);
       }},
      {"size", [](Bytes& b, std::size_t end) { set32(b, end + 12, 0xFFFFFFFF); }},
      {"offset", [](Bytes& b, std::size_t end) { set32(b, end + 16, 0xFFFFFFFF); }},
  };
  for (const Case& c : cases) {
    for (bool lost : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (lost ? ", locator leading nowhere" : ""));
      Bytes bytes = good;
      c.saturate(bytes, end_record(bytes));
      if (lost) set64(bytes, last_signature(bytes, 0x07064B50) + 8, 3);
      ts::write_bytes(zip, bytes);
      apk::ZipReader reader;
      if (lost) {
        EXPECT_FALSE(reader.open(zip));
        EXPECT_EQ(reader.error, "bad zip64 directory in " + zip.string());
        continue;
      }
      ASSERT_TRUE(reader.open(zip)) << reader.error;
      ASSERT_EQ(reader.entries.size(), 2u);
      EXPECT_EQ(reader.read("first"), Bytes(500, '1'));
      EXPECT_EQ(reader.read("second"), bytes_of("22"));
    }
  }
}

// The last name ends in what looks like a ZIP64 locator; with no ZIP64 marker in the end
// record and no ZIP64 record where it points, the classic values hold.
TEST_F(ZipReaderTest, NameShapedLikeALocatorIsNoZip64) {
  python(zip, dir.path(), R"(
with zipfile.ZipFile(out, 'w') as z:
    z.writestr('first', b'1')
    z.writestr('last-PK\x06\x07' + 'A' * 16, b'2')
)");
  Bytes raw = ts::read_bytes(zip);
  ASSERT_EQ(get32(raw, end_record(raw) - 20), 0x07064B50u);
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  ASSERT_EQ(reader.entries.size(), 2u);
  EXPECT_EQ(reader.read(reader.entries[1]), bytes_of("2"));
}

TEST_F(ZipReaderTest, ReadsEveryEntryOfMoreThan65535) {
  python(zip, dir.path(), R"(
with zipfile.ZipFile(out, 'w') as z:
    for i in range(70000):
        z.writestr('e/%05d' % i, b'%d' % i if i % 1000 == 0 else b'')
)");
  Bytes raw = ts::read_bytes(zip);
  const std::size_t end = end_record(raw);
  // The classic record saturates its count while its offset still fits.
  ASSERT_EQ(get16(raw, end + 10), 0xFFFF);
  ASSERT_NE(get32(raw, end + 16), 0xFFFFFFFFu);

  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  ASSERT_EQ(reader.entries.size(), 70000u);
  EXPECT_EQ(reader.entries.back().name, "e/69999");
  EXPECT_EQ(reader.read("e/69000"), bytes_of("69000"));
  EXPECT_EQ(reader.read("e/65535"), Bytes{});
  EXPECT_EQ(reader.read("e/00000"), bytes_of("0"));
}

TEST_F(ZipReaderTest, RefusesOtherCompressionMethods) {
  python(zip, dir.path(), R"(
with zipfile.ZipFile(out, 'w') as z:
    z.writestr('bz', b'b' * 1000, zipfile.ZIP_BZIP2)
    z.writestr('xz', b'x' * 1000, zipfile.ZIP_LZMA)
    z.writestr('ok', b'fine')
)");
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  EXPECT_EQ(reader.entries[0].method, 12);
  EXPECT_EQ(reader.entries[1].method, 14);
  for (const char* name : {"bz", "xz"}) {
    EXPECT_FALSE(reader.read(name));
    EXPECT_EQ(reader.error, std::string("unsupported compression in ") + name);
  }
  EXPECT_EQ(reader.read("ok"), bytes_of("fine"));
}

TEST_F(ZipReaderTest, ChecksEachEntryAndStaysUsableAfterAFailure) {
  python(zip, dir.path(), R"(
with zipfile.ZipFile(out, 'w') as z:
    z.writestr('stored', b'stored content', zipfile.ZIP_STORED)
    z.writestr('deflated', b'abcdefgh' * 4000, zipfile.ZIP_DEFLATED)
    z.writestr('sound', b'sound', zipfile.ZIP_STORED)
)");
  const Bytes good = ts::read_bytes(zip);
  struct Case {
    const char* what;
    std::string name;
    std::function<void(Bytes&)> damage;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"flipped data byte", "stored", [](Bytes& b) { b[data_start(b, "stored") + 3] ^= 1; },
       "checksum mismatch in stored"},
      {"stated size disagrees", "stored",
       [](Bytes& b) { set32(b, central_record(b, "stored") + 24, 3); }, ""},
      {"stream cut short", "deflated",
       [](Bytes& b) {
         std::size_t r = central_record(b, "deflated");
         set32(b, r + 20, get32(b, r + 20) / 2);
       },
       "cannot inflate deflated"},
      {"stream ends before the stated size", "deflated",
       [](Bytes& b) { set32(b, central_record(b, "deflated") + 24, 32001); },
       "cannot inflate deflated"},
      {"stream longer than the stated size", "deflated",
       [](Bytes& b) { set32(b, central_record(b, "deflated") + 24, 31999); },
       "cannot inflate deflated"},
      {"local header signature", "deflated",
       [](Bytes& b) { b[get32(b, central_record(b, "deflated") + 42)] = 'Q'; },
       "damaged entry deflated"},
      {"local header past the end", "deflated",
       [](Bytes& b) { set32(b, central_record(b, "deflated") + 42, 0x7FFFFFF0); },
       "damaged entry deflated"},
      {"data past the end", "stored",
       [](Bytes& b) { set32(b, central_record(b, "stored") + 20, 0x10000); },
       "truncated entry stored"},
      {"absurd stored size", "stored",
       [](Bytes& b) { set32(b, central_record(b, "stored") + 20, 0xFFFFFFF0); },
       "truncated entry stored"},
      {"absurd inflated size", "deflated",
       [](Bytes& b) { set32(b, central_record(b, "deflated") + 24, 0xFFFFFFF0); },
       "cannot inflate deflated"},
  };
  for (const Case& c : cases) {
    Bytes damaged = good;
    c.damage(damaged);
    ts::write_bytes(zip, damaged);
    apk::ZipReader reader;
    ASSERT_TRUE(reader.open(zip)) << c.what << ": " << reader.error;
    std::optional<Bytes> data = reader.read(c.name);
    if (c.error.empty()) {
      EXPECT_EQ(data, bytes_of("stored content")) << c.what << ": " << reader.error;
    } else {
      EXPECT_FALSE(data) << c.what;
      EXPECT_EQ(reader.error, c.error) << c.what;
    }
    EXPECT_EQ(reader.read("sound"), bytes_of("sound")) << c.what;
    // The streamed read fails alike and with the same words.
    apk::ZipReader streaming;
    ASSERT_TRUE(streaming.open(zip));
    std::optional<Bytes> pieces = streamed(streaming, c.name);
    if (c.error.empty()) {
      EXPECT_EQ(pieces, bytes_of("stored content")) << c.what << ": " << streaming.error;
    } else {
      EXPECT_FALSE(pieces) << c.what;
      EXPECT_EQ(streaming.error, c.error) << c.what;
    }
  }
}

// Pieces never pass the chunk size, however large the entry, stored or deflated.
TEST_F(ZipReaderTest, StreamsLargeEntriesInBoundedPieces) {
  const Bytes random = ts::random_bytes(3 * apk::kStreamChunk + 17, 9);
  source("random.bin", random);
  python(zip, dir / "src", R"(
with zipfile.ZipFile(out, 'w') as z:
    z.write(os.path.join(src, 'random.bin'), 'stored', zipfile.ZIP_STORED)
    z.write(os.path.join(src, 'random.bin'), 'deflated', zipfile.ZIP_DEFLATED)
    z.writestr('zeros', bytes(5 << 20), zipfile.ZIP_DEFLATED)
)");
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(zip)) << reader.error;
  EXPECT_EQ(streamed(reader, "stored"), random) << reader.error;
  EXPECT_EQ(streamed(reader, "deflated"), random) << reader.error;
  EXPECT_EQ(streamed(reader, "zeros"), Bytes(5 << 20)) << reader.error;
}

TEST_F(ZipReaderTest, RefusesDamagedDirectories) {
  python(zip, dir.path(), R"(
with zipfile.ZipFile(out, 'w') as z:
    z.writestr('a', b'first')
    z.writestr('b', b'second')
)");
  const Bytes good = ts::read_bytes(zip);
  const std::string damaged = "damaged directory in " + zip.string();
  const std::string unreadable = "cannot read the directory of " + zip.string();
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    std::string error;  // empty: opens
  };
  const std::vector<Case> cases = {
      {"directory shorter than one record", [](Bytes& b) { set32(b, end_record(b) + 12, 45); },
       damaged},
      {"record signature", [](Bytes& b) { b[central_record(b, "b")] = 'Q'; }, damaged},
      {"name past the directory", [](Bytes& b) { set16(b, central_record(b, "b") + 28, 40); },
       damaged},
      {"extra past the directory", [](Bytes& b) { set16(b, central_record(b, "b") + 30, 40); },
       damaged},
      {"fewer records than counted",
       [](Bytes& b) {
         set16(b, end_record(b) + 8, 3);
         set16(b, end_record(b) + 10, 3);
       },
       damaged},
      {"last comment past the directory",
       [](Bytes& b) { set16(b, central_record(b, "b") + 32, 500); }, ""},
      {"earlier comment over the next record",
       [](Bytes& b) { set16(b, central_record(b, "a") + 32, 10); }, damaged},
      {"directory past the end of the file",
       [](Bytes& b) { set32(b, end_record(b) + 12, 0xFFFFFFF0); }, unreadable},
      {"directory offset past the end of the file",
       [](Bytes& b) { set32(b, end_record(b) + 16, 0xFFFFFFFF); }, unreadable},
  };
  for (const Case& c : cases) {
    Bytes bytes = good;
    c.damage(bytes);
    ts::write_bytes(zip, bytes);
    apk::ZipReader reader;
    const bool opened = reader.open(zip);
    if (c.error.empty()) {
      ASSERT_TRUE(opened) << c.what << ": " << reader.error;
      EXPECT_EQ(reader.read("b"), bytes_of("second")) << c.what;
    } else {
      EXPECT_FALSE(opened) << c.what;
      EXPECT_EQ(reader.error, c.error) << c.what;
    }
  }
}

// Values nobody writes, to show that they end in a message and not in a crash or a
// huge allocation, and that no value is read from outside its record.
TEST_F(ZipReaderTest, RefusesAbsurdZip64Values) {
  const std::string path = zip.string();
  const Bytes stream = {0x4B, 0x49, 0x2C, 0x49, 0x04, 0x00};  // "data", raw deflate
  const std::uint32_t crc = apk::crc32(bytes_of("data").data(), 4);
  const std::uint32_t wide = 0xFFFFFFFF;
  auto extra = [](std::uint16_t size, std::vector<std::uint64_t> values) {
    Bytes e;
    put16(e, 1);
    put16(e, size);
    for (std::uint64_t v : values) put64(e, v);
    return e;
  };
  struct Case {
    const char* what;
    std::uint64_t count;
    std::uint64_t size_delta;  // added to the true directory size
    Bytes record;
    std::string open_error;
    std::string read_error;  // empty: reads "data"
  };
  const std::vector<Case> cases = {
      {"sound", 1, 0, central("data", 8, crc, wide, wide, 0, extra(16, {4, 6})), "", ""},
      {"count beyond what the directory holds", std::uint64_t(1) << 60, 0,
       central("data", 8, crc, 6, 4, 0), "damaged directory in " + path, ""},
      {"directory size beyond the file", 1, std::uint64_t(1) << 62,
       central("data", 8, crc, 6, 4, 0), "cannot read the directory of " + path, ""},
      {"extra record shorter than its values", 1, 0,
       central("data", 8, crc, wide, 4, 0, extra(4, {6})), "", "truncated entry data"},
      {"extra size past the extra field", 1, 0,
       central("data", 8, crc, wide, 4, 0, extra(0x7FFF, {6})), "", ""},
      {"uncompressed size of a terabyte", 1, 0,
       central("data", 8, crc, 6, wide, 0, extra(8, {std::uint64_t(1) << 40})), "",
       "cannot inflate data"},
      {"uncompressed size beyond what the stream holds", 1, 0,
       central("data", 8, crc, 6, 0xF0000000, 0), "", "cannot inflate data"},
      {"compressed size of a terabyte", 1, 0,
       central("data", 8, crc, wide, 4, 0, extra(8, {std::uint64_t(1) << 40})), "",
       "truncated entry data"},
  };
  for (const Case& c : cases) {
    Bytes archive = local_header("data");
    archive.insert(archive.end(), stream.begin(), stream.end());
    const std::uint64_t dir_offset = archive.size();
    archive.insert(archive.end(), c.record.begin(), c.record.end());
    Bytes trailer =
        zip64_trailer(archive.size(), c.count, c.record.size() + c.size_delta, dir_offset);
    archive.insert(archive.end(), trailer.begin(), trailer.end());
    Bytes end = end_of_directory(0xFFFF, wide, wide);
    archive.insert(archive.end(), end.begin(), end.end());
    ts::write_bytes(zip, archive);

    apk::ZipReader reader;
    const bool opened = reader.open(zip);
    if (!c.open_error.empty()) {
      EXPECT_FALSE(opened) << c.what;
      EXPECT_EQ(reader.error, c.open_error) << c.what;
      continue;
    }
    ASSERT_TRUE(opened) << c.what << ": " << reader.error;
    std::optional<Bytes> data = reader.read("data");
    if (c.read_error.empty()) {
      EXPECT_EQ(data, bytes_of("data")) << c.what << ": " << reader.error;
    } else {
      EXPECT_FALSE(data) << c.what;
      EXPECT_EQ(reader.error, c.read_error) << c.what;
    }
  }
}

// Random damage to the directory and the records behind it ends in one of the reader's
// messages, never in a crash or a read outside the buffers.
TEST_F(ZipReaderTest, SurvivesRandomDamage) {
  python(zip, dir.path(), R"(
zipfile.ZIP64_LIMIT = 0
with zipfile.ZipFile(out, 'w') as z:
    z.writestr('a', b'alpha' * 50, zipfile.ZIP_DEFLATED)
    z.writestr('b', b'beta')
    z.writestr('c/', b'')
    z.writestr('d', b'delta' * 9, zipfile.ZIP_DEFLATED)
)");
  const Bytes good = ts::read_bytes(zip);
  const std::size_t directory = central_record(good, "a");
  const std::vector<std::string> prefixes = {"cannot read ",
                                             "damaged directory in ",
                                             "bad zip64 directory in ",
                                             "damaged entry ",
                                             "truncated entry ",
                                             "cannot inflate ",
                                             "checksum mismatch in ",
                                             "unsupported compression in ",
                                             zip.string() + " is not a zip archive"};
  std::uint32_t seed = 1;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (int round = 0; round < 1500; ++round) {
    Bytes bytes = good;
    const int changes = 1 + next() % 4;
    for (int i = 0; i < changes; ++i) {
      // Mostly the directory and the end records, sometimes anywhere.
      std::size_t at =
          next() % 4 ? directory + next() % (bytes.size() - directory) : next() % bytes.size();
      bytes[at] = next() % 3 ? static_cast<unsigned char>(next()) : 0xFF;
    }
    ts::write_bytes(zip, bytes);
    apk::ZipReader reader;
    std::vector<std::string> errors;
    if (reader.open(zip)) {
      for (const apk::ZipEntry& entry : reader.entries) {
        if (!reader.read(entry)) errors.push_back(reader.error);
      }
    } else {
      errors.push_back(reader.error);
    }
    for (const std::string& error : errors) {
      EXPECT_TRUE(std::any_of(prefixes.begin(), prefixes.end(),
                              [&](const std::string& p) { return error.rfind(p, 0) == 0; }))
          << "round " << round << ": " << error;
    }
  }
}

TEST(Crc32, MatchesTheStandardValues) {
  const std::string check = "123456789";
  EXPECT_EQ(apk::crc32(reinterpret_cast<const unsigned char*>(check.data()), check.size()),
            0xCBF43926u);
  EXPECT_EQ(apk::crc32(nullptr, 0), 0u);
  const Bytes random = ts::random_bytes(100000, 5);
  std::string output;
  ts::TempDir dir;
  ts::write_bytes(dir / "r.bin", random);
  ASSERT_EQ(ts::run_python("import zlib; print(zlib.crc32(open(r'''" + (dir / "r.bin").string() +
                               "''', 'rb').read()))",
                           &output),
            0);
  EXPECT_EQ(std::to_string(apk::crc32(random.data(), random.size())) + "\n", output);
}

TEST(Crc32, CoversMoreThanOneGibibyte) {
  Bytes big((std::size_t(1) << 30) + 5, 0);
  for (std::size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(apk::crc32(big.data(), big.size()),
            static_cast<std::uint32_t>(crc32_z(crc32(0, Z_NULL, 0), big.data(), big.size())));
}

}  // namespace
