// A tool's processes on POSIX systems: its process tree, found through /proc.
#include "builder/tool_group.hpp"

#include <signal.h>
#include <unistd.h>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <vector>

namespace builder::platform {

namespace {

// Stops every process below `root` as soon as it is found, so that none of them can start
// another one while the tree is walked, then kills them all; `root` itself too unless it is
// this process.
void end_tree(pid_t root) {
  const bool self = root == getpid();
  std::vector<pid_t> tree{root};
  if (!self) ::kill(root, SIGSTOP);
  for (std::size_t i = 0; i < tree.size(); ++i) {
    QDirIterator entries("/proc", QDir::Dirs | QDir::NoDotAndDotDot);
    while (entries.hasNext()) {
      bool number = false;
      const pid_t child = entries.next().section('/', -1).toInt(&number);
      if (!number) continue;
      QFile stat(entries.filePath() + "/stat");
      if (!stat.open(QIODevice::ReadOnly)) continue;
      // The name in parentheses may hold blanks; the parent's id is the second field after it.
      const QByteArray line = stat.readAll();
      const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
      if (fields.size() > 1 && fields[1].toInt() == tree[i] &&
          std::find(tree.begin(), tree.end(), child) == tree.end()) {
        ::kill(child, SIGSTOP);
        tree.push_back(child);
      }
    }
  }
  for (pid_t member : tree) {
    if (member != getpid()) ::kill(member, SIGKILL);
  }
}

}  // namespace

void kill_process_tree(qint64 pid) {
  // 0 and below name process groups: 0 this program's own, -1 every process it may signal.
  if (pid <= 0) return;
  end_tree(pid_t(pid));
}

struct ToolProcesses::Data {};

ToolProcesses::ToolProcesses() = default;
ToolProcesses::~ToolProcesses() = default;

void ToolProcesses::prepare(QProcess&) {}

void ToolProcesses::end(const QProcess& process) { kill_process_tree(process.processId()); }

}  // namespace builder::platform
