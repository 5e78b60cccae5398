// The colour-scheme manager, reduced to its contrast query.
#pragma once

class KColorSchemeManagerPrivate {
 public:
  // The user's contrast preference: always 0 (none), so a scheme is always read.
  static int contrastPreference();
};
