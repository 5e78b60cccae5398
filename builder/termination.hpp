// Termination signals (SIGTERM, SIGINT and SIGHUP; on Windows the console's Ctrl+C, Ctrl+Break
// and close): the one owner of their handlers, for a running build and a started game alike.
#pragma once

#include <QtGlobal>
#include <atomic>

namespace builder::platform {

// From now on the first termination signal stores true in `flag` instead of ending the
// process, so that a running build cancels and ends its tools; with no flag (nullptr) it ends
// the process at once with 128 + the signal's number. A second signal always ends it at once.
void cancel_on_termination(std::atomic<bool>* flag);
// The number of the first termination signal received, or 0 when none came.
int termination_signal();
// From now on a termination signal ends the process group `group` and then this process as
// that signal does by default, which is how a launcher ends a game in a group of its own. Only
// POSIX has such groups; on Windows the game's job object ends it and this does nothing.
void end_group_on_termination(qint64 group);

}  // namespace builder::platform
