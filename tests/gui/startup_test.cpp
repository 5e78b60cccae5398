// The window road of start-up: its pieces in a fresh process each, and the program itself.
#include "builder/startup.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QStyle>
#include <QTest>
#include <cstdio>
#include <map>
#include <sstream>

#include "builder/paths.hpp"
#include "builder/window.hpp"
#include "support/gui.hpp"

using namespace testing_support;

namespace {

// Goes the window road with the arguments in SKARNBOLT_T_ARGS (split at blanks) up to the event
// loop, and prints what a user would see.
void start_up() {
  static std::vector<std::string> words = {"skarnbolt-builder"};
  std::istringstream args(std::getenv("SKARNBOLT_T_ARGS"));
  for (std::string word; args >> word;) words.push_back(word);
  static std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  static int argc = static_cast<int>(words.size());

  const bool breeze = !builder::style_requested(argc, argv.data());
  QApplication app(argc, argv.data());
  builder::prepare_gui(app, breeze);
  builder::Window window;
  window.show();
  if (const auto apk = builder::apk_argument(QApplication::arguments())) window.open_apk(*apk);

  const auto put = [](const char* key, const QString& value) {
    std::printf("@@%s=%s\n", key, value.toUtf8().constData());
  };
  put("name", QApplication::applicationName());
  put("display", QApplication::applicationDisplayName());
  put("desktop", QGuiApplication::desktopFileName());
  put("icon", QString::number(!QApplication::windowIcon().pixmap(32, 32).isNull()));
  put("data_root", builder::data_root());
  put("page", QString::number(window.pages->currentIndex()));
  put("message", window.message_label->isHidden() ? QString() : window.message_label->text());
  put("style", QApplication::style()->name());
  put("window", QApplication::palette().color(QPalette::Window).name());
  put("standard", QApplication::style()->standardPalette().color(QPalette::Window).name());
  put("scheme", qApp->property("KDE_COLOR_SCHEME_PATH").toString());
  put("has_scheme", QString::number(qApp->property("KDE_COLOR_SCHEME_PATH").isValid()));
  std::fflush(stdout);
}

const bool g_driver = register_driver("SKARNBOLT_T_ARGS", start_up);

using Seen = std::map<std::string, std::string>;

// Runs the start-up driver with these arguments in a private home; what it printed.
Seen start(const TempDir& home, const std::string& args) {
  const std::string h = shell_quote(home.path().string());
  std::string output;
  const int status = run("env -u LOCALAPPDATA -u APPIMAGE HOME=" + h + " XDG_CONFIG_HOME=" + h +
                             "/config SKARNBOLT_BUILDER_HOME=" + h +
                             " QT_QPA_PLATFORM=offscreen SKARNBOLT_T_ARGS=" + shell_quote(args) +
                             " " + shell_quote(fs::read_symlink("/proc/self/exe").string()) +
                             " --gtest_filter=Driver.run",
                         &output);
  EXPECT_EQ(status, 0) << output;
  Seen seen;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("@@", 0) != 0) continue;
    const auto eq = line.find('=');
    seen[line.substr(2, eq - 2)] = line.substr(eq + 1);
  }
  EXPECT_EQ(seen.size(), 12u) << output;
  return seen;
}

