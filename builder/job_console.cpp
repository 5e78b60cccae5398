// A Job run to its end on the console.
#include "builder/job_console.hpp"

#include <QEventLoop>
#include <QObject>

#include "builder/termination.hpp"

namespace builder {

void run_on_console(Job& job, const std::function<void(const QString& line)>& unwritable_log) {
  QEventLoop loop;
  bool told = false;
  // Said at once, from the build thread: a console shows no other log line.
  QObject::connect(
      &job, &Job::log_line, &loop,
      [&job, &told, &unwritable_log](const QString&) {
        if (told || job.log_error().isEmpty()) return;
        told = true;
        unwritable_log(job.log_error());
      },
      Qt::DirectConnection);
  // Queued, so that a build that ends before the loop runs still ends it.
  QObject::connect(&job, &Job::finished, &loop, [&loop] { loop.quit(); });
  // A termination signal cancels the build, which ends its tools, instead of leaving them.
  platform::cancel_on_termination(&job.cancel);
  job.start();
  loop.exec();
  platform::cancel_on_termination(nullptr);
}

int console_exit_code(int code) {
  const int signal = platform::termination_signal();
  return signal ? 128 + signal : code;
}

}  // namespace builder
