// The Breeze look: the choice of colour scheme, the compiled-in Breeze schemes and their
// palettes, and use_breeze on a real application with and without the user's KDE settings.
//
// use_breeze reads the process-wide shared configs, so each start-up runs in a fresh process:
// this executable again, as a driver, with its own configuration folders.
#include "builder/breeze_style.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QVariant>
#include <cstdlib>

#include "builder/window.hpp"
#include "kde/kcolorscheme.hpp"
#include "kde/kcolorutils.hpp"
#include "kde/kconfig.hpp"
#include "support/contrast.hpp"
#include "support/test_support.hpp"

void PrintTo(const QColor& colour, std::ostream* out) {
  *out << colour.name(QColor::HexArgb).toStdString();
}

static void init_color_schemes() { Q_INIT_RESOURCE(breeze); }

namespace {

using namespace testing_support;

const char k_light[] = ":/breeze/BreezeLight.colors";
const char k_dark[] = ":/breeze/BreezeDark.colors";

// Lightness of `colour` as a share of the way from `from` to `to`.
double share(const QColor& colour, const QColor& from, const QColor& to) {
  return (colour.lightnessF() - from.lightnessF()) / (to.lightnessF() - from.lightnessF());
}

// ---- The driver side: one application start-up per process.

// The name of `style`, or of the style it wraps: the Fusion fallback comes in a proxy.
QString style_name(const QStyle* style) {
  if (const auto* proxy = qobject_cast<const QProxyStyle*>(style))
    return proxy->baseStyle()->name();
  return style->name();
}

const char k_user_kdeglobals[] =
    "[General]\nfont=Sans Serif,13,-1,5,400,0,0,0,0,0,0,0,0,0,0,1\n"
    "menuFont=Monospace,7,-1,5,400,0,0,0,0,0,0,0,0,0,0,1\n";
const char k_system_kdeglobals[] =
    "[Colors:Window]\nBackgroundNormal=10,20,30\nForegroundNormal=200,210,220\n"
    "[Colors:View]\nBackgroundNormal=1,2,3\n";

void start_up() {
  const std::string scenario = std::getenv("SKARNBOLT_T_THEME");
  int argc = scenario == "style-option" ? 3 : 1;
  char name[] = "driver";
  char option[] = "-style";
  char style[] = "windows";
  char* argv[] = {name, option, style, nullptr};
  QApplication app(argc, argv);
  const QFont default_font = QApplication::font();
  if (scenario != "style-option") builder::use_breeze(app);

  const QVariant property = app.property("KDE_COLOR_SCHEME_PATH");
  const QPalette palette = QApplication::palette();
  const QString expected_style =
      QStyleFactory::keys().contains("Breeze", Qt::CaseInsensitive) ? "breeze" : "fusion";
  // Widgets take their class's font when polished.
  QMenu menu;
  menu.ensurePolished();
  QPushButton button;
  button.ensurePolished();
  if (scenario == "plain") {
    // No KDE settings: Breeze Light (this Qt reports no colour preference), Qt's fonts.
    EXPECT_EQ(property.toString(), k_light);
    EXPECT_EQ(palette.color(QPalette::Window), QColor(239, 240, 241));
    EXPECT_EQ(palette.color(QPalette::Base), QColor(255, 255, 255));
    EXPECT_EQ(palette.color(QPalette::Highlight), QColor(61, 174, 233));
    EXPECT_EQ(style_name(app.style()), expected_style);
    EXPECT_EQ(QApplication::font(), default_font);
    EXPECT_EQ(menu.font(), default_font);
  } else if (scenario == "kde") {
    // The user's colours (kdeglobals of the system folder) and fonts (the user's kdeglobals).
    EXPECT_TRUE(property.isValid());
    EXPECT_EQ(property.toString(), "");
    EXPECT_EQ(palette.color(QPalette::Window), QColor(10, 20, 30));
    EXPECT_EQ(palette.color(QPalette::WindowText), QColor(200, 210, 220));
    EXPECT_EQ(palette.color(QPalette::Base), QColor(1, 2, 3));
    EXPECT_EQ(style_name(app.style()), expected_style);
    EXPECT_EQ(QApplication::font().pointSize(), 13);
    EXPECT_EQ(button.font().pointSize(), 13);
    EXPECT_EQ(QApplication::font("QMenu").pointSize(), 7);
    EXPECT_EQ(menu.font().pointSize(), 7);
    EXPECT_EQ(menu.font().family(), "Monospace");
  } else if (scenario == "bad-fonts") {
    // Fonts Qt rejects are ignored; a kdeglobals without "Colors:Window" is not own colours.
    EXPECT_EQ(property.toString(), k_light);
    EXPECT_EQ(palette.color(QPalette::Window), QColor(239, 240, 241));
    EXPECT_EQ(QApplication::font(), default_font);
    EXPECT_EQ(menu.font(), default_font);
  } else if (scenario == "style-option") {
    EXPECT_FALSE(property.isValid());
    EXPECT_EQ(app.style()->name(), "windows");
    EXPECT_NE(palette.color(QPalette::Window), QColor(239, 240, 241));
  } else {
    FAIL() << "unknown scenario " << scenario;
  }
}

const bool g_driver = register_driver("SKARNBOLT_T_THEME", start_up);

// ---- The test side.

// Runs one start-up with a user and a system configuration folder holding these kdeglobals
// (none when empty).
void run_start_up(const std::string& scenario, const std::string& user_kdeglobals,
                  const std::string& system_kdeglobals) {
  TempDir dir;
  fs::create_directories(dir / "user");
  fs::create_directories(dir / "system");
  if (!user_kdeglobals.empty()) write_text(dir / "user" / "kdeglobals", user_kdeglobals);
  if (!system_kdeglobals.empty()) write_text(dir / "system" / "kdeglobals", system_kdeglobals);
  const std::string command =
      "QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=" + shell_quote((dir / "user").string()) +
      " XDG_CONFIG_DIRS=" + shell_quote((dir / "system").string()) +
      " SKARNBOLT_T_THEME=" + scenario + " " +
      shell_quote(fs::read_symlink("/proc/self/exe").string()) + " --gtest_filter=Driver.run";
  std::string output;
  EXPECT_EQ(run(command, &output), 0) << output;
}

TEST(BreezeStartUp, WithoutKdeSettingsBreezeLight) { run_start_up("plain", "", ""); }

TEST(BreezeStartUp, UserColoursAndFontsWin) {
  run_start_up("kde", k_user_kdeglobals, k_system_kdeglobals);
}

TEST(BreezeStartUp, RejectedFontsAreIgnored) {
  run_start_up("bad-fonts",
               "[General]\nfont=,13\nmenuFont=\n[Colors:View]\nBackgroundNormal=1,2,3\n", "");
}

TEST(BreezeStartUp, StyleOptionLeavesQtAlone) { run_start_up("style-option", "", ""); }

TEST(ColorSchemePath, Choice) {
  EXPECT_EQ(builder::color_scheme_path(true, false), "");
  EXPECT_EQ(builder::color_scheme_path(true, true), "");
  EXPECT_EQ(builder::color_scheme_path(false, false), k_light);
  EXPECT_EQ(builder::color_scheme_path(false, true), k_dark);
}

// The compiled-in schemes, read in this process without any KDE settings around.
class BreezeSchemes : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "breeze_style_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    init_color_schemes();
  }
};

