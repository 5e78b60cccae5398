// The window's look: the Breeze style and colours, light or dark after the system, or the
// user's own KDE fonts and colours where they exist.
#pragma once

#include <QString>

class QApplication;
class QStyle;

namespace builder {

// Sets the user's KDE fonts, the palette and the style ("Breeze" from Qt's style plugins, else
// Fusion), and rebuilds the palette whenever the system's colour scheme changes. Call once,
// right after the application object exists, unless a Qt style was asked for.
void use_breeze(QApplication& app);

// A new Qt Fusion style whose check box and radio frames and focus frames stand 3:1 against
// the window, for where no Breeze style is installed; the caller owns it.
QStyle* fallback_style();

// The colour scheme in force: "" (the user's own colours) when `kde_colors` (the user's
// kdeglobals has "Colors:Window"), else the compiled-in Breeze Dark when `dark`, else Breeze
// Light.
QString color_scheme_path(bool kde_colors, bool dark);

}  // namespace builder
