// A started game's life tied to the launcher's.
#pragma once

class QProcess;

namespace builder::platform {

// Before `process` starts: arranges that its program and every process it starts end when
// this process ends, however it ends (POSIX: a PID namespace where the system allows one, else
// the program alone plus, away from a terminal, a process group ended on the signals this
// process can catch). Its input, output, exit code and working folder stay as QProcess sets
// them. Start the process from the main thread, which lives as long as this process.
void tie_child_before_start(QProcess& process);
// After `process` has started: the rest of that arrangement; failures are ignored and the
// program keeps running.
void tie_child_after_start(QProcess& process);

}  // namespace builder::platform
