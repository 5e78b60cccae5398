// Build jobs driven to their end for tests, in a workspace of their own: a temporary home (the
// install places, the download folder), a data root and a seeded tool cache.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "builder/catalog.hpp"
#include "builder/job.hpp"
#include "support/test_support.hpp"

namespace testing_support {

// What a job reported, gathered from its three signals.
struct JobResult {
  bool ok = false;
  QString message;
  QString result_path;
  int finished_count = 0;
  QStringList lines;     // every log_line, in order
  QStringList statuses;  // the progress statuses, repeats folded
  double fraction = -1;  // the last progress
  qint64 eta = -2;
  QList<builder::Job::Phase> phases;  // the phase table when the job finished
  bool signals_on_build_thread = true;
  double seconds_after_cancel = -1;  // from setting the cancel flag to finished
};

// Runs a job for `request` until it has finished (at most five minutes). `on_line` runs on the
// build thread for every log line, `on_progress` for every progress report; either returns
// true to set the cancel flag.
JobResult run_job(builder::Request request,
                  const std::function<bool(const QString& line)>& on_line = {},
                  const std::function<bool(const QString& status, qint64 eta)>& on_progress = {});

// The test port's catalogue entry `id`.
builder::Game port_game(const QString& id);

class JobWorkspace;

// A Windows build of the test port's pinball, saved below the workspace's home in Games.
builder::Request pinball_request(const JobWorkspace& ws);

// A workspace for build jobs: a Qt application, HOME, XDG_DATA_HOME, XDG_CONFIG_HOME and
// LOCALAPPDATA below a temporary folder, the builder's data root in it and its tool cache
// seeded for all targets (no adb device). One per test.
class JobWorkspace {
 public:
  JobWorkspace();
  ~JobWorkspace();
  const fs::path& root() const { return dir_.path(); }
  fs::path home() const { return root() / "home"; }
  fs::path cache() const { return root() / "data/cache"; }
  fs::path build(const std::string& target) const { return cache() / "build" / target; }
  // The log of the last job.
  fs::path log() const { return root() / "data/logs/last-build.log"; }
  // APKs of the test port's three games, named after their libraries.
  fs::path apk(const std::string& library) const;

 private:
  TempDir dir_;
};

// The lines of a text file.
QStringList file_lines(const fs::path& path);

// The log file as the job's log_line signals make it: each line followed by a line feed.
QString log_text(const JobResult& result);

// What a job reported, for the message of a failed expectation: its message and its whole log.
std::string describe(const JobResult& result);

// True when a process other than this one, and not already killed, works in `folder` or names
// it on its command line.
bool folder_busy(const fs::path& folder);

// Waits until no process works in `folder` any more (at most 30 s): what a cancelled build
// left running there ends once the test port's hold is released.
void wait_for_idle(const fs::path& folder);

}  // namespace testing_support

QT_BEGIN_NAMESPACE
// Readable test failures for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE
