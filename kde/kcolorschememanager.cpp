#include "kde/kcolorschememanager.hpp"

int KColorSchemeManagerPrivate::contrastPreference() { return 0; }
