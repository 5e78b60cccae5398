// The window before any build: the drop page, opening APKs, the mod boxes, drag and drop.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>

#include "builder/apk_match.hpp"
#include "builder/catalog.hpp"
#include "builder/paths.hpp"
#include "builder/window.hpp"
#include "support/gui.hpp"

using namespace testing_support;

namespace {

// Run from a folder with an empty source tree beside it: prints what the window says.
void report_missing_sources() {
  gui_app();
  builder::Window window;
  std::printf("@@message=%s\n@@shown=%d\n@@build=%d\n",
              window.message_label->text().toUtf8().constData(), !window.message_label->isHidden(),
              window.build_button->isEnabled());
  std::fflush(stdout);
}

const bool g_driver = register_driver("SKARNBOLT_T_NO_SOURCES", report_missing_sources);

class WindowIntake : public testing::Test {
 protected:
  void SetUp() override { gui_app(); }

  // An APK of the fixture game with this library, made once per test.
  QString apk(const std::string& library, const std::string& name = "") {
    const fs::path path = dir_ / (name.empty() ? library + ".apk" : name);
    if (!fs::exists(path)) make_apk(path, library);
    return qpath(path);
  }

  TempDir dir_;
};

int game_position(const builder::Window& window, const QString& id) {
  for (int i = 0; i < window.games.size(); ++i)
    if (window.games[i].id == id) return i;
  return -1;
}

TEST_F(WindowIntake, StartsOnTheDropPageWithNothingToBuild) {
  builder::Window window;
  EXPECT_EQ(window.games.size(), builder::load_games(builder::source_dir()).size());
  EXPECT_FALSE(window.games.isEmpty());
  EXPECT_EQ(window.windowTitle(), "Skarnbolt Builder");
  EXPECT_TRUE(window.acceptDrops());
  EXPECT_EQ(window.pages->currentIndex(), 0);
  EXPECT_EQ(window.pages->currentWidget(), window.drop_area);
  EXPECT_EQ(window.drop_area->accessibleName(), "Choose an APK");
  EXPECT_EQ(window.drop_area->focusPolicy(), Qt::StrongFocus);
  EXPECT_FALSE(window.build_button->isEnabled());
  EXPECT_EQ(window.build_button->text(), "Build && Install");
  for (QWidget* hidden :
       {static_cast<QWidget*>(window.message_label), static_cast<QWidget*>(window.advanced_button),
        window.advanced_panel, window.progress_panel, static_cast<QWidget*>(window.play_button),
        static_cast<QWidget*>(window.folder_button), static_cast<QWidget*>(window.details_button),
        static_cast<QWidget*>(window.log_view)})
    EXPECT_TRUE(hidden->isHidden()) << hidden->metaObject()->className();
  EXPECT_EQ(window.game_index, -1);

  window.start(false, true, false);
  window.build_button->click();
  EXPECT_TRUE(window.job.isNull());
}

TEST_F(WindowIntake, OpeningAnApkShowsItsGameAndMods) {
  for (const auto& [id, library] :
       {std::pair{"pinball", "pinball"}, {"rally", "rallydust"}, {"starwars2", "starwars2"}}) {
    SCOPED_TRACE(id);
    builder::Window window;
    window.show();
    const QString path = apk(library);
    window.open_apk(path);

    const int index = game_position(window, id);
    ASSERT_GE(index, 0);
    const builder::Game& game = window.games[index];
    EXPECT_EQ(window.game_index, index);
    EXPECT_EQ(window.apk_path, path);
    EXPECT_EQ(window.pages->currentIndex(), 1);
    EXPECT_EQ(window.title_label->text(), game.title);
    EXPECT_EQ(window.title_label->toolTip(), QDir::toNativeSeparators(path));
    EXPECT_EQ(window.info_label->text(), "Version " + game.version);
    EXPECT_TRUE(window.message_label->isHidden());
    EXPECT_FALSE(window.advanced_button->isHidden());
    EXPECT_FALSE(window.advanced_button->isChecked());
    EXPECT_TRUE(window.advanced_panel->isHidden());
    EXPECT_TRUE(window.build_button->isEnabled());
    EXPECT_EQ(window.focusWidget(), window.build_button);

    const QList<builder::Mod> mods = builder::load_mods(builder::source_dir(), game.id);
    ASSERT_EQ(window.mod_boxes.size(), mods.size());
    EXPECT_EQ(window.mods_layout->count(), 2 * mods.size());
    for (int i = 0; i < mods.size(); ++i) {
      const QCheckBox* box = window.mod_boxes[i];
      EXPECT_EQ(box->text(), mods[i].name);
      EXPECT_EQ(box->isChecked(), mods[i].enabled);
      EXPECT_EQ(box->property("default").toBool(), mods[i].enabled);
      EXPECT_EQ(box->property("mod").toString(), mods[i].name);
      EXPECT_EQ(box->toolTip(), mods[i].description);
      const auto* description =
          qobject_cast<QLabel*>(window.mods_layout->itemAt(2 * i + 1)->widget());
      ASSERT_NE(description, nullptr);
      EXPECT_EQ(description->text(), mods[i].description);
      EXPECT_EQ(description->contentsMargins(), QMargins(24, 0, 0, 4));
    }
    EXPECT_LE(window.mods_scroll->height(), 260);
  }
}

// The font warnings that Qt prints while one of these lives.
class FontWarnings {
 public:
  FontWarnings() {
    g_seen = &seen;
    previous_ = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext&, const QString& message) {
          if (type == QtWarningMsg && g_seen && message.startsWith("QFont"))
            g_seen->append(message);
        });
  }
  ~FontWarnings() {
    qInstallMessageHandler(previous_);
    g_seen = nullptr;
  }
  QStringList seen;

 private:
  static inline QStringList* g_seen = nullptr;
  QtMessageHandler previous_;
};

