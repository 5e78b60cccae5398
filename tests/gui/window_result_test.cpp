// The window around a build: time-left texts, the finished states, Cancel, closing during a
// build, the result actions and the size rules. The Job here is a real one that is never
// started; the test sends its signals, so every moment of a build can be chosen.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include "builder/window.hpp"
#include "support/gui.hpp"

using namespace testing_support;

namespace {

// Receives the URLs that the window asks the desktop to open.
class UrlCatcher : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> urls;

 public slots:
  void open(const QUrl& url) { urls.append(url); }
};

class WindowResult : public testing::Test {
 protected:
  void SetUp() override {
    make_apk(dir_ / "pinball.apk", "pinball");
    window_.open_apk(qpath(dir_ / "pinball.apk"));
    ASSERT_GE(window_.game_index, 0);
  }

  // Makes the window take a new Job as its running build, wired as a started one is.
  builder::Job* attach() {
    auto* job = new builder::Job(builder::Request{}, &window_);
    window_.job = job;
    QObject::connect(job, &builder::Job::finished, &window_, &builder::Window::on_finished);
    window_.set_building(true);
    return job;
  }

  QApplication& app_ = gui_app();
  TempDir dir_;
  builder::Window window_;
};

TEST(EtaText, WholeMinutesAndHoursAtTheBoundaries) {
  const struct {
    qint64 eta;
    const char* text;
  } cases[] = {
      {-1, ""},
      {0, "less than a minute left"},
      {59, "less than a minute left"},
      {60, "about 1 min left"},
      {89, "about 1 min left"},
      {90, "about 2 min left"},
      {5399, "about 90 min left"},
      {5400, "about 1 h 30 min left"},
      {7199, "about 1 h 60 min left"},
      {7200, "about 2 h 0 min left"},
  };
  for (const auto& c : cases) EXPECT_EQ(builder::eta_text(c.eta), c.text) << c.eta;
}

TEST_F(WindowResult, BuildingStateShowsProgressAndLocksTheRest) {
  attach();
  EXPECT_FALSE(window_.pages->isEnabled());
  EXPECT_FALSE(window_.build_button->isEnabled());
  EXPECT_FALSE(window_.clear_button->isEnabled());
  EXPECT_FALSE(window_.advanced_panel->isEnabled());
  EXPECT_TRUE(window_.advanced_button->isEnabled());
  EXPECT_FALSE(window_.progress_panel->isHidden());
  EXPECT_FALSE(window_.cancel_button->isHidden());
  EXPECT_TRUE(window_.cancel_button->isEnabled());
  EXPECT_FALSE(window_.details_button->isHidden());
  EXPECT_EQ(window_.log_view->maximumBlockCount(), 5000);
  EXPECT_EQ(window_.progress_bar->maximum(), 1000);

  // No second build while one runs.
  window_.start(false, true, false);
  window_.build_button->click();
  EXPECT_EQ(window_.job->request.game.id, QString());
}

// Pixels of `widget` as drawn that are (nearly) `colour`.
int pixels_of(QWidget* widget, const QColor& colour) {
  const QImage image = widget->grab().toImage();
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor pixel = image.pixelColor(x, y);
      if (qAbs(pixel.red() - colour.red()) + qAbs(pixel.green() - colour.green()) +
              qAbs(pixel.blue() - colour.blue()) <=
          12)
        ++count;
    }
  }
  return count;
}

TEST_F(WindowResult, TheOtherApkLinkLooksDisabledDuringABuild) {
  QPushButton* link = nullptr;
  for (QPushButton* button : window_.findChildren<QPushButton*>())
    if (button->text() == QString::fromUtf8("Choose another APK…")) link = button;
  ASSERT_NE(link, nullptr);
  QFont big = link->font();
  big.setPointSize(20);  // strokes wide enough to show their colour unblended
  link->setFont(big);
  const QColor live = QApplication::palette().color(QPalette::Active, QPalette::Link);
  const QColor off = QApplication::palette().color(QPalette::Disabled, QPalette::ButtonText);
  ASSERT_NE(live, off);
  EXPECT_GT(pixels_of(link, live), 0);

  attach();
  ASSERT_FALSE(link->isEnabled());
  EXPECT_EQ(pixels_of(link, live), 0);
  EXPECT_GT(pixels_of(link, off), 0);
}

