// Real builds of the test port from the window, through a seeded tool cache: the five build
// entries with their dialogs, a build to "Done", Cancel, and a close during a build.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QThread>
#include <QToolButton>

#include "builder/paths.hpp"
#include "builder/window.hpp"
#include "support/gui.hpp"
#include "support/job_runner.hpp"
#include "support/tool_cache.hpp"

using namespace testing_support;

namespace {

// Makes the test port's configure step wait for <build>/release-hold, then fail.
class Hold {
 public:
  Hold() { qputenv("SKARNBOLT_TEST_PORT_FAULT", "configure-hold"); }
  ~Hold() {
    qunsetenv("SKARNBOLT_TEST_PORT_FAULT");
    const fs::path build = fs::path(builder::cache_dir().toStdString()) / "build";
    for (const char* target : {"windows", "android-arm64", "switch", "host"})
      if (fs::exists(build / target)) write_text(build / target / "release-hold", "");
    wait_for_idle(build);
    for (const char* target : {"windows", "android-arm64", "switch", "host"})
      fs::remove(build / target / "release-hold");
  }
};

class WindowBuild : public testing::Test {
 protected:
  void SetUp() override {
    // Seeded once, inside a test: a failure in a suite's shared set-up would leave its tests
    // reported as skipped, and a skip passes.
    static const bool seeded = seed_tool_cache(builder::cache_dir().toStdString(), true, true);
    ASSERT_TRUE(seeded) << "the tool cache could not be seeded";
    apk_ = dir_ / "pinball.apk";
    make_apk(apk_, "pinball");
    window_.show();
    window_.open_apk(qpath(apk_));
    ASSERT_GE(window_.game_index, 0);
  }

  // Waits for the running build to end; the window then holds no Job.
  void wait_for_end() { QTRY_VERIFY_WITH_TIMEOUT(window_.job.isNull(), 300000); }

  QApplication& app_ = gui_app();
  TempDir dir_;
  fs::path apk_;
  builder::Window window_;
};

// The build menu's entries, separators left out.
QList<QAction*> entries(const builder::Window& window) {
  QList<QAction*> actions;
  for (QAction* action : window.build_button->menu()->actions())
    if (!action->isSeparator()) actions.append(action);
  return actions;
}

TEST_F(WindowBuild, TheMenuHoldsFourEntriesBetweenSeparators) {
  const QList<QAction*> actions = window_.build_button->menu()->actions();
  ASSERT_EQ(actions.size(), 6);
  EXPECT_EQ(actions[0]->text(), QString::fromUtf8("Build only (save the game to a folder)…"));
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[2]->text(), "Build for Android (install on a connected device)");
  EXPECT_EQ(actions[3]->text(), QString::fromUtf8("Build Android APK only…"));
  EXPECT_TRUE(actions[4]->isSeparator());
  EXPECT_EQ(actions[5]->text(), QString::fromUtf8("Build for Nintendo Switch (homebrew)…"));
  EXPECT_EQ(window_.build_button->popupMode(), QToolButton::MenuButtonPopup);
  EXPECT_EQ(window_.build_button->minimumWidth(), 150);
}

TEST_F(WindowBuild, EachEntryAsksForItsPlaceAndACancelledDialogBuildsNothing) {
  const QString home = qpath(gui_home().path());
  const struct {
    int entry;  // -1: the button's main part
    bool android, install, switch_;
    const char* caption;  // empty: no dialog
    QString proposed;     // the file the dialog proposes, or the folder it starts in
    QString filter;
    QString answer;
  } cases[] = {
      {-1, false, true, false, "", "", "", ""},
      {0, false, false, false, "Choose where to save the game", home, "", home + "/Games"},
      {1, true, true, false, "", "", "", ""},
      {2, true, false, false, "Save the Android package", downloads() + "/Pinball Nights.apk",
       "Android packages (*.apk)", downloads() + "/pinball.apk"},
      {3, false, false, true, "Save the Nintendo Switch homebrew",
       downloads() + "/skarnbolt-pinball.nro", "Switch homebrew (*.nro)",
       downloads() + "/pinball.nro"},
  };
  QDir().mkpath(home + "/Games");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const auto trigger = [&] {
      if (c.entry < 0)
        window_.build_button->click();
      else
        entries(window_)[c.entry]->trigger();
    };
    const auto dialog = [&](const QString& answer) {
      return [&c, answer](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), c.caption);
        if (c.filter.isEmpty()) {
          EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
          EXPECT_TRUE(dialog->testOption(QFileDialog::ShowDirsOnly));
          EXPECT_EQ(dialog->directory().absolutePath(), c.proposed);
        } else {
          EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
          EXPECT_EQ(dialog->selectedFiles(), QStringList{c.proposed});
          EXPECT_EQ(dialog->nameFilters(), QStringList{c.filter});
        }
        pick(modal, answer);
      };
    };

    if (*c.caption) {
      ModalAnswers cancel({dialog(QString())});
      trigger();
      EXPECT_EQ(cancel.waiting(), 0u);
      EXPECT_TRUE(window_.job.isNull());
      EXPECT_TRUE(window_.progress_panel->isHidden());
      EXPECT_TRUE(window_.build_button->isEnabled());
    }

    Hold hold;
    ModalAnswers answer(*c.caption ? std::deque<std::function<void(QWidget*)>>{dialog(c.answer)}
                                   : std::deque<std::function<void(QWidget*)>>{});
    trigger();
    ASSERT_FALSE(window_.job.isNull());
    const builder::Request& request = window_.job->request;
    EXPECT_EQ(request.android, c.android);
    EXPECT_EQ(request.install, c.install);
    EXPECT_EQ(request.switch_, c.switch_);
    EXPECT_EQ(request.output, c.answer);
    EXPECT_EQ(request.apk, qpath(apk_));
    EXPECT_EQ(request.game.id, "pinball");
    EXPECT_TRUE(request.default_mods);
    EXPECT_FALSE(request.export_folder);
    EXPECT_EQ(window_.play_possible, c.install && !c.android);
    window_.cancel_button->click();
    wait_for_end();
    EXPECT_EQ(window_.message_label->text(), "Cancelled") << testing_support::last_build_log();
  }
}

