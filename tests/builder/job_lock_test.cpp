// One build per cache at a time: a build that finds the cache held waits, however long the
// other has held it, shows what it waits for, stays cancellable, and leaves the other build's
// log alone until it holds the cache itself.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QSysInfo>

#include "builder/build_lock.hpp"
#include "builder/job.hpp"
#include "builder/paths.hpp"
#include "builder/file_lock.hpp"
#include "support/job_runner.hpp"
#include "support/test_support.hpp"

namespace {

using namespace testing_support;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

// The cache held as another build holds it, with that build's log in place. Its lock file was
// written long ago: a build holds the cache for as long as it runs, however long that is.
class HeldCache : public testing::Test {
 protected:
  HeldCache() : other(builder::cache_lock_path()) {
    EXPECT_EQ(other.try_lock(builder::lock_holder()), builder::platform::FileLock::State::Taken);
    QFile file(other.path());
    EXPECT_TRUE(file.open(QIODevice::ReadWrite));
    EXPECT_TRUE(file.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                 QFileDevice::FileModificationTime));
    write_text(ws.log(), "the other build's log\n");
  }

  JobWorkspace ws;
  builder::platform::FileLock other;
};

TEST_F(HeldCache, ABuildWaitsWithoutAnEstimateThenRunsWhenTheCacheIsFree) {
  bool waited = false;
  qint64 waiting_eta = 0;
  std::string log_while_waiting;
  JobResult result =
      run_job(pinball_request(ws), {}, [&](const QString& status, qint64 eta) {
        if (status == builder::kWaitingStatus && !waited) {
          waited = true;
          waiting_eta = eta;
          log_while_waiting = read_text(ws.log());
          other.release();  // the other build ends
        }
        return false;
      });
  ASSERT_TRUE(result.ok) << describe(result);
  EXPECT_TRUE(waited);
  EXPECT_EQ(waiting_eta, -1);
  EXPECT_EQ(result.statuses.value(0), builder::kWaitingStatus);
  EXPECT_EQ(result.statuses.value(1), "Preparing");
  EXPECT_EQ(log_while_waiting, "the other build's log\n");
  // The first line names what it waited for; it went to the view, not into the log, which is
  // this build's alone once it holds the cache.
  const QString waiting = "Waiting for " + builder::cache_lock_path() + " (held by process " +
                          QString::number(QCoreApplication::applicationPid()) + " on " +
                          QSysInfo::machineHostName() + ")";
  ASSERT_FALSE(result.lines.isEmpty());
  EXPECT_EQ(result.lines.takeFirst(), waiting);
  EXPECT_EQ(QString::fromStdString(read_text(ws.log())), log_text(result));
}

TEST_F(HeldCache, ACancelWhileWaitingEndsAtOnceAndTouchesNothing) {
  const JobResult result = run_job(pinball_request(ws), {}, [](const QString& status, qint64) {
    return status == builder::kWaitingStatus;
  });
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, "Cancelled");
  EXPECT_EQ(result.finished_count, 1);
  EXPECT_GE(result.seconds_after_cancel, 0);
  EXPECT_LT(result.seconds_after_cancel, 5);
  EXPECT_EQ(read_text(ws.log()), "the other build's log\n");
  EXPECT_FALSE(fs::exists(ws.cache() / "source"));
  EXPECT_FALSE(fs::exists(ws.cache() / "build"));
}

TEST(CacheLock, ACacheThatCannotBeMadeFailsWithItsPathAndWritesNoLog) {
  JobWorkspace ws;
  write_text(ws.root() / "file", "not a folder\n");
  const QString cache = q(ws.root() / "file/cache");
  builder::set_cache_dir(cache);
  const JobResult result = run_job(pinball_request(ws));
  builder::set_cache_dir(QString());
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, "Cannot write " + cache);
  EXPECT_EQ(result.lines, QStringList{"error: Cannot write " + cache});
  EXPECT_FALSE(fs::exists(ws.log()));
}

}  // namespace
