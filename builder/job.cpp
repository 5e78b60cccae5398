// The build job's core: the thread, the log, the phase table and its time estimate, and the
// child processes every step runs.
#include "builder/job.hpp"

#include <QDir>
#include <QThread>
#include <algorithm>
#include <thread>

#include "builder/paths.hpp"
#include "builder/platform.hpp"
#include "builder/tool_process.hpp"

namespace builder {

Target target_of(const Request& request) {
  if (request.android) return Target::Android;
  if (request.switch_) return Target::Switch;
  return Target::Windows;
}

int job_count() { return job_count(std::thread::hardware_concurrency(), platform::free_memory()); }

int job_count(unsigned threads, std::optional<quint64> free_bytes) {
  // Each compile of the recompiled code wants about 600 MiB; keep 1.5 GiB for the rest.
  qint64 cap = 4;
  if (free_bytes) {
    const qint64 mib = qint64(*free_bytes >> 20);
    cap = mib <= 2135 ? 1 : (mib - 1536) / 600;
  }
  return int(std::min<qint64>(std::max(1u, threads), cap));
}

Job::Job(Request request, QObject* parent) : QObject(parent), request(std::move(request)) {}

void Job::start() {
  // The Job keeps the creating thread's affinity, so that thread's event loop delivers
  // automatic connections queued; the thread itself is cleaned up there too.
  QThread* thread = QThread::create([this] { run(); });
  connect(thread, &QThread::finished, thread, &QObject::deleteLater);
  thread->start();
}

QString Job::log_path() const { return log_dir() + "/last-build.log"; }

void Job::log(const QString& line) {
  if (log_file.isOpen()) {
    log_file.write(line.toUtf8() + '\n');
    log_file.flush();
  }
  emit log_line(line);
}

void Job::set_phase(int index, double fraction) {
  fraction = std::clamp(fraction, 0.0, 1.0);
  for (int i = 0; i < phases.size(); ++i) {
    Phase& phase = phases[i];
    phase.done = i < index ? phase.weight : i == index ? phase.weight * fraction : 0;
  }
}

void Job::report(const QString& status) {
  if (!status.isEmpty()) status_text = status;
  double weight = 0;
  double done = 0;
  for (const Phase& phase : phases) {
    weight += phase.weight;
    done += phase.done;
  }
  if (phases.isEmpty() || weight <= 0) {
    emit progress(0, status_text, -1);
    return;
  }
  const double fraction = done / weight;
  const double elapsed = timer.isValid() ? timer.elapsed() / 1000.0 : 0;
  double left = weight - done;
  // The weights are expected seconds; once the build has run a while, the observed pace
  // corrects them, within bounds so that one odd step cannot swing the estimate wildly.
  if (done > 0 && elapsed > 5 && fraction > 0.02) left *= std::clamp(elapsed / done, 0.25, 6.0);
  emit progress(fraction, status_text, qint64(left));
}

int Job::run_process(const QString& program, const QStringList& arguments,
                     const std::function<void(const QString&)>& sink) {
  log("$ " + program + " " + arguments.join(' '));
  QByteArray pending;
  const auto line = [&](const QString& text) {
    log(text);
    if (sink) sink(text);
  };
  ToolRun run;
  run.cancel = &cancel;
  run.env = env;
  run.output = [&](const QByteArray& bytes) {
    pending += bytes;
    qsizetype end;
    while ((end = pending.indexOf('\n')) >= 0) {
      line(QString::fromUtf8(pending.constData(), end).trimmed());
      pending.remove(0, end + 1);
    }
  };
  QString start_error;
  const int code = run_tool(program, arguments, run, start_error);
  if (!start_error.isEmpty()) {
    log("cannot start " + program + ": " + start_error);
    return -1;
  }
  if (!pending.isEmpty()) line(QString::fromUtf8(pending));
  return code;
}

}  // namespace builder