TEST_F(WindowBuild, ChangedModBoxesGoIntoTheRequest) {
  ASSERT_FALSE(window_.mod_boxes.isEmpty());
  QStringList checked;
  window_.mod_boxes[0]->setChecked(!window_.mod_boxes[0]->isChecked());
  for (const QCheckBox* box : window_.mod_boxes)
    if (box->isChecked()) checked.append(box->property("mod").toString());
  Hold hold;
  window_.build_button->click();
  ASSERT_FALSE(window_.job.isNull());
  EXPECT_FALSE(window_.job->request.default_mods);
  EXPECT_EQ(window_.job->request.mods, checked);
  window_.cancel_button->click();
  wait_for_end();
}

TEST_F(WindowBuild, BuildAndInstallRunsToDone) {
  window_.message_label->setText("old");
  window_.message_label->show();
  window_.log_view->setPlainText("old log");
  window_.build_button->click();
  ASSERT_FALSE(window_.job.isNull());
  EXPECT_EQ(window_.status_label->text(), "Starting");
  EXPECT_EQ(window_.progress_bar->value(), 0);
  EXPECT_TRUE(window_.eta_label->text().isEmpty());
  EXPECT_TRUE(window_.log_view->toPlainText().isEmpty());
  EXPECT_TRUE(window_.message_label->isHidden());
  EXPECT_FALSE(window_.progress_panel->isHidden());
  EXPECT_FALSE(window_.pages->isEnabled());

  // Each report shows in thousandths, with its status and time-left text.
  int reports = 0;
  int mismatches = 0;
  QObject::connect(window_.job, &builder::Job::progress, &window_,
                   [&](double fraction, const QString& status, qint64 eta) {
                     ++reports;
                     if (window_.progress_bar->value() != static_cast<int>(1000 * fraction) ||
                         window_.status_label->text() != status ||
                         window_.eta_label->text() != builder::eta_text(eta))
                       ++mismatches;
                   });
  wait_for_end();
  EXPECT_GT(reports, 0);
  EXPECT_EQ(mismatches, 0);

  ASSERT_EQ(window_.status_label->text(), "Done")
      << window_.message_label->text().toStdString() << "\n"
      << testing_support::last_build_log();
  EXPECT_EQ(window_.progress_bar->value(), 1000);
  EXPECT_FALSE(window_.message_label->text().isEmpty());
  EXPECT_FALSE(window_.message_label->isHidden());
  EXPECT_FALSE(window_.last_result.isEmpty());
  EXPECT_FALSE(window_.play_button->isHidden());
  EXPECT_FALSE(window_.folder_button->isHidden());
  EXPECT_TRUE(window_.cancel_button->isHidden());
  EXPECT_TRUE(window_.build_button->isEnabled());
  EXPECT_TRUE(window_.log_view->toPlainText().contains("Pinball Nights (2.0.3)"));
  EXPECT_TRUE(fs::exists(fs::path(window_.last_result.toStdString()) / "skarnbolt-pinball"));
  // The build grew the cache, and the button says so once measured.
  QTRY_VERIFY(window_.clear_button->property("bytes").toLongLong() > 0);
}

// Makes the test port's configure step print 30,000 lines ("-- Flood line 1" and on).
struct Flood {
  Flood() { qputenv("SKARNBOLT_TEST_PORT_FAULT", "configure-flood"); }
  ~Flood() { qunsetenv("SKARNBOLT_TEST_PORT_FAULT"); }
};

