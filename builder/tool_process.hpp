// One outside tool run to its end, ended with everything it started when its build is
// cancelled: the build steps and devkitPro's unpacking all run their tools through it.
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

namespace builder {

struct ToolRun {
  // Looked at every 200 ms while the tool runs; once set, the tool's whole tree ends. May be
  // null: the tool cannot be cancelled.
  const std::atomic<bool>* cancel = nullptr;
  // The tool's environment; by default this process's own.
  QProcessEnvironment env{QProcessEnvironment::InheritFromParent};
  QString working_dir;  // empty: this process's own
  // Standard error joins the output; else it is dropped.
  bool merged = true;
  // Gets the tool's output as it arrives, in pieces of any size.
  std::function<void(const QByteArray& bytes)> output;
};

// Runs `program` with `arguments` as `run` says; its exit code, or -1 when it did not start
// (`start_error` then says why), crashed or was cancelled.
int run_tool(const QString& program, const QStringList& arguments, const ToolRun& run,
             QString& start_error);

}  // namespace builder
