// A Job run to its end on the console, as the command-line build and the launcher's prepare
// run theirs: a termination signal cancels it, and ends the program with 128 + its number.
#pragma once

#include <QString>
#include <functional>

#include "builder/job.hpp"

namespace builder {

// Starts `job` and waits in an event loop of its own until it has finished. Meanwhile the first
// termination signal cancels the build as the window's Cancel does; afterwards a signal ends
// the program at once again. `unwritable_log` gets the Job's log_error(), once and on the build
// thread, as soon as the Job finds that its log cannot be written. Handlers that the caller
// connected before this call run as they were connected: queued ones in that loop, before it
// returns.
void run_on_console(Job& job, const std::function<void(const QString& line)>& unwritable_log);

// The exit code of a console run that would end with `code`: 128 + the number of the first
// termination signal when one came, else `code`.
int console_exit_code(int code);

}  // namespace builder
