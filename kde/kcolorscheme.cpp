#include "kde/kcolorscheme.hpp"

#include <QCoreApplication>
#include <QVariant>
#include <cmath>
#include <utility>

#include "kde/kcolorutils.hpp"

namespace {

enum Set { Window, View, Button, Selection, Tooltip };

const char* const k_set_groups[] = {"Colors:Window", "Colors:View", "Colors:Button",
                                    "Colors:Selection", "Colors:Tooltip"};

// Breeze Light's colours, for keys a scheme lacks (a hand-written kdeglobals may hold a few).
struct Fallback {
  Set set;
  const char* key;
  QRgb rgb;
};
const Fallback k_fallbacks[] = {
    {Window, "BackgroundNormal", qRgb(239, 240, 241)},
    {Window, "BackgroundAlternate", qRgb(227, 229, 231)},
    {Window, "ForegroundNormal", qRgb(35, 38, 41)},
    {Window, "ForegroundInactive", qRgb(112, 125, 138)},
    {Window, "ForegroundLink", qRgb(41, 128, 185)},
    {Window, "ForegroundVisited", qRgb(155, 89, 182)},
    {View, "BackgroundNormal", qRgb(255, 255, 255)},
    {View, "BackgroundAlternate", qRgb(247, 247, 247)},
    {Button, "BackgroundNormal", qRgb(252, 252, 252)},
    {Selection, "BackgroundNormal", qRgb(61, 174, 233)},
    {Selection, "ForegroundNormal", qRgb(255, 255, 255)},
    {Tooltip, "BackgroundNormal", qRgb(247, 247, 247)},
};

QColor fallback_color(Set set, const char* key) {
  for (const Fallback& f : k_fallbacks) {
    if (f.set == set && qstrcmp(f.key, key) == 0) return QColor(f.rgb);
  }
  for (const Fallback& f : k_fallbacks) {
    if (f.set == Window && qstrcmp(f.key, key) == 0) return QColor(f.rgb);
  }
  return QColor(Qt::black);
}

// The colours of one set that the palette takes.
struct SetColours {
  QColor background, alternate;
  QColor text, inactive_text, link, visited;
};

SetColours read_set(const KConfig& config, Set set) {
  const KConfigGroup group = config.group(k_set_groups[set]);
  auto read = [&](const char* key) { return group.readEntry(key, fallback_color(set, key)); };
  return {read("BackgroundNormal"),   read("BackgroundAlternate"), read("ForegroundNormal"),
          read("ForegroundInactive"), read("ForegroundLink"),      read("ForegroundVisited")};
}

// A number of a scheme; one that is missing, no number, not finite or outside [low, high] is
// `fallback`, the value the scheme would have without the key.
double number(const KConfigGroup& group, const char* key, double low, double high,
              double fallback) {
  const QString* text = group.value(key);
  bool ok = false;
  const double value = text ? text->toDouble(&ok) : 0;
  if (!ok || !std::isfinite(value) || value < low || value > high) return fallback;
  return value;
}

// A choice among `count` effects, numbered from 0; anything else is `fallback`.
int choice(const KConfigGroup& group, const char* key, int count, int fallback) {
  const double value = number(group, key, 0, count - 1, fallback);
  return value == std::floor(value) ? static_cast<int>(value) : fallback;
}

// The effects of one ColorEffects group; missing keys take Breeze Light's values.
struct Effect {
  int intensity = 0;  // 1 shade, 2 darken, 3 lighten
  double intensity_amount = 0;
  int color = 0;  // 1 desaturate, 2 fade, 3 tint
  double color_amount = 0;
  QColor color_target;
  int contrast = 0;  // 1 fade, 2 tint
  double contrast_amount = 0;
};

// No effects for the active group, nor for the inactive one unless its "Enable" is true.
Effect read_effect(const KConfig& config, QPalette::ColorGroup colour_group) {
  Effect effect;
  if (colour_group == QPalette::Active) return effect;
  const bool disabled = colour_group == QPalette::Disabled;
  const KConfigGroup group =
      config.group(disabled ? "ColorEffects:Disabled" : "ColorEffects:Inactive");
  if (!group.readEntry("Enable", disabled)) return effect;
  effect.intensity = choice(group, "IntensityEffect", 4, disabled ? 2 : 0);
  effect.intensity_amount = number(group, "IntensityAmount", -1, 1, disabled ? 0.1 : 0);
  effect.color = choice(group, "ColorEffect", 4, disabled ? 0 : 2);
  effect.color_amount = number(group, "ColorAmount", -1, 1, disabled ? 0 : 0.025);
  effect.color_target =
      group.readEntry("Color", disabled ? QColor(56, 56, 56) : QColor(112, 111, 110));
  effect.contrast = choice(group, "ContrastEffect", 3, disabled ? 1 : 2);
  effect.contrast_amount = number(group, "ContrastAmount", 0, 1, disabled ? 0.65 : 0.1);
  return effect;
}

// The intensity and colour effects, as every colour of a set gets them.
QColor tone(const QColor& colour, const Effect& effect) {
  QColor out = colour;
  if (effect.intensity == 1)
    out = KColorUtils::shade(out, effect.intensity_amount);
  else if (effect.intensity == 2)
    out = KColorUtils::darken(out, effect.intensity_amount);
  else if (effect.intensity == 3)
    out = KColorUtils::lighten(out, effect.intensity_amount);
  if (effect.color == 1)
    out = KColorUtils::darken(out, 0, 1 - effect.color_amount);
  else if (effect.color == 2)
    out = KColorUtils::mix(out, effect.color_target, effect.color_amount);
  else if (effect.color == 3)
    out = KColorUtils::tint(out, effect.color_target, effect.color_amount);
  return out;
}

// A text colour: first set off against its set's background, then toned like the rest.
QColor tone_text(const QColor& text, const QColor& background, const Effect& effect) {
  QColor out = text;
  if (effect.contrast == 1)
    out = KColorUtils::mix(out, background, effect.contrast_amount);
  else if (effect.contrast == 2)
    out = KColorUtils::tint(out, background, effect.contrast_amount);
  return tone(out, effect);
}

// The colours of `set` in `colour_group`. An inactive or disabled selection is drawn from the
// window's colours (the inactive one tinted towards the selection), unless the inactive effects
// say to keep the selection's own.
SetColours set_colours(const KConfig& config, Set set, QPalette::ColorGroup colour_group) {
  SetColours colours;
  if (set == Selection && colour_group != QPalette::Active) {
    const KConfigGroup inactive = config.group("ColorEffects:Inactive");
    const bool change =
        inactive.readEntry("ChangeSelectionColor", inactive.readEntry("Enable", true));
    if (colour_group == QPalette::Inactive && !change) {
      colours = read_set(config, Selection);
    } else {
      colours = read_set(config, Window);
      if (colour_group == QPalette::Inactive) {
        const QColor selection = read_set(config, Selection).background;
        colours.background = KColorUtils::tint(colours.background, selection, 0.4);
        colours.alternate = KColorUtils::tint(colours.alternate, selection, 0.4);
      }
    }
  } else {
    colours = read_set(config, set);
  }
  const Effect effect = read_effect(config, colour_group);
  const QColor background = colours.background;
  for (QColor* text : {&colours.text, &colours.inactive_text, &colours.link, &colours.visited})
    *text = tone_text(*text, background, effect);
  colours.background = tone(colours.background, effect);
  colours.alternate = tone(colours.alternate, effect);
  return colours;
}

enum Shade { LightShade, MidlightShade, MidShade, DarkShade, ShadowShade };

// The 3D shades of a background; `contrast` (0..1) spreads them.
QColor shade(const QColor& colour, Shade which, double contrast) {
  const double y = KColorUtils::luma(colour);
  if (y < 0.006) {  // near black: every shade is lighter
    const double amounts[] = {0.05 + 0.95 * contrast, 0.03 + 0.60 * contrast,
                              0.01 + 0.20 * contrast, 0.02 + 0.40 * contrast,
                              0.03 + 0.60 * contrast};
    return KColorUtils::shade(colour, amounts[which]);
  }
  if (y > 0.93) {  // near white: every shade is darker
    const double amounts[] = {-0.04 - 0.40 * contrast, -0.02 - 0.20 * contrast,
                              -0.04 - 0.40 * contrast, -0.06 - 0.60 * contrast,
                              -0.10 - 0.90 * contrast};
    return KColorUtils::shade(colour, amounts[which]);
  }
  const double light = (0.05 + y * 0.55) * (0.25 + contrast * 0.75);
  const double dark = -y * (0.55 + contrast * 0.35);
  switch (which) {
    case LightShade: return KColorUtils::shade(colour, light);
    case MidlightShade: return KColorUtils::shade(colour, (0.15 + 0.35 * (1 - y)) * light);
    case MidShade: return KColorUtils::shade(colour, (0.35 + 0.15 * y) * dark);
    case DarkShade: return KColorUtils::shade(colour, dark);
    case ShadowShade: break;
  }
  return KColorUtils::darken(KColorUtils::shade(colour, dark), 0.5 + 0.3 * y);
}

void fill_group(QPalette& palette, const KConfig& config, QPalette::ColorGroup group) {
  const SetColours window = set_colours(config, Window, group);
  const SetColours view = set_colours(config, View, group);
  const SetColours button = set_colours(config, Button, group);
  const SetColours selection = set_colours(config, Selection, group);
  // Tooltips look the same in every group.
  const SetColours tooltip = set_colours(config, Tooltip, QPalette::Active);
  const double contrast = 0.1 * choice(config.group("KDE"), "contrast", 11, 7);

  palette.setColor(group, QPalette::Window, window.background);
  palette.setColor(group, QPalette::WindowText, window.text);
  palette.setColor(group, QPalette::Base, view.background);
  palette.setColor(group, QPalette::AlternateBase, view.alternate);
  palette.setColor(group, QPalette::Text, view.text);
  palette.setColor(group, QPalette::Link, view.link);
  palette.setColor(group, QPalette::LinkVisited, view.visited);
  palette.setColor(group, QPalette::Button, button.background);
  palette.setColor(group, QPalette::ButtonText, button.text);
  palette.setColor(group, QPalette::Highlight, selection.background);
  palette.setColor(group, QPalette::HighlightedText, selection.text);
  palette.setColor(group, QPalette::ToolTipBase, tooltip.background);
  palette.setColor(group, QPalette::ToolTipText, tooltip.text);
  palette.setColor(group, QPalette::BrightText, Qt::white);
  palette.setColor(group, QPalette::NoRole, Qt::black);
  const std::pair<QPalette::ColorRole, Shade> shades[] = {{QPalette::Light, LightShade},
                                                          {QPalette::Midlight, MidlightShade},
                                                          {QPalette::Mid, MidShade},
                                                          {QPalette::Dark, DarkShade},
                                                          {QPalette::Shadow, ShadowShade}};
  for (const auto& [role, which] : shades)
    palette.setColor(group, role, shade(window.background, which, contrast));
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
  palette.setColor(group, QPalette::Accent, selection.background);
#endif
}

}  // namespace

QPalette KColorScheme::createApplicationPalette(const KSharedConfigPtr& config) {
  KSharedConfigPtr scheme = config;
  if (!scheme) {
    const QCoreApplication* app = QCoreApplication::instance();
    const QString path = app ? app->property("KDE_COLOR_SCHEME_PATH").toString() : QString();
    scheme = KSharedConfig::openConfig(path);
  }
  QPalette palette;
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    fill_group(palette, *scheme, group);
  // Placeholders are the active text at half opacity, in every group.
  QColor placeholder = palette.color(QPalette::Active, QPalette::Text);
  placeholder.setAlpha(128);
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    palette.setColor(group, QPalette::PlaceholderText, placeholder);
  return palette;
}
