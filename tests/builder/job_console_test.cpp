// A Job run to its end on the console: the log that cannot be written is said once, at once,
// and the caller's own handlers have all run when the run returns.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include "builder/job.hpp"
#include "builder/job_console.hpp"
#include "support/job_runner.hpp"
#include "support/test_support.hpp"

namespace {

using namespace testing_support;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

TEST(JobConsole, AnUnwritableLogIsSaidOnceThroughTheJob) {
  for (const bool blocked : {false, true}) {
    SCOPED_TRACE(blocked ? "log blocked" : "log writable");
    JobWorkspace ws;
    if (blocked) fs::create_directories(ws.log());  // a folder where the log file should be
    builder::Job job(pinball_request(ws));
    int lines = 0;
    // Cancelled at the configure step: what matters here has happened by then.
    QObject::connect(
        &job, &builder::Job::log_line, &job,
        [&job, &lines](const QString& line) {
          ++lines;
          if (line.startsWith("$ ") && line.contains(" -S ")) job.cancel = true;
        },
        Qt::DirectConnection);
    QString message;
    QObject::connect(&job, &builder::Job::finished, &job,
                     [&message](bool, const QString& text, const QString&) { message = text; });
    QStringList said;
    bool on_build_thread = true;
    builder::run_on_console(job, [&](const QString& line) {
      said.append(line);
      on_build_thread = on_build_thread && QThread::currentThread() != qApp->thread();
    });

    EXPECT_EQ(message, "Cancelled");  // the queued handler ran before the run returned
    EXPECT_GT(lines, 3);
    if (blocked) {
      EXPECT_EQ(job.log_error(), "cannot write " + q(ws.log()));
      EXPECT_EQ(said, QStringList{job.log_error()});
      EXPECT_TRUE(on_build_thread);
      EXPECT_FALSE(job.log_written());
    } else {
      EXPECT_EQ(job.log_error(), QString());
      EXPECT_TRUE(said.isEmpty()) << said.join('\n').toStdString();
      EXPECT_TRUE(job.log_written());
    }
    wait_for_idle(ws.build("windows"));
  }
}

}  // namespace
