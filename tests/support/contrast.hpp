// Reading contrast off drawn pixels, for the tests of the window's look.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>

#include "kde/kcolorutils.hpp"

namespace testing_support {

// The colour in `area` of `image` that stands out most against `against`: a glyph's core, or
// the most covered pixel of a thin line.
inline QColor strongest(const QImage& image, const QRect& area, const QColor& against) {
  QColor best = against;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QColor pixel = image.pixelColor(x, y);
      if (KColorUtils::contrastRatio(pixel, against) > KColorUtils::contrastRatio(best, against))
        best = pixel;
    }
  }
  return best;
}

}  // namespace testing_support