TEST_F(BreezeSchemes, ResourceIsReadAloneAndWhole) {
  TempDir dir;
  write_text(dir / "kdeglobals",
             "[General]\nfont=Serif,20\n[Colors:Window]\nBackgroundNormal=1,1,1\n");
  qputenv("XDG_CONFIG_HOME", dir.path().string().c_str());
  const KSharedConfigPtr config = KSharedConfig::openConfig(k_dark);
  EXPECT_EQ(config->name(), k_dark);
  EXPECT_FALSE(config->hasGroup("General") && config->group("General").value("font"));
  EXPECT_EQ(config->group("Colors:Window").readEntry("BackgroundNormal", QColor()),
            QColor(42, 46, 50));
  EXPECT_TRUE(config->hasGroup(QStringLiteral("Colors:Header") + QChar(0x1D) + "Inactive"));
  EXPECT_TRUE(KSharedConfig::openConfig(k_light)->hasGroup("Colors:Selection"));
  qunsetenv("XDG_CONFIG_HOME");
}

// Every role of the three colour groups as KDE's own colour-scheme code makes them from the two
// schemes (measured once with KDE Frameworks 5.103 on Qt 5.15; "PlaceholderText" is the active
// text at half opacity there).
TEST_F(BreezeSchemes, PalettesAsKdeMakesThem) {
  struct Case {
    const char* scheme;
    QPalette::ColorRole role;
    QRgb active, inactive, disabled;
  };
  const Case cases[] = {
      {k_light, QPalette::WindowText, 0xff232629, 0xff232629, 0xffa0a1a3},
      {k_light, QPalette::Button, 0xfffcfcfc, 0xfffcfcfc, 0xfff0f0f0},
      {k_light, QPalette::Light, 0xffffffff, 0xffffffff, 0xffffffff},
      {k_light, QPalette::Midlight, 0xfff6f7f7, 0xfff6f7f7, 0xffebedee},
      {k_light, QPalette::Dark, 0xff888e93, 0xff888e93, 0xff82878c},
      {k_light, QPalette::Mid, 0xffc4c8cc, 0xffc4c8cc, 0xffbbc0c5},
      {k_light, QPalette::Text, 0xff232629, 0xff232629, 0xffaaabac},
      {k_light, QPalette::BrightText, 0xffffffff, 0xffffffff, 0xffffffff},
      {k_light, QPalette::ButtonText, 0xff232629, 0xff232629, 0xffa8a9aa},
      {k_light, QPalette::Base, 0xffffffff, 0xffffffff, 0xfff3f3f3},
      {k_light, QPalette::Window, 0xffeff0f1, 0xffeff0f1, 0xffe3e5e7},
      {k_light, QPalette::Shadow, 0xff474a4c, 0xff474a4c, 0xff474a4c},
      {k_light, QPalette::Highlight, 0xff3daee9, 0xffc2e0f5, 0xffe3e5e7},
      {k_light, QPalette::HighlightedText, 0xffffffff, 0xff232629, 0xffa0a1a3},
      {k_light, QPalette::Link, 0xff2980b9, 0xff2980b9, 0xffa3cae2},
      {k_light, QPalette::LinkVisited, 0xff9b59b6, 0xff9b59b6, 0xffd6bae1},
      {k_light, QPalette::AlternateBase, 0xfff7f7f7, 0xfff7f7f7, 0xffebebeb},
      {k_light, QPalette::NoRole, 0xff000000, 0xff000000, 0xff000000},
      {k_light, QPalette::ToolTipBase, 0xfff7f7f7, 0xfff7f7f7, 0xfff7f7f7},
      {k_light, QPalette::ToolTipText, 0xff232629, 0xff232629, 0xff232629},
      {k_light, QPalette::PlaceholderText, 0x80232629, 0x80232629, 0x80232629},
      {k_dark, QPalette::WindowText, 0xfffcfcfc, 0xfffcfcfc, 0xff6e7173},
      {k_dark, QPalette::Button, 0xff31363b, 0xff31363b, 0xff2f3338},
      {k_dark, QPalette::Light, 0xff40464c, 0xff40464c, 0xff3e444a},
      {k_dark, QPalette::Midlight, 0xff363b40, 0xff363b40, 0xff353a3f},
      {k_dark, QPalette::Dark, 0xff191b1d, 0xff191b1d, 0xff181a1c},
      {k_dark, QPalette::Mid, 0xff25292c, 0xff25292c, 0xff23272a},
      {k_dark, QPalette::Text, 0xfffcfcfc, 0xfffcfcfc, 0xff656768},
      {k_dark, QPalette::BrightText, 0xffffffff, 0xffffffff, 0xffffffff},
      {k_dark, QPalette::ButtonText, 0xfffcfcfc, 0xfffcfcfc, 0xff727679},
      {k_dark, QPalette::Base, 0xff1b1e20, 0xff1b1e20, 0xff1a1d1f},
      {k_dark, QPalette::Window, 0xff2a2e32, 0xff2a2e32, 0xff282c30},
      {k_dark, QPalette::Shadow, 0xff121415, 0xff121415, 0xff111314},
      {k_dark, QPalette::Highlight, 0xff3daee9, 0xff1f485e, 0xff282c30},
      {k_dark, QPalette::HighlightedText, 0xfffcfcfc, 0xfffcfcfc, 0xff6e7173},
      {k_dark, QPalette::Link, 0xff1d99f3, 0xff1d99f3, 0xff1a4665},
      {k_dark, QPalette::LinkVisited, 0xff9b59b6, 0xff9b59b6, 0xff443051},
      {k_dark, QPalette::AlternateBase, 0xff232629, 0xff232629, 0xff212427},
      {k_dark, QPalette::NoRole, 0xff000000, 0xff000000, 0xff000000},
      {k_dark, QPalette::ToolTipBase, 0xff31363b, 0xff31363b, 0xff31363b},
      {k_dark, QPalette::ToolTipText, 0xfffcfcfc, 0xfffcfcfc, 0xfffcfcfc},
      {k_dark, QPalette::PlaceholderText, 0x80fcfcfc, 0x80fcfcfc, 0x80fcfcfc},
  };
  for (const Case& c : cases) {
    const QPalette palette =
        KColorScheme::createApplicationPalette(KSharedConfig::openConfig(c.scheme));
    const std::pair<QPalette::ColorGroup, QRgb> groups[] = {{QPalette::Active, c.active},
                                                            {QPalette::Inactive, c.inactive},
                                                            {QPalette::Disabled, c.disabled}};
    for (const auto& [group, expected] : groups) {
      // To eight bits a channel, as the figures were taken.
      EXPECT_EQ(QColor::fromRgba(palette.color(group, c.role).rgba()), QColor::fromRgba(expected))
          << c.scheme << " role " << c.role << " group " << group;
    }
  }
}

