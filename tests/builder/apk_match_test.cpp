#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "builder/apk_match.hpp"
#include "builder/catalog.hpp"
#include "support/test_support.hpp"

using namespace testing_support;

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

QString qpath(const fs::path& path) { return QString::fromUtf8(path.u8string().c_str()); }

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// An archive written by Python's zipfile, its members deflated or stored.
void make_zip(const fs::path& path, const Entries& entries, bool deflate = true) {
  fs::create_directories(path.parent_path());
  std::string script = "import zipfile\n";
  script += "z = zipfile.ZipFile(bytes.fromhex('" + hex(path.string()) + "').decode(), 'w', " +
            (deflate ? "zipfile.ZIP_DEFLATED" : "zipfile.ZIP_STORED") + ")\n";
  for (const auto& [name, content] : entries)
    script += "z.writestr('" + name + "', bytes.fromhex('" + hex(content) + "'))\n";
  script += "z.close()\n";
  std::string output;
  ASSERT_EQ(run_python(script, &output), 0) << output;
}

// Flips one byte in the middle of a member's data, so that reading it fails its check.
void damage_member(const fs::path& path, const std::string& name) {
  const std::string script =
      "import struct, zipfile\n"
      "path = bytes.fromhex('" +
      hex(path.string()) +
      "').decode()\n"
      "info = zipfile.ZipFile(path).getinfo('" +
      name +
      "')\n"
      "data = bytearray(open(path, 'rb').read())\n"
      "n, m = struct.unpack_from('<HH', data, info.header_offset + 26)\n"
      "data[info.header_offset + 30 + n + m + info.compress_size // 2] ^= 0x55\n"
      "open(path, 'wb').write(data)\n";
  std::string output;
  ASSERT_EQ(run_python(script, &output), 0) << output;
}

// The member as Python's zipfile reads it.
std::string member(const fs::path& path, const std::string& name) {
  const std::string script =
      "import sys, zipfile\n"
      "sys.stdout.write(zipfile.ZipFile(bytes.fromhex('" +
      hex(path.string()) + "').decode()).read('" + name + "').hex())\n";
  std::string output;
  EXPECT_EQ(run_python(script, &output), 0) << output;
  std::string bytes;
  for (std::size_t i = 0; i + 1 < output.size(); i += 2)
    bytes += static_cast<char>(std::stoi(output.substr(i, 2), nullptr, 16));
  return bytes;
}

// The library that the fixture catalogue's hash stands for.
std::string stand_in(const std::string& library) { return "fixture library " + library + "\n"; }

std::string arm32(const std::string& library) { return "lib/armeabi-v7a/lib" + library + ".so"; }

QList<builder::Game> fixture_games() { return builder::load_games(qpath(fixtures_dir() / "port")); }

const char* const kNotApk = "This file is not an APK, or it is damaged.";
const char* const kSemicolon =
    "Please rename the file or its folder: the path must not contain “;”.";
const char* const kUnsupportedFixture =
    "This APK is not a supported game. Supported are:\n"
    "• Pinball Nights 2.0.3\n"
    "• Rally Dust 3.1\n"
    "• Starwars 2 1.4";

// The message of a failed identification, or "matched <id>".
std::string outcome(const fs::path& apk, const QList<builder::Game>& games) {
  QString error = "untouched";
  const std::optional<builder::Game> game = builder::identify_apk(qpath(apk), games, error);
  if (game) {
    EXPECT_EQ(error, "untouched");
    return "matched " + game->id.toStdString();
  }
  return error.toStdString();
}

}  // namespace

TEST(IdentifyApk, MatchIsACopyOfTheCatalogueEntry) {
  TempDir dir;
  const QList<builder::Game> games = fixture_games();
  ASSERT_EQ(games.size(), 3);
  const QList<builder::Game> before = games;
  const fs::path apk = dir / "Spiele/Grüße 🎮/starwars2.apk";
  make_zip(apk, {{"AndroidManifest.xml", "manifest"},
                 {"lib/arm64-v8a/libstarwars2.so", "64-bit build"},
                 {arm32("starwars2"), stand_in("starwars2")},
                 {"assets/data.bin", std::string(1000, 'x')}});
  QString error = "untouched";
  const std::optional<builder::Game> game = builder::identify_apk(qpath(apk), games, error);
  ASSERT_TRUE(game) << error.toStdString();
  EXPECT_EQ(error, "untouched");
  const builder::Game& expected = games[2];
  EXPECT_EQ(game->id, expected.id);
  EXPECT_EQ(game->title, expected.title);
  EXPECT_EQ(game->version, expected.version);
  EXPECT_EQ(game->package, expected.package);
  EXPECT_EQ(game->library, expected.library);
  EXPECT_EQ(game->sha256, expected.sha256);
  ASSERT_EQ(games.size(), before.size());
  for (qsizetype i = 0; i < games.size(); ++i) {
    EXPECT_EQ(games[i].id, before[i].id);
    EXPECT_EQ(games[i].sha256, before[i].sha256);
  }
}

