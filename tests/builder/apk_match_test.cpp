#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <fstream>
#include <string>

#include "builder/apk_match.hpp"
#include "support/test_support.hpp"

using namespace testing_support;

namespace {

QString qpath(const fs::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

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
