#include "kde/kcolorschememanager.hpp"

#include <QCoreApplication>
#include <QVariant>
#include <algorithm>

int KColorSchemeManagerPrivate::contrastPreference() { return 0; }

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

QColor scheme_color(const KConfig& config, Set set, const char* key) {
  return config.group(k_set_groups[set]).readEntry(key, fallback_color(set, key));
}

// One ColorEffects group; missing keys take Breeze Light's values.
struct Effect {
  bool enabled = true;
  bool change_selection = true;
  int intensity = 0;  // 1 shade, 2 darken, 3 lighten
  double intensity_amount = 0;
  int color = 0;  // 1 desaturate, 2 fade, 3 tint
  double color_amount = 0;
  QColor color_target;
  int contrast = 0;  // 1 fade, 2 tint
  double contrast_amount = 0;
};

double number(const KConfigGroup& group, const char* key, double default_value) {
  const QString* text = group.value(key);
  bool ok = false;
  const double value = text ? text->toDouble(&ok) : 0;
  return ok ? value : default_value;
}

Effect read_effect(const KConfig& config, QPalette::ColorGroup colour_group) {
  const bool disabled = colour_group == QPalette::Disabled;
  const KConfigGroup group =
      config.group(disabled ? "ColorEffects:Disabled" : "ColorEffects:Inactive");
  Effect effect;
  effect.enabled = disabled || group.readEntry("Enable", false);
  effect.change_selection = disabled || group.readEntry("ChangeSelectionColor", true);
  effect.intensity = int(number(group, "IntensityEffect", disabled ? 2 : 0));
  effect.intensity_amount = number(group, "IntensityAmount", disabled ? 0.1 : 0);
  effect.color = int(number(group, "ColorEffect", disabled ? 0 : 2));
  effect.color_amount = number(group, "ColorAmount", disabled ? 0 : 0.025);
  effect.color_target =
      group.readEntry("Color", disabled ? QColor(56, 56, 56) : QColor(112, 111, 110));
  effect.contrast = int(number(group, "ContrastEffect", disabled ? 1 : 2));
  effect.contrast_amount = number(group, "ContrastAmount", disabled ? 0.65 : 0.1);
  return effect;
}

QColor mix(const QColor& from, const QColor& to, double amount) {
  const double a = std::clamp(amount, 0.0, 1.0);
  return QColor::fromRgbF(float(from.redF() + (to.redF() - from.redF()) * a),
                          float(from.greenF() + (to.greenF() - from.greenF()) * a),
                          float(from.blueF() + (to.blueF() - from.blueF()) * a),
                          float(from.alphaF()));
}

// `colour` with the lightness of `model`.
QColor with_lightness(const QColor& colour, const QColor& model) {
  const QColor hsl = colour.toHsl();
  return QColor::fromHslF(hsl.hslHueF(), hsl.hslSaturationF(), model.toHsl().lightnessF(),
                          colour.alphaF());
}

// The intensity and colour effects.
QColor tone(const QColor& colour, const Effect& effect) {
  QColor out = colour;
  if (effect.intensity >= 1 && effect.intensity <= 3) {
    const QColor hsl = colour.toHsl();
    const float amount = float(effect.intensity_amount);
    float lightness = hsl.lightnessF();
    if (effect.intensity == 1) lightness += amount;
    else if (effect.intensity == 2) lightness *= 1 - amount;
    else lightness += (1 - lightness) * amount;
    out = QColor::fromHslF(hsl.hslHueF(), hsl.hslSaturationF(),
                           std::clamp(lightness, 0.0f, 1.0f), hsl.alphaF());
  }
  if (effect.color == 1) {
    const QColor hsl = out.toHsl();
    const float keep = float(1 - std::clamp(effect.color_amount, 0.0, 1.0));
    out = QColor::fromHslF(hsl.hslHueF(), hsl.hslSaturationF() * keep, hsl.lightnessF(),
                           hsl.alphaF());
  } else if (effect.color == 2) {
    out = mix(out, effect.color_target, effect.color_amount);
  } else if (effect.color == 3) {
    out = with_lightness(mix(out, effect.color_target, effect.color_amount), out);
  }
  return out.toRgb();
}

// A text colour with the effects, set off against its (already toned) background.
QColor tone_text(const QColor& text, const QColor& background, const Effect& effect) {
  const QColor toned = tone(text, effect);
  if (effect.contrast == 1) return mix(toned, background, effect.contrast_amount);
  if (effect.contrast == 2)
    return with_lightness(mix(toned, background, effect.contrast_amount), toned).toRgb();
  return toned;
}

struct RoleSource {
  QPalette::ColorRole role;
  Set set;
  const char* key;
  bool text;  // set off against the set's background by the contrast effect
};

const RoleSource k_roles[] = {
    {QPalette::Window, Window, "BackgroundNormal", false},
    {QPalette::WindowText, Window, "ForegroundNormal", true},
    {QPalette::Base, View, "BackgroundNormal", false},
    {QPalette::AlternateBase, View, "BackgroundAlternate", false},
    {QPalette::Text, View, "ForegroundNormal", true},
    {QPalette::PlaceholderText, View, "ForegroundInactive", true},
    {QPalette::Link, View, "ForegroundLink", true},
    {QPalette::LinkVisited, View, "ForegroundVisited", true},
    {QPalette::Button, Button, "BackgroundNormal", false},
    {QPalette::ButtonText, Button, "ForegroundNormal", true},
    {QPalette::Highlight, Selection, "BackgroundNormal", false},
    {QPalette::HighlightedText, Selection, "ForegroundNormal", true},
    {QPalette::BrightText, Selection, "ForegroundNormal", true},
    {QPalette::ToolTipBase, Tooltip, "BackgroundNormal", false},
    {QPalette::ToolTipText, Tooltip, "ForegroundNormal", true},
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    {QPalette::Accent, Selection, "BackgroundNormal", false},
#endif
};

void fill_group(QPalette& palette, const KConfig& config, QPalette::ColorGroup colour_group) {
  Effect effect;
  if (colour_group == QPalette::Active) effect.enabled = false;
  else effect = read_effect(config, colour_group);
  auto applies = [&](Set set) {
    return effect.enabled && (set != Selection || effect.change_selection);
  };
  QColor backgrounds[5];
  for (int set = Window; set <= Tooltip; ++set) {
    const QColor colour = scheme_color(config, Set(set), "BackgroundNormal");
    backgrounds[set] = applies(Set(set)) ? tone(colour, effect) : colour;
  }
  for (const RoleSource& source : k_roles) {
    QColor colour = scheme_color(config, source.set, source.key);
    if (applies(source.set)) {
      colour = source.text ? tone_text(colour, backgrounds[source.set], effect)
                           : tone(colour, effect);
    }
    palette.setColor(colour_group, source.role, colour);
  }
  const QColor button = palette.color(colour_group, QPalette::Button);
  palette.setColor(colour_group, QPalette::Light, button.lighter(150));
  palette.setColor(colour_group, QPalette::Midlight, button.lighter(125));
  palette.setColor(colour_group, QPalette::Mid, button.darker(150));
  palette.setColor(colour_group, QPalette::Dark, button.darker(200));
  palette.setColor(colour_group, QPalette::Shadow, Qt::black);
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
  return palette;
}
