#include <gtest/gtest.h>

#include <QString>

#include <string>
#include <vector>

#include "builder/catalog.hpp"
#include "support/test_support.hpp"

using namespace testing_support;

namespace {

QString qpath(const fs::path& path) { return QString::fromStdString(path.string()); }

struct Expected {
  std::string name;
  std::string description;
  bool enabled;
};

std::vector<Expected> plain(const QList<builder::Mod>& mods) {
  std::vector<Expected> out;
  for (const builder::Mod& mod : mods)
    out.push_back({mod.name.toStdString(), mod.description.toStdString(), mod.enabled});
  return out;
}

bool operator==(const Expected& a, const Expected& b) {
  return a.name == b.name && a.description == b.description && a.enabled == b.enabled;
}

void PrintTo(const Expected& mod, std::ostream* out) {
  *out << "{" << mod.name << " | " << mod.description << " | " << mod.enabled << "}";
}

std::vector<std::string> names(const QList<builder::Mod>& mods) {
  std::vector<std::string> out;
  for (const builder::Mod& mod : mods) out.push_back(mod.name.toStdString());
  return out;
}

// A tree with the games "alpha" and "beta" in its catalogue.
void write_catalogue(const TempDir& dir) {
  write_text(dir / "games/alpha/game.json", R"({"title": "Alpha"})");
  write_text(dir / "games/beta/game.json", R"({"title": "Beta"})");
}

std::string mod(const std::string& name, const std::string& description = "d") {
  return "SKARNBOLT_MOD(m, \"" + name + "\", \"" + description + "\");\n";
}

}  // namespace

TEST(Mods, RegistrationsAreReadAsText) {
  struct Case {
    const char* what;
    const char* text;
    std::vector<Expected> mods;
  };
  const Case cases[] = {
      {"plain",
       R"(SKARNBOLT_MOD(hud, "Big HUD", "Makes the HUD larger.");)",
       {{"Big HUD", "Makes the HUD larger.", true}}},
      {"off by default",
       R"(SKARNBOLT_MOD_OFF(hud, "Big HUD", "Makes the HUD larger.");)",
       {{"Big HUD", "Makes the HUD larger.", false}}},
      {"white space and line feeds around the arguments",
       "SKARNBOLT_MOD(\n  hud ,\n  \"Big HUD\" ,\n  \"Larger.\"\n)",
       {{"Big HUD", "Larger.", true}}},
      {"adjacent literals on spliced lines are joined with nothing between",
       "#define M SKARNBOLT_MOD(hud, \"Big HUD\", \"Makes the \" \\\n   \"HUD larger.\")",
       {{"Big HUD", "Makes the HUD larger.", true}}},
      {"a splice inside a literal leaves one space",
       "SKARNBOLT_MOD(hud, \"Big HUD\", \"Makes the\\  \nHUD larger.\")",
       {{"Big HUD", "Makes the HUD larger.", true}}},
      {"adjacent literals on separate lines",
       "SKARNBOLT_MOD(hud, \"Big HUD\",\n  \"Makes the \"\n  \"HUD \"  \"larger.\")",
       {{"Big HUD", "Makes the HUD larger.", true}}},
      {"escaped quotes are unescaped, other escapes stay",
       R"(SKARNBOLT_MOD(q, "Quotes", "Says \"hi\"\nand \\ \t bye.");)",
       {{"Quotes", R"(Says "hi"\nand \\ \t bye.)", true}}},
      {"an empty description", R"(SKARNBOLT_MOD(e, "Empty", "");)", {{"Empty", "", true}}},
      {"non-ASCII text",
       "SKARNBOLT_MOD(u, \"Zoom ×2 🔍\", \"Vergrößert.\");",
       {{"Zoom ×2 🔍", "Vergrößert.", true}}},
      {"inside a comment and an inactive branch",
       "// SKARNBOLT_MOD(a, \"Commented\", \"c\")\n#if 0\nSKARNBOLT_MOD_OFF(b, \"Inactive\", "
       "\"i\")\n#endif\n",
       {{"Commented", "c", true}, {"Inactive", "i", false}}},
      {"space before the parenthesis", R"(SKARNBOLT_MOD (hud, "Big HUD", "d");)", {}},
      {"name not one literal",
       "SKARNBOLT_MOD(a, NAME, \"d\");\nSKARNBOLT_MOD(b, \"Na\" \"me\", \"d\");\n"
       "SKARNBOLT_MOD(c, \"\", \"d\");",
       {}},
      {"lower-case macro", R"(skarnbolt_mod(hud, "Big HUD", "d");)", {}},
      {"malformed ones are passed over",
       "SKARNBOLT_MOD(a, \"Two args\");\nSKARNBOLT_MOD(b, \"Open\", \"unterminated);\n"
       "SKARNBOLT_MOD(c, \"Good\", \"g\");",
       {{"Good", "g", true}}},
      {"the first of one name in a file wins",
       "SKARNBOLT_MOD_OFF(a, \"Same\", \"first\");\nSKARNBOLT_MOD(b, \"Same\", \"second\");",
       {{"Same", "first", false}}},
      {"no registrations", "int main() { return 0; }\n", {}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_text(dir / "mods/hud/hud.cpp", c.text);
    EXPECT_EQ(plain(builder::load_mods(qpath(dir.path()), "alpha")), c.mods) << c.what;
  }
}

