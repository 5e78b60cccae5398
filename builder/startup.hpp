// The window road of start-up, in pieces that the program's main calls in order.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class QApplication;

namespace builder {

// True when a raw argument after the program name asks for a Qt style ("-style", "--style",
// "-style=…" or "--style=…").
bool style_requested(int argc, char** argv);

// Gives the new application its look (Breeze when `breeze`), names and icon, then takes up
// portable data; call before the window exists.
void prepare_gui(QApplication& app, bool breeze);

// The first argument to open as an APK: none when there is no argument or it starts with "--".
std::optional<QString> apk_argument(const QStringList& arguments);

}  // namespace builder
