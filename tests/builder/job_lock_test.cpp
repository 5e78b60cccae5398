// One build per cache at a time: a build that finds the cache held waits, however long the
// other has held it, shows what it waits for, stays cancellable, and leaves the other build's
// log alone until it holds the cache itself.
#include <gtest/gtest.h>

#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSysInfo>

#include <chrono>
#include <future>
#include <thread>

#include "builder/build_lock.hpp"
#include "builder/file_lock.hpp"
#include "builder/job.hpp"
#include "builder/paths.hpp"
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
  JobResult result = run_job(pinball_request(ws), {}, [&](const QString& status, qint64 eta) {
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
  // The other build never lets go, so only the cancel can have ended the wait.
  EXPECT_GE(result.seconds_after_cancel, 0);
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

// How long a wait for the lock may take before it counts as hung; only a hang reaches it.
constexpr std::chrono::milliseconds kHang(testing_support::kHangMs);

// What one take_lock call did.
struct Taking {
  bool ended = false;  // within the hang bound
  bool ok = false;
  QString note;
  QString error;
  QString waiting;  // the line it waited with, if it waited
};

// Runs take_lock on `lock` in a thread of its own, after `prepare` there; a wait cancels
// itself. Should the call not end within the hang bound, `unblock` lets it end, so that a
// fault fails the test instead of hanging it.
Taking take_on_thread(builder::platform::FileLock& lock, const std::function<void()>& prepare,
                      const std::function<void()>& unblock) {
  Taking taking;
  std::atomic<bool> cancel{false};
  std::promise<void> done;
  std::future<void> ended = done.get_future();
  std::thread thread([&] {
    if (prepare) prepare();
    const auto on_wait = [&](const QString& line) {
      taking.waiting = line;
      cancel.store(true);
    };
    taking.ok = builder::take_lock(lock, cancel, on_wait, taking.note, taking.error);
    done.set_value();
  });
  taking.ended = ended.wait_for(kHang) == std::future_status::ready;
  if (!taking.ended && unblock) unblock();
  thread.join();
  return taking;
}

TEST(TakeLock, ACancelWhileWaitingEndsTheWaitAsCancelled) {
  TempDir dir;
  const QString path = q(dir / "build.lock");
  builder::platform::FileLock other(path);
  ASSERT_EQ(other.try_lock(builder::lock_holder()), builder::platform::FileLock::State::Taken);
  builder::platform::FileLock mine(path);
  const Taking taking = take_on_thread(mine, {}, [&] { other.release(); });
  EXPECT_TRUE(taking.ended) << "a cancel did not end the wait";
  EXPECT_FALSE(taking.ok);
  EXPECT_EQ(taking.error, "Cancelled");
  EXPECT_EQ(taking.waiting, builder::waiting_line(path));
}

// A lock file that is a folder cannot be opened, before the folder is made or after.
TEST(TakeLock, ALockFileThatCannotBeOpenedFailsWithItsFolder) {
  TempDir dir;
  const QString folder = q(dir / "cache");
  ASSERT_TRUE(QDir().mkpath(folder + "/build.lock"));
  builder::platform::FileLock lock(folder + "/build.lock");
  const Taking taking =
      take_on_thread(lock, {}, [&] { QDir(folder + "/build.lock").removeRecursively(); });
  EXPECT_TRUE(taking.ended) << "a lock file that cannot be opened kept it trying";
  EXPECT_FALSE(taking.ok);
  EXPECT_EQ(taking.error, "Cannot write " + QDir::toNativeSeparators(folder));
}

TEST(TakeLock, AMissingFolderIsMadeForTheLock) {
  TempDir dir;
  const QString path = q(dir / "cleared/cache/build.lock");
  builder::platform::FileLock lock(path);
  const Taking taking = take_on_thread(lock, {}, {});
  EXPECT_TRUE(taking.ok) << taking.error.toStdString();
  EXPECT_TRUE(QFile::exists(path));
}

// Makes flock fail with ENOLCK in the calling thread alone, as on a share that cannot lock.
bool refuse_flock_in_this_thread() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_flock, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOLCK & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {sizeof code / sizeof code[0], code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(TakeLock, AFileSystemThatCannotLockLetsTheBuildGoOnAndSaysSo) {
  TempDir dir;
  const QString path = q(dir / "build.lock");
  builder::platform::FileLock lock(path);
  bool refused = false;
  const Taking taking = take_on_thread(lock, [&] { refused = refuse_flock_in_this_thread(); }, {});
  if (!refused) GTEST_SKIP() << "system calls cannot be filtered here";
  EXPECT_TRUE(taking.ended);
  EXPECT_TRUE(taking.ok);
  EXPECT_EQ(taking.error, "");
  EXPECT_EQ(taking.note, "The file system cannot lock " + QDir::toNativeSeparators(path) +
                             ": building without waiting for other builds");
}

// The holder's lines are only a hint: whatever the file holds, the line stays readable.
TEST(WaitingLine, NamesTheHolderOnlyFromWholeLines) {
  TempDir dir;
  const QString path = q(dir / "build.lock");
  const QString prefix = "Waiting for " + QDir::toNativeSeparators(path) + " (held by ";
  const struct {
    const char* content;  // nullptr: no file
    const char* holder;
  } cases[] = {
      {"4242\nrally-box\n", "process 4242 on rally-box"},
      {"4242\nrally-box", "process 4242 on rally-box"},
      {nullptr, "another build"},
      {"", "another build"},
      {"4242\n", "another build"},
      {"42a\nrally-box\n", "another build"},
      {"-7\nrally-box\n", "another build"},
      {"0\nrally-box\n", "another build"},
      {"\x01\x02\x03", "another build"},
  };
  for (const auto& each : cases) {
    QFile::remove(path);
    if (each.content) write_text(dir / "build.lock", each.content);
    EXPECT_EQ(builder::waiting_line(path), prefix + each.holder + ")")
        << (each.content ? each.content : "(no file)");
  }
}

}  // namespace
