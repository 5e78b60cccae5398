#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QString>

#include "builder/catalog.hpp"
#include "support/test_support.hpp"

using namespace testing_support;

namespace {

QString qpath(const fs::path& path) { return QString::fromStdString(path.string()); }

QStringList ids(const QList<builder::Game>& games) {
  QStringList out;
  for (const builder::Game& game : games) out.append(game.id);
  return out;
}

const char* kFullGame = R"({"title": "Rally Dust", "version": "3.1 beta", "package": "com.x.rally",
  "library": "rallydust", "sha256": "0123abcd", "unused": [1, 2]})";

}  // namespace

TEST(Catalog, GamesComeInCaseSensitiveNameOrder) {
  TempDir dir;
  for (const char* name : {"b", "alpha", "Zeta", "a", "B"})
    write_text(dir / "games" / name / "game.json", kFullGame);
  EXPECT_EQ(ids(builder::load_games(qpath(dir.path()))),
            (QStringList{"B", "Zeta", "a", "alpha", "b"}));
}

TEST(Catalog, RecordTakesIdFromFolderAndFieldsFromKeys) {
  TempDir dir;
  write_text(dir / "games/rally/game.json", kFullGame);
  const QList<builder::Game> games = builder::load_games(qpath(dir.path()));
  ASSERT_EQ(games.size(), 1);
  EXPECT_EQ(games[0].id, "rally");
  EXPECT_EQ(games[0].title, "Rally Dust");
  EXPECT_EQ(games[0].version, "3.1 beta");
  EXPECT_EQ(games[0].package, "com.x.rally");
  EXPECT_EQ(games[0].library, "rallydust");
  EXPECT_EQ(games[0].sha256, "0123abcd");
}

TEST(Catalog, OnlyVisibleFoldersWithAGameJsonCount) {
  TempDir dir;
  write_text(dir / "games/kept/game.json", kFullGame);
  fs::create_directories(dir / "games/empty");
  write_text(dir / "games/other/readme.txt", "no catalogue file here");
  write_text(dir / "games/.hidden/game.json", kFullGame);
  write_text(dir / "games/loose.json", kFullGame);
  write_text(dir / "games/game.json", kFullGame);
  fs::create_directories(dir / "games/folder/game.json");  // a folder, not a file
  EXPECT_EQ(ids(builder::load_games(qpath(dir.path()))), (QStringList{"kept"}));
}

TEST(Catalog, ContentsThatAreNotUsableGiveEmptyMembers) {
  struct Case {
    const char* json;
    const char* title;
    const char* version;
  };
  const Case cases[] = {
      {"{}", "", ""},
      {"this is not JSON", "", ""},
      {"", "", ""},
      {R"j(["title", "version"])j", "", ""},
      {R"j({"title": "Pinball", "version": 2})j", "Pinball", ""},
      {R"j({"title": null, "version": {"major": 2}})j", "", ""},
      {R"j({"title": ["Pinball"], "version": true})j", "", ""},
      {R"j({"title": "Caf\u00e9 ☕ 🎮", "version": "1.0 (build 7)"})j", "Café ☕ 🎮", "1.0 (build 7)"},
      {R"j({"title": "Cut", "version": "1.0")j", "", ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_text(dir / "games/g/game.json", c.json);
    const QList<builder::Game> games = builder::load_games(qpath(dir.path()));
    ASSERT_EQ(games.size(), 1) << c.json;
    EXPECT_EQ(games[0].id, "g") << c.json;
    EXPECT_EQ(games[0].title, QString::fromUtf8(c.title)) << c.json;
    EXPECT_EQ(games[0].version, QString::fromUtf8(c.version)) << c.json;
    EXPECT_EQ(games[0].package, "") << c.json;
    EXPECT_EQ(games[0].library, "") << c.json;
    EXPECT_EQ(games[0].sha256, "") << c.json;
  }
}

TEST(Catalog, MissingTreesGiveAnEmptyCatalogue) {
  TempDir dir;
  fs::create_directories(dir / "no-games");
  write_text(dir / "file-games/games", "a file where the folder should be");
  for (const fs::path& source : {dir / "absent", dir / "no-games", dir / "file-games"})
    EXPECT_TRUE(builder::load_games(qpath(source)).isEmpty()) << source;
  EXPECT_TRUE(builder::load_games(QString()).isEmpty());
}

TEST(Catalog, FixturePortTree) {
  const QList<builder::Game> games = builder::load_games(qpath(fixtures_dir() / "port"));
  ASSERT_EQ(ids(games), (QStringList{"pinball", "rally", "starwars2"}));
  const builder::Game& game = games[2];
  EXPECT_EQ(game.title, "Starwars 2");
  EXPECT_EQ(game.version, "1.4 (build 12)");
  EXPECT_EQ(game.package, "com.skarnbolt.starwars2");
  EXPECT_EQ(game.library, "starwars2");
  for (const builder::Game& each : games) {
    EXPECT_FALSE(each.title.isEmpty()) << each.id.toStdString();
    // The stand-in library that tests put into matching APKs.
    const QByteArray library = "fixture library " + each.library.toUtf8() + "\n";
    EXPECT_EQ(each.sha256, QCryptographicHash::hash(library, QCryptographicHash::Sha256).toHex())
        << each.id.toStdString();
  }
}
