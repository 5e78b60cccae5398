#include "apk/extract.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>

#include "apk/android_res.hpp"
#include "support/png.hpp"
#include "support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::make_png;
using testing_support::read_bytes;
using testing_support::run;
using testing_support::run_python;
using testing_support::shell_quote;
using testing_support::TempDir;
using testing_support::write_bytes;
using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The files below a folder as relative '/'-separated names with their bytes.
std::map<std::string, Bytes> tree(const fs::path& root) {
  std::map<std::string, Bytes> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file())
      files[entry.path().lexically_relative(root).generic_string()] = read_bytes(entry.path());
  return files;
}

std::set<std::string> names(const std::map<std::string, Bytes>& files) {
  std::set<std::string> out;
  for (const auto& [name, data] : files) out.insert(name);
  return out;
}

// ---- A game APK made by aapt, with the library added by Python's zipfile ----

struct GameApk {
  fs::path path;
  apk::GameSpec spec;
  std::map<std::string, Bytes> assets;  // below assets/
  Bytes library;
};

GameApk aapt_game(const TempDir& dir) {
  GameApk game;
  game.assets = {{"a.txt", bytes_of("first asset\n")},
                 {"empty.dat", {}},
                 {"sub/deeper/b.bin", testing_support::random_bytes(150000, 7)},
                 {"sub/c.txt", Bytes(70000, 'c')}};
  for (const auto& [name, data] : game.assets) write_bytes(dir / "assets" / name, data);
  write_bytes(dir / "res/drawable/icon.png", make_png(40, 40));
  write_bytes(dir / "res/drawable-hdpi/icon.png", make_png(72, 72));
  write_bytes(dir / "res/drawable-xxhdpi/icon.png", make_png(144, 144));
  testing_support::write_text(
      dir / "AndroidManifest.xml",
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\" "
      "package=\"com.example.game\">\n"
      "  <application android:label=\"Game\" android:icon=\"@drawable/icon\"/>\n"
      "</manifest>\n");
  game.path = dir / "game.apk";
  std::string output;
  EXPECT_EQ(run("aapt package -f -M " + shell_quote((dir / "AndroidManifest.xml").string()) +
                    " -S " + shell_quote((dir / "res").string()) + " -A " +
                    shell_quote((dir / "assets").string()) +
                    " -I /usr/share/android-framework-res/framework-res.apk -F " +
                    shell_quote(game.path.string()),
                &output),
            0)
      << output;
  game.library = testing_support::random_bytes(300000, 11);
  write_bytes(dir / "libfoo.so", game.library);
  EXPECT_EQ(run_python("import hashlib, zipfile\n"
                       "data = open(" +
                           shell_quote((dir / "libfoo.so").string()) +
                           ", 'rb').read()\n"
                           "z = zipfile.ZipFile(" +
                           shell_quote(game.path.string()) +
                           ", 'a', zipfile.ZIP_DEFLATED)\n"
                           "z.writestr('lib/armeabi-v7a/libfoo.so', data)\n"
                           "z.close()\n"
                           "print(hashlib.sha256(data).hexdigest(), end='')\n",
                       &output),
            0)
      << output;
  game.spec = {"foo", "foo", output};
  return game;
}

// A member of an archive as unzip extracts it.
Bytes unzip_member(const fs::path& archive, const std::string& name) {
  std::string output;
  run("unzip -p " + shell_quote(archive.string()) + " " + shell_quote(name), &output);
  return bytes_of(output);
}

