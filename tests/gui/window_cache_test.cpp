// The cache size on the clear button, clearing the cache, and the about box.
#include <gtest/gtest.h>

#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "builder/paths.hpp"
#include "builder/window.hpp"
#include "support/gui.hpp"
#include "support/program.hpp"
#include "support/running.hpp"
#include "support/tool_cache.hpp"

using namespace testing_support;

namespace {

class WindowCache : public testing::Test {
 protected:
  void SetUp() override {
    cache_ = builder::cache_dir().toStdString();
    fs::remove_all(cache_);
    write_bytes(cache_ / "downloads" / "tool.zip", std::vector<unsigned char>(3 << 20, 7));
    write_bytes(cache_ / "build" / "host" / "a.o", std::vector<unsigned char>(1 << 20, 1));
  }
  void TearDown() override { fs::remove_all(cache_); }

  QApplication& app_ = gui_app();
  fs::path cache_;
};

TEST_F(WindowCache, TheSizeArrivesAfterConstruction) {
  builder::Window window;
  EXPECT_EQ(window.clear_button->text(), "Clear cache");
  EXPECT_FALSE(window.clear_button->property("bytes").isValid());
  QTRY_COMPARE(window.clear_button->text(), "Clear cache (4 MiB)");
  EXPECT_EQ(window.clear_button->property("bytes").toLongLong(), 4 << 20);
}

TEST_F(WindowCache, AWindowGoneBeforeTheSizeArrivesIsNotTouched) {
  for (int i = 0; i < 5; ++i) delete new builder::Window;
  builder::Window window;
  QTRY_COMPARE(window.clear_button->text(), "Clear cache (4 MiB)");
}

// Checks the clear question, which must state `size`, and answers it.
std::function<void(QWidget*)> clear_question(const QString& size,
                                             QMessageBox::StandardButton answer) {
  return [size, answer](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowTitle(), "Clear the cache?");
    EXPECT_EQ(box->text(),
              "Delete the downloaded build tools and build files (" + size +
                  ")?\n\nInstalled games stay. The next build downloads and compiles everything "
                  "again, so it takes longer.");
    EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
    click(modal, answer);
  };
}

TEST_F(WindowCache, ClearingAsksFirstAndMeasuresAgain) {
  builder::Window window;
  window.show();
  QTRY_COMPARE(window.clear_button->text(), "Clear cache (4 MiB)");

  ModalAnswers no({clear_question("4 MiB", QMessageBox::No)});
  window.clear_button->click();
  EXPECT_EQ(no.waiting(), 0u);
  EXPECT_TRUE(fs::exists(cache_ / "downloads" / "tool.zip"));

  ModalAnswers yes({clear_question("4 MiB", QMessageBox::Yes)});
  window.clear_button->click();
  EXPECT_EQ(yes.waiting(), 0u);
  EXPECT_FALSE(fs::exists(cache_));
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(window.clear_button->text(), "Clear cache");
  QTRY_COMPARE(window.clear_button->text(), "Clear cache (0 MiB)");
}

TEST_F(WindowCache, BeforeAnyMeasurementTheQuestionSaysNothingIsThere) {
  builder::Window window;
  QTRY_VERIFY(window.clear_button->property("bytes").isValid());
  window.clear_button->setProperty("bytes", QVariant());
  ModalAnswers no({clear_question(builder::format_size(0), QMessageBox::No)});
  window.clear_cache();
  EXPECT_EQ(no.waiting(), 0u);
}

TEST_F(WindowCache, NothingIsClearedDuringABuild) {
  builder::Window window;
  window.job = new builder::Job(builder::Request{}, &window);
  ModalAnswers yes({clear_question("4 MiB", QMessageBox::Yes)});
  window.clear_cache();
  EXPECT_EQ(yes.waiting(), 1u);
  EXPECT_TRUE(fs::exists(cache_ / "downloads" / "tool.zip"));
}

