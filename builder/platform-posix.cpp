// Folder links and detached clean-up on POSIX systems: symbolic links and the shell.
#include "builder/platform.hpp"

#include <QFile>
#include <QProcess>
#include <QStringList>
#include <sys/stat.h>
#include <unistd.h>

namespace builder::platform {

bool is_folder_link(const QString& path) {
  struct stat st;
  return lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool folder_link_target_exists(const QString& path) {
  struct stat st;
  return stat(QFile::encodeName(path).constData(), &st) == 0;
}

bool make_folder_link(const QString& link, const QString& target) {
  // An outside command, as on Windows; -T keeps ln from putting the link inside a folder that
  // already stands at `link`.
  QProcess process;
  process.setProgram("ln");
  process.setArguments({"-s", "-T", "--", target, link});
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start();
  if (!process.waitForFinished(-1)) return false;
  return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool remove_folder_link(const QString& path) {
  return unlink(QFile::encodeName(path).constData()) == 0;
}

void remove_folder_later(const QString& folder, const QString& working_dir) {
  QProcess process;
  process.setProgram("sh");
  process.setArguments({"-c", "sleep 3; rm -rf -- \"$1\"", "sh", folder});
  process.setWorkingDirectory(working_dir);
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  process.startDetached();
}

// Programs and the environment of child processes.

const char* const kExe = "";
const char* const kPathSep = ":";

std::optional<quint64> free_memory() {
  QFile file("/proc/meminfo");
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  while (!file.atEnd()) {
    const QByteArray line = file.readLine();
    if (!line.startsWith("MemAvailable:")) continue;
    bool ok = false;
    const quint64 kib = line.mid(13).trimmed().split(' ').value(0).toULongLong(&ok);
    if (ok) return kib * 1024;
  }
  return std::nullopt;
}

QString short_path(const QString& path) { return path; }

}  // namespace builder::platform
