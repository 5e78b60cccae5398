// Launcher mode: prepares games into a data folder and starts them for an outside launcher.
#include "builder/launcher.hpp"

#include <cstring>

namespace builder {

bool is_launcher_mode(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--prepare") == 0 || std::strncmp(argv[i], "--play=", 7) == 0)
      return true;
  }
  return false;
}

int run_launcher_mode() { return 2; }

}  // namespace builder
