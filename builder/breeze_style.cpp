#include "builder/breeze_style.hpp"

#include <QApplication>
#include <QFont>
#include <QPainter>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleHints>
#include <QStyleOption>
#include <QVariant>

#include "kde/kcolorscheme.hpp"
#include "kde/kcolorutils.hpp"
#include "kde/kconfig.hpp"

// At global scope, as the resource registration requires.
static void init_color_schemes() { Q_INIT_RESOURCE(breeze); }

namespace builder {

namespace {

const char k_scheme_property[] = "KDE_COLOR_SCHEME_PATH";

KSharedConfigPtr open_config(const QString& name) {
  return KSharedConfig::openConfig(name, KConfig::FullConfig,
                                   QStandardPaths::GenericConfigLocation);
}

bool system_is_dark() {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
  return QGuiApplication::styleHints()->colorScheme() == Qt::ColorScheme::Dark;
#else
  return false;  // this Qt cannot tell: no preference, which means light
#endif
}

void apply_palette(QApplication& app) {
  const bool kde_colors = open_config(QString())->hasGroup(QStringLiteral("Colors:Window"));
  const QString path = color_scheme_path(kde_colors, system_is_dark());
  app.setProperty(k_scheme_property, path);
  app.setPalette(KColorScheme::createApplicationPalette(open_config(path)));
}

// `colour` moved towards the window's text until it stands `ratio`:1 against the window.
QColor against_window(const QColor& colour, const QPalette& colours, double ratio) {
  const QColor window = colours.color(QPalette::Window);
  const QColor text = colours.color(QPalette::WindowText);
  QColor drawn = colour;
  for (int step = 1; step <= 20 && KColorUtils::contrastRatio(drawn, window) < ratio; ++step)
    drawn = KColorUtils::mix(colour, text, step / 20.0);
  return drawn;
}

// Fusion draws the frames of check boxes and radio indicators in the Window colour made darker
// by 1.4 (lighter by 1.1 again for a check box): 1.2:1 on Breeze Dark's window, 1.7:1 on
// Light's. It is handed a Window whose darker shade stands 3:1 against the real one. Its focus
// frame is a pen of a third opacity, so that one is drawn here, solid.
class FallbackStyle : public QProxyStyle {
 public:
  FallbackStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element == PE_FrameFocusRect) {
      if (!(option->state & State_KeyboardFocusChange)) return;
      painter->save();
      painter->setRenderHint(QPainter::Antialiasing, false);
      painter->setBrush(Qt::NoBrush);
      painter->setPen(QPen(against_window(highlight(option->palette), option->palette, 3.1), 1));
      painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
      painter->restore();
      return;
    }
    const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
    if (button && (element == PE_IndicatorCheckBox || element == PE_IndicatorRadioButton)) {
      QStyleOptionButton copy = *button;
      const double shade = element == PE_IndicatorCheckBox ? 1.4 / 1.1 : 1.4;
      copy.palette.setColor(QPalette::Window, frame_window(option->palette, shade));
      QProxyStyle::drawPrimitive(element, &copy, painter, widget);
      return;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
  }

 private:
  static QColor highlight(const QPalette& colours) {
    return colours.color(QPalette::Active, QPalette::Highlight);
  }

  // The Window colour whose shade by `shade` (as QColor::darker takes it) is the frame wanted.
  static QColor frame_window(const QPalette& colours, double shade) {
    const QColor window = colours.color(QPalette::Window);
    // Above 3:1: a radio frame is a thin antialiased circle, no pixel of it fully covered.
    const QColor frame = against_window(window.darker(qRound(shade * 100)), colours, 4.0).toHsv();
    return QColor::fromHsv(frame.hsvHue(), frame.hsvSaturation(),
                           qMin(255, qRound(frame.value() * shade)));
  }
};

// Reads a font description into `font`; false when there is none or Qt rejects it.
bool read_font(const KConfigGroup& group, const char* key, QFont& font) {
  const QString* text = group.value(key);
  return text && !text->isEmpty() && font.fromString(*text);
}

}  // namespace

QString color_scheme_path(bool kde_colors, bool dark) {
  if (kde_colors) return QString();
  return dark ? QStringLiteral(":/breeze/BreezeDark.colors")
              : QStringLiteral(":/breeze/BreezeLight.colors");
}

QStyle* fallback_style() { return new FallbackStyle; }

void use_breeze(QApplication& app) {
  init_color_schemes();
  // Only the group is kept: the shared config stays alive in the reader's cache.
  const KConfigGroup general = open_config(QString())->group(QStringLiteral("General"));
  QFont font;
  if (read_font(general, "font", font)) QApplication::setFont(font);
  const bool menu_font = read_font(general, "menuFont", font);
  if (menu_font) QApplication::setFont(font, "QMenu");
  apply_palette(app);
  QStyle* style = QStyleFactory::create(QStringLiteral("Breeze"));
  if (!style) style = fallback_style();
  QApplication::setStyle(style);
  // Setting the style drops the per-class fonts, the menu font with them.
  if (menu_font) QApplication::setFont(font, "QMenu");
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
  QObject::connect(QGuiApplication::styleHints(), &QStyleHints::colorSchemeChanged, &app,
                   [&app] { apply_palette(app); });
#endif
}

}  // namespace builder
