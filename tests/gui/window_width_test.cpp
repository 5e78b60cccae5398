// The window at 200 % on a 1280 x 900 screen: in every state it stays within the screen's width,
// the bottom row with it, and no button there is narrower than its text needs. The process has
// an offscreen screen of its own and scales by 2, so the window has 640 x 450 to live in.
#include <gtest/gtest.h>

#include <QDialog>
#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QToolButton>

#include "builder/window.hpp"
#include "support/gui.hpp"

using namespace testing_support;

namespace {

QApplication& scaled_app() { return gui_app_on_screen("laptop", 1280, 900, "2"); }

// `widget`'s frame lies within the screen's available width, and each visible button inside it
// lies within it and has the width its text asks for.
void expect_fits(const QWidget& widget) {
  const QRect screen = widget.screen()->availableGeometry();
  EXPECT_LE(widget.frameGeometry().width(), screen.width());
  EXPECT_GE(widget.frameGeometry().left(), screen.left());
  EXPECT_LE(widget.frameGeometry().right(), screen.right());
  for (const QAbstractButton* button : widget.findChildren<QAbstractButton*>()) {
    if (!button->isVisibleTo(&widget)) continue;
    SCOPED_TRACE(button->text().toStdString());
    const QRect place(button->mapTo(&widget, QPoint(0, 0)), button->size());
    EXPECT_GE(place.left(), 0);
    EXPECT_LE(place.right(), widget.width() - 1);
    EXPECT_GE(button->width(), button->sizeHint().width());
  }
}

class ScaledScreen : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QGuiApplication::primaryScreen()->availableGeometry().width(), 640);
    make_apk(dir_ / "pinball.apk", "pinball");
    window_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
    window_.open_apk(qpath(dir_ / "pinball.apk"));
    ASSERT_GE(window_.game_index, 0);
    // The widest text that a measured cache gives the button.
    window_.clear_button->setText("Clear cache (999.9 MB)");
    settle();
  }

  void start_building() {
    auto* job = new builder::Job(builder::Request{}, &window_);
    window_.job = job;
    window_.play_possible = true;
    window_.set_building(true);
    settle();
  }

  QApplication& app_ = scaled_app();
  TempDir dir_;
  builder::Window window_;
};

TEST_F(ScaledScreen, ReadyBuildingAndFinishedStayWithinTheScreen) {
  {
    SCOPED_TRACE("ready");
    expect_fits(window_);
  }
  start_building();
  {
    SCOPED_TRACE("building");
    expect_fits(window_);
  }
  window_.on_finished(true, "Installed into a folder whose name is long enough to wrap.",
                      qpath(dir_.path()));
  settle();
  ASSERT_FALSE(window_.play_button->isHidden());
  ASSERT_FALSE(window_.folder_button->isHidden());
  ASSERT_FALSE(window_.details_button->isHidden());
  SCOPED_TRACE("finished");
  expect_fits(window_);
}

TEST_F(ScaledScreen, AFailureWithItsDetailsStaysWithinTheScreen) {
  start_building();
  window_.on_finished(false, "The build failed because of a long reason that takes its room.",
                      QString());
  window_.details_button->click();
  settle();
  ASSERT_FALSE(window_.log_view->isHidden());
  expect_fits(window_);
}

TEST_F(ScaledScreen, TheAboutBoxStaysWithinTheScreen) {
  ModalAnswers answers({[&](QWidget* modal) {
    auto* dialog = qobject_cast<QDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    settle();
    expect_fits(*dialog);
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close)->click();
  }});
  window_.show_about();
  EXPECT_EQ(answers.waiting(), 0u);
}

}  // namespace