TEST(Mods, SortedByUtf16CodeUnits) {
  TempDir dir;
  write_text(dir / "mods/m/m.cpp", mod("zoom") + mod("Alpha") + mod("beta") + mod("Zeta") +
                                       mod("émigré") + mod("_under") + mod("10 FPS") +
                                       mod("2 FPS") + mod("Ｗide") + mod("🎮 Pad"));
  // A surrogate pair sorts before U+FF37, although its code point is higher.
  EXPECT_EQ(names(builder::load_mods(qpath(dir.path()), "alpha")),
            (std::vector<std::string>{"10 FPS", "2 FPS", "Alpha", "Zeta", "_under", "beta", "zoom",
                                      "émigré", "🎮 Pad", "Ｗide"}));
}

TEST(Mods, EarlierFolderAndCppFilesWinOnSharedNames) {
  TempDir dir;
  write_text(dir / "mods/b_second/b.cpp", mod("Shared", "from b") + mod("Only b"));
  write_text(dir / "mods/a_first/a.hpp", mod("Shared", "from a.hpp") + mod("Header", "h"));
  write_text(dir / "mods/a_first/a.cpp", mod("Header", "cpp"));
  write_text(dir / "mods/a_first/z.cpp", mod("Shared", "from a"));
  write_text(dir / "mods/Upper/u.cpp", mod("Header", "upper folder sorts first"));
  auto mods = plain(builder::load_mods(qpath(dir.path()), "alpha"));
  EXPECT_EQ(mods, (std::vector<Expected>{{"Header", "upper folder sorts first", true},
                                         {"Only b", "d", true},
                                         {"Shared", "from a", true}}));
}

TEST(Mods, PerGameFilesChooseTheFolders) {
  TempDir dir;
  write_catalogue(dir);
  // Written for beta only: alpha gets nothing from it, not even its shared files.
  write_text(dir / "mods/beta_only/beta.cpp", mod("Beta own"));
  write_text(dir / "mods/beta_only/shared.cpp", mod("Beta shared"));
  write_text(dir / "mods/beta_only/shared.hpp", mod("Beta header"));
  // Written for both: each game gets its own file and the shared ones.
  write_text(dir / "mods/both/alpha.cpp", mod("Alpha own"));
  write_text(dir / "mods/both/beta.cpp", mod("Beta own too"));
  write_text(dir / "mods/both/common.cpp", mod("Both shared"));
  write_text(dir / "mods/both/both.hpp", mod("Both header"));
  // Base names that are not catalogue ids are shared by every game.
  write_text(dir / "mods/everyone/gamma.cpp", mod("Gamma"));
  write_text(dir / "mods/everyone/Beta.cpp", mod("Capital beta"));
  write_text(dir / "mods/everyone/beta.extra.cpp", mod("Beta extra"));
  write_text(dir / "mods/everyone/loud.CPP", mod("Loud"));

  EXPECT_EQ(names(builder::load_mods(qpath(dir.path()), "alpha")),
            (std::vector<std::string>{"Alpha own", "Beta extra", "Both header", "Both shared",
                                      "Capital beta", "Gamma", "Loud"}));
  EXPECT_EQ(names(builder::load_mods(qpath(dir.path()), "beta")),
            (std::vector<std::string>{"Beta extra", "Beta header", "Beta own", "Beta own too",
                                      "Beta shared", "Both header", "Both shared", "Capital beta",
                                      "Gamma", "Loud"}));
  // A game outside the catalogue still gets what no folder reserves for others.
  EXPECT_EQ(names(builder::load_mods(qpath(dir.path()), "delta")),
            (std::vector<std::string>{"Beta extra", "Capital beta", "Gamma", "Loud"}));
}

TEST(Mods, FoldersAndFilesThatAreNeverRead) {
  TempDir dir;
  write_text(dir / "mods/common/common.cpp", mod("In common"));
  write_text(dir / "mods/Common/common.cpp", mod("In Common"));
  write_text(dir / "mods/.hidden/h.cpp", mod("Hidden folder"));
  write_text(dir / "mods/m/.h.cpp", mod("Hidden file"));
  write_text(dir / "mods/m/m.h", mod("Dot h"));
  write_text(dir / "mods/m/m.txt", mod("Text"));
  write_text(dir / "mods/m/m.cpp.orig", mod("Backup"));
  write_text(dir / "mods/m/deeper/d.cpp", mod("Nested"));
  fs::create_directories(dir / "mods/m/folder.cpp");
  write_text(dir / "mods/loose.cpp", mod("Loose"));
  EXPECT_EQ(names(builder::load_mods(qpath(dir.path()), "alpha")),
            (std::vector<std::string>{"In Common"}));
}

TEST(Mods, MissingTreesGiveNoMods) {
  TempDir dir;
  write_catalogue(dir);
  EXPECT_TRUE(builder::load_mods(qpath(dir.path()), "alpha").isEmpty());
  EXPECT_TRUE(builder::load_mods(qpath(dir / "absent"), "alpha").isEmpty());
}

TEST(Mods, FixturePortTree) {
  const QString port = qpath(fixtures_dir() / "port");
  EXPECT_EQ(
      plain(builder::load_mods(port, "starwars2")),
      (std::vector<Expected>{
          {"60 FPS", "Runs the game at 60 frames per second where the display allows it.", true},
          {"Cockpit view", "Starts every flight in the \"cockpit\" view.", false},
          {"Free camera", "Lets the right stick move the camera.", false},
          {"Wide view", "Widens the field of view on wide screens.", true}}));
  EXPECT_EQ(names(builder::load_mods(port, "pinball")),
            (std::vector<std::string>{"60 FPS", "Tilt warning"}));
  EXPECT_EQ(names(builder::load_mods(port, "rally")), (std::vector<std::string>{"60 FPS"}));
}
