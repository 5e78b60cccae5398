// One build of one game for one target, run on a thread of its own.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <optional>

#include "builder/catalog.hpp"
#include "builder/downloads.hpp"

namespace builder {

// What a front end hands to a Job; target_of tells what it builds for.
struct Request {
  QString apk;       // absolute path of the user's APK
  Game game;         // the identified catalogue entry
  QStringList mods;  // chosen mods, used only when default_mods is false
  bool default_mods = true;
  bool android = false;
  bool switch_ = false;
  bool install = true;         // install (Start menu, adb) rather than only save
  QString output;              // where to save the result; empty means the default place
  bool export_folder = false;  // launcher mode: export the Windows game into `output`
  QString assets;              // the extra data of starwars2, else empty
};

// What a build is for: this computer (a Windows game), an Android device or the Switch.
enum class Target { Windows, Android, Switch };
// The target of `request`: Android when `android` is set, even beside `switch_`; the Switch
// when only `switch_` is; else this computer.
Target target_of(const Request& request);

// The parallel compile job count: the processor count capped by the free memory.
int job_count();
// The same for `threads` processors and `free_bytes` of available memory (no value when the
// system cannot tell).
int job_count(unsigned threads, std::optional<quint64> free_bytes);

// The pinned tools a build needs, in the order they are fetched.
QList<Tool> build_tools(Target target);

// One of Ninja's status lines, "[<done>/<steps>] <description>".
struct NinjaStatus {
  int steps = 0;    // all steps of the build, 0 when the count is no number
  double cost = 0;  // expected seconds of the step described
  QString text;     // what the progress shows for it; empty for the plain building text
};
// The status in one line of Ninja's output; no value for any other line.
std::optional<NinjaStatus> parse_ninja_status(const QString& line);

class Job : public QObject {
  Q_OBJECT

 public:
  // One row of the phase table; weights are expected seconds, 0 <= done <= weight.
  struct Phase {
    QString name;
    double weight = 0;
    double done = 0;
  };

  // What is left to compile in a build folder.
  struct Estimate {
    bool recompile = false;
    int missing = 0;
    double recompile_seconds = 0;
    double missing_seconds = 0;
    int other_steps = 0;
  };

  Job(Request request, QObject* parent = nullptr);

  // Starts the build thread and returns at once; call once.
  void start();
  // The build log, log_dir() + "/last-build.log".
  QString log_path() const;
  // True once this build has opened its log for writing; a build that waited in vain for
  // another one, or could not open the file, leaves the log as it was.
  bool log_written() const { return wrote_log; }
  // The line saying this build's log cannot be opened for writing, set before log_line sends
  // it; empty while the log could be opened or before the build tried.
  QString log_error() const { return log_failure; }

  // The thread body; its outcome is `finished`.
  void run();

  // Writes the line to the log (flushed) and emits log_line.
  void log(const QString& line);
  // Marks phases before `index` done, `index` as `fraction` done, later ones not started.
  void set_phase(int index, double fraction);
  // Keeps a non-empty `status` and emits progress with the fraction and the time estimate.
  void report(const QString& status);
  // Runs a program to its end; its exit code, or -1 when it did not start, crashed or was
  // cancelled. Each output line goes to the log and to `sink` when set.
  int run_process(const QString& program, const QStringList& arguments,
                  const std::function<void(const QString&)>& sink = {});

  // What is left to build in `build_dir`; reads no file, only tests which exist.
  Estimate estimate_build(const QString& build_dir) const;
  // Compiles `targets` in `build_dir`, turning Ninja's status lines into progress.
  bool build(const QString& build_dir, const QStringList& targets, QString& error);
  // Deletes `build_dir` when its CMake cache names other sources than `source`.
  void reset_if_moved(const QString& build_dir);
  // Runs CMake's configure step with Ninja, Release and `options`.
  bool configure(const QString& build_dir, const QStringList& options, QString& error);
  // Finds or fetches every tool of the target and builds the child environment.
  bool prepare_tools(QString& error);
  // Builds the port's host tool codelift (Android and Switch).
  bool build_host_tools(QString& error);
  // Installs, exports or saves the built game; `message` and `result_path` on success.
  bool finish(QString& message, QString& result_path, QString& error);

  Request request;
  std::atomic<bool> cancel{false};
  QFile log_file;
  QElapsedTimer timer;
  QList<Phase> phases;
  QString status_text;
  int jobs = 1;
  QProcessEnvironment env;
  QString cmake;
  QString ninja;
  QString llvm_mingw;
  QString ndk;
  QString sdk;
  QString jdk;
  QString devkitpro;
  QString source;
  QString build_dir;
  QString host_tools_dir;
  bool wrote_log = false;
  QString log_failure;

 signals:
  void progress(double fraction, const QString& status, qint64 eta);
  void log_line(const QString& line);
  void finished(bool ok, const QString& message, const QString& result_path);
};

}  // namespace builder
