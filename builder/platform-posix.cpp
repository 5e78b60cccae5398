// The operating-system services on POSIX systems: symbolic links for folder links, the shell
// for detached clean-up, /proc/meminfo for memory, and desktop entries plus an INI file in place
// of Start-menu shortcuts and the uninstall registry.
#include "builder/platform.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

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

void keep_child_exit_codes() {
  struct sigaction action = {};
  // Only an ignored signal outlives exec; a handler of the parent's never does.
  if (sigaction(SIGCHLD, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
    signal(SIGCHLD, SIG_DFL);
}

std::optional<quint64> free_memory() {
  QFile file("/proc/meminfo");
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  // Read until no line comes: the file reports size 0, so atEnd() is true from the start.
  // A line reads "MemAvailable:   16084872 kB".
  for (QByteArray line = file.readLine(); !line.isEmpty(); line = file.readLine()) {
    if (!line.startsWith("MemAvailable:")) continue;
    const QList<QByteArray> fields = line.mid(13).simplified().split(' ');
    bool ok = false;
    const quint64 kib = fields.value(0).toULongLong(&ok);
    if (!ok || fields.value(1) != "kB") return std::nullopt;
    return kib * 1024;
  }
  return std::nullopt;
}

QString short_path(const QString& path) { return path; }

// Installed games.

namespace {

// A string value of a desktop entry: backslash and control characters escaped.
QString desktop_value(QString text) {
  text.replace('\\', "\\\\");
  text.replace('\n', "\\n");
  text.replace('\t', "\\t");
  text.replace('\r', "\\r");
  if (text.startsWith(' ')) text.replace(0, 1, "\\s");
  return text;
}

// One argument of an Exec line: always quoted, so blanks and shell characters stay literal;
// a percent sign would otherwise start a field code.
QString exec_argument(const QString& argument) {
  QString quoted = "\"";
  for (const QChar c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace

QString shortcut_path(const QString& title) {
  return QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) + "/" + title +
         ".desktop";
}

QString make_shortcut(const QString& title, const QString& exe, const QString& icon) {
  const QString path = shortcut_path(title);
  if (!QDir().mkpath(QFileInfo(path).path())) return {};
  QFile::remove(path);
  QString text = "[Desktop Entry]\nType=Application\nName=" + desktop_value(title) +
                 "\nExec=" + desktop_value(exec_argument(exe)) +
                 "\nPath=" + desktop_value(QFileInfo(exe).path()) + "\n";
  if (!icon.isEmpty() && QFileInfo(icon).isFile()) text += "Icon=" + desktop_value(icon) + "\n";
  text += "Categories=Game;\n";
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.flush()) {
    file.close();
    QFile::remove(path);
    return {};
  }
  return path;
}

QString uninstall_entries_path() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         "/skarnbolt-uninstall.ini";
}

void write_uninstall_entry(const QString& key, const QList<QPair<QString, QVariant>>& values) {
  QSettings settings(uninstall_entries_path(), QSettings::IniFormat);
  settings.beginGroup(key);
  for (const auto& [name, value] : values) settings.setValue(name, value);
  settings.endGroup();
  settings.sync();
}

std::optional<QByteArray> undecodable_argument(int argc, char** argv) {
  // QCoreApplication decodes the arguments exactly so.
  for (int i = 1; i < argc; ++i) {
    const QByteArray raw(argv[i]);
    if (QString::fromLocal8Bit(raw).toLocal8Bit() != raw) return raw;
  }
  return std::nullopt;
}

bool undecodable_variable(const char* name) {
  const QByteArray raw = qgetenv(name);
  return QString::fromLocal8Bit(raw).toLocal8Bit() != raw;
}

}  // namespace builder::platform
