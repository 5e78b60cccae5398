// The log lines between a build's thread and the log view.
#include "builder/log_batch.hpp"

namespace builder {

void LogBatch::push(const QString& line) {
  const std::lock_guard<std::mutex> lock(mutex);
  // Dropped a view's worth at a time, so a long burst does not shift the list on every line.
  if (lines.size() >= 2 * kLogBlocks) lines.remove(0, kLogBlocks);
  lines.append(line);
}

QStringList LogBatch::take() {
  const std::lock_guard<std::mutex> lock(mutex);
  // Lines older than the view keeps would only be trimmed again.
  if (lines.size() > kLogBlocks) lines.remove(0, lines.size() - kLogBlocks);
  const qsizetype count = qMin<qsizetype>(lines.size(), kLogChunk);
  QStringList taken = lines.mid(0, count);
  lines.remove(0, count);
  return taken;
}

}  // namespace builder
