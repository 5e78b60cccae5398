// The platform services that read the system: free memory and the per-user program folder;
// and ending a process tree.
#include "builder/platform.hpp"
#include "builder/tool_group.hpp"

#include <gtest/gtest.h>

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <cstdio>
#include <optional>

#include "support/test_support.hpp"

namespace {

// ---- The driver side: in a process group of its own, it asks to end the tree of the pid in
// SKARNBOLT_T_KILL_PID ("group": its own group's id as a negative pid) and reports that it is
// still running.

void kill_from_own_group() {
  setpgid(0, 0);
  const QByteArray pid = qgetenv("SKARNBOLT_T_KILL_PID");
  builder::platform::kill_process_tree(pid == "group" ? -qint64(getpgrp()) : pid.toLongLong());
  std::printf("still running\n");
  std::fflush(stdout);
}

const bool g_driver = testing_support::register_driver("SKARNBOLT_T_KILL_PID", kill_from_own_group);

// ---- The test side.

// A pid of 0 or below names a process group (or every process), not a tree: the caller's own
// group for 0, so a cancel of a tool that never started would stop the program itself.
TEST(Platform, KillProcessTreeRefusesPidsThatAreNoProcess) {
  for (const QString pid : {"0", "group"}) {
    SCOPED_TRACE(pid.toStdString());
    QProcess driver;
    driver.setProgram(QFile::symLinkTarget("/proc/self/exe"));
    driver.setArguments({"--gtest_filter=Driver.run"});
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SKARNBOLT_T_KILL_PID", pid);
    driver.setProcessEnvironment(env);
    driver.start();
    ASSERT_TRUE(driver.waitForStarted(30000));
    const bool finished = driver.waitForFinished(20000);
    EXPECT_TRUE(finished) << "the driver stopped itself";
    if (!finished) {
      driver.kill();
      driver.waitForFinished(10000);
    }
    EXPECT_TRUE(driver.readAllStandardOutput().contains("still running"));
  }
}

TEST(Platform, FreeMemoryIsAvailableMemoryWithinTheTotal) {
  QFile meminfo("/proc/meminfo");
  ASSERT_TRUE(meminfo.open(QIODevice::ReadOnly));
  quint64 total = 0;
  for (const QByteArray& line : meminfo.readAll().split('\n'))
    if (line.startsWith("MemTotal:"))
      total = line.mid(9).simplified().split(' ')[0].toULongLong() * 1024;
  const std::optional<quint64> free = builder::platform::free_memory();
  ASSERT_TRUE(free.has_value());
  EXPECT_GT(*free, 0u);
  EXPECT_LE(*free, total);
  EXPECT_EQ(*free % 1024, 0u);  // reported in KiB
}

TEST(Platform, LocalAppDataFallsBackToHome) {
  const QString home = QDir::homePath();
  qputenv("LOCALAPPDATA", "/somewhere/local");
  EXPECT_EQ(builder::platform::local_app_data(), "/somewhere/local");
  qputenv("LOCALAPPDATA", "");
  EXPECT_EQ(builder::platform::local_app_data(), home);
  qunsetenv("LOCALAPPDATA");
  EXPECT_EQ(builder::platform::local_app_data(), home);
}

}  // namespace
