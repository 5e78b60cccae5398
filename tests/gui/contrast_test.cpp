// What a user must be able to see, by the pixels drawn in Breeze Light and Dark: the drop box's
// border and its highlight, in the active window and in an inactive one (a drag from another
// application leaves the window inactive), and the fallback style's check boxes, radio
// indicators and focus frames.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPainter>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTest>
#include <QVBoxLayout>
#include <memory>

#include "builder/breeze_style.hpp"
#include "builder/window.hpp"
#include "kde/kcolorscheme.hpp"
#include "kde/kcolorutils.hpp"
#include "kde/kconfig.hpp"
#include "support/contrast.hpp"
#include "support/gui.hpp"

static void init_color_schemes() { Q_INIT_RESOURCE(breeze); }

namespace {

using namespace testing_support;

const char* const k_schemes[] = {":/breeze/BreezeLight.colors", ":/breeze/BreezeDark.colors"};

QPalette scheme_palette(const char* scheme) {
  init_color_schemes();
  return KColorScheme::createApplicationPalette(KSharedConfig::openConfig(scheme));
}

double contrast(const QColor& a, const QColor& b) { return KColorUtils::contrastRatio(a, b); }

class Contrast : public testing::Test {
 protected:
  QApplication& app_ = gui_app();
};

// The drop box, plain and highlighted, as drawn in a shown window that is active or not.
struct DropLook {
  QColor plain_border, plain_fill, hover_border, hover_fill;
};

DropLook drop_look(const QPalette& palette, bool active) {
  QWidget holder;
  holder.setPalette(palette);
  auto* layout = new QVBoxLayout(&holder);
  auto* area = new builder::DropArea(&holder);
  layout->addWidget(area);
  holder.resize(500, 240);
  holder.show();
  EXPECT_TRUE(QTest::qWaitForWindowExposed(&holder));
  QWidget other;
  if (active) {
    holder.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&holder));
  } else {
    other.show();
    other.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&other));
  }
  EXPECT_EQ(area->palette().currentColorGroup(), active ? QPalette::Active : QPalette::Inactive);
  const QColor window = palette.color(area->palette().currentColorGroup(), QPalette::Window);
  // The left edge of the dashed border, below the rounded corner.
  const QRect edge(1, 20, 3, area->height() - 40);
  DropLook look;
  QImage image = area->grab().toImage();
  look.plain_border = strongest(image, edge, window);
  look.plain_fill = image.pixelColor(30, 30);
  area->hover = true;
  image = area->grab().toImage();
  look.hover_border = strongest(image, edge, window);
  look.hover_fill = image.pixelColor(30, 30);
  return look;
}

TEST_F(Contrast, TheDropBoxBorderShowsAndItsHighlightStandsApart) {
  for (const char* scheme : k_schemes) {
    const QPalette palette = scheme_palette(scheme);
    for (bool active : {true, false}) {
      SCOPED_TRACE(std::string(scheme) + (active ? " active" : " inactive"));
      const DropLook look = drop_look(palette, active);
      const QPalette::ColorGroup group = active ? QPalette::Active : QPalette::Inactive;
      const QColor window = palette.color(group, QPalette::Window);
      EXPECT_GE(contrast(look.plain_border, window), 3.0) << look.plain_border.name().toStdString();
      EXPECT_GE(contrast(look.plain_border, look.plain_fill), 3.0);
      EXPECT_GE(contrast(look.hover_border, window), 3.0) << look.hover_border.name().toStdString();
      // A tint that a user tells from the plain box without looking twice.
      EXPECT_GE(contrast(look.hover_fill, look.plain_fill), 1.3)
          << look.hover_fill.name().toStdString() << " on " << look.plain_fill.name().toStdString();
    }
  }
}

TEST_F(Contrast, TheFallbackIndicatorsStandAgainstTheWindow) {
  const std::unique_ptr<QStyle> style(builder::fallback_style());
  for (const char* scheme : k_schemes) {
    const QPalette palette = scheme_palette(scheme);
    const QColor window = palette.color(QPalette::Window);
    QCheckBox check("Free camera");
    QRadioButton radio("60 FPS");
    const std::pair<QWidget*, QStyle::SubElement> cases[] = {
        {&check, QStyle::SE_CheckBoxIndicator}, {&radio, QStyle::SE_RadioButtonIndicator}};
    for (const auto& [widget, indicator] : cases) {
      SCOPED_TRACE(std::string(scheme) + " " + widget->metaObject()->className());
      widget->setStyle(style.get());
      widget->setPalette(palette);
      widget->resize(widget->sizeHint());
      const QImage image = widget->grab().toImage();
      QStyleOptionButton option;
      option.initFrom(widget);
      const QRect box = style->subElementRect(indicator, &option, widget);
      ASSERT_FALSE(box.isEmpty());
      const QColor frame = strongest(image, box, window);
      EXPECT_GE(contrast(frame, window), 3.0) << frame.name().toStdString();
    }
  }
}

TEST_F(Contrast, TheFallbackFocusFrameStandsAgainstTheWindow) {
  const std::unique_ptr<QStyle> style(builder::fallback_style());
  for (const char* scheme : k_schemes) {
    SCOPED_TRACE(scheme);
    const QPalette palette = scheme_palette(scheme);
    const QColor window = palette.color(QPalette::Window);
    QImage image(80, 40, QImage::Format_ARGB32);
    image.fill(window);
    QStyleOptionFocusRect option;
    option.palette = palette;
    option.rect = QRect(10, 10, 60, 20);
    option.state =
        QStyle::State_Enabled | QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange;
    {
      QPainter painter(&image);
      style->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter);
    }
    const QColor frame = strongest(image, image.rect(), window);
    EXPECT_GE(contrast(frame, window), 3.0) << frame.name().toStdString();
  }
}

}  // namespace