// A font given in pixels, as a user's kdeglobals may hold it, has no point size to scale.
TEST_F(WindowIntake, ScaledFontsFollowAFontGivenInPixels) {
  const QFont saved = QApplication::font();
  QFont pixels;
  ASSERT_TRUE(pixels.fromString("DejaVu Sans,-1,14,5,50,0,0,0,0,0"));
  ASSERT_EQ(pixels.pixelSize(), 14);
  QApplication::setFont(pixels);
  FontWarnings warnings;
  {
    builder::Window window;
    window.show();
    window.open_apk(apk("pinball"));
    QLabel* name = nullptr;
    QLabel* tagline = nullptr;
    for (QLabel* label : window.findChildren<QLabel*>()) {
      if (label->text() == "Skarnbolt Builder") name = label;
      if (label->text().startsWith("Turns a supported game")) tagline = label;
    }
    ASSERT_NE(name, nullptr);
    ASSERT_NE(tagline, nullptr);
    EXPECT_EQ(name->font().pixelSize(), 20);                // 1.4 times
    EXPECT_EQ(window.title_label->font().pixelSize(), 18);  // 1.25 times
    EXPECT_EQ(tagline->font().pixelSize(), 13);             // 0.9 times
    EXPECT_EQ(window.info_label->font().pixelSize(), 13);
    window.drop_area->hover = true;
    window.drop_area->grab();
  }
  QApplication::setFont(saved);
  EXPECT_TRUE(warnings.seen.isEmpty()) << warnings.seen.join("\n").toStdString();
}

TEST_F(WindowIntake, ASecondApkRebuildsTheModBoxesAndClosesAdvanced) {
  builder::Window window;
  window.show();
  window.open_apk(apk("pinball"));
  window.advanced_button->setChecked(true);
  EXPECT_FALSE(window.advanced_panel->isHidden());
  EXPECT_EQ(window.advanced_button->arrowType(), Qt::DownArrow);
  ASSERT_FALSE(window.mod_boxes.isEmpty());
  QPointer<QCheckBox> old_box = window.mod_boxes.first();

  window.open_apk(apk("starwars2"));
  EXPECT_TRUE(old_box.isNull());
  EXPECT_FALSE(window.advanced_button->isChecked());
  EXPECT_EQ(window.advanced_button->arrowType(), Qt::RightArrow);
  EXPECT_TRUE(window.advanced_panel->isHidden());
  const QList<builder::Mod> mods = builder::load_mods(builder::source_dir(), "starwars2");
  ASSERT_EQ(window.mod_boxes.size(), mods.size());
  for (int i = 0; i < mods.size(); ++i)
    EXPECT_EQ(window.mod_boxes[i]->property("mod").toString(), mods[i].name);
  EXPECT_EQ(window.mods_layout->count(), 2 * mods.size());
  EXPECT_EQ(window.focusWidget(), window.build_button);
}