TEST(IdentifyApk, OutcomeByLibrariesPresent) {
  struct Case {
    const char* what;
    Entries entries;
    bool deflate;
    std::string expected;
  };
  const Case cases[] = {
      {"stored match", {{arm32("pinball"), stand_in("pinball")}}, false, "matched pinball"},
      {"a match after another game's library of another build",
       {{arm32("pinball"), "other build"}, {arm32("rallydust"), stand_in("rallydust")}},
       true,
       "matched rally"},
      {"another build, whole version named",
       {{arm32("starwars2"), "fixture library starwars2 v1.5\n"}},
       true,
       "This is Starwars 2, but another version. Supported is version 1.4 (build 12)."},
      {"another build of two games: the first in catalogue order is named",
       {{arm32("starwars2"), "other"}, {arm32("rallydust"), "other"}},
       true,
       "This is Rally Dust, but another version. Supported is version 3.1."},
      {"only a 64-bit library",
       {{"lib/arm64-v8a/libstarwars2.so", stand_in("starwars2")}},
       true,
       kUnsupportedFixture},
      {"library under another name",
       {{arm32("StarWars2"), stand_in("starwars2")}},
       true,
       kUnsupportedFixture},
      {"no libraries at all", {{"classes.dex", "dex"}}, true, kUnsupportedFixture},
      {"an empty archive", {}, true, kUnsupportedFixture},
  };
  const QList<builder::Game> games = fixture_games();
  for (const Case& c : cases) {
    TempDir dir;
    make_zip(dir / "game.apk", c.entries, c.deflate);
    EXPECT_EQ(outcome(dir / "game.apk", games), c.expected) << c.what;
  }
}

TEST(IdentifyApk, DamagedLibraryCountsAsAbsent) {
  TempDir dir;
  const fs::path apk = dir / "game.apk";
  make_zip(apk, {{arm32("starwars2"), stand_in("starwars2")}}, false);
  damage_member(apk, arm32("starwars2"));
  EXPECT_EQ(outcome(apk, fixture_games()), kUnsupportedFixture);
}

TEST(IdentifyApk, AnotherVersionNamesTheFirstLibraryPresentEvenIfDamaged) {
  // Naming the game only looks the entries up, so a damaged library earlier in the catalogue
  // is named ahead of the readable one that made the APK a known game.
  TempDir dir;
  const fs::path apk = dir / "game.apk";
  make_zip(apk, {{arm32("pinball"), stand_in("pinball")}, {arm32("rallydust"), "other build"}},
           false);
  damage_member(apk, arm32("pinball"));
  EXPECT_EQ(outcome(apk, fixture_games()),
            "This is Pinball Nights, but another version. Supported is version 2.0.3.");
}

TEST(IdentifyApk, SupportedListShowsTheFirstWordOfEachVersion) {
  TempDir dir;
  const fs::path apk = dir / "game.apk";
  make_zip(apk, {{"classes.dex", "dex"}});
  struct Case {
    QList<builder::Game> games;
    std::string expected;
  };
  const Case cases[] = {
      {{}, "This APK is not a supported game. Supported are:\n"},
      {{{"a", "Solo", "", "", "a", ""}},
       "This APK is not a supported game. Supported are:\n• Solo "},
      {{{"b", "Beta", "2.0  rc 1", "", "b", ""},
        {"a", "Alpha", " leading", "", "a", ""},
        {"c", "Gamma", "7", "", "c", ""}},
       "This APK is not a supported game. Supported are:\n• Beta 2.0\n• Alpha \n• Gamma 7"},
  };
  for (const Case& c : cases) EXPECT_EQ(outcome(apk, c.games), c.expected);
}

TEST(IdentifyApk, FilesThatAreNotReadableArchives) {
  TempDir dir;
  make_zip(
      dir / "whole.apk",
      {{arm32("starwars2"), stand_in("starwars2")}, {"assets/big.bin", std::string(5000, 'b')}},
      false);
  const std::string whole = read_text(dir / "whole.apk");
  write_text(dir / "truncated.apk", whole.substr(0, whole.size() / 2));
  write_text(dir / "text.apk", "This is a text file, not an archive.\n");
  write_text(dir / "empty.apk", "");
  fs::create_directories(dir / "folder.apk");
  const std::vector<std::string> names = {"truncated.apk", "text.apk", "empty.apk", "missing.apk",
                                          "folder.apk"};
  for (const std::string& name : names)
    EXPECT_EQ(outcome(dir / name, fixture_games()), kNotApk) << name;
}

