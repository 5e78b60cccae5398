#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <tuple>
#include <vector>

#include "apk/identify.hpp"
#include "support/test_support.hpp"

namespace ts = testing_support;

namespace {

struct Member {
  std::string name;
  std::vector<unsigned char> data;
  bool deflate = true;
};

std::string to_hex(const std::vector<unsigned char>& data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : data) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// Writes an APK-like archive with Python's zipfile.
void make_apk(const ts::fs::path& path, const std::vector<Member>& members) {
  std::string script =
      "import zipfile\nwith zipfile.ZipFile(" + ts::shell_quote(path.string()) + ", 'w') as z:\n";
  for (const Member& m : members) {
    script += "    z.writestr(zipfile.ZipInfo(" + ts::shell_quote(m.name) + "), bytes.fromhex('" +
              to_hex(m.data) + "'), " +
              (m.deflate ? "zipfile.ZIP_DEFLATED" : "zipfile.ZIP_STORED") + ")\n";
  }
  std::string out;
  ASSERT_EQ(ts::run_python(script, &out), 0) << out;
}

// The digest as Python's hashlib gives it.
std::string python_sha256(const std::vector<unsigned char>& data) {
  std::string out;
  EXPECT_EQ(ts::run_python("import hashlib\nprint(hashlib.sha256(bytes.fromhex('" + to_hex(data) +
                               "')).hexdigest(), end='')\n",
                           &out),
            0)
      << out;
  return out;
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// A result's three fields as one value, so a failure shows them all.
using Fields = std::tuple<const apk::GameSpec*, bool, std::string>;
Fields fields(const ApkIdentity& id) { return {id.spec, id.library_found, id.library_sha256}; }

class Identify : public ::testing::Test {
 protected:
  ts::TempDir dir;
  const std::vector<unsigned char> lib_a = ts::random_bytes(70000, 1);
  const std::vector<unsigned char> lib_b = ts::random_bytes(5000, 2);
  const std::vector<unsigned char> manifest = ts::random_bytes(300, 3);

  // Opens a fresh archive of the given members.
  void open(apk::ZipReader& reader, const std::vector<Member>& members) {
    ts::fs::path path = dir / ("app" + std::to_string(count_++) + ".apk");
    make_apk(path, members);
    ASSERT_TRUE(reader.open(path)) << reader.error;
  }

 private:
  int count_ = 0;
};

TEST(LibraryPath, AlwaysTheThirtyTwoBitArmFolder) {
  const std::pair<const char*, const char*> cases[] = {
      {"main", "lib/armeabi-v7a/libmain.so"},
      {"game.core", "lib/armeabi-v7a/libgame.core.so"},
      {"", "lib/armeabi-v7a/lib.so"},
  };
  for (const auto& [library, path] : cases)
    EXPECT_EQ(apk::library_path(apk::GameSpec{"id", library, ""}), path);
}

TEST_F(Identify, MatchesTheFirstRecordWithTheLibrarysHashStoredOrDeflated) {
  const std::string hash_b = python_sha256(lib_b);
  for (bool deflate : {true, false}) {
    SCOPED_TRACE(deflate ? "deflated" : "stored");
    apk::ZipReader reader;
    open(reader, {{"AndroidManifest.xml", manifest},
                  {"lib/arm64-v8a/libbeta.so", lib_a},
                  {"lib/armeabi-v7a/libbeta.so", lib_b, deflate}});
    const std::vector<apk::GameSpec> specs = {
        {"alpha", "alpha", python_sha256(lib_a)},  // absent from this APK
        {"beta", "beta", hash_b},
        {"beta-again", "beta", hash_b},  // would match too, but comes later
    };
    EXPECT_EQ(fields(apk::identify(reader, specs)), Fields(&specs[1], true, hash_b));
  }
}

TEST_F(Identify, AnotherVersionIsFoundButNotMatched) {
  apk::ZipReader reader;
  open(reader, {{"lib/armeabi-v7a/libalpha.so", lib_a}});
  const std::vector<apk::GameSpec> specs = {
      {"alpha", "alpha", python_sha256(lib_b)},
      {"beta", "beta", python_sha256(lib_b)},
  };
  EXPECT_EQ(fields(apk::identify(reader, specs)), Fields(nullptr, true, python_sha256(lib_a)));
}

TEST_F(Identify, KeepsTheHashOfTheLastLibraryRead) {
  apk::ZipReader reader;
  open(reader, {{"lib/armeabi-v7a/libalpha.so", lib_a}, {"lib/armeabi-v7a/libbeta.so", lib_b}});
  const std::string wrong(64, '0');
  const std::vector<apk::GameSpec> specs = {
      {"alpha", "alpha", wrong}, {"beta", "beta", wrong}, {"gamma", "gamma", wrong}};
  EXPECT_EQ(fields(apk::identify(reader, specs)), Fields(nullptr, true, python_sha256(lib_b)));
}

TEST_F(Identify, OtherAbiFoldersAreNeverConsulted) {
  apk::ZipReader reader;
  open(reader, {{"lib/arm64-v8a/libalpha.so", lib_a},
                {"lib/armeabi/libalpha.so", lib_a},
                {"lib/x86/libalpha.so", lib_a},
                {"lib/armeabi-v7a/libalpha.so.bak", lib_a}});
  const std::vector<apk::GameSpec> specs = {{"alpha", "alpha", python_sha256(lib_a)}};
  EXPECT_EQ(fields(apk::identify(reader, specs)), Fields(nullptr, false, ""));
  EXPECT_EQ(reader.error, "") << "an absent library is looked up, not read";
}

TEST_F(Identify, EveryRecordNamingTheSameLibraryIsTriedOnItsOwn) {
  apk::ZipReader reader;
  open(reader, {{"lib/armeabi-v7a/libalpha.so", lib_a}});
  const std::vector<apk::GameSpec> specs = {
      {"alpha-1.0", "alpha", python_sha256(lib_b)},
      {"alpha-2.0", "alpha", python_sha256(lib_a)},
  };
  EXPECT_EQ(fields(apk::identify(reader, specs)), Fields(&specs[1], true, python_sha256(lib_a)));
}

TEST_F(Identify, AnUpperCaseCatalogueHashNeverMatches) {
  apk::ZipReader reader;
  open(reader, {{"lib/armeabi-v7a/libalpha.so", lib_a}});
  const std::string hash = python_sha256(lib_a);
  ASSERT_NE(upper(hash), hash);
  const std::vector<apk::GameSpec> specs = {{"alpha", "alpha", upper(hash)}};
  EXPECT_EQ(fields(apk::identify(reader, specs)), Fields(nullptr, true, hash));
}

TEST_F(Identify, ADamagedLibraryCountsAsAbsent) {
  // A stored library with one data byte flipped after the archive was written.
  ts::fs::path path = dir / "broken.apk";
  make_apk(path, {{"lib/armeabi-v7a/libalpha.so", lib_a, false},
                  {"lib/armeabi-v7a/libbeta.so", lib_b, false}});
  std::vector<unsigned char> bytes = ts::read_bytes(path);
  auto at = std::search(bytes.begin(), bytes.end(), lib_a.begin(), lib_a.begin() + 64);
  ASSERT_NE(at, bytes.end());
  at[1000] ^= 0x01;
  ts::write_bytes(path, bytes);

  const std::string hash_a = python_sha256(lib_a);
  const std::string hash_b = python_sha256(lib_b);
  {
    apk::ZipReader reader;
    ASSERT_TRUE(reader.open(path)) << reader.error;
    const std::vector<apk::GameSpec> specs = {{"alpha", "alpha", hash_a}};
    EXPECT_EQ(fields(apk::identify(reader, specs)), Fields(nullptr, false, ""));
    EXPECT_EQ(reader.error, "checksum mismatch in lib/armeabi-v7a/libalpha.so");
  }
  {
    apk::ZipReader reader;
    ASSERT_TRUE(reader.open(path)) << reader.error;
    const std::vector<apk::GameSpec> specs = {{"alpha", "alpha", hash_a}, {"beta", "beta", hash_b}};
    EXPECT_EQ(fields(apk::identify(reader, specs)), Fields(&specs[1], true, hash_b));
  }
}

// A library that inflates to half a gibibyte is hashed as it comes: the process never holds it.
TEST_F(Identify, AHugeLibraryIsHashedWithoutBeingHeldInMemory) {
  constexpr std::uint64_t kSize = std::uint64_t(1) << 29;
  const ts::fs::path path = dir / "bomb.apk";
  ASSERT_TRUE(ts::write_zero_bomb(path, "lib/armeabi-v7a/libalpha.so", kSize));
  ASSERT_LT(ts::fs::file_size(path), kSize / 512);
  std::string zeros_hash;
  ASSERT_EQ(
      ts::run_python("import hashlib\nprint(hashlib.sha256(bytes(1 << 29)).hexdigest(), end='')\n",
                     &zeros_hash),
      0);
  const std::vector<apk::GameSpec> specs = {{"other", "alpha", std::string(64, '0')},
                                            {"alpha", "alpha", zeros_hash}};
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(path)) << reader.error;
  const std::uint64_t before = ts::peak_memory();
  EXPECT_EQ(fields(apk::identify(reader, specs)), Fields(&specs[1], true, zeros_hash));
  EXPECT_LT(ts::peak_memory() - before, std::uint64_t(64) << 20);
}

TEST_F(Identify, AnEmptyCatalogueMatchesNothing) {
  apk::ZipReader reader;
  open(reader, {{"lib/armeabi-v7a/libalpha.so", lib_a}});
  EXPECT_EQ(fields(apk::identify(reader, {})), Fields(nullptr, false, ""));
  EXPECT_EQ(reader.error, "");
}

}  // namespace
