// The configuration reader: parse rules, typed values, the file cascade and the shared cache.
//
// Files live under temporary XDG_CONFIG_HOME / XDG_CONFIG_DIRS, which the standard locations
// read afresh on every lookup. Shared configs are cached for the whole process, so each test
// that opens one uses a name of its own.
#include "kde/kconfig.hpp"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QtGlobal>
#include <latch>
#include <optional>
#include <thread>
#include <vector>

#include "kde/kcolorschememanager.hpp"
#include "kde/kconfigwatcher.hpp"
#include "kde/logging.hpp"
#include "support/test_support.hpp"

namespace {

using namespace testing_support;

QString qpath(const fs::path& path) { return QString::fromStdString(path.string()); }

// Temporary configuration folders: `home` and, in falling priority, `sys_a` and `sys_b`.
class ConfigDirs {
 public:
  ConfigDirs() {
    fs::create_directories(home());
    fs::create_directories(sys_a());
    fs::create_directories(sys_b());
    qputenv("XDG_CONFIG_HOME", home().string().c_str());
    qputenv("XDG_CONFIG_DIRS", (sys_a().string() + ":" + sys_b().string()).c_str());
  }
  fs::path home() const { return dir_ / "home"; }
  fs::path sys_a() const { return dir_ / "sys-a"; }
  fs::path sys_b() const { return dir_ / "sys-b"; }

