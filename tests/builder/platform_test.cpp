// The platform services that read the system: free memory and the per-user program folder.
#include "builder/platform.hpp"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <optional>

namespace {

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
