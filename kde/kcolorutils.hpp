// Colour arithmetic of KDE's colour schemes, in a gamma-corrected hue/chroma/luma space, under
// the names the Breeze look expects (KColorUtils).
#pragma once

#include <QColor>

namespace KColorUtils {

// The perceived brightness of `colour`, 0 (black) to 1 (white).
qreal luma(const QColor& colour);
// The contrast ratio of two colours, 1 (equal brightness) to 21 (black on white).
qreal contrastRatio(const QColor& colour1, const QColor& colour2);
// `colour` with its luma raised by `amount` of what is left to white, its chroma towards full
// by `chroma_amount` of what is left.
QColor lighten(const QColor& colour, qreal amount = 0.5, qreal chroma_amount = 1.0);
// `colour` with its luma lowered by `amount`, its chroma scaled by `chroma_amount`.
QColor darken(const QColor& colour, qreal amount = 0.5, qreal chroma_amount = 1.0);
// `colour` with `amount` added to its luma and `chroma_amount` to its chroma, each kept in 0..1.
QColor shade(const QColor& colour, qreal amount, qreal chroma_amount = 0.0);
// `base` moved towards the hue of `colour` while keeping most of its contrast; 0 gives `base`,
// 1 gives `colour`.
QColor tint(const QColor& base, const QColor& colour, qreal amount = 0.3);
// The straight blend of two colours, alpha included; 0 gives `colour1`, 1 gives `colour2`.
QColor mix(const QColor& colour1, const QColor& colour2, qreal bias = 0.5);

}  // namespace KColorUtils
