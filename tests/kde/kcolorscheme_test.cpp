// The palette built from a colour scheme: which scheme colour feeds each role, the inactive and
// disabled effects, missing keys, and the scheme named by the application property.
#include "kde/kcolorschememanager.hpp"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QVariant>

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
const char* const k_keys[] = {"BackgroundNormal", "BackgroundAlternate", "ForegroundNormal",
                              "ForegroundInactive", "ForegroundLink", "ForegroundVisited"};

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
  };
  const Case cases[] = {
      {QPalette::Window, 0, 0},          {QPalette::WindowText, 0, 2},
      {QPalette::Base, 1, 0},            {QPalette::AlternateBase, 1, 1},
      {QPalette::Text, 1, 2},            {QPalette::PlaceholderText, 1, 3},
      {QPalette::Link, 1, 4},            {QPalette::LinkVisited, 1, 5},
      {QPalette::Button, 2, 0},          {QPalette::ButtonText, 2, 2},
      {QPalette::Highlight, 3, 0},       {QPalette::HighlightedText, 3, 2},
      {QPalette::BrightText, 3, 2},      {QPalette::ToolTipBase, 4, 0},
      {QPalette::ToolTipText, 4, 2},
  };
  const QPalette palette = palette_of(distinct_scheme(k_no_effects));
  for (const Case& c : cases) {
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
      EXPECT_EQ(palette.color(group, c.role), distinct(c.set, c.key)) << c.role << " " << group;
  }
  const QColor button = distinct(2, 0);
  EXPECT_EQ(palette.color(QPalette::Light), button.lighter(150));
  EXPECT_EQ(palette.color(QPalette::Mid), button.darker(150));
  EXPECT_EQ(palette.color(QPalette::Dark), button.darker(200));
  EXPECT_EQ(palette.color(QPalette::Shadow), QColor(Qt::black));
}

TEST_F(Palette, DisabledTextFadesIntoItsBackground) {
  const QPalette palette = palette_of(distinct_scheme(
      "[ColorEffects:Disabled]\nIntensityEffect=0\nColorEffect=0\n"
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
  EXPECT_NEAR(palette.color(QPalette::Disabled, QPalette::Window).red(), 100, 1);
  EXPECT_EQ(palette.color(QPalette::Active, QPalette::Window), QColor(200, 200, 200));
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
  // The selection keeps its colours unless the scheme asks otherwise.
  EXPECT_EQ(on.color(QPalette::Inactive, QPalette::Highlight), distinct(3, 0));
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
