// A started game's life tied to the launcher's: a job object that ends its processes when its
// last handle closes, and whose handle this process never closes.
#include "builder/game_tie.hpp"

#include <QProcess>

#include "builder/job_object-win32.hpp"

namespace builder::platform {

void tie_child_before_start(QProcess&) {}

void tie_child_after_start(QProcess& process) {
  HANDLE job = kill_on_close_job();
  if (!job) return;
  HANDLE game =
      OpenProcess(PROCESS_TERMINATE | PROCESS_SET_QUOTA, FALSE, DWORD(process.processId()));
  if (!game) {
    CloseHandle(job);
    return;
  }
  AssignProcessToJobObject(job, game);
  CloseHandle(game);
  // `job` stays open until this process ends, however it ends; then the system ends the game.
}

}  // namespace builder::platform
