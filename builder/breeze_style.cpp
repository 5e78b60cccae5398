#include "builder/breeze_style.hpp"

#include <QApplication>
#include <QFont>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleHints>
#include <QVariant>

#include "kde/kcolorschememanager.hpp"
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
  if (!style) style = QStyleFactory::create(QStringLiteral("Fusion"));
  QApplication::setStyle(style);
  // Setting the style drops the per-class fonts, the menu font with them.
  if (menu_font) QApplication::setFont(font, "QMenu");
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
  QObject::connect(QGuiApplication::styleHints(), &QStyleHints::colorSchemeChanged, &app,
                   [&app] { apply_palette(app); });
#endif
}

}  // namespace builder
