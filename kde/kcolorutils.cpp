#include "kde/kcolorutils.hpp"

#include <QtMath>
#include <algorithm>
#include <cmath>

namespace KColorUtils {

namespace {

// Rec. 709 weights of red, green and blue in the luma.
const double kWeight[3] = {0.2126, 0.7152, 0.0722};

double unit(double value) { return std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0); }

double linear(double channel) { return std::pow(unit(channel), 2.2); }
double encoded(double channel) { return std::pow(unit(channel), 1.0 / 2.2); }

double blend(double from, double to, double bias) { return from + (to - from) * bias; }

// Channels in double precision: Qt 6's float accessors would round differently.
double red(const QColor& c) { return c.rgba64().red() / 65535.0; }
double green(const QColor& c) { return c.rgba64().green() / 65535.0; }
double blue(const QColor& c) { return c.rgba64().blue() / 65535.0; }
double alpha(const QColor& c) { return c.rgba64().alpha() / 65535.0; }

QColor from_channels(double r, double g, double b, double a) {
  auto at = [](double v) { return static_cast<quint16>(qRound(unit(v) * 65535.0)); };
  return QColor::fromRgba64(at(r), at(g), at(b), at(a));
}

// A colour as hue (0..1 around the wheel), chroma and luma, the channels linearised first.
struct Hcy {
  double h = 0, c = 0, y = 0, a = 1;

  explicit Hcy(const QColor& colour) {
    const double r = linear(red(colour));
    const double g = linear(green(colour));
    const double b = linear(blue(colour));
    a = alpha(colour);
    y = r * kWeight[0] + g * kWeight[1] + b * kWeight[2];
    const double top = std::max({r, g, b});
    const double bottom = std::min({r, g, b});
    const double span = 6.0 * (top - bottom);
    if (top == bottom)
      h = 0;
    else if (r == top)
      h = (g - b) / span;
    else if (g == top)
      h = (b - r) / span + 1.0 / 3.0;
    else
      h = (r - g) / span + 2.0 / 3.0;
    c = (r == g && g == b) ? 0.0 : std::max((y - bottom) / y, (top - y) / (1 - y));
  }

  QColor colour() const {
    const double hue = std::isnan(h) ? 0.0 : h - std::floor(h);
    const double chroma = unit(c);
    const double luma = unit(y);
    // The sector of the wheel gives the channel order and the luma of its pure colour.
    const double h6 = hue * 6.0;
    const int sector = std::min(static_cast<int>(h6), 5);
    const int top[6] = {0, 1, 1, 2, 2, 0};
    const int middle[6] = {1, 0, 2, 1, 0, 2};
    const int bottom[6] = {2, 2, 0, 0, 1, 1};
    const double t = (sector % 2 == 0) ? h6 - sector : sector + 1 - h6;
    const double m = kWeight[top[sector]] + kWeight[middle[sector]] * t;
    double p, o, n;
    if (m >= luma) {
      p = luma + luma * chroma * (1.0 - m) / m;
      o = luma + luma * chroma * (t - m) / m;
      n = luma - luma * chroma;
    } else {
      p = luma + (1.0 - luma) * chroma;
      o = luma + (1.0 - luma) * chroma * (t - m) / (1.0 - m);
      n = luma - (1.0 - luma) * chroma * m / (1.0 - m);
    }
    double rgb[3];
    rgb[top[sector]] = encoded(p);
    rgb[middle[sector]] = encoded(o);
    rgb[bottom[sector]] = encoded(n);
    return from_channels(rgb[0], rgb[1], rgb[2], a);
  }
};

double ratio_of_lumas(double y1, double y2) {
  return y1 > y2 ? (y1 + 0.05) / (y2 + 0.05) : (y2 + 0.05) / (y1 + 0.05);
}

}  // namespace

qreal luma(const QColor& colour) { return Hcy(colour).y; }

qreal contrastRatio(const QColor& colour1, const QColor& colour2) {
  return ratio_of_lumas(luma(colour1), luma(colour2));
}

QColor lighten(const QColor& colour, qreal amount, qreal chroma_amount) {
  Hcy c(colour);
  c.y = 1.0 - unit((1.0 - c.y) * (1.0 - amount));
  c.c = 1.0 - unit((1.0 - c.c) * chroma_amount);
  return c.colour();
}

QColor darken(const QColor& colour, qreal amount, qreal chroma_amount) {
  Hcy c(colour);
  c.y = unit(c.y * (1.0 - amount));
  c.c = unit(c.c * chroma_amount);
  return c.colour();
}

QColor shade(const QColor& colour, qreal amount, qreal chroma_amount) {
  Hcy c(colour);
  c.y = unit(c.y + amount);
  c.c = unit(c.c + chroma_amount);
  return c.colour();
}

QColor tint(const QColor& base, const QColor& colour, qreal amount) {
  if (std::isnan(amount) || amount <= 0.0) return base;
  if (amount >= 1.0) return colour;
  const double base_luma = luma(base);
  // The contrast to keep grows with the cube of the amount; search the blend that gives it.
  const double wanted = 1.0 + (ratio_of_lumas(base_luma, luma(colour)) + 1.0) * std::pow(amount, 3);
  auto blend_at = [&](double a) {
    Hcy c(mix(base, colour, std::pow(a, 0.3)));
    c.y = blend(base_luma, c.y, a);
    return c.colour();
  };
  double low = 0.0, high = 1.0;
  QColor result;
  for (int step = 0; step < 12; ++step) {
    const double a = 0.5 * (low + high);
    result = blend_at(a);
    if (ratio_of_lumas(base_luma, luma(result)) > wanted)
      high = a;
    else
      low = a;
  }
  return result;
}

QColor mix(const QColor& colour1, const QColor& colour2, qreal bias) {
  if (std::isnan(bias) || bias <= 0.0) return colour1;
  if (bias >= 1.0) return colour2;
  return from_channels(
      blend(red(colour1), red(colour2), bias), blend(green(colour1), green(colour2), bias),
      blend(blue(colour1), blue(colour2), bias), blend(alpha(colour1), alpha(colour2), bias));
}

}  // namespace KColorUtils
