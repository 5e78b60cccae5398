// One outside tool run to its end.
#include "builder/tool_process.hpp"

#include <QProcess>

#include "builder/tool_group.hpp"

namespace builder {

namespace {

// How often a running tool is looked at: its output is read and the cancel flag tested.
constexpr int kPollMs = 200;

}  // namespace

int run_tool(const QString& program, const QStringList& arguments, const ToolRun& run,
             QString& start_error) {
  platform::ToolProcesses tool;
  QProcess process;
  process.setProcessEnvironment(run.env);
  if (!run.working_dir.isEmpty()) process.setWorkingDirectory(run.working_dir);
  if (run.merged)
    process.setProcessChannelMode(QProcess::MergedChannels);
  else
    process.setStandardErrorFile(QProcess::nullDevice());
  tool.prepare(process);
  process.start(program, arguments, QIODevice::ReadWrite);
  if (!process.waitForStarted(-1)) {
    start_error = process.errorString();
    return -1;
  }
  const auto take = [&] {
    const QByteArray bytes = process.readAllStandardOutput();
    if (!bytes.isEmpty() && run.output) run.output(bytes);
  };
  while (!process.waitForFinished(kPollMs)) {
    // waitForFinished also gives up at once when the process is already gone.
    if (process.state() == QProcess::NotRunning) break;
    take();
    if (run.cancel && run.cancel->load()) {
      // Killing only the tool would leave what it started (Ninja, compilers) running.
      tool.end(process);
      process.kill();
      process.waitForFinished(-1);
      return -1;
    }
  }
  take();
  if (process.exitStatus() != QProcess::NormalExit) return -1;
  return process.exitCode();
}

}  // namespace builder
