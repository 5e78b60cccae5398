// The logging categories of the Breeze style and of the colour schemes: warnings and above.
#pragma once

#include <QLoggingCategory>

// The category "breeze".
Q_DECLARE_LOGGING_CATEGORY(BREEZE)
// The category "kcolorscheme".
Q_DECLARE_LOGGING_CATEGORY(KCOLORSCHEME)
