// Launcher mode: prepares games into a data folder and starts them for an outside launcher.
#pragma once

namespace builder {

// True when some argument after the program name is "--prepare" or starts with "--play=".
bool is_launcher_mode(int argc, char** argv);
// Runs the launcher mode on the application's arguments; the process exit code.
int run_launcher_mode();

}  // namespace builder
