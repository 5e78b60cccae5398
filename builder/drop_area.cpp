// The drop page's dashed box with its two lines of text.
#include <QKeyEvent>
#include <QPainter>

#include "builder/window.hpp"

namespace builder {

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
  QPen pen(colours.color(hover ? QPalette::Highlight : QPalette::Mid), 2, Qt::DashLine,
           Qt::SquareCap, Qt::BevelJoin);
  painter.setPen(pen);
  painter.setBrush(hover ? colours.color(QPalette::Highlight).lighter(190)
                         : colours.color(QPalette::Base));
  painter.drawRoundedRect(QRectF(2, 2, width() - 4, height() - 4), 10, 10, Qt::AbsoluteSize);

  const int h2 = height() / 2;
  QFont title = scaled_font(font(), 1.25);
  title.setWeight(QFont::Bold);
  painter.setFont(title);
  painter.setPen(colours.color(QPalette::Text));
  painter.drawText(QRect(QPoint(0, 0), QPoint(width() - 1, h2 + 3)),
                   Qt::AlignHCenter | Qt::AlignBottom, "Drop a game's APK here");
  painter.setFont(font());
  painter.setPen(colours.color(QPalette::PlaceholderText));
  painter.drawText(QRect(QPoint(0, h2 + 10), QPoint(width() - 1, 2 * h2 - 1)),
                   Qt::AlignHCenter | Qt::AlignTop, "or click to choose a file");
}

}  // namespace builder
