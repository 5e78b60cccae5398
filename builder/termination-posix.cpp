// Termination signals on POSIX systems: the handler only touches lock-free atomics, kill, raise,
// write and _exit, which are safe in a signal handler. Ending the tools on a second signal walks
// /proc, which is not: a thread of its own does that, woken through a pipe.
#include "builder/termination.hpp"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "builder/tool_group.hpp"

namespace builder::platform {

namespace {

std::atomic<std::atomic<bool>*> g_termination_flag{nullptr};
std::atomic<int> g_termination_signal{0};
// The started game's own process group, once it has one; 0 before.
std::atomic<pid_t> g_game_group{0};
int g_second_signal_pipe[2] = {-1, -1};

const char kCancelling[] = "Cancelling the build; a second signal ends it at once.\n";

extern "C" void on_termination(int signo) {
  if (const pid_t group = g_game_group.load(); group > 0) {
    // The game first, then this process as the signal would have ended it.
    kill(-group, SIGKILL);
    signal(signo, SIG_DFL);
    raise(signo);
    return;
  }
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
  while (read(g_second_signal_pipe[0], &number, 1) < 0 && errno == EINTR) {
  }
  kill_process_tree(getpid());
  _exit(128 + number);
}

void install_handlers() {
  static const bool installed = [] {
    if (pipe2(g_second_signal_pipe, O_CLOEXEC) == 0) std::thread(end_on_second_signal).detach();
    struct sigaction action = {};
    action.sa_handler = on_termination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) sigaction(signo, &action, nullptr);
    return true;
  }();
  (void)installed;
}

}  // namespace

void cancel_on_termination(std::atomic<bool>* flag) {
  g_termination_flag.store(flag);
  install_handlers();
}

int termination_signal() { return g_termination_signal.load(); }

void end_group_on_termination(qint64 group) {
  g_game_group.store(pid_t(group));
  install_handlers();
}

}  // namespace builder::platform