TEST(Extract, WritesEveryFileWithTheMarkerLast) {
  TempDir dir;
  GameApk game = aapt_game(dir);
  fs::path dest = dir / "data";
  write_bytes(dest / ".complete", {});  // left by an earlier run

  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(game.path)) << reader.error;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  bool marker_seen = false;
  std::string error;
  ASSERT_TRUE(apk::extract(reader, game.spec, dest, error,
                           [&](std::uint64_t done, std::uint64_t total) {
                             calls.emplace_back(done, total);
                             marker_seen |= fs::exists(dest / ".complete");
                           }))
      << error;
  EXPECT_FALSE(marker_seen);

  std::map<std::string, Bytes> expected;
  std::uint64_t asset_bytes = 0;
  for (const auto& [name, data] : game.assets) {
    expected["assets/" + name] = data;
    asset_bytes += data.size();
  }
  Bytes largest = unzip_member(game.path, "res/drawable-xxhdpi-v4/icon.png");
  ASSERT_EQ(apk::png_size(largest)->first, 144u);
  expected["icon.png"] = largest;
  expected["icon.ico"] = apk::png_to_ico(largest);
  expected["icons/160.png"] = unzip_member(game.path, "res/drawable/icon.png");
  expected["icons/240.png"] = unzip_member(game.path, "res/drawable-hdpi-v4/icon.png");
  expected["icons/480.png"] = largest;
  expected["lib/libfoo.so"] = game.library;
  expected[".complete"] = {};
  EXPECT_EQ(tree(dest), expected);

  // The marker is the newest file.
  for (const auto& [name, data] : expected)
    EXPECT_LE(fs::last_write_time(dest / name), fs::last_write_time(dest / ".complete")) << name;

  // One call per asset file, counting bytes up to the total.
  ASSERT_EQ(calls.size(), game.assets.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].second, asset_bytes);
    if (i) {
      EXPECT_GE(calls[i].first, calls[i - 1].first);
    }
  }
  EXPECT_EQ(calls.back().first, asset_bytes);
}

TEST(Extract, SecondRunRewritesOnlyWhatChanged) {
  TempDir dir;
  GameApk game = aapt_game(dir);
  fs::path dest = dir / "data";
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(game.path));
  std::string error;
  ASSERT_TRUE(apk::extract(reader, game.spec, dest, error, {})) << error;
  std::map<std::string, Bytes> first = tree(dest);

  // Back-date everything, and spoil one asset. The times are read back: Windows keeps them in
  // steps of 100 ns.
  const auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
  testing_support::write_text(dest / "assets/sub/c.txt", "changed");
  std::map<std::string, fs::file_time_type> times;
  for (const auto& [name, data] : first) {
    fs::last_write_time(dest / name, old_time);
    times[name] = fs::last_write_time(dest / name);
  }

  ASSERT_TRUE(apk::extract(reader, game.spec, dest, error, {})) << error;
  EXPECT_EQ(tree(dest), first);
  for (const auto& [name, data] : first) {
    bool rewritten = fs::last_write_time(dest / name) != times[name];
    // The marker is removed first and written last on every run.
    EXPECT_EQ(rewritten, name == "assets/sub/c.txt" || name == ".complete") << name;
  }
}

TEST(Extract, WrongLibraryHashWritesNoLibraryAndNoMarker) {
  TempDir dir;
  GameApk game = aapt_game(dir);
  fs::path dest = dir / "data";
  write_bytes(dest / ".complete", {});
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(game.path));

  struct Case {
    const char* what;
    apk::GameSpec spec;
    std::string error;
  };
  std::string upper = game.spec.sha256;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const Case cases[] = {
      {"another hash", {"foo", "foo", std::string(64, '0')}, "unsupported build of libfoo.so"},
      {"the hash in upper case", {"foo", "foo", upper}, "unsupported build of libfoo.so"},
      {"no such library",
       {"bar", "bar", game.spec.sha256},
       "no lib/armeabi-v7a/libbar.so in the archive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    EXPECT_FALSE(apk::extract(reader, c.spec, dest, error, {}));
    EXPECT_EQ(error, c.error);
    std::set<std::string> written = names(tree(dest));
    EXPECT_TRUE(written.count("assets/a.txt"));
    EXPECT_TRUE(written.count("icon.png"));
    EXPECT_FALSE(fs::exists(dest / "lib"));
    EXPECT_FALSE(fs::exists(dest / ".complete"));
  }
}