TEST_F(WindowIntake, AFailedIdentificationLeavesNoGame) {
  write_text(dir_ / "notes.apk", "not a zip");
  // The same library name with other content: another version of the game.
  make_apk(dir_ / "other-version.apk", "pinball", "another build");
  make_apk(dir_ / "unknown.apk", "somethingelse");
  make_apk(dir_ / "a;b" / "pinball.apk", "pinball");
  make_apk(dir_ / "a\\b" / "pinball.apk", "pinball");
  make_apk(dir_ / "line\nbreak.apk", "pinball");
  for (const char* name : {"notes.apk", "other-version.apk", "unknown.apk", "a;b/pinball.apk",
                           "a\\b/pinball.apk", "line\nbreak.apk", "missing.apk"}) {
    SCOPED_TRACE(name);
    builder::Window window;
    window.open_apk(apk("pinball"));
    window.advanced_button->setChecked(true);
    const QString path = qpath(dir_ / name);
    window.open_apk(path);

    QString error;
    EXPECT_FALSE(builder::identify_apk(path, window.games, error));
    EXPECT_EQ(window.message_label->text(), error);
    EXPECT_FALSE(window.message_label->isHidden());
    EXPECT_EQ(window.pages->currentIndex(), 0);
    EXPECT_EQ(window.game_index, -1);
    EXPECT_TRUE(window.apk_path.isEmpty());
    EXPECT_FALSE(window.build_button->isEnabled());
    EXPECT_TRUE(window.advanced_button->isHidden());
    EXPECT_TRUE(window.advanced_panel->isHidden());
    window.start(false, true, false);
    EXPECT_TRUE(window.job.isNull());
  }
}

