// The build job: phases, progress, the log and child processes.
#include "builder/job.hpp"

#include <QThread>

#include "builder/paths.hpp"

namespace builder {

int job_count() { return 1; }

Job::Job(Request request, QObject* parent) : QObject(parent), request(std::move(request)) {}

void Job::start() {
  QThread* thread = QThread::create([this] { run(); });
  connect(thread, &QThread::finished, thread, &QObject::deleteLater);
  thread->start();
}

QString Job::log_path() const { return log_dir() + "/last-build.log"; }

void Job::run() { emit finished(false, "Not there yet.", QString()); }

void Job::log(const QString& line) { emit log_line(line); }
void Job::set_phase(int, double) {}
void Job::report(const QString&) {}
int Job::run_process(const QString&, const QStringList&, const std::function<void(const QString&)>&) {
  return -1;
}
Job::Estimate Job::estimate_build(const QString&) const { return {}; }
bool Job::build(const QString&, const QStringList&, QString&) { return false; }
void Job::reset_if_moved(const QString&) {}
bool Job::configure(const QString&, const QStringList&, QString&) { return false; }
bool Job::prepare_tools(QString&) { return false; }
bool Job::build_host_tools(QString&) { return false; }

}  // namespace builder
