// The extra-data question before a build of starwars2, through each of its answers.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include "builder/window.hpp"
#include "support/gui.hpp"

using namespace testing_support;

namespace {

class ExtraData : public testing::Test {
 protected:
  void SetUp() override {
    make_apk(dir_ / "starwars2.apk", "starwars2");
    make_apk(dir_ / "pinball.apk", "pinball");
    fs::create_directories(dir_ / "assets_service");
    write_text(dir_ / "extra.zip", "zip");
    window_.show();
    open("starwars2");
  }

  void open(const std::string& library) {
    window_.open_apk(qpath(dir_ / (library + ".apk")));
    ASSERT_GE(window_.game_index, 0);
    version_ = "Version " + window_.games[window_.game_index].version;
  }

  QApplication& app_ = gui_app();
  TempDir dir_;
  builder::Window window_;
  QString version_;
};

// Checks the question box and clicks the button with `text`.
std::function<void(QWidget*)> question(const QString& text) {
  return [text](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowTitle(), "Add extra data?");
    EXPECT_EQ(box->icon(), QMessageBox::Question);
    EXPECT_TRUE(
        box->text().startsWith("Do you have the game's extra data (the "
                               "<i>assets_service</i> folder)?"));
    const QList<QAbstractButton*> buttons = box->buttons();
    ASSERT_EQ(buttons.size(), 4);
    EXPECT_EQ(box->buttonRole(buttons[0]), QMessageBox::AcceptRole);
    EXPECT_EQ(buttons[0]->text(), QString::fromUtf8("Choose ZIP…"));
    EXPECT_EQ(box->defaultButton(), buttons[0]);
    click(modal, text);
  };
}

std::function<void(QWidget*)> file(const QString& caption, const QString& path) {
  return [caption, path](QWidget* modal) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), caption);
    EXPECT_EQ(dialog->directory().absolutePath(), downloads());
    if (caption == "Choose the extra data")
      EXPECT_EQ(dialog->nameFilters(), QStringList{"ZIP archives (*.zip)"});
    else
      EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
    pick(modal, path);
  };
}

TEST_F(ExtraData, OtherGamesAreNotAsked) {
  open("pinball");
  ModalAnswers answers({question("Cancel")});
  EXPECT_TRUE(window_.ask_extra());
  EXPECT_EQ(answers.waiting(), 1u);
  EXPECT_EQ(window_.info_label->text(), version_);
}

TEST_F(ExtraData, BuildWithoutIsAskedOnceForTheApk) {
  ModalAnswers answers({question("Build without")});
  EXPECT_TRUE(window_.ask_extra());
  EXPECT_EQ(answers.waiting(), 0u);
  EXPECT_TRUE(window_.extra_asked);
  EXPECT_TRUE(window_.assets.isEmpty());
  EXPECT_EQ(window_.info_label->text(), version_ + ", without extra data");

  ModalAnswers again({question("Cancel")});
  EXPECT_TRUE(window_.ask_extra());
  EXPECT_EQ(again.waiting(), 1u);

  // Opening the APK again asks again.
  open("starwars2");
  EXPECT_FALSE(window_.extra_asked);
  EXPECT_EQ(window_.info_label->text(), version_);
}

TEST_F(ExtraData, AZipOrAFolderIsNamedOnTheGamePage) {
  const struct {
    const char* button;
    const char* caption;
    fs::path chosen;
  } cases[] = {
      {"Choose ZIP…", "Choose the extra data", dir_ / "extra.zip"},
      {"Choose folder…", "Choose the extra data folder", dir_ / "assets_service"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.button);
    open("starwars2");
    const QString chosen = qpath(c.chosen);
    ModalAnswers answers({question(QString::fromUtf8(c.button)), file(c.caption, chosen)});
    EXPECT_TRUE(window_.ask_extra());
    EXPECT_EQ(answers.waiting(), 0u);
    EXPECT_EQ(window_.assets, chosen);
    EXPECT_EQ(window_.info_label->text(),
              version_ + ", extra data: " + QString::fromStdString(c.chosen.filename().string()));
    EXPECT_EQ(window_.info_label->toolTip(), QDir::toNativeSeparators(chosen));
  }
}

TEST_F(ExtraData, ACancelledDialogAsksAgainAndCancelStopsTheBuild) {
  ModalAnswers answers({question(QString::fromUtf8("Choose ZIP…")),
                        file("Choose the extra data", QString()),
                        question(QString::fromUtf8("Choose folder…")),
                        file("Choose the extra data folder", QString()), question("Cancel")});
  window_.build_button->click();
  EXPECT_EQ(answers.waiting(), 0u);
  EXPECT_TRUE(window_.job.isNull());
  EXPECT_FALSE(window_.extra_asked);
  EXPECT_TRUE(window_.assets.isEmpty());
  EXPECT_EQ(window_.info_label->text(), version_);
  EXPECT_TRUE(window_.progress_panel->isHidden());
  EXPECT_TRUE(window_.build_button->isEnabled());
}

}  // namespace