TEST(StyleRequested, AnyStyleOptionAfterTheProgramName) {
  const struct {
    std::vector<std::string> args;
    bool asked;
  } cases[] = {
      {{"prog"}, false},
      {{"-style"}, false},
      {{"prog", "-style", "fusion"}, true},
      {{"prog", "--style", "fusion"}, true},
      {{"prog", "-style=fusion"}, true},
      {{"prog", "--style=fusion"}, true},
      {{"prog", "game.apk", "-style", "fusion"}, true},
      {{"prog", "-stylesheet", "a.qss"}, false},
      {{"prog", "-Style", "fusion"}, false},
      {{"prog", "style"}, false},
  };
  for (auto c : cases) {
    std::vector<char*> argv;
    for (std::string& arg : c.args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(builder::style_requested(static_cast<int>(c.args.size()), argv.data()), c.asked)
        << c.args.back();
  }
}

TEST(ApkArgument, TheFirstArgumentUnlessItStartsWithTwoDashes) {
  EXPECT_FALSE(builder::apk_argument({}));
  EXPECT_FALSE(builder::apk_argument({"prog"}));
  EXPECT_FALSE(builder::apk_argument({"prog", "--verbose", "game.apk"}));
  EXPECT_EQ(builder::apk_argument({"prog", "game.apk", "other.apk"}), "game.apk");
  EXPECT_EQ(builder::apk_argument({"prog", "-x"}), "-x");
  EXPECT_EQ(builder::apk_argument({"prog", "—dash.apk"}), "—dash.apk");
}

TEST(StartUp, NoArgumentsShowTheDropPageWithNamesIconAndPortableData) {
  TempDir home;
  const Seen seen = start(home, "");
  EXPECT_EQ(seen.at("name"), "skarnbolt-builder");
  EXPECT_EQ(seen.at("display"), "Skarnbolt Builder");
  EXPECT_EQ(seen.at("desktop"), "skarnbolt-builder");
  EXPECT_EQ(seen.at("icon"), "1");
  EXPECT_EQ(seen.at("data_root"), (home / "skarnbolt-builder-data").string());
  EXPECT_EQ(seen.at("page"), "0");
  EXPECT_EQ(seen.at("message"), "");
  // Breeze Light: no KDE settings, and no colour preference on this platform.
  EXPECT_EQ(seen.at("scheme"), ":/breeze/BreezeLight.colors");
  EXPECT_EQ(seen.at("window"), "#eff0f1");
}

TEST(StartUp, AStyleOptionKeepsQtsPalette) {
  for (const char* args : {"-style fusion", "--style=fusion", "-style=fusion"}) {
    SCOPED_TRACE(args);
    TempDir home;
    const Seen seen = start(home, args);
    EXPECT_EQ(seen.at("has_scheme"), "0");
    EXPECT_EQ(seen.at("window"), seen.at("standard"));
    EXPECT_EQ(seen.at("style"), QString(args).section(QRegularExpression("[ =]"), 1).toStdString());
    EXPECT_EQ(seen.at("page"), "0");
    EXPECT_EQ(seen.at("name"), "skarnbolt-builder");
  }
}

TEST(StartUp, TheFirstArgumentIsOpenedUnlessItIsAnOption) {
  TempDir home;
  make_apk(home / "pinball.apk", "pinball");
  EXPECT_EQ(start(home, (home / "pinball.apk").string()).at("page"), "1");
  const Seen option = start(home, "--verbose " + (home / "pinball.apk").string());
  EXPECT_EQ(option.at("page"), "0");
  EXPECT_EQ(option.at("message"), "");
  // An argument that is no APK shows why, on the drop page.
  const Seen text = start(home, (home / "missing.apk").string());
  EXPECT_EQ(text.at("page"), "0");
  EXPECT_NE(text.at("message"), "");
}

// The window's cache measurement may still walk when the program ends: the end stays clean.
// The cache grows between runs so that some walk ends while the process is being torn down.
TEST(StartUp, EndingWhileTheCacheIsMeasuredIsClean) {
  TempDir home;
  const fs::path cache = home / "skarnbolt-builder-data" / "cache";
  for (int folders = 1; folders <= 8; ++folders) {
    const fs::path folder = cache / std::to_string(folders);
    fs::create_directories(folder);
    for (int i = 0; i < 200; ++i) write_text(folder / std::to_string(i), "");
    for (int run = 0; run < 2; ++run) start(home, "");
  }
}

TEST(StartUp, TheProgramStartsTheWindowAndRunsUntilStopped) {
  TempDir home;
  QProcess program;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("LOCALAPPDATA");
  env.remove("APPIMAGE");
  env.insert("HOME", qpath(home.path()));
  env.insert("XDG_CONFIG_HOME", qpath(home / "config"));
  env.insert("SKARNBOLT_BUILDER_HOME", qpath(home.path()));
  env.insert("QT_QPA_PLATFORM", "offscreen");
  program.setProcessEnvironment(env);
  program.start(SKARNBOLT_PROGRAM, QStringList());
  ASSERT_TRUE(program.waitForStarted(10000));
  // The portable data folder appears when the window road has taken it up.
  for (int i = 0; i < 200 && !fs::exists(home / "skarnbolt-builder-data"); ++i)
    program.waitForFinished(50);
  EXPECT_TRUE(fs::exists(home / "skarnbolt-builder-data"));
  EXPECT_FALSE(program.waitForFinished(500)) << program.readAllStandardError().toStdString();
  EXPECT_EQ(program.state(), QProcess::Running);
  program.terminate();
  program.waitForFinished(10000);
  const QString errors = QString::fromUtf8(program.readAllStandardError());
  EXPECT_FALSE(errors.contains("Warning", Qt::CaseInsensitive)) << errors.toStdString();
}

}  // namespace