std::string hex_of(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// An archive from (name, bytes, deflated) members in this order, made by Python's zipfile.
fs::path python_zip(const TempDir& dir, const std::string& file,
                    const std::vector<std::tuple<std::string, Bytes, bool>>& members) {
  std::string script =
      "import zipfile\nz = zipfile.ZipFile(" + shell_quote((dir / file).string()) + ", 'w')\n";
  int i = 0;
  for (const auto& [name, data, deflated] : members) {
    fs::path part = dir / (file + ".parts") / std::to_string(i++);
    write_bytes(part, data);
    script += "z.writestr(zipfile.ZipInfo(bytes.fromhex('" + hex_of(name) + "').decode()), open(" +
              shell_quote(part.string()) + ", 'rb').read(), " +
              (deflated ? "zipfile.ZIP_DEFLATED" : "zipfile.ZIP_STORED") + ")\n";
  }
  script += "z.close()\n";
  std::string output;
  EXPECT_EQ(run_python(script, &output), 0) << output;
  return dir / file;
}

std::string sha256_of(const Bytes& data) {
  TempDir dir;
  write_bytes(dir / "x", data);
  std::string output;
  run("openssl dgst -sha256 -r " + shell_quote((dir / "x").string()), &output);
  return output.substr(0, 64);
}

TEST(Extract, WithoutAssetsOrIconsStillWritesLibraryAndMarker) {
  TempDir dir;
  Bytes library = bytes_of("library");
  // A folder entry "assets/" carrying data counts toward the total but is not written.
  fs::path archive = python_zip(dir, "plain.apk",
                                {{"lib/armeabi-v7a/libfoo.so", library, true},
                                 {"assets/", bytes_of("xyz"), false},
                                 {"assets/one", bytes_of("12345"), true}});
  apk::GameSpec spec{"foo", "foo", sha256_of(library)};
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(archive));
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  std::string error;
  ASSERT_TRUE(apk::extract(reader, spec, dir / "data", error,
                           [&](std::uint64_t d, std::uint64_t t) { calls.emplace_back(d, t); }))
      << error;
  EXPECT_EQ(names(tree(dir / "data")),
            (std::set<std::string>{"assets/one", "lib/libfoo.so", ".complete"}));
  EXPECT_EQ(calls, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{5, 8}}));

  fs::path bare = python_zip(dir, "bare.apk", {{"lib/armeabi-v7a/libfoo.so", library, false}});
  apk::ZipReader bare_reader;
  ASSERT_TRUE(bare_reader.open(bare));
  calls.clear();
  ASSERT_TRUE(apk::extract(bare_reader, spec, dir / "bare", error,
                           [&](std::uint64_t d, std::uint64_t t) { calls.emplace_back(d, t); }))
      << error;
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(names(tree(dir / "bare")), (std::set<std::string>{"lib/libfoo.so", ".complete"}));
}

TEST(Extract, UnsafeOrDamagedAssetStopsEverythingAfterIt) {
  struct Case {
    std::string name;
    std::string error;
  };
  const Case cases[] = {
      {"assets/../x", "unsafe file name in the APK: assets/../x"},
      {"assets//x", "unsafe file name in the APK: assets//x"},
      {"assets/./x", "unsafe file name in the APK: assets/./x"},
      {"assets/a\\b", "unsafe file name in the APK: assets/a\\b"},
      {"assets/c:x", "unsafe file name in the APK: assets/c:x"},
      {"assets/sub/../../../outside", "unsafe file name in the APK: assets/sub/../../../outside"},
      // Names that Windows would write as a device, or not as given.
      {"assets/aux.png", "unsafe file name in the APK: assets/aux.png"},
      {"assets/CON/x", "unsafe file name in the APK: assets/CON/x"},
      {"assets/trailing.", "unsafe file name in the APK: assets/trailing."},
  };
  Bytes library = bytes_of("library");
  apk::GameSpec spec{"foo", "foo", sha256_of(library)};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::path archive = python_zip(dir, "bad.apk",
                                  {{"assets/first", bytes_of("1"), false},
                                   {c.name, bytes_of("evil"), false},
                                   {"assets/later", bytes_of("2"), false},
                                   {"lib/armeabi-v7a/libfoo.so", library, false}});
    apk::ZipReader reader;
    ASSERT_TRUE(reader.open(archive));
    std::string error;
    fs::path dest = dir / "nest" / "data";
    EXPECT_FALSE(apk::extract(reader, spec, dest, error, {}));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(names(tree(dir / "nest")), (std::set<std::string>{"data/assets/first"}));
  }

  // A stored asset with a flipped byte reports the reader's own text.
  TempDir dir;
  fs::path archive = python_zip(dir, "crc.apk",
                                {{"assets/first", bytes_of("1"), false},
                                 {"assets/broken", bytes_of("UNIQUEBYTES"), false},
                                 {"lib/armeabi-v7a/libfoo.so", library, false}});
  Bytes raw = read_bytes(archive);
  std::string text(raw.begin(), raw.end());
  raw[text.find("UNIQUEBYTES")] ^= 0x20;
  write_bytes(archive, raw);
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(archive));
  std::string error;
  EXPECT_FALSE(apk::extract(reader, spec, dir / "data", error, {}));
  EXPECT_EQ(error, "checksum mismatch in assets/broken");
  EXPECT_EQ(names(tree(dir / "data")), (std::set<std::string>{"assets/first"}));
}

