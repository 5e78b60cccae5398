// A window shadow handle that the Breeze style creates per shadowed window; it draws nothing,
// as no shadow is drawn outside windows here.
#pragma once

#include <QObject>

class KWindowShadow : public QObject {
  Q_OBJECT

 public:
  // A shadow handle owned by `parent` (the window).
  explicit KWindowShadow(QObject* parent = nullptr);
};