 private:
  TempDir dir_;
};

std::optional<QString> value_of(const KConfig& config, const QString& group, const char* key) {
  const QString* value = config.group(group).value(key);
  return value ? std::optional<QString>(*value) : std::nullopt;
}

// A private config of one file with this text.
struct OneFile {
  explicit OneFile(const std::string& text) {
    write_text(dir / "file.rc", text);
    config.emplace(qpath(dir / "file.rc"), KConfig::SimpleConfig);
  }
  TempDir dir;
  std::optional<KConfig> config;
};

TEST(KConfigParse, Lines) {
  struct Case {
    const char* text;
    const char* group;
    const char* key;
    const char* expected;  // null: no such value
  };
  const std::string window_file = "[Colors:Window]\n  Foo = 1,2,3  \n#Bar=4\nName[de]=x\n";
  const Case cases[] = {
      {window_file.c_str(), "Colors:Window", "Foo", "1,2,3"},
      {window_file.c_str(), "Colors:Window", "Bar", nullptr},
      {window_file.c_str(), "Colors:Window", "#Bar", nullptr},
      {window_file.c_str(), "Colors:Window", "Name", nullptr},
      {window_file.c_str(), "Colors:Window", "Name[de]", nullptr},
      {"[G]\nPath[$e]=$HOME/x\n", "G", "Path", "$HOME/x"},
      {"[G]\nPath[$E]=$HOME/x\n", "G", "Path", nullptr},
      {"[G]\n=5\n", "G", "", nullptr},
      {"[G]\nno equals sign\n", "G", "no equals sign", nullptr},
      {"[General\nKey=v\n", "", "Key", "v"},
      {"[General\nKey=v\n", "General", "Key", nullptr},
      {"Key=v\n[G]\n", "<default>", "Key", "v"},
      {"[A][B]\nKey=v\n",
       "A\x1D"
       "B",
       "Key", "v"},
      {"[A][B]tail\nKey=v\n",
       "A\x1D"
       "B",
       "Key", "v"},
      {"[A]x[B]\nKey=v\n", "A", "Key", "v"},
      {"[G]\n;Key=v\n", "G", ";Key", "v"},
      {"[G]\nKey=\"quoted\\n\"\n", "G", "Key", "\"quoted\\n\""},
      {"[G]\nKey=a=b\n", "G", "Key", "a=b"},
      {"[G]\nKey=\n", "G", "Key", ""},
      {"[G]\nKey=1\nKey=2\n", "G", "Key", "2"},
      {"[G]\r\nKey = v \r\n", "G", "Key", "v"},
      {"[G]\nKey=gr\xc3\xbc\xc3\x9f\n", "G", "Key", "gr\xc3\xbc\xc3\x9f"},
      {"[G]\nKey=1\n[H]\n[G]\nOther=2\n", "G", "Key", "1"},
  };
  for (const Case& c : cases) {
    OneFile file(c.text);
    const auto value = value_of(*file.config, QString::fromUtf8(c.group), c.key);
    if (c.expected)
      EXPECT_EQ(value, QString::fromUtf8(c.expected)) << c.text << " / " << c.key;
    else
      EXPECT_FALSE(value) << c.text << " / " << c.key;
  }
}

TEST(KConfigParse, GroupsExistFromTheirHeader) {
  OneFile file("[Empty]\n[Colors:Window]\nKey=v\n");
  EXPECT_TRUE(file.config->hasGroup("Empty"));
  EXPECT_TRUE(file.config->hasGroup("Colors:Window"));
  EXPECT_FALSE(file.config->hasGroup("colors:window"));
  EXPECT_FALSE(file.config->hasGroup("<default>"));
}

TEST(KConfigParse, MissingFileOrGroupGivesNothing) {
  TempDir dir;
  KConfig config(qpath(dir / "absent.rc"));
  EXPECT_FALSE(config.hasGroup("General"));
  EXPECT_EQ(config.group("General").value("font"), nullptr);
  EXPECT_EQ(KConfigGroup().value("font"), nullptr);
  EXPECT_EQ(KConfigGroup(nullptr, "General").value("font"), nullptr);
  OneFile file("[General]\nfont=x\n");
  EXPECT_EQ(file.config->group("Other").value("font"), nullptr);
  EXPECT_EQ(file.config->group("General").value("menuFont"), nullptr);
}

TEST(KConfigParse, ReparseReadsChangedFiles) {
  OneFile file("[G]\nKey=old\nGone=1\n");
  write_text(file.dir / "file.rc", "[G]\nKey=new\n");
  EXPECT_EQ(value_of(*file.config, "G", "Key"), "old");
  file.config->reparseConfiguration();
  EXPECT_EQ(value_of(*file.config, "G", "Key"), "new");
  EXPECT_FALSE(value_of(*file.config, "G", "Gone"));
}

TEST(KConfigGroupRead, Colours) {
  struct Case {
    const char* value;               // null: no key
    std::optional<QColor> expected;  // none: the default
  };
  const QColor fallback(1, 2, 3);
  const Case cases[] = {
      {"255,0,0", QColor(255, 0, 0)},
      {"10, 20, 30, 40", QColor(10, 20, 30, 40)},
      {"1,2,3,4,5", QColor(1, 2, 3, 4)},
      {"1,,3", QColor(1, 0, 3)},
      {"x,0,0", QColor(0, 0, 0)},
      {"99999999999,0,0", QColor(0, 0, 0)},
      {"256,0,0", std::nullopt},
      {"-1,0,0", std::nullopt},
      {"1,2,3,256", std::nullopt},
      {"1,2", std::nullopt},
      {"", std::nullopt},
      {nullptr, std::nullopt},
      {"#ff0000", QColor(255, 0, 0)},
      {"#80ff0000", QColor(255, 0, 0, 128)},
  };
  for (const Case& c : cases) {
    OneFile file(c.value ? std::string("[G]\nC=") + c.value + "\n" : "[G]\n");
    const QColor colour = file.config->group("G").readEntry("C", fallback);
    EXPECT_EQ(colour, c.expected.value_or(fallback)) << (c.value ? c.value : "(none)");
  }
  OneFile bad("[G]\nC=#zz\n");
  EXPECT_FALSE(bad.config->group("G").readEntry("C", fallback).isValid());
}

TEST(KConfigGroupRead, TruthValues) {
  struct Case {
    const char* value;             // null: no key
    std::optional<bool> expected;  // none: the default
  };
  const Case cases[] = {
      {"Yes", true},          {"ON", true},       {"1", true},         {"true", true},
      {"FALSE", false},       {"off", false},     {"no", false},       {"0", false},
      {"nein", std::nullopt}, {"", std::nullopt}, {"2", std::nullopt}, {nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    OneFile file(c.value ? std::string("[G]\nB=") + c.value + "\n" : "[G]\n");
    for (bool fallback : {false, true}) {
      EXPECT_EQ(file.config->group("G").readEntry("B", fallback), c.expected.value_or(fallback))
          << (c.value ? c.value : "(none)");
    }
  }
}

// kdeglobals in all three folders and testrc in two, each naming where its values come from.
void write_cascade(const ConfigDirs& dirs) {
  write_text(dirs.sys_b() / "kdeglobals", "[G]\na=sys-b\nb=sys-b\nc=sys-b\nd=sys-b\n");
  write_text(dirs.sys_a() / "kdeglobals", "[G]\na=sys-a\nb=sys-a\n");
  write_text(dirs.home() / "kdeglobals", "[G]\na=home\n[Home]\n");
  write_text(dirs.sys_b() / "testrc", "[G]\nb=testrc-sys-b\nd=testrc-sys-b\n");
  write_text(dirs.home() / "testrc", "[G]\nd=testrc-home\n");
}

TEST(KConfigFiles, KdeglobalsCascadeLowestPriorityFirst) {
  ConfigDirs dirs;
  write_cascade(dirs);
  KConfig config(QString(), KConfig::FullConfig);
  EXPECT_EQ(config.name(), "");
  EXPECT_EQ(value_of(config, "G", "a"), "home");
  EXPECT_EQ(value_of(config, "G", "b"), "sys-a");
  EXPECT_EQ(value_of(config, "G", "c"), "sys-b");
  EXPECT_TRUE(config.hasGroup("Home"));
}

TEST(KConfigFiles, WhichFilesEachFlagReads) {
  ConfigDirs dirs;
  write_cascade(dirs);
  struct Case {
    QString name;
    int flags;
    const char* key;
    const char* expected;  // null: no such value
  };
  const QString absolute = qpath(dirs.sys_b() / "testrc");
  const Case cases[] = {
      // An empty name is kdeglobals itself, never read twice; without cascading only the first.
      {"", KConfig::IncludeGlobals, "a", "home"},
      {"", KConfig::IncludeGlobals, "b", nullptr},
      {"kdeglobals", KConfig::FullConfig, "c", "sys-b"},
      // A named file comes after every kdeglobals, its own files least specific first.
      {"testrc", KConfig::FullConfig, "a", "home"},
      {"testrc", KConfig::FullConfig, "b", "testrc-sys-b"},
      {"testrc", KConfig::FullConfig, "d", "testrc-home"},
      {"testrc", KConfig::CascadeConfig, "a", nullptr},
      {"testrc", KConfig::CascadeConfig, "b", "testrc-sys-b"},
      {"testrc", KConfig::IncludeGlobals, "b", "sys-a"},
      {"testrc", KConfig::IncludeGlobals, "d", "testrc-home"},
      {"testrc", KConfig::SimpleConfig, "b", nullptr},
      {"testrc", KConfig::SimpleConfig, "d", "testrc-home"},
      {"absentrc", KConfig::FullConfig, "a", "home"},
      // An absolute path is read alone, whatever the flags.
      {absolute, KConfig::FullConfig, "a", nullptr},
      {absolute, KConfig::FullConfig, "d", "testrc-sys-b"},
  };
  for (const Case& c : cases) {
    KConfig config(c.name, KConfig::OpenFlags::fromInt(c.flags));
    EXPECT_EQ(config.name(), c.name);
    const auto value = value_of(config, "G", c.key);
    if (c.expected)
      EXPECT_EQ(value, QString(c.expected))
          << c.name.toStdString() << " " << c.flags << " " << c.key;
    else
      EXPECT_FALSE(value) << c.name.toStdString() << " " << c.flags << " " << c.key << " = "
                          << value->toStdString();
  }
}

TEST(KConfigFiles, RelativeNamesAreLookedUpInTheirLocation) {
  ConfigDirs dirs;
  TempDir data;
  qputenv("XDG_DATA_HOME", data.path().string().c_str());
  write_text(data / "locationrc", "[G]\nk=data\n");
  write_text(dirs.home() / "locationrc", "[G]\nk=config\n");
  KConfig config("locationrc", KConfig::SimpleConfig, QStandardPaths::GenericDataLocation);
  EXPECT_EQ(value_of(config, "G", "k"), "data");
  qunsetenv("XDG_DATA_HOME");
}

TEST(KSharedConfigCache, IdentityRules) {
  ConfigDirs dirs;
  write_text(dirs.home() / "identityrc", "[G]\nk=v\n");
  const auto generic = QStandardPaths::GenericConfigLocation;
  const auto config = KSharedConfig::openConfig("identityrc", KConfig::FullConfig, generic);
  EXPECT_EQ(config, KSharedConfig::openConfig("identityrc", KConfig::FullConfig, generic));
  EXPECT_NE(config, KSharedConfig::openConfig("identityrc", KConfig::FullConfig,
                                              QStandardPaths::ConfigLocation));
  EXPECT_NE(config, KSharedConfig::openConfig("identityrc", KConfig::CascadeConfig, generic));
  EXPECT_NE(config, KSharedConfig::openConfig("Identityrc", KConfig::FullConfig, generic));
  EXPECT_EQ(config->name(), "identityrc");
}

TEST(KSharedConfigCache, UnknownFlagBitsNeverMeetAnotherLocation) {
  ConfigDirs dirs;
  write_text(dirs.home() / "collisionrc", "[G]\nk=v\n");
  const auto config = KSharedConfig::openConfig("collisionrc", KConfig::FullConfig,
                                                QStandardPaths::GenericConfigLocation);
  // Flags whose spare bits make up the distance between the two locations in steps of 256.
  const int spare =
      (int(QStandardPaths::GenericConfigLocation) - int(QStandardPaths::ConfigLocation)) * 256;
  const auto other = KSharedConfig::openConfig(
      "collisionrc", KConfig::OpenFlags::fromInt(spare | KConfig::FullConfig),
      QStandardPaths::ConfigLocation);
  EXPECT_NE(config, other);
  EXPECT_EQ(other, KSharedConfig::openConfig(
                       "collisionrc", KConfig::OpenFlags::fromInt(spare | KConfig::FullConfig),
                       QStandardPaths::ConfigLocation));
  // Spare bits have no effect on what is read.
  EXPECT_EQ(value_of(*other, "G", "k"), "v");
}

TEST(KSharedConfigCache, KeepsEveryConfigUntilExit) {
  ConfigDirs dirs;
  write_text(dirs.home() / "keptrc", "[General]\nfont=Sans,10\n");
  KConfigGroup general;
  const KSharedConfig* address = nullptr;
  {
    const auto config = KSharedConfig::openConfig("keptrc");
    EXPECT_EQ(config->ref.loadRelaxed(), 2);  // ours and the cache's
    general = config->group("General");
    address = config.data();
  }
  ASSERT_NE(general.value("font"), nullptr);
  EXPECT_EQ(*general.value("font"), "Sans,10");
  // Read once: changes on disk show only after a re-parse.
  write_text(dirs.home() / "keptrc", "[General]\nfont=Serif,12\n");
  const auto again = KSharedConfig::openConfig("keptrc");
  EXPECT_EQ(again.data(), address);
  EXPECT_EQ(*general.value("font"), "Sans,10");
}

TEST(KSharedConfigCache, ConcurrentFirstRequestsShareOneConfig) {
  ConfigDirs dirs;
  write_text(dirs.home() / "concurrentrc", "[G]\nk=v\n");
  constexpr int count = 8;
  std::vector<KSharedConfigPtr> got(count);
  std::latch start(count);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      got[i] = KSharedConfig::openConfig(i % 2 ? "concurrentrc" : "concurrent-otherrc");
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 2; i < count; ++i) EXPECT_EQ(got[i], got[i % 2]);
  EXPECT_NE(got[0], got[1]);
  EXPECT_EQ(got[1]->ref.loadRelaxed(), 1 + count / 2);
  EXPECT_EQ(value_of(*got[1], "G", "k"), "v");
}

TEST(KdeCompanions, WatcherSignalCarriesGroups) {
  OneFile file("[G]\nk=v\n");
  KConfigWatcher watcher(KSharedConfig::openConfig(qpath(file.dir / "file.rc")));
  QSignalSpy spy(&watcher, &KConfigWatcher::configChanged);
  const KSharedConfigPtr config = KSharedConfig::openConfig(qpath(file.dir / "file.rc"));
  emit watcher.configChanged(config->group("G"), {"k"});
  ASSERT_EQ(spy.count(), 1);
  const KConfigGroup group = spy.at(0).at(0).value<KConfigGroup>();
  ASSERT_NE(group.value("k"), nullptr);
  EXPECT_EQ(*group.value("k"), "v");
  EXPECT_TRUE(QMetaType::fromType<KConfigGroup>().isValid());
}

TEST(KdeCompanions, LoggingCategoriesAndContrast) {
  for (const QLoggingCategory* category : {&BREEZE(), &KCOLORSCHEME()}) {
    EXPECT_TRUE(category->isWarningEnabled());
    EXPECT_FALSE(category->isInfoEnabled());
    EXPECT_FALSE(category->isDebugEnabled());
  }
  EXPECT_STREQ(BREEZE().categoryName(), "breeze");
  EXPECT_STREQ(KCOLORSCHEME().categoryName(), "kcolorscheme");
  EXPECT_EQ(KColorSchemeManagerPrivate::contrastPreference(), 0);
}

}  // namespace
