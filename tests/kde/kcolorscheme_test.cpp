// The palette built from a colour scheme: which scheme colour feeds each role, the inactive and
// disabled effects, missing keys, and the scheme named by the application property.
#include "kde/kcolorscheme.hpp"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QVariant>

#include "kde/kcolorutils.hpp"

#include "support/test_support.hpp"

// Failures name colours, not bytes.
void PrintTo(const QColor& colour, std::ostream* out) {
  *out << colour.name(QColor::HexArgb).toStdString();
}

namespace {

using namespace testing_support;

QString qpath(const fs::path& path) { return QString::fromStdString(path.string()); }

// Every colour of the sets apart from the others: set s, key k give (s*40+k*5, 100+s, 200+k).
const char* const k_sets[] = {"Window", "View", "Button", "Selection", "Tooltip"};
const char* const k_keys[] = {"BackgroundNormal",   "BackgroundAlternate", "ForegroundNormal",
                              "ForegroundInactive", "ForegroundLink",      "ForegroundVisited"};

QColor distinct(int set, int key) { return QColor(set * 40 + key * 5, 100 + set, 200 + key); }

std::string distinct_scheme(const std::string& effects) {
  std::string text;
  for (int s = 0; s < 5; ++s) {
    text += std::string("[Colors:") + k_sets[s] + "]\n";
    for (int k = 0; k < 6; ++k) {
      const QColor c = distinct(s, k);
      text += std::string(k_keys[k]) + "=" + std::to_string(c.red()) + "," +
              std::to_string(c.green()) + "," + std::to_string(c.blue()) + "\n";
    }
  }
  return text + effects;
}

class Palette : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "kcolorscheme_test";
    static char* argv[] = {name, nullptr};
    static QGuiApplication app(argc, argv);
  }

  // The palette of a scheme file with this text (a private path per test).
  QPalette palette_of(const std::string& text) {
    const fs::path path = dir_ / (std::to_string(count_++) + ".colors");
    write_text(path, text);
    return KColorScheme::createApplicationPalette(KSharedConfig::openConfig(qpath(path)));
  }

  TempDir dir_;
  int count_ = 0;
};

const char k_no_effects[] =
    "[ColorEffects:Disabled]\nIntensityEffect=0\nColorEffect=0\nContrastEffect=0\n"
    "[ColorEffects:Inactive]\nEnable=false\n";

TEST_F(Palette, EachRoleTakesItsSchemeColour) {
  struct Case {
    QPalette::ColorRole role;
    int set;
    int key;
    int disabled_set;  // a disabled selection takes the window's colours
  };
  const Case cases[] = {
      {QPalette::Window, 0, 0, 0},
      {QPalette::WindowText, 0, 2, 0},
      {QPalette::Base, 1, 0, 1},
      {QPalette::AlternateBase, 1, 1, 1},
      {QPalette::Text, 1, 2, 1},
      {QPalette::Link, 1, 4, 1},
      {QPalette::LinkVisited, 1, 5, 1},
      {QPalette::Button, 2, 0, 2},
      {QPalette::ButtonText, 2, 2, 2},
      {QPalette::Highlight, 3, 0, 0},
      {QPalette::HighlightedText, 3, 2, 0},
      {QPalette::ToolTipBase, 4, 0, 4},
      {QPalette::ToolTipText, 4, 2, 4},
  };
  const QPalette palette = palette_of(distinct_scheme(k_no_effects));
  for (const Case& c : cases) {
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
      const int set = group == QPalette::Disabled ? c.disabled_set : c.set;
      EXPECT_EQ(palette.color(group, c.role), distinct(set, c.key)) << c.role << " " << group;
    }
  }
  QColor placeholder = distinct(1, 2);
  placeholder.setAlpha(128);
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    EXPECT_EQ(palette.color(group, QPalette::PlaceholderText), placeholder) << group;
    EXPECT_EQ(palette.color(group, QPalette::BrightText), QColor(Qt::white)) << group;
  }
  // The 3D shades step down from the window's background, not the button's.
  const QColor window = distinct(0, 0);
  const QColor shades[] = {palette.color(QPalette::Light),
                           palette.color(QPalette::Midlight),
                           window,
                           palette.color(QPalette::Mid),
                           palette.color(QPalette::Dark),
                           palette.color(QPalette::Shadow)};
  for (int i = 1; i < 6; ++i)
    EXPECT_GT(KColorUtils::luma(shades[i - 1]), KColorUtils::luma(shades[i])) << i;
  EXPECT_EQ(palette.color(QPalette::Disabled, QPalette::Mid), palette.color(QPalette::Mid));
}

TEST_F(Palette, DisabledTextFadesIntoItsBackground) {
  const QPalette palette =
      palette_of(distinct_scheme("[ColorEffects:Disabled]\nIntensityEffect=0\nColorEffect=0\n"
                                 "ContrastEffect=1\nContrastAmount=0.5\n"));
  const QColor text = distinct(1, 2);
  const QColor base = distinct(1, 0);
  const QColor faded = palette.color(QPalette::Disabled, QPalette::Text);
  EXPECT_NEAR(faded.red(), (text.red() + base.red()) / 2.0, 1);
  EXPECT_NEAR(faded.blue(), (text.blue() + base.blue()) / 2.0, 1);
  EXPECT_EQ(palette.color(QPalette::Disabled, QPalette::Base), base);
  EXPECT_EQ(palette.color(QPalette::Active, QPalette::Text), text);
}