TEST(IdentifyApk, SemicolonAnywhereInThePathIsRefusedFirst) {
  TempDir dir;
  const fs::path apk = dir / "dir;1" / "game.apk";
  make_zip(apk, {{arm32("starwars2"), stand_in("starwars2")}});
  make_zip(dir / "a;b.apk", {{arm32("starwars2"), stand_in("starwars2")}});
  for (const fs::path& path :
       {apk, dir / "a;b.apk", dir / "missing;folder/game.apk", fs::path(";")})
    EXPECT_EQ(outcome(path, fixture_games()), kSemicolon) << path;
  // A look-alike character is not the separator that the build tools split on.
  EXPECT_EQ(outcome(dir / "full；width.apk", fixture_games()), kNotApk);
}

// What CMake and Ninja would split, unescape or break a line at is refused in the same way,
// though the file is a supported APK.
TEST(IdentifyApk, CharactersTheBuildToolsCannotCarryAreRefusedFirst) {
  TempDir dir;
  const std::string start = "Please rename the file or its folder: the path must not contain ";
  const std::string controls = start + "line breaks or other control characters.";
  struct Case {
    std::string name;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"back\\slash/game.apk", start + "“\\”."},
      {"pipe|game.apk", start + "“|”."},
      {"line\nbreak.apk", controls},
      {"carriage\rreturn.apk", controls},
      {"tab\t.apk", controls},
      {"delete\x7f.apk", controls},
  };
  for (const Case& c : cases) {
    make_zip(dir / c.name, {{arm32("starwars2"), stand_in("starwars2")}});
    EXPECT_EQ(outcome(dir / c.name, fixture_games()), c.expected) << c.name;
  }
  // The first refused character names the message.
  EXPECT_EQ(outcome(dir / "a|b;c.apk", fixture_games()), start + "“|”.");
  // Spaces, quotes and other punctuation are not refused.
  make_zip(dir / "it's a \"game\" (1) & $x #2.apk", {{arm32("starwars2"), stand_in("starwars2")}});
  EXPECT_EQ(outcome(dir / "it's a \"game\" (1) & $x #2.apk", fixture_games()), "matched starwars2");
}

// A manifest or resource table far larger than any real APK's would be read whole later on:
// such an APK is refused as damaged.
TEST(IdentifyApk, AnOversizedManifestOrResourceTableIsRefusedAsDamaged) {
  TempDir dir;
  for (const std::string member : {"AndroidManifest.xml", "resources.arsc"}) {
    const fs::path apk = dir / (member + ".apk");
    std::string output;
    ASSERT_EQ(run_python("import zipfile\n"
                         "with zipfile.ZipFile(bytes.fromhex('" +
                             hex(apk.string()) +
                             "').decode(), 'w', zipfile.ZIP_DEFLATED) as z:\n"
                             "    z.writestr('" +
                             member +
                             "', bytes(65 << 20))\n"
                             "    z.writestr('" +
                             arm32("starwars2") + "', bytes.fromhex('" +
                             hex(stand_in("starwars2")) + "'))\n",
                         &output),
              0)
        << output;
    EXPECT_EQ(outcome(apk, fixture_games()), kNotApk) << member;
  }
  // A large table within the bound is still an APK.
  const fs::path apk = dir / "large.apk";
  make_zip(apk, {{"resources.arsc", std::string(4 << 20, 'r')},
                 {arm32("starwars2"), stand_in("starwars2")}});
  EXPECT_EQ(outcome(apk, fixture_games()), "matched starwars2");
}

TEST(ToPath, KeepsEveryCharacterAndSeparatorAsWritten) {
  const char16_t game[] = u"\U0001F3AE";  // a surrogate pair in UTF-16
  ASSERT_EQ(QString::fromUtf16(game).size(), 2);
  const QString cases[] = {
      "",
      "relative/folder/game.apk",
      "/absolute/with spaces/game.apk",
      "a//b/../c/./",
      "C:/Users/Åsa/Downloads/spiel.apk",
      "back\\slash\\kept",
      QString::fromUtf8("Grüße/日本語/ゲーム.apk"),
      QString::fromUtf8("/tmp/🎮 game 𝄞.apk"),
  };
  for (const QString& text : cases) {
    const fs::path path = builder::to_path(text);
    const std::u8string utf8 = path.u8string();
    EXPECT_EQ(QString::fromUtf8(reinterpret_cast<const char*>(utf8.data()),
                                static_cast<qsizetype>(utf8.size())),
              text);
    EXPECT_EQ(QString::fromStdU16String(path.u16string()), text);
#ifndef _WIN32
    EXPECT_EQ(path.native(), text.toStdString()) << text.toStdString();
#endif
  }
  EXPECT_TRUE(builder::to_path(QString()).empty());
}

