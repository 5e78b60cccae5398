// Termination on Windows: console events arrive on a thread of their own.
#include "builder/termination.hpp"

#include <cstdio>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace builder::platform {

namespace {

std::atomic<std::atomic<bool>*> g_termination_flag{nullptr};
std::atomic<int> g_termination_signal{0};

BOOL WINAPI on_console_event(DWORD event) {
  // The numbers of the C runtime's SIGINT and SIGBREAK; closing the console counts as a hang-up.
  const int signo = event == CTRL_C_EVENT ? 2 : event == CTRL_BREAK_EVENT ? 21 : 1;
  int none = 0;
  // A second event ends the process at once; its tools end with it, as their job objects close.
  if (!g_termination_signal.compare_exchange_strong(none, signo)) ExitProcess(128 + signo);
  std::atomic<bool>* flag = g_termination_flag.load();
  if (!flag) ExitProcess(128 + signo);
  flag->store(true);
  // A thread of its own, not a signal handler: the C library may be used.
  std::fputs("Cancelling the build; a second signal ends it at once.\n", stderr);
  std::fflush(stderr);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Windows ends the process once this returns from a close, logoff or shutdown event: give
  // the cancel a few seconds to end the tools first.
  Sleep(4000);
  return TRUE;
}

}  // namespace

void cancel_on_termination(std::atomic<bool>* flag) {
  g_termination_flag.store(flag);
  static const bool installed = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
  (void)installed;
}

int termination_signal() { return g_termination_signal.load(); }

void end_group_on_termination(qint64) {}

}  // namespace builder::platform
