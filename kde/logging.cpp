#include "kde/logging.hpp"

Q_LOGGING_CATEGORY(BREEZE, "breeze", QtWarningMsg)
Q_LOGGING_CATEGORY(KCOLORSCHEME, "kcolorscheme", QtWarningMsg)
