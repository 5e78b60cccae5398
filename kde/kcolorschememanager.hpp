// The colour-scheme side of the Breeze look: the contrast query and the application palette
// built from a KDE colour scheme.
#pragma once

#include <QPalette>

#include "kde/kconfig.hpp"

class KColorSchemeManagerPrivate {
 public:
  // The user's contrast preference: always 0 (none), so a scheme is always read.
  static int contrastPreference();
};

// The palette, for every colour group, from a colour scheme's groups:
// - Window, WindowText: Colors:Window BackgroundNormal, ForegroundNormal.
// - Base, AlternateBase, Text, PlaceholderText, Link, LinkVisited: Colors:View
//   BackgroundNormal, BackgroundAlternate, ForegroundNormal, ForegroundInactive,
//   ForegroundLink, ForegroundVisited.
// - Button, ButtonText: Colors:Button BackgroundNormal, ForegroundNormal; the 3D shades Light,
//   Midlight, Mid and Dark are the button colour lighter 150 % and 125 %, darker 150 % and
//   200 %; Shadow is black.
// - Highlight, HighlightedText, BrightText: Colors:Selection BackgroundNormal, ForegroundNormal
//   and ForegroundNormal.
// - ToolTipBase, ToolTipText: Colors:Tooltip BackgroundNormal, ForegroundNormal.
// The Inactive and Disabled groups apply ColorEffects:Inactive and ColorEffects:Disabled
// (intensity, colour, then the text's contrast against its background) to those colours; the
// inactive effects only when "Enable" is true, and to the selection only when
// "ChangeSelectionColor" is true. Missing keys take Breeze Light's values.
class KColorScheme {
 public:
  // The application palette of the scheme in `config`; a null config reads the scheme named
  // by the application property "KDE_COLOR_SCHEME_PATH" (empty: the user's kdeglobals).
  static QPalette createApplicationPalette(const KSharedConfigPtr& config);
};
