// The application palette of the Breeze look, built from a KDE colour scheme.
#pragma once

#include <QPalette>

#include "kde/kconfig.hpp"

// The palette, for every colour group, as KDE's colour-scheme code makes it:
// - Window, WindowText: Colors:Window BackgroundNormal, ForegroundNormal.
// - Base, AlternateBase, Text, Link, LinkVisited: Colors:View BackgroundNormal,
//   BackgroundAlternate, ForegroundNormal, ForegroundLink, ForegroundVisited.
// - Button, ButtonText: Colors:Button BackgroundNormal, ForegroundNormal.
// - Highlight, HighlightedText: Colors:Selection BackgroundNormal, ForegroundNormal; an
//   inactive selection takes the window's colours tinted towards the selection (unless
//   ColorEffects:Inactive has ChangeSelectionColor false), a disabled one the window's.
// - ToolTipBase, ToolTipText: Colors:Tooltip, the same in every group.
// - Light, Midlight, Mid, Dark, Shadow: shades of the group's window background, spread by
//   the "contrast" of group KDE.
// - PlaceholderText: the active Text at half opacity; BrightText white; NoRole black.
// The Inactive and Disabled groups apply ColorEffects:Inactive and ColorEffects:Disabled: a
// text colour is first set off against its background (contrast effect), then every colour
// gets the intensity and colour effects; the inactive effects only when "Enable" is true.
// Missing keys, and numbers that are not finite or out of range, take Breeze Light's values.
class KColorScheme {
 public:
  // The application palette of the scheme in `config`; a null config reads the scheme named
  // by the application property "KDE_COLOR_SCHEME_PATH" (empty: the user's kdeglobals).
  static QPalette createApplicationPalette(const KSharedConfigPtr& config);
};