// A command-line build shares the cache with the window: clearing while it runs deletes
// nothing and says why, the build goes on to its own end, and afterwards the cache clears.
TEST(WindowCacheInUse, ClearingWhileACommandLineBuildRunsDeletesNothingAndSaysWhy) {
  gui_app();
  TempDir dir;
  Sandbox sandbox(qpath(dir.path()));
  const QString cache = sandbox.portable_data() + "/cache";
  ASSERT_TRUE(seed_tool_cache(cache.toStdString(), false, false));
  ASSERT_TRUE(make_apk(sandbox.cwd + "/pinball.apk", "pinball"));
  sandbox.env.insert("SKARNBOLT_TEST_PORT_FAULT", "compile-hold");
  Running build(sandbox, {"--build", "pinball.apk", "--only", "out"});
  ASSERT_TRUE(wait_for_hold(sandbox.root));

  builder::set_cache_dir(cache);
  {
    builder::Window window;
    window.show();
    QString said;
    ModalAnswers answers({[](QWidget* modal) { click(modal, QMessageBox::Yes); },
                          [&said](QWidget* modal) {
                            auto* box = qobject_cast<QMessageBox*>(modal);
                            ASSERT_NE(box, nullptr);
                            said = box->text();
                            click(modal, QMessageBox::Ok);
                          }});
    window.clear_cache();
    EXPECT_EQ(answers.waiting(), 0u);
    EXPECT_EQ(said, "A build is using the cache. Try again when it has finished.");
    EXPECT_TRUE(QFileInfo::exists(cache + "/build/windows/build.ninja"));
    EXPECT_TRUE(QFileInfo::exists(cache + "/build.lock"));

    ASSERT_TRUE(write_file(cache + "/build/windows/release-hold", ""));
    const Outcome outcome = build.finish();
    EXPECT_EQ(outcome.code, 1) << describe(outcome);
    EXPECT_TRUE(outcome.out.contains("\nThe build failed.\n")) << describe(outcome);

    ModalAnswers yes({[](QWidget* modal) { click(modal, QMessageBox::Yes); }});
    window.clear_cache();
    EXPECT_EQ(yes.waiting(), 0u);
    EXPECT_FALSE(QFileInfo::exists(cache));
  }
  builder::set_cache_dir(QString());
}

TEST(AboutBox, NamesTheProjectAndEveryLibraryAndTool) {
  gui_app();
  builder::Window window;
  window.show();
  QString text;
  ModalAnswers answers({[&](QWidget* modal) {
    auto* dialog = qobject_cast<QDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "About Skarnbolt Builder");
    EXPECT_EQ(dialog->minimumWidth(), 460);
    auto* label = dialog->findChild<QLabel*>();
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->textFormat(), Qt::RichText);
    EXPECT_TRUE(label->openExternalLinks());
    EXPECT_TRUE(label->wordWrap());
    EXPECT_EQ(label->textInteractionFlags(), Qt::TextBrowserInteraction);
    text = label->text();
    auto* buttons = dialog->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    buttons->button(QDialogButtonBox::Close)->click();
  }});
  window.show_about();
  EXPECT_EQ(answers.waiting(), 0u);

  EXPECT_TRUE(text.startsWith("<h3>skarnbolt-port</h3><p>Unofficial static recompilation"));
  EXPECT_TRUE(text.contains("<a href="));
  EXPECT_TRUE(text.contains("<table cellspacing='0' cellpadding='1'>"));
  EXPECT_EQ(text.count("<tr>"), 25);
  EXPECT_EQ(text.count("<td>&nbsp;"), 25);
  EXPECT_TRUE(text.contains("<tr><td>Qt 6</td><td>&nbsp;LGPL 3.0</td></tr>"));
  EXPECT_TRUE(text.contains("<tr><td>Mesa, libdrm (Switch)</td><td>&nbsp;MIT</td></tr>"));
  EXPECT_TRUE(text.endsWith("builds of Google's source.</p>"));
}

}  // namespace