TEST_F(WindowResult, SuccessOffersPlayAndTheFolder) {
  builder::Job* job = attach();
  window_.play_possible = true;
  const QString folder = qpath(dir_.path());
  emit job->finished(true, "Installed.", folder);
  EXPECT_TRUE(window_.job.isNull());
  EXPECT_EQ(window_.last_result, folder);
  EXPECT_FALSE(window_.progress_panel->isHidden());
  EXPECT_EQ(window_.progress_bar->value(), 1000);
  EXPECT_EQ(window_.status_label->text(), "Done");
  EXPECT_TRUE(window_.eta_label->text().isEmpty());
  EXPECT_EQ(window_.message_label->text(), "Installed.");
  EXPECT_FALSE(window_.message_label->isHidden());
  EXPECT_FALSE(window_.play_button->isHidden());
  EXPECT_FALSE(window_.folder_button->isHidden());
  EXPECT_TRUE(window_.cancel_button->isHidden());
  EXPECT_TRUE(window_.build_button->isEnabled());
  EXPECT_TRUE(window_.pages->isEnabled());
  EXPECT_TRUE(window_.clear_button->isEnabled());
}

TEST_F(WindowResult, SuccessWithoutAFolderAndWithoutPlay) {
  builder::Job* job = attach();
  window_.play_possible = false;
  emit job->finished(true, "Installed on the device.", QString());
  EXPECT_TRUE(window_.play_button->isHidden());
  EXPECT_TRUE(window_.folder_button->isHidden());
  EXPECT_EQ(window_.message_label->text(), "Installed on the device.");
}

TEST_F(WindowResult, FailureHidesProgressAndOffersTheLog) {
  builder::Job* job = attach();
  window_.play_possible = true;
  emit job->finished(false, "The build failed.", QString());
  EXPECT_TRUE(window_.progress_panel->isHidden());
  EXPECT_EQ(window_.message_label->text(), "The build failed.");
  EXPECT_FALSE(window_.message_label->isHidden());
  EXPECT_TRUE(window_.play_button->isHidden());
  EXPECT_TRUE(window_.folder_button->isHidden());
  EXPECT_FALSE(window_.details_button->isHidden());
  EXPECT_TRUE(window_.build_button->isEnabled());

  window_.details_button->click();
  EXPECT_FALSE(window_.log_view->isHidden());
  EXPECT_EQ(window_.details_button->text(), "Hide details");
  window_.details_button->click();
  EXPECT_TRUE(window_.log_view->isHidden());
  EXPECT_EQ(window_.details_button->text(), "Show details");
}

TEST_F(WindowResult, CancelSetsTheFlagOnce) {
  builder::Job* job = attach();
  window_.cancel_button->click();
  EXPECT_TRUE(job->cancel.load());
  EXPECT_FALSE(window_.cancel_button->isEnabled());
  EXPECT_EQ(window_.status_label->text(), QString::fromUtf8("Cancelling…"));
  window_.cancel_button->click();
  emit job->finished(false, "Cancelled", QString());
  EXPECT_EQ(window_.message_label->text(), "Cancelled");
  EXPECT_TRUE(window_.progress_panel->isHidden());
}

// The question of a close during a build, checked and answered with `answer`; `before` runs
// first, while the box is open.
std::function<void(QWidget*)> close_question(QMessageBox::StandardButton answer,
                                             std::function<void()> before = {}) {
  return [answer, before](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowTitle(), "Cancel the build?");
    EXPECT_EQ(box->text(), "A build is running. Cancel it and quit?");
    EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(box->defaultButton(), nullptr);
    if (before) before();
    click(modal, answer);
  };
}

TEST_F(WindowResult, ClosingWithoutABuildCloses) {
  window_.show();
  EXPECT_TRUE(window_.close());
  EXPECT_TRUE(window_.isHidden());
}

TEST_F(WindowResult, ClosingDuringABuildAnsweredNoChangesNothing) {
  window_.show();
  builder::Job* job = attach();
  ModalAnswers answers({close_question(QMessageBox::No)});
  EXPECT_FALSE(window_.close());
  EXPECT_EQ(answers.waiting(), 0u);
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.close_requested);
  EXPECT_FALSE(job->cancel.load());
  emit job->finished(true, "Installed.", qpath(dir_.path()));
  EXPECT_TRUE(window_.isVisible());
  EXPECT_EQ(window_.status_label->text(), "Done");
}

TEST_F(WindowResult, ClosingDuringABuildAnsweredYesClosesWhenTheJobHasFinished) {
  window_.show();
  builder::Job* job = attach();
  ModalAnswers answers({close_question(QMessageBox::Yes)});
  EXPECT_FALSE(window_.close());
  EXPECT_EQ(answers.waiting(), 0u);
  EXPECT_TRUE(window_.isVisible());
  EXPECT_TRUE(window_.close_requested);
  EXPECT_TRUE(job->cancel.load());
  EXPECT_EQ(window_.status_label->text(), QString::fromUtf8("Cancelling…"));
  emit job->finished(false, "Cancelled", QString());
  EXPECT_TRUE(window_.isHidden());
  EXPECT_TRUE(window_.job.isNull());
}