TEST_F(Palette, DisabledDarkensBackgrounds) {
  const QPalette palette = palette_of(
      "[Colors:Window]\nBackgroundNormal=200,200,200\n"
      "[ColorEffects:Disabled]\nIntensityEffect=2\nIntensityAmount=0.5\nContrastEffect=0\n");
  // Darkening halves the perceived brightness and keeps the grey a grey.
  const QColor dark = palette.color(QPalette::Disabled, QPalette::Window);
  EXPECT_NEAR(KColorUtils::luma(dark), KColorUtils::luma(QColor(200, 200, 200)) / 2, 0.005);
  EXPECT_EQ(dark.red(), dark.green());
  EXPECT_EQ(dark.green(), dark.blue());
  EXPECT_EQ(palette.color(QPalette::Active, QPalette::Window), QColor(200, 200, 200));
}

// A number that is no finite number, or lies outside what its key can mean, counts as missing.
TEST_F(Palette, UnusableNumbersCountAsMissing) {
  // Every number of the effects and the contrast set apart from its default.
  const std::pair<std::string, std::string> numbers[] = {
      {"ColorEffects:Disabled", "IntensityEffect=3"},
      {"ColorEffects:Disabled", "IntensityAmount=0.3"},
      {"ColorEffects:Disabled", "ColorEffect=3"},
      {"ColorEffects:Disabled", "ColorAmount=0.4"},
      {"ColorEffects:Disabled", "ContrastEffect=2"},
      {"ColorEffects:Disabled", "ContrastAmount=0.5"},
      {"ColorEffects:Inactive", "IntensityEffect=1"},
      {"ColorEffects:Inactive", "IntensityAmount=-0.2"},
      {"ColorEffects:Inactive", "ColorEffect=1"},
      {"ColorEffects:Inactive", "ColorAmount=0.5"},
      {"ColorEffects:Inactive", "ContrastEffect=1"},
      {"ColorEffects:Inactive", "ContrastAmount=0.3"},
      {"KDE", "contrast=2"},
  };
  // The scheme with the line `changed` of `numbers` replaced by key=`value`, or left out.
  auto scheme = [&](std::size_t changed, const char* value) {
    std::string text =
        "[ColorEffects:Disabled]\nColor=200,30,30\n"
        "[ColorEffects:Inactive]\nEnable=true\n";
    for (std::size_t i = 0; i < std::size(numbers); ++i) {
      std::string line = numbers[i].second;
      if (i == changed) line = value ? line.substr(0, line.find('=') + 1) + value : "";
      text += "[" + numbers[i].first + "]\n" + line + "\n";
    }
    return distinct_scheme(text);
  };
  const char* const values[] = {"1e300", "-1e19", "3000000000", "nan", "inf", "-inf", "2.5", "11"};
  for (std::size_t i = 0; i < std::size(numbers); ++i) {
    const QPalette expected = palette_of(scheme(i, nullptr));
    for (const char* value : values) {
      const QPalette palette = palette_of(scheme(i, value));
      for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        for (int role = 0; role < QPalette::NColorRoles; ++role) {
          const auto r = QPalette::ColorRole(role);
          EXPECT_EQ(palette.color(group, r), expected.color(group, r))
              << numbers[i].second << " as " << value << ", group " << group << " role " << role;
        }
      }
    }
  }
}

TEST_F(Palette, InactiveEffectsOnlyWhenEnabled) {
  const std::string fade =
      "[ColorEffects:Inactive]\nColorEffect=2\nColorAmount=1\nColor=10,20,30\n"
      "ContrastEffect=0\nIntensityEffect=0\nChangeSelectionColor=false\n";
  const QPalette off = palette_of(distinct_scheme(fade + "Enable=false\n"));
  EXPECT_EQ(off.color(QPalette::Inactive, QPalette::Window), distinct(0, 0));
  const QPalette on = palette_of(distinct_scheme(fade + "Enable=true\n"));
  EXPECT_EQ(on.color(QPalette::Inactive, QPalette::Window), QColor(10, 20, 30));
  EXPECT_EQ(on.color(QPalette::Inactive, QPalette::Text), QColor(10, 20, 30));
  // Without ChangeSelectionColor the selection keeps its own colours, with the effects.
  EXPECT_EQ(off.color(QPalette::Inactive, QPalette::Highlight), distinct(3, 0));
  EXPECT_EQ(on.color(QPalette::Inactive, QPalette::Highlight), QColor(10, 20, 30));
  EXPECT_EQ(on.color(QPalette::Active, QPalette::Window), distinct(0, 0));
}

TEST_F(Palette, MissingKeysTakeBreezeLight) {
  const QPalette palette = palette_of("[Colors:Window]\nBackgroundNormal=1,2,3\n");
  EXPECT_EQ(palette.color(QPalette::Window), QColor(1, 2, 3));
  EXPECT_EQ(palette.color(QPalette::WindowText), QColor(35, 38, 41));
  EXPECT_EQ(palette.color(QPalette::Base), QColor(255, 255, 255));
  EXPECT_EQ(palette.color(QPalette::Highlight), QColor(61, 174, 233));
  EXPECT_EQ(palette.color(QPalette::Inactive, QPalette::Base), QColor(255, 255, 255));
  // Disabled text still stands apart from enabled text.
  EXPECT_NE(palette.color(QPalette::Disabled, QPalette::Text), QColor(35, 38, 41));
}

TEST_F(Palette, WithoutConfigReadsTheApplicationsScheme) {
  const fs::path path = dir_ / "property.colors";
  write_text(path, "[Colors:View]\nBackgroundNormal=9,8,7\n");
  qApp->setProperty("KDE_COLOR_SCHEME_PATH", qpath(path));
  EXPECT_EQ(KColorScheme::createApplicationPalette({}).color(QPalette::Base), QColor(9, 8, 7));
  qApp->setProperty("KDE_COLOR_SCHEME_PATH", QVariant());
}

}  // namespace
