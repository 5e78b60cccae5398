// Log lines on their way from a build's thread to the window's log view. A burst of lines (a
// configure step may print tens of thousands) then costs the GUI one edit per turn of its timer
// instead of one per line; lines older than the view keeps are dropped here, the log file has
// them all.
#pragma once

#include <QString>
#include <QStringList>
#include <mutex>

namespace builder {

// The lines the log view keeps; older ones scroll out of it.
const int kLogBlocks = 5000;
// Lines handed out per take at most: trimming a full view costs about 10 ms per 1,000 lines.
const int kLogChunk = 1000;
// How often the window takes the waiting lines, in milliseconds.
const int kLogInterval = 50;

class LogBatch {
 public:
  // Adds `line`; safe from any thread. Never holds more than twice the view's lines.
  void push(const QString& line);
  // Removes and returns the oldest waiting lines that the view would keep, at most kLogChunk;
  // empty when none wait.
  QStringList take();

 private:
  std::mutex mutex;
  QStringList lines;
};

}  // namespace builder
