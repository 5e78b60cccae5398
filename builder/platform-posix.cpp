// The operating-system services on POSIX systems: symbolic links for folder links, the shell
// for detached clean-up, /proc/meminfo for memory, and desktop entries plus an INI file in place
// of Start-menu shortcuts and the uninstall registry.
#include "builder/platform.hpp"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

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

QString short_path(const QString& path) { return path; }

// Advisory file locks: flock, which belongs to the open file, so two opens of one file exclude
// each other even within one process, and the lock ends when the file is closed.

struct FileLock::Data {
  int fd = -1;
};

FileLock::FileLock(const QString& path) : path_(path), data_(std::make_unique<Data>()) {}

FileLock::~FileLock() { release(); }

FileLock::State FileLock::try_lock(const QByteArray& holder) {
  const QByteArray name = QFile::encodeName(path_);
  // A few rounds: each one follows a file that was removed or replaced meanwhile.
  for (int round = 0; round < 8; ++round) {
    if (data_->fd < 0) data_->fd = open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (data_->fd < 0) return State::Failed;
    if (flock(data_->fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK || errno == EINTR) return State::Held;
      const bool unsupported = errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL ||
                               errno == ENOSYS;
      release();
      return unsupported ? State::Unsupported : State::Failed;
    }
    // The holder before may have removed the file (clearing the cache does) while this one
    // waited on it: a lock on a file that no longer stands at the path excludes nobody.
    struct stat held;
    struct stat named;
    if (fstat(data_->fd, &held) == 0 && stat(name.constData(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      // The holder's name is only for messages: failing to write it changes nothing.
      if (ftruncate(data_->fd, 0) == 0) {
        const ssize_t written = pwrite(data_->fd, holder.constData(), size_t(holder.size()), 0);
        (void)written;
      }
      return State::Taken;
    }
    release();
  }
  return State::Held;
}

void FileLock::release() {
  if (data_->fd < 0) return;
  close(data_->fd);  // ends the lock
  data_->fd = -1;
}


// Installed games.

QString local_app_data() {
  // An empty value counts as unset: paths built on it would land at the file-system root.
  const QString value = qEnvironmentVariable("LOCALAPPDATA");
  return value.isEmpty() ? QDir::homePath() : value;
}

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

// A started game's life tied to the launcher's. Where the system allows it, the game runs in a
// PID namespace of its own, below a small first process that the kernel ends with the launcher;
// when that first process ends, the kernel ends everything else in the namespace, the game's
// own children included. Otherwise the game gets the parent-death signal alone and, away from
// a terminal, a process group of its own that the launcher ends on the signals it can catch.
//
// The code between fork and exec runs in a copy of a possibly multi-threaded process: it calls
// only async-signal-safe functions and forks with _Fork, which runs no fork handlers.

namespace {

// The game's own process group, once it has one; 0 before.
volatile sig_atomic_t g_game_group = 0;

// Writes `text` into the file `path`. A map that cannot be written leaves the game seeing the
// overflow ids, which changes nothing it may do.
void write_small_file(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  write(fd, text, strlen(text));
  close(fd);
}

// Writes "<id> <id> 1\n", an id map that keeps `id` as it is, into `line`.
void identity_map(char* line, unsigned id) {
  char digits[16];
  int count = 0;
  do {
    digits[count++] = char('0' + id % 10);
    id /= 10;
  } while (id > 0);
  for (int copy = 0; copy < 2; ++copy) {
    for (int i = count - 1; i >= 0; --i) *line++ = digits[i];
    *line++ = ' ';
  }
  strcpy(line, "1\n");
}

// Makes the children of this process start a new PID namespace. An unprivileged user needs a
// user namespace for that, in which the game keeps its own user and group ids.
bool unshare_pid_namespace() {
  if (unshare(CLONE_NEWPID) == 0) return true;
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) return false;
  char map[48];
  identity_map(map, uid);
  write_small_file("/proc/self/uid_map", map);
  write_small_file("/proc/self/setgroups", "deny");
  identity_map(map, gid);
  write_small_file("/proc/self/gid_map", map);
  return true;
}

// Closes every descriptor from 3 up but `keep`, above all the one through which QProcess learns
// that the game has started: it must close with the game's exec, not live on in a waiter.
void close_all_but(int keep) {
  if (keep > 3) close_range(3, unsigned(keep) - 1, 0);
  close_range(unsigned(keep) + 1, ~0u, 0);
}

// Ends this process as the wait status `status` says: with the same exit code, or killed by
// the same signal, so that QProcess sees a crash as a crash.
[[noreturn]] void end_as(int status) {
  if (WIFEXITED(status)) _exit(WEXITSTATUS(status));
  const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
  // The game has dumped its core already if it was to.
  const struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  kill(getpid(), sig);
  kill(getpid(), SIGKILL);
  _exit(1);
}

// In the process QProcess started, after unshare_pid_namespace: forks the namespace's first
// process, which forks the game. Returns true in the game, which goes on to exec; never returns
// in the two waiters; false when nothing could be forked, with this process still the game.
// The game is not the first process itself: that one ignores every signal it has no handler
// for, so a game could no longer be ended by SIGTERM or crash through its own kill().
bool fork_namespace() {
  // A waiter must see its child end, whatever the launcher did with SIGCHLD.
  signal(SIGCHLD, SIG_DFL);
  int link[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0) return false;
  const pid_t first = _Fork();
  if (first < 0) {
    close(link[0]);
    close(link[1]);
    return false;
  }
  if (first > 0) {
    // The outer waiter: the game's status comes over the link once the namespace has ended;
    // none comes when its first process was killed.
    close(link[1]);
    close_all_but(link[0]);
    int status = SIGKILL;
    ssize_t got;
    while ((got = read(link[0], &status, sizeof status)) < 0 && errno == EINTR) {}
    if (got != ssize_t(sizeof status)) status = SIGKILL;
    while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {}
    end_as(status);
  }

  // The namespace's first process: it ends with the outer waiter, even one that has already
  // ended before the signal was armed (its end of the link is then closed).
  close(link[0]);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  struct pollfd peer = {link[1], POLLIN, 0};
  if (poll(&peer, 1, 0) != 0) _exit(1);
  const pid_t game = _Fork();
  if (game == 0) return true;
  close_all_but(link[1]);
  int status = SIGKILL;
  // As a namespace's first process it also reaps the game's orphans.
  for (;;) {
    int each = 0;
    const pid_t ended = waitpid(-1, &each, 0);
    if (ended == game) {
      status = each;
      break;
    }
    if (ended < 0 && errno != EINTR) break;
  }
  write(link[1], &status, sizeof status);
  _exit(0);
}

// Ends the game's group, then this process as the signal `sig` would have.
void end_game_group(int sig) {
  if (g_game_group > 0) kill(-pid_t(g_game_group), SIGKILL);
  raise(sig);
}

}  // namespace

void tie_child_before_start(QProcess& process) {
  const pid_t launcher = getpid();
  // Tests force the fallback with it.
  const bool namespaces = qEnvironmentVariableIsEmpty("SKARNBOLT_NO_GAME_NAMESPACE");
  process.setChildProcessModifier([launcher, namespaces] {
    // The kernel sends SIGKILL when the thread that started this process ends, which for the
    // main thread is when the launcher ends.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The launcher may have ended before the signal was armed; then nobody would send it.
    if (getppid() != launcher) _exit(1);
    if (namespaces && unshare_pid_namespace() && fork_namespace()) return;
    // A game in a group of its own could not read the terminal the launcher runs in: there it
    // stays in the terminal's job, which the terminal's own signals reach whole.
    if (isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp()) return;
    setpgid(0, 0);
  });
}

void tie_child_after_start(QProcess& process) {
  const pid_t game = pid_t(process.processId());
  if (game <= 0 || getpgid(game) != game) return;
  g_game_group = game;
  struct sigaction action = {};
  action.sa_handler = end_game_group;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
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

// Termination signals: the handler only touches lock-free atomics, write and _exit, which are
// safe in a signal handler. Ending the tools on a second signal walks /proc, which is not: a
// thread of its own does that, woken through a pipe.

namespace {

std::atomic<std::atomic<bool>*> g_termination_flag{nullptr};
std::atomic<int> g_termination_signal{0};
int g_second_signal_pipe[2] = {-1, -1};

const char kCancelling[] = "Cancelling the build; a second signal ends it at once.\n";

extern "C" void on_termination(int signo) {
  int none = 0;
  if (!g_termination_signal.compare_exchange_strong(none, signo)) {
    const unsigned char number = static_cast<unsigned char>(signo);
    if (write(g_second_signal_pipe[1], &number, 1) != 1) _exit(128 + signo);
    return;
  }
  std::atomic<bool>* flag = g_termination_flag.load();
  if (!flag) _exit(128 + signo);
  flag->store(true);
  const ssize_t said = write(STDERR_FILENO, kCancelling, sizeof kCancelling - 1);
  (void)said;
}

// The second signal: the build's tools may still run, so they end first, whatever they are
// doing, and then the program, with that signal's number.
void end_on_second_signal() {
  unsigned char number = 0;
  while (read(g_second_signal_pipe[0], &number, 1) < 0 && errno == EINTR) {}
  end_tree(getpid());
  _exit(128 + number);
}

}  // namespace

void cancel_on_termination(std::atomic<bool>* flag) {
  g_termination_flag.store(flag);
  static const bool installed = [] {
    if (pipe2(g_second_signal_pipe, O_CLOEXEC) == 0)
      std::thread(end_on_second_signal).detach();
    struct sigaction action = {};
    action.sa_handler = on_termination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) sigaction(signo, &action, nullptr);
    return true;
  }();
  (void)installed;
}

int termination_signal() { return g_termination_signal.load(); }

}  // namespace builder::platform
