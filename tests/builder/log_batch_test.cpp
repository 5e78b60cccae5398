// The log lines between a build's thread and the log view, without a window.
#include "builder/log_batch.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace {

using builder::kLogBlocks;
using builder::kLogChunk;
using builder::LogBatch;

QString line(int n) { return QString("line %1").arg(n); }

// Takes until nothing waits; every take holds at most kLogChunk lines.
QStringList take_all(LogBatch& batch) {
  QStringList all;
  for (;;) {
    const QStringList lines = batch.take();
    EXPECT_LE(lines.size(), kLogChunk);
    if (lines.isEmpty()) return all;
    all += lines;
  }
}

TEST(LogBatch, NothingWaitingTakesNothing) {
  LogBatch batch;
  EXPECT_TRUE(batch.take().isEmpty());
  batch.push("one");
  EXPECT_EQ(batch.take(), QStringList{"one"});
  EXPECT_TRUE(batch.take().isEmpty());
}

TEST(LogBatch, TakesInOrderTheNewestLinesTheViewKeeps) {
  struct Case {
    int pushed;
    int first_kept;  // the number of the oldest line that comes out
  };
  const Case cases[] = {
      {3, 0},
      {kLogChunk, 0},
      {kLogChunk + 1, 0},
      {kLogBlocks, 0},
      {kLogBlocks + 1, 1},
      {2 * kLogBlocks, kLogBlocks},
      {2 * kLogBlocks + 7, kLogBlocks + 7},
      {12345, 12345 - kLogBlocks},
  };
  for (const Case& c : cases) {
    LogBatch batch;
    for (int n = 0; n < c.pushed; ++n) batch.push(line(n));
    const QStringList all = take_all(batch);
    ASSERT_EQ(all.size(), c.pushed - c.first_kept) << c.pushed << " pushed";
    for (qsizetype i = 0; i < all.size(); ++i)
      ASSERT_EQ(all[i], line(c.first_kept + static_cast<int>(i))) << c.pushed << " pushed";
  }
}

TEST(LogBatch, FirstTakeOfALongBurstIsAChunkOfTheKeptLines) {
  LogBatch batch;
  for (int n = 0; n < 3 * kLogBlocks; ++n) batch.push(line(n));
  const QStringList first = batch.take();
  ASSERT_EQ(first.size(), kLogChunk);
  EXPECT_EQ(first.front(), line(2 * kLogBlocks));
  // Lines pushed between takes queue behind the ones still waiting.
  batch.push("late");
  const QStringList rest = take_all(batch);
  ASSERT_EQ(rest.size(), kLogBlocks - kLogChunk + 1);
  EXPECT_EQ(rest.front(), line(2 * kLogBlocks + kLogChunk));
  EXPECT_EQ(rest.back(), "late");
}

TEST(LogBatch, LinesPushedOnAnotherThreadWhileTakingArriveInOrder) {
  LogBatch batch;
  const int count = kLogBlocks / 2;
  std::thread producer([&batch] {
    for (int n = 0; n < count; ++n) batch.push(line(n));
    batch.push("end");
  });
  QStringList all;
  while (all.isEmpty() || all.back() != "end") all += batch.take();
  producer.join();
  ASSERT_EQ(all.size(), count + 1);
  for (int n = 0; n < count; ++n) ASSERT_EQ(all[n], line(n));
}

}  // namespace