TEST(Extract, UnwritableIconReportsTheIconPng) {
  TempDir dir;
  GameApk game = aapt_game(dir);
  fs::path dest = dir / "data";
  fs::create_directories(dest / "icon.ico");  // a folder where the ICO should go
  apk::ZipReader reader;
  ASSERT_TRUE(reader.open(game.path));
  std::string error;
  EXPECT_FALSE(apk::extract(reader, game.spec, dest, error, {}));
  EXPECT_EQ(error, "cannot write " + (dest / "icon.png").string());
  EXPECT_FALSE(fs::exists(dest / ".complete"));
  EXPECT_FALSE(fs::exists(dest / "lib"));
}

// ---- Extra service assets ----

// The usual tree, below x/ at the root of an archive or a folder.
const std::vector<std::pair<std::string, std::string>> kServiceTree = {
    {"y/x16000hz-16bit-mono/not-a-marker.wav", "n"},
    {"x/other.txt", "o"},
    {"x/assets_service/16000hz-16bit-mono/a.wav", "a"},
    {"x/assets_service/images/android/b.png", "b"},
    {"x/assets_service/c.7z", "c"},
    {"x/assets_service/d/e.7z", "e"},
    {"x/assets_service/16000hz-16bit-mono/more/f.wav", "f"},
};

const std::map<std::string, Bytes> kServiceCopy = {
    {"16000hz-16bit-mono/a.wav", bytes_of("a")},
    {"16000hz-16bit-mono/more/f.wav", bytes_of("f")},
    {"images/android/b.png", bytes_of("b")},
    {"d/e.7z", bytes_of("e")},
};

TEST(ExtractAssetsService, FromAnArchiveAtAnyDepth) {
  TempDir dir;
  std::vector<std::tuple<std::string, Bytes, bool>> members;
  for (const auto& [name, text] : kServiceTree) members.emplace_back(name, bytes_of(text), true);
  fs::path archive = python_zip(dir, "service.zip", members);
  fs::path dest = dir / "out";
  testing_support::write_text(dest / "stale.txt", "from before");
  std::string error;
  ASSERT_TRUE(apk::extract_assets_service(archive, dest, error)) << error;
  EXPECT_EQ(tree(dest), kServiceCopy);
}