TEST_F(WindowBuild, AFloodOfLogLinesKeepsTheLastInTheViewAndAllInTheFile) {
  Flood flood;
  window_.build_button->click();
  ASSERT_FALSE(window_.job.isNull());
  const QString log = window_.job->log_path();
  wait_for_end();
  ASSERT_EQ(window_.status_label->text(), "Done") << window_.message_label->text().toStdString();
  const QStringList file = file_lines(log.toStdString());
  EXPECT_EQ(file.filter(QRegularExpression("^-- Flood line \\d+$")).size(), 30000);
  // The view catches up within a few turns of the event loop and ends as the file ends.
  QTRY_COMPARE(window_.log_view->document()->lastBlock().text(), file.last());
  EXPECT_EQ(window_.log_view->blockCount(), 5000);
  EXPECT_EQ(window_.log_view->toPlainText().split('\n'), file.mid(file.size() - 5000));
}

// However many lines wait, the window takes at most 1,000 per turn, so that one turn of its
// event loop stays short. The event loop is kept from running until the whole flood waits.
TEST_F(WindowBuild, WaitingLogLinesReachTheViewAThousandPerTurnAtMost) {
  Flood flood;
  window_.build_button->click();
  ASSERT_FALSE(window_.job.isNull());
  QFile log(window_.job->log_path());
  const QByteArray last = "-- Flood line 30000\n";
  QDeadlineTimer deadline(300000);
  bool flooded = false;
  while (!flooded && !deadline.hasExpired()) {
    if (log.isOpen() || log.open(QIODevice::ReadOnly)) {
      log.seek(0);
      flooded = log.readAll().contains(last);
    }
    if (!flooded) QThread::msleep(50);  // polls the file, without the window's event loop
  }
  ASSERT_TRUE(flooded) << "the flood never reached the log file";
  QList<int> counts{window_.log_view->blockCount()};
  QObject::connect(window_.log_view->document(), &QTextDocument::blockCountChanged,
                   [&counts](int count) { counts.append(count); });
  wait_for_end();
  ASSERT_EQ(window_.status_label->text(), "Done") << window_.message_label->text().toStdString();
  QTRY_COMPARE(window_.log_view->blockCount(), 5000);
  for (qsizetype i = 1; i < counts.size(); ++i)
    EXPECT_LE(counts[i] - counts[i - 1], 1000) << "turn " << i;
}

TEST_F(WindowBuild, CancelEndsARunningBuild) {
  Hold hold;
  window_.build_button->click();
  ASSERT_FALSE(window_.job.isNull());
  QTRY_VERIFY_WITH_TIMEOUT(window_.log_view->toPlainText().contains("-G Ninja"), 300000);
  window_.cancel_button->click();
  EXPECT_FALSE(window_.cancel_button->isEnabled());
  wait_for_end();
  EXPECT_EQ(window_.message_label->text(), "Cancelled") << testing_support::last_build_log();
  EXPECT_TRUE(window_.progress_panel->isHidden());
  EXPECT_FALSE(window_.details_button->isHidden());
}

TEST_F(WindowBuild, ClosingDuringABuildAnsweredYesClosesWhenItHasEnded) {
  Hold hold;
  window_.build_button->click();
  ASSERT_FALSE(window_.job.isNull());
  QPointer<builder::Job> job = window_.job;
  ModalAnswers no({[](QWidget* modal) { click(modal, QMessageBox::No); }});
  EXPECT_FALSE(window_.close());
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(job->cancel.load());

  ModalAnswers yes({[](QWidget* modal) { click(modal, QMessageBox::Yes); }});
  EXPECT_FALSE(window_.close());
  EXPECT_TRUE(window_.isVisible());
  EXPECT_TRUE(window_.close_requested);
  wait_for_end();
  EXPECT_TRUE(window_.isHidden());
}

TEST_F(WindowBuild, ReturnInTheCloseQuestionKeepsTheBuildRunning) {
  Hold hold;
  window_.build_button->click();
  ASSERT_FALSE(window_.job.isNull());
  bool still_open = false;
  ModalAnswers keys({[&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    for (QAbstractButton* button : box->buttons()) {
      auto* push = qobject_cast<QPushButton*>(button);
      ASSERT_NE(push, nullptr);
      EXPECT_FALSE(push->isDefault()) << push->text().toStdString();
      EXPECT_FALSE(push->autoDefault()) << push->text().toStdString();
    }
    // Return and Enter, on the button that has the focus and on the box itself.
    for (QWidget* target : {modal->focusWidget(), modal}) {
      if (!target) continue;
      QTest::keyClick(target, Qt::Key_Return);
      QTest::keyClick(target, Qt::Key_Enter);
    }
    still_open = box->isVisible();
    QTest::keyClick(modal, Qt::Key_Escape);
  }});
  EXPECT_FALSE(window_.close());
  EXPECT_EQ(keys.waiting(), 0u);
  EXPECT_TRUE(still_open);
  ASSERT_FALSE(window_.job.isNull());
  EXPECT_FALSE(window_.job->cancel.load());
  EXPECT_FALSE(window_.close_requested);
  EXPECT_TRUE(window_.isVisible());
  window_.cancel_button->click();
  wait_for_end();
}

}  // namespace