TEST_F(WindowResult, BuildEndingWhileTheQuestionIsOpenThenYesClosesAtOnce) {
  window_.show();
  builder::Job* job = attach();
  ModalAnswers answers({close_question(
      QMessageBox::Yes, [&] { emit job->finished(true, "Installed.", qpath(dir_.path())); })});
  EXPECT_TRUE(window_.close());
  EXPECT_EQ(answers.waiting(), 0u);
  EXPECT_TRUE(window_.isHidden());
  EXPECT_FALSE(window_.close_requested);
}

TEST_F(WindowResult, BuildEndingWhileTheQuestionIsOpenThenNoKeepsTheWindow) {
  window_.show();
  builder::Job* job = attach();
  ModalAnswers answers({close_question(
      QMessageBox::No, [&] { emit job->finished(true, "Installed.", qpath(dir_.path())); })});
  EXPECT_FALSE(window_.close());
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.close_requested);
  EXPECT_EQ(window_.status_label->text(), "Done");

  // The next build's end does not close the window unasked.
  builder::Job* next = attach();
  emit next->finished(true, "Installed.", qpath(dir_.path()));
  EXPECT_TRUE(window_.isVisible());
}

TEST_F(WindowResult, ShowInFolderOpensTheFolderOrTheOneHoldingTheResult) {
  fs::create_directories(dir_ / "game");
  fs::create_directories(dir_ / "Game.app");
  write_text(dir_ / "game.nro", "nro");
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("file", &catcher, "open");
  const struct {
    fs::path result;
    fs::path opened;
  } cases[] = {
      {dir_ / "game", dir_ / "game"},
      {dir_ / "Game.app", dir_.path()},
      {dir_ / "game.nro", dir_.path()},
  };
  for (const auto& c : cases) {
    builder::Job* job = attach();
    emit job->finished(true, "Saved.", qpath(c.result));
    ASSERT_FALSE(window_.folder_button->isHidden());
    window_.folder_button->click();
    ASSERT_FALSE(catcher.urls.isEmpty());
    EXPECT_EQ(catcher.urls.takeLast(), QUrl::fromLocalFile(qpath(c.opened)));
  }
  QDesktopServices::unsetUrlHandler("file");
}

TEST_F(WindowResult, PlayStartsTheInstalledGameInItsFolder) {
  const fs::path folder = dir_ / "installed";
  write_text(folder / "skarnbolt-pinball", "#!/bin/sh\npwd > started\n");
  fs::permissions(folder / "skarnbolt-pinball", fs::perms::owner_all);
  builder::Job* job = attach();
  window_.play_possible = true;
  emit job->finished(true, "Installed.", qpath(folder));
  ASSERT_FALSE(window_.play_button->isHidden());
  window_.play_button->click();
  QTRY_VERIFY_WITH_TIMEOUT(fs::exists(folder / "started") && !read_text(folder / "started").empty(),
                           10000);
  EXPECT_EQ(read_text(folder / "started"), folder.string() + "\n");
}

// The progress handler writes these texts into eta_label; the test writes them the same way.
TEST_F(WindowResult, TimeLeftTextsKeepOneLineAndTheWindowItsHeight) {
  window_.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
  attach();
  window_.status_label->setText("Building");
  settle();
  const int height = window_.height();
  const int line = window_.eta_label->fontMetrics().lineSpacing();
  // Room for the longest text from the start: the status beside it never reflows.
  const int width = window_.eta_label->width();
  for (qint64 eta : {30, 5399, 7199, 99 * 3600 + 3599, -1, 45}) {
    window_.eta_label->setText(builder::eta_text(eta));
    settle();
    EXPECT_LT(window_.eta_label->height(), 2 * line) << eta;
    EXPECT_EQ(window_.height(), height) << eta;
    EXPECT_EQ(window_.eta_label->width(), width) << eta;
  }
}

TEST_F(WindowResult, HeightFollowsTheContentUnlessTheLogIsShown) {
  window_.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
  EXPECT_EQ(window_.minimumHeight(), window_.maximumHeight());
  EXPECT_GE(window_.minimumWidth(), 520);

  builder::Job* job = attach();
  emit job->finished(false, "The build failed.", QString());
  window_.details_button->click();
  // Taller up to the screen's available height, no further.
  EXPECT_EQ(window_.maximumHeight(), builder::screen_room(&window_));
  EXPECT_LT(window_.minimumHeight(), window_.sizeHint().height() + 160);
  const int taller = (window_.minimumHeight() + window_.maximumHeight()) / 2;
  ASSERT_GT(taller, window_.minimumHeight());
  window_.resize(window_.width(), taller);
  QTRY_COMPARE(window_.height(), taller);

  window_.details_button->click();
  QTRY_COMPARE(window_.height(), window_.maximumHeight());
  EXPECT_EQ(window_.minimumHeight(), window_.maximumHeight());
}

}  // namespace

#include "window_result_test.moc"