TEST_F(BreezeSchemes, TheDropHighlightShowsAndKeepsItsTextsReadable) {
  const QPalette light = KColorScheme::createApplicationPalette(KSharedConfig::openConfig(k_light));
  // A user's scheme whose text has little contrast to spare: the tint must give way.
  QPalette grey_text = light;
  grey_text.setColor(QPalette::Text, QColor("#666666"));
  grey_text.setColor(QPalette::Highlight, QColor("#1e3a8a"));
  const std::pair<const char*, QPalette> palettes[] = {
      {"light", light},
      {"dark", KColorScheme::createApplicationPalette(KSharedConfig::openConfig(k_dark))},
      {"grey text", grey_text}};
  for (const auto& [name, palette] : palettes) {
    SCOPED_TRACE(name);
    builder::DropArea area;
    area.setPalette(palette);
    QFont font = area.font();
    font.setPointSize(20);  // glyphs with cores of their full colour
    area.setFont(font);
    area.resize(500, 200);
    area.hover = true;
    const QImage image = area.grab().toImage();
    const QColor fill = image.pixelColor(30, 30);
    const QColor base = palette.color(QPalette::Base);
    EXPECT_GE(KColorUtils::contrastRatio(fill, base), 1.1) << fill.name().toStdString();
    // The two lines' places, inside the dashed border.
    const int h2 = area.height() / 2;
    const QColor title = strongest(image, QRect(8, 8, area.width() - 16, h2 - 4), fill);
    const QColor line = strongest(image, QRect(8, h2 + 10, area.width() - 16, h2 - 20), fill);
    EXPECT_GE(KColorUtils::contrastRatio(title, fill), 4.5) << title.name().toStdString();
    EXPECT_GE(KColorUtils::contrastRatio(line, fill), 3.0) << line.name().toStdString();
  }
}

TEST_F(BreezeSchemes, DisabledTextFadesIntoItsBackground) {
  for (const char* scheme : {k_light, k_dark}) {
    const QPalette palette =
        KColorScheme::createApplicationPalette(KSharedConfig::openConfig(scheme));
    // Disabled text is faded most of the way (0.65) into its slightly darkened background.
    const QColor base = palette.color(QPalette::Disabled, QPalette::Base);
    EXPECT_LT(base.lightnessF(), palette.color(QPalette::Active, QPalette::Base).lightnessF());
    const double faded = share(palette.color(QPalette::Disabled, QPalette::Text),
                               palette.color(QPalette::Active, QPalette::Text), base);
    EXPECT_GT(faded, 0.55) << scheme;
    EXPECT_LT(faded, 0.75) << scheme;
  }
}

}  // namespace