// Sends a drag-enter with these URLs; whether the window took it.
bool drag_enter(builder::Window& window, const QList<QUrl>& urls) {
  QMimeData data;
  if (urls.isEmpty())
    data.setText("plain text");
  else
    data.setUrls(urls);
  QDragEnterEvent event(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  event.setAccepted(false);
  QApplication::sendEvent(&window, &event);
  return event.isAccepted();
}

TEST_F(WindowIntake, DragEnterTakesOnlyALocalApkInAnyLetterCase) {
  const QUrl text = QUrl::fromLocalFile(qpath(dir_ / "readme.txt"));
  const QUrl upper = QUrl::fromLocalFile(qpath(dir_ / "GAME.APK"));
  const QUrl lower = QUrl::fromLocalFile(qpath(dir_ / "game.apk"));
  const QUrl remote("https://127.0.0.1/game.apk");
  const QUrl folder_like = QUrl::fromLocalFile(qpath(dir_ / "game.apk.d"));
  const struct {
    QList<QUrl> urls;
    bool taken;
  } cases[] = {
      {{text, upper}, true}, {{lower}, true},   {{remote, text, lower}, true},
      {{text}, false},       {{remote}, false}, {{folder_like}, false},
      {{}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(QUrl::toStringList(c.urls).join(' ').toStdString());
    builder::Window window;
    EXPECT_EQ(drag_enter(window, c.urls), c.taken);
    EXPECT_EQ(window.drop_area->hover, c.taken);
  }
}

TEST_F(WindowIntake, DragEnterIsRefusedDuringABuild) {
  builder::Window window;
  window.job = new builder::Job(builder::Request{}, &window);
  EXPECT_FALSE(drag_enter(window, {QUrl::fromLocalFile(apk("pinball"))}));
  EXPECT_FALSE(window.drop_area->hover);
}

TEST_F(WindowIntake, DropOpensTheFirstLocalApkAndEndsTheHighlight) {
  builder::Window window;
  const QList<QUrl> urls = {
      QUrl("https://127.0.0.1/rally.apk"), QUrl::fromLocalFile(qpath(dir_ / "readme.txt")),
      QUrl::fromLocalFile(apk("pinball", "Pinball.APK")), QUrl::fromLocalFile(apk("rallydust"))};
  ASSERT_TRUE(drag_enter(window, urls));
  EXPECT_TRUE(window.drop_area->hover);

  QMimeData data;
  data.setUrls(urls);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &drop);
  EXPECT_FALSE(window.drop_area->hover);
  EXPECT_EQ(window.apk_path, apk("pinball", "Pinball.APK"));
  EXPECT_EQ(window.games[window.game_index].id, "pinball");
}

TEST_F(WindowIntake, ADragThatLeavesKeepsTheHighlight) {
  builder::Window window;
  ASSERT_TRUE(drag_enter(window, {QUrl::fromLocalFile(apk("pinball"))}));
  QDragLeaveEvent leave;
  QApplication::sendEvent(&window, &leave);
  EXPECT_TRUE(window.drop_area->hover);
}

TEST_F(WindowIntake, ReturnSpaceAndClicksOnTheDropAreaAskForAnApk) {
  builder::Window window;
  window.show();
  window.drop_area->setFocus();
  const auto check_and_cancel = [](QWidget* modal) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Choose a game's APK");
    EXPECT_EQ(dialog->directory().absolutePath(), downloads());
    EXPECT_EQ(dialog->nameFilters(), QStringList{"Android packages (*.apk)"});
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
    dialog->reject();
  };
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
    ModalAnswers answers({check_and_cancel});
    QTest::keyClick(window.drop_area, key);
    EXPECT_EQ(answers.waiting(), 0u) << key;
  }
  for (Qt::Key key : {Qt::Key_Enter, Qt::Key_Escape, Qt::Key_A, Qt::Key_Tab}) {
    ModalAnswers answers({check_and_cancel});
    QTest::keyClick(window.drop_area, key);
    EXPECT_EQ(answers.waiting(), 1u) << key;
  }
  EXPECT_EQ(window.pages->currentIndex(), 0);

  // A click asks too; the chosen file is opened.
  const QString path = apk("rallydust");
  ModalAnswers answers({[&](QWidget* modal) { pick(modal, path); }});
  QTest::mouseClick(window.drop_area, Qt::LeftButton);
  EXPECT_EQ(answers.waiting(), 0u);
  EXPECT_EQ(window.apk_path, path);
  EXPECT_EQ(window.pages->currentIndex(), 1);
}

TEST_F(WindowIntake, ChooseApkDoesNothingDuringABuild) {
  builder::Window window;
  window.job = new builder::Job(builder::Request{}, &window);
  ModalAnswers answers({[](QWidget* modal) { pick(modal, QString()); }});
  window.choose_apk();
  EXPECT_EQ(answers.waiting(), 1u);
}

TEST_F(WindowIntake, WithoutPortSourcesTheWindowSaysWhereItLooked) {
  const fs::path program = place_self(dir_ / "app" / "driver");
  write_text(dir_ / "app" / "source" / "CMakeLists.txt", "");
  fs::create_directories(dir_ / "app" / "source" / "games");
  std::string output;
  ASSERT_EQ(run("SKARNBOLT_T_NO_SOURCES=1 " + shell_quote(program.string()) +
                    " --gtest_filter=Driver.run",
                &output),
            0)
      << output;
  const std::string expected = "@@message=The game sources are missing next to the builder: " +
                               (dir_ / "app" / "source").string() + "\n";
  EXPECT_NE(output.find(expected), std::string::npos) << output;
  EXPECT_NE(output.find("@@shown=1\n"), std::string::npos) << output;
  EXPECT_NE(output.find("@@build=0\n"), std::string::npos) << output;
}

}  // namespace