TEST(ToPath, ReachesFilesWithNonAsciiNames) {
  TempDir dir;
  const QString base = qpath(dir.path());
  const QString made_by_qt = base + QString::fromUtf8("/Grüße 日本 🎮𝄞.txt");
  {
    QFile file(made_by_qt);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("from Qt");
  }
  EXPECT_TRUE(fs::is_regular_file(builder::to_path(made_by_qt)));
  EXPECT_EQ(read_text(builder::to_path(made_by_qt)), "from Qt");

  const QString made_by_std = base + QString::fromUtf8("/ordner-ß/😀.apk");
  fs::create_directories(builder::to_path(made_by_std).parent_path());
  std::ofstream(builder::to_path(made_by_std)) << "from std";
  ASSERT_TRUE(QFileInfo(made_by_std).isFile());
  QFile file(made_by_std);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), "from std");
}

namespace {

const char* const kLargestIcon = "res/mipmap-xxxhdpi-v4/icon.png";
const char* const kMiddleIcon = "res/mipmap-xhdpi-v4/icon.png";

// An APK built by aapt whose launcher icon comes in three densities: 48, 96 and 192 pixels.
fs::path make_icon_apk(const TempDir& dir) {
  const fs::path work = dir / "aapt";
  const std::pair<const char*, int> icons[] = {{"mdpi", 48}, {"xxxhdpi", 192}, {"xhdpi", 96}};
  for (const auto& [density, size] : icons) {
    const fs::path png = work / "res" / (std::string("mipmap-") + density) / "icon.png";
    fs::create_directories(png.parent_path());
    const std::string side = std::to_string(size);
    std::string output;
    EXPECT_EQ(run("convert -size " + side + "x" + side + " xc:'#30" + side.substr(0, 1) + "0c0' " +
                      shell_quote("png:" + png.string()),
                  &output),
              0)
        << output;
  }
  write_text(work / "AndroidManifest.xml",
             "<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\"\n"
             "    package=\"com.skarnbolt.icontest\">\n"
             "  <application android:icon=\"@mipmap/icon\" android:label=\"Icon test\" />\n"
             "</manifest>\n");
  const fs::path apk = dir / "icons.apk";
  std::string output;
  EXPECT_EQ(run("aapt package -f -M " + shell_quote((work / "AndroidManifest.xml").string()) +
                    " -S " + shell_quote((work / "res").string()) +
                    " -I /usr/share/android-framework-res/framework-res.apk -F " +
                    shell_quote(apk.string()),
                &output),
            0)
      << output;
  return apk;
}

std::string bytes(const QByteArray& data) { return data.toStdString(); }

}  // namespace

TEST(ApkIcon, LargestLauncherIconAsStored) {
  TempDir dir;
  const fs::path apk = make_icon_apk(dir);
  const std::string expected = member(apk, kLargestIcon);
  ASSERT_GT(expected.size(), 24u);
  EXPECT_EQ(bytes(builder::apk_icon(qpath(apk))), expected);
}

TEST(ApkIcon, UnreadableIconsAreLeftOut) {
  TempDir dir;
  const fs::path apk = make_icon_apk(dir);
  // An icon that cannot be read is no launcher icon, so the next size down is the largest.
  damage_member(apk, kLargestIcon);
  EXPECT_EQ(bytes(builder::apk_icon(qpath(apk))), member(apk, kMiddleIcon));
  damage_member(apk, kMiddleIcon);
  damage_member(apk, "res/mipmap-mdpi-v4/icon.png");
  EXPECT_TRUE(builder::apk_icon(qpath(apk)).isEmpty());
}

TEST(ApkIcon, NoIconGivesAnEmptyArray) {
  TempDir dir;
  const fs::path apk = make_icon_apk(dir);
  const std::string manifest = member(apk, "AndroidManifest.xml");
  make_zip(dir / "no-table.apk", {{"AndroidManifest.xml", manifest}});
  make_zip(dir / "plain.apk", {{arm32("starwars2"), stand_in("starwars2")}});
  write_text(dir / "text.apk", "not an archive");
  const std::vector<fs::path> paths = {dir / "no-table.apk", dir / "plain.apk", dir / "text.apk",
                                       dir / "missing.apk"};
  for (const fs::path& path : paths) EXPECT_TRUE(builder::apk_icon(qpath(path)).isEmpty()) << path;
}
