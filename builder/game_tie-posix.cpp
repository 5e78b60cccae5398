// A started game's life tied to the launcher's. Where the system allows it, the game runs in a
// PID namespace of its own, below a small first process that the kernel ends with the launcher;
// when that first process ends, the kernel ends everything else in the namespace, the game's
// own children included. Otherwise the game gets the parent-death signal alone and, away from
// a terminal, a process group of its own that the launcher ends on the signals it can catch.
//
// The code between fork and exec runs in a copy of a possibly multi-threaded process: it calls
// only async-signal-safe functions and forks with _Fork, which runs no fork handlers.
#include "builder/game_tie.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QProcess>

#include "builder/termination.hpp"

namespace builder::platform {

namespace {

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
    while ((got = read(link[0], &status, sizeof status)) < 0 && errno == EINTR) {
    }
    if (got != ssize_t(sizeof status)) status = SIGKILL;
    while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
    }
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
  end_group_on_termination(game);
}

}  // namespace builder::platform