TEST(ExtractAssetsService, FromAFolderWhereverItPoints) {
  TempDir dir;
  fs::path top = dir / "top";
  for (const auto& [name, text] : kServiceTree) testing_support::write_text(top / name, text);
  struct Case {
    fs::path source;
    std::map<std::string, Bytes> expected;
  };
  const Case cases[] = {
      {top, kServiceCopy},
      {top / "x", kServiceCopy},
      {top / "x/assets_service", kServiceCopy},
      {top / "x/assets_service/", kServiceCopy},
      {top / "x/./assets_service/../assets_service", kServiceCopy},
      // The marker folder itself: its own name begins every item, so the prefix is empty.
      {top / "x/assets_service/16000hz-16bit-mono",
       {{"16000hz-16bit-mono/a.wav", bytes_of("a")},
        {"16000hz-16bit-mono/more/f.wav", bytes_of("f")}}},
      {top / "x/assets_service/16000hz-16bit-mono/",
       {{"16000hz-16bit-mono/a.wav", bytes_of("a")},
        {"16000hz-16bit-mono/more/f.wav", bytes_of("f")}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source.string());
    std::string error;
    ASSERT_TRUE(apk::extract_assets_service(c.source, dir / "out", error)) << error;
    EXPECT_EQ(tree(dir / "out"), c.expected);
  }
}

TEST(ExtractAssetsService, FailuresAndTheirMessages) {
  TempDir dir;
  fs::create_directories(dir / "empty");
  testing_support::write_text(dir / "plain.txt", "not an archive");
  fs::path no_markers =
      python_zip(dir, "no-markers.zip",
                 {{"a/b.wav", bytes_of("x"), false}, {"16000hz-16bit-mono", bytes_of("x"), false}});
  fs::path unsafe = python_zip(dir, "unsafe.zip",
                               {{"s/images/android/ok.png", bytes_of("ok"), false},
                                {"s/images/android/../../../evil", bytes_of("x"), false}});
  fs::path backslash =
      python_zip(dir, "backslash.zip", {{"images/android/a\\b", bytes_of("x"), false}});
  fs::path broken =
      python_zip(dir, "broken.zip", {{"s/images/android/bad.png", bytes_of("UNIQUEBYTES"), false}});
  Bytes raw = read_bytes(broken);
  raw[std::string(raw.begin(), raw.end()).find("UNIQUEBYTES")] ^= 0x20;
  write_bytes(broken, raw);

  struct Case {
    fs::path source;
    std::string error;
  };
  const Case cases[] = {
      {dir / "missing.zip", "cannot open " + (dir / "missing.zip").string()},
      {dir / "plain.txt", (dir / "plain.txt").string() + " is not a zip archive"},
      {dir / "empty", "no 16000hz-16bit-mono/ or images/android/ in " + (dir / "empty").string()},
      {no_markers, "no 16000hz-16bit-mono/ or images/android/ in " + no_markers.string()},
      {unsafe, "unsafe file name: s/images/android/../../../evil"},
      {backslash, "unsafe file name: images/android/a\\b"},
      {broken,
       "cannot read s/images/android/bad.png: checksum mismatch in s/images/android/bad.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source.string());
    fs::path dest = dir / "nest" / "out";
    testing_support::write_text(dest / "stale.txt", "from before");
    std::string error;
    EXPECT_FALSE(apk::extract_assets_service(c.source, dest, error));
    EXPECT_EQ(error, c.error);
    // Nothing outside the destination, nothing left from before.
    for (const auto& [name, data] : tree(dir / "nest")) {
      EXPECT_EQ(name.rfind("out/", 0), 0u) << name;
      EXPECT_NE(name, "out/stale.txt");
    }
  }
}

TEST(ExtractAssetsService, NeverRemovesAFolderHoldingTheSource) {
  TempDir dir;
  const fs::path outer = dir / "outer";
  const fs::path svc = outer / "svc";
  testing_support::write_text(svc / "images/android/a.png", "a");
  const fs::path archive =
      python_zip(dir, "svc.zip", {{"images/android/z.png", bytes_of("z"), false}});
  fs::rename(archive, outer / "svc.zip");
  struct Case {
    fs::path source, dest;
  };
  std::vector<Case> cases = {
      {svc, svc},
      {svc / "", svc},
      {svc, outer},
      {svc, dir.path()},
      {svc / "images", outer / "../outer"},
      {outer / "svc.zip", outer},
  };
  // A link whose target lies inside, where this system makes links (Wine makes none).
  std::error_code no_links;
  fs::create_directory_symlink(svc, dir / "link", no_links);
  if (!no_links) cases.push_back({dir / "link", outer});
  const std::map<std::string, Bytes> before = tree(dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source.string() + " into " + c.dest.string());
    std::string error;
    EXPECT_FALSE(apk::extract_assets_service(c.source, c.dest, error));
    EXPECT_EQ(error,
              "source " + c.source.string() + " lies inside the destination " + c.dest.string());
    EXPECT_EQ(tree(dir.path()), before);
  }

  // A folder whose name merely begins the source's path is replaced as usual.
  testing_support::write_text(dir / "out/stale.txt", "from before");
  std::string error;
  ASSERT_TRUE(apk::extract_assets_service(svc, dir / "out", error)) << error;
  EXPECT_EQ(tree(dir / "out"),
            (std::map<std::string, Bytes>{{"images/android/a.png", bytes_of("a")}}));
  EXPECT_TRUE(fs::exists(svc / "images/android/a.png"));
}

// Makes `path` a regular file that cannot be opened for reading, if this system allows it.
bool make_unreadable(const fs::path& path) {
  // Windows has no mode bits that stop reading: permissions only mark a file read-only.
  if (testing_support::kWindows) return false;
  testing_support::write_text(path, "secret");
  fs::permissions(path, fs::perms::none);
  if (!std::ifstream(path)) return true;
  // Permissions do not stop the super-user; a write-only kernel attribute does.
  fs::remove(path);
  const fs::path write_only = "/sys/bus/pci/rescan";
  if (!fs::is_regular_file(write_only) || std::ifstream(write_only)) return false;
  fs::create_symlink(write_only, path);
  return true;
}

TEST(ExtractAssetsService, UnreadableFolderFileNamesTheItem) {
  TempDir dir;
  testing_support::write_text(dir / "svc/images/android/a.png", "a");
  if (!make_unreadable(dir / "svc/images/android/locked.png"))
    GTEST_SKIP() << "no way to make an unreadable file here";
  std::string error;
  EXPECT_FALSE(apk::extract_assets_service(dir / "svc", dir / "out", error));
  EXPECT_EQ(error, "cannot read svc/images/android/locked.png");
}

}  // namespace
