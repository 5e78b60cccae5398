// The drop page's dashed box with its two lines of text.
#include <QKeyEvent>
#include <QPainter>

#include "builder/window.hpp"
#include "kde/kcolorutils.hpp"

namespace builder {

namespace {

// The highlight takes the Active group's Highlight: during a drag from another application
// the window is inactive, and an inactive Highlight is too pale to tell from a plain box.
QColor highlight(const QPalette& colours) {
  return colours.color(QPalette::Active, QPalette::Highlight);
}

// The fill while a drag is over: Base tinted about a third of the way towards Highlight, less
// where the title would lose its contrast of 4.5:1. (Highlight made lighter, as before, turned
// white: invisible on a light Base, unreadable under a light text.)
QColor hover_fill(const QPalette& colours) {
  const QColor base = colours.color(QPalette::Base);
  const QColor text = colours.color(QPalette::Text);
  QColor fill;
  for (int percent = 35; percent > 0; percent -= 5) {
    fill = KColorUtils::mix(base, highlight(colours), percent / 100.0);
    if (KColorUtils::contrastRatio(fill, text) >= 4.6) break;
  }
  return fill;
}

// `colour` moved towards Text until it stands 3:1 against the window around the box and the
// fill inside it: Breeze's Mid is barely seen on a light window and not at all on a dark one.
QColor border(const QColor& colour, const QPalette& colours, const QColor& fill) {
  const QColor text = colours.color(QPalette::Text);
  const QColor window = colours.color(QPalette::Window);
  QColor drawn = colour;
  for (int step = 1; step <= 20; ++step) {
    if (KColorUtils::contrastRatio(drawn, window) >= 3.1 &&
        KColorUtils::contrastRatio(drawn, fill) >= 3.1)
      break;
    drawn = KColorUtils::mix(colour, text, step / 20.0);
  }
  return drawn;
}

// `colour` made as much more opaque as it takes to stand 3:1 against `fill` once drawn on it;
// a half-transparent placeholder colour may not on a tinted fill.
QColor readable_on(QColor colour, const QColor& fill) {
  while (colour.alpha() < 255) {
    const QColor drawn = KColorUtils::mix(fill, QColor(colour.rgb()), colour.alphaF());
    if (KColorUtils::contrastRatio(drawn, fill) >= 3.1) break;
    colour.setAlpha(qMin(255, colour.alpha() + 16));
  }
  return colour;
}

}  // namespace

void DropArea::mouseReleaseEvent(QMouseEvent*) {
  if (on_click) on_click();
}

void DropArea::keyPressEvent(QKeyEvent* event) {
  const bool activate = event->key() == Qt::Key_Return || event->key() == Qt::Key_Space;
  if (activate && on_click) {
    on_click();
    return;
  }
  QWidget::keyPressEvent(event);
}

void DropArea::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QPalette& colours = palette();
  const QColor fill = hover ? hover_fill(colours) : colours.color(QPalette::Base);
  const QColor line = hover ? highlight(colours) : colours.color(QPalette::Mid);
  QPen pen(border(line, colours, fill), 2, Qt::DashLine, Qt::SquareCap, Qt::BevelJoin);
  painter.setPen(pen);
  painter.setBrush(fill);
  painter.drawRoundedRect(QRectF(2, 2, width() - 4, height() - 4), 10, 10, Qt::AbsoluteSize);

  const int h2 = height() / 2;
  QFont title = scaled_font(font(), 1.25);
  title.setWeight(QFont::Bold);
  painter.setFont(title);
  painter.setPen(colours.color(QPalette::Text));
  painter.drawText(QRect(QPoint(0, 0), QPoint(width() - 1, h2 + 3)),
                   Qt::AlignHCenter | Qt::AlignBottom, "Drop a game's APK here");
  painter.setFont(font());
  const QColor small = colours.color(QPalette::PlaceholderText);
  painter.setPen(hover ? readable_on(small, fill) : small);
  painter.drawText(QRect(QPoint(0, h2 + 10), QPoint(width() - 1, 2 * h2 - 1)),
                   Qt::AlignHCenter | Qt::AlignTop, "or click to choose a file");
}

}  // namespace builder
