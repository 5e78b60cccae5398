// The processes of one tool run, ended together when the build is cancelled.
#pragma once

#include <QtGlobal>
#include <memory>

class QProcess;

namespace builder::platform {

// Ends the process `pid` and every process started below it, so that a cancelled tool leaves
// none of its own children running; this process itself stays. Does nothing for a pid of 0 or
// below, which would name a process group (this program's own for 0) rather than a process.
// POSIX only: on Windows a tool's job object does that.
void kill_process_tree(qint64 pid);

// The processes of one tool run, ended together on cancel. Windows: a job object of the tool's
// own that the tool starts inside, so that whatever it starts, even while being ended, is in
// it; closing the job ends what is left. Elsewhere: the tool's process tree, walked on end.
class ToolProcesses {
 public:
  ToolProcesses();
  ~ToolProcesses();
  ToolProcesses(const ToolProcesses&) = delete;
  ToolProcesses& operator=(const ToolProcesses&) = delete;
  // Before `process` starts: makes it start inside the group; it starts as usual when the
  // system cannot do that.
  void prepare(QProcess& process);
  // Ends `process` and everything it started.
  void end(const QProcess& process);

 private:
  struct Data;
  std::unique_ptr<Data> data_;
};

}  // namespace builder::platform
