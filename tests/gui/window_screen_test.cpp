// The window and the about box on a screen too small for their natural size: neither grows
// past the available height; the mods, the log and the about text scroll instead. The process
// has an offscreen screen of its own, 960 x 540 (what 1920 x 1080 at 200 % leaves).
#include <gtest/gtest.h>

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include "builder/window.hpp"
#include "support/gui.hpp"

using namespace testing_support;

namespace {

const int kScreenHeight = 540;

QApplication& small_screen_app() { return gui_app_on_screen("small", 960, kScreenHeight); }

class SmallScreen : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QGuiApplication::primaryScreen()->availableGeometry().height(), kScreenHeight);
    make_apk(dir_ / "starwars2.apk", "starwars2");
  }

  QApplication& app_ = small_screen_app();
  TempDir dir_;
};

// The bottom row and everything above it lie inside the window.
void expect_inside(const builder::Window& window) {
  EXPECT_LE(window.height(), kScreenHeight);
  EXPECT_LE(window.build_button->geometry().bottom(), window.height());
  EXPECT_GE(window.build_button->geometry().top(),
            window.advanced_panel->isHidden() ? 0 : window.advanced_panel->geometry().bottom());
}

TEST_F(SmallScreen, TheWindowStaysWithinTheScreenAndItsModsAndLogScroll) {
  builder::Window window;
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.open_apk(qpath(dir_ / "starwars2.apk"));
  ASSERT_GE(window.game_index, 0);
  window.advanced_button->click();
  settle();
  SCOPED_TRACE("Advanced open");
  expect_inside(window);

  // After a failed build, with the message, Show details and Advanced open.
  auto* job = new builder::Job(builder::Request{}, &window);
  window.job = job;
  window.set_building(true);
  window.on_finished(false, "The build failed because of a long reason that takes its room.",
                     QString());
  settle();
  SCOPED_TRACE("after a build");
  expect_inside(window);

  window.details_button->click();
  settle();
  SCOPED_TRACE("with the log");
  expect_inside(window);
  EXPECT_FALSE(window.log_view->isHidden());
  EXPECT_GT(window.log_view->height(), 0);
  EXPECT_LT(window.mods_scroll->height(), window.mods_scroll->widget()->sizeHint().height());
}

TEST_F(SmallScreen, TheAboutBoxStaysWithinTheScreenAndItsTextScrolls) {
  builder::Window window;
  window.show();
  ModalAnswers answers({[&](QWidget* modal) {
    auto* dialog = qobject_cast<QDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    settle();
    EXPECT_LE(dialog->height(), kScreenHeight);
    auto* close = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close);
    EXPECT_LE(close->mapTo(dialog, QPoint(0, close->height())).y(), dialog->height());
    auto* scroll = dialog->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    EXPECT_NE(qobject_cast<QLabel*>(scroll->widget()), nullptr);
    EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
    close->click();
  }});
  window.show_about();
  EXPECT_EQ(answers.waiting(), 0u);
}

}  // namespace
