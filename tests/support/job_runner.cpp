#include "support/job_runner.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <thread>

#include "builder/paths.hpp"
#include "support/process_state.hpp"
#include "support/tool_cache.hpp"

namespace testing_support {

namespace {

QString qpath(const fs::path& path) { return QString::fromStdString(path.string()); }

// The program's Qt application, made here when there is none yet.
void ensure_app() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "job_build_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication instance(argc, argv);
}

const char* const kLibraries[] = {"pinball", "rallydust", "starwars2"};

}  // namespace

JobResult run_job(builder::Request request, const std::function<bool(const QString&)>& on_line,
                  const std::function<bool(const QString&, qint64)>& on_progress) {
  JobResult result;
  QMutex mutex;
  QThread* const main = QThread::currentThread();
  QElapsedTimer since_cancel;
  builder::Job job(std::move(request));
  QEventLoop loop;
  auto note_thread = [&] {
    if (QThread::currentThread() == main) result.signals_on_build_thread = false;
  };
  QObject::connect(
      &job, &builder::Job::log_line, &job,
      [&](const QString& line) {
        note_thread();
        {
          QMutexLocker lock(&mutex);
          result.lines << line;
        }
        if (on_line && !job.cancel.load() && on_line(line)) {
          since_cancel.start();
          job.cancel.store(true);
        }
      },
      Qt::DirectConnection);
  QObject::connect(
      &job, &builder::Job::progress, &job,
      [&](double fraction, const QString& status, qint64 eta) {
        note_thread();
        {
          QMutexLocker lock(&mutex);
          if (result.statuses.isEmpty() || result.statuses.last() != status)
            result.statuses << status;
          result.fraction = fraction;
          result.eta = eta;
        }
        if (on_progress && !job.cancel.load() && on_progress(status, eta)) {
          since_cancel.start();
          job.cancel.store(true);
        }
      },
      Qt::DirectConnection);
  QObject::connect(
      &job, &builder::Job::finished, &job,
      [&](bool ok, const QString& message, const QString& result_path) {
        note_thread();
        {
          QMutexLocker lock(&mutex);
          result.ok = ok;
          result.message = message;
          result.result_path = result_path;
          result.phases = job.phases;
          ++result.finished_count;
          if (since_cancel.isValid()) result.seconds_after_cancel = since_cancel.elapsed() / 1000.0;
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
      },
      Qt::DirectConnection);

  bool timed_out = false;
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
    // Never leave a running job behind: cancel it and wait for its end.
    timed_out = true;
    job.cancel.store(true);
  });
  limit.start(testing_support::kHangMs);
  job.start();
  loop.exec();
  if (timed_out)
    ADD_FAILURE() << "the job ran for more than " << testing_support::kHangMs / 60000 << " minutes";
  // Let the finished build thread delete itself.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return result;
}

builder::Game port_game(const QString& id) {
  for (const builder::Game& game : builder::load_games(qpath(fixtures_dir() / "port")))
    if (game.id == id) return game;
  ADD_FAILURE() << "no game " << id.toStdString() << " in the test port";
  return {};
}

JobWorkspace::JobWorkspace() {
  ensure_app();
  qputenv("HOME", qpath(home()).toUtf8());
  qputenv("XDG_DATA_HOME", qpath(root() / "xdg-data").toUtf8());
  qputenv("XDG_CONFIG_HOME", qpath(root() / "xdg-config").toUtf8());
  qputenv("LOCALAPPDATA", qpath(root() / "local").toUtf8());
  qunsetenv("SKARNBOLT_TEST_PORT_FAULT");
  fs::create_directories(home() / "Downloads");
  builder::set_cache_dir(QString());
  builder::set_data_root(qpath(root() / "data"));
  seed_tool_cache(cache(), true, true);
  for (const char* library : kLibraries) make_apk(apk(library), library);
}

JobWorkspace::~JobWorkspace() {
  qunsetenv("SKARNBOLT_TEST_PORT_FAULT");
  // A cancelled build may have left the test port's compilers or a held step running here.
  wait_for_idle(root());
}

builder::Request pinball_request(const JobWorkspace& ws) {
  builder::Request request;
  request.apk = qpath(ws.apk("pinball"));
  request.game = port_game("pinball");
  request.install = false;
  request.output = qpath(ws.home() / "Games");
  return request;
}

fs::path JobWorkspace::apk(const std::string& library) const {
  return root() / "apks" / (library + ".apk");
}

QStringList file_lines(const fs::path& path) {
  QStringList lines = QString::fromStdString(read_text(path)).split('\n');
  if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
  return lines;
}

QString log_text(const JobResult& result) {
  QString text;
  for (const QString& line : result.lines) text += line + "\n";
  return text;
}

std::string describe(const JobResult& result) {
  return result.message.toStdString() + "\n--- log:\n" + log_text(result).toStdString();
}

// True when a process other than this one works in `folder` or names it on its command line.
bool folder_busy(const fs::path& folder) {
  const std::string text = folder.string();
  const std::string self = std::to_string(QCoreApplication::applicationPid());
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    // A process sent SIGKILL is done, however long a busy kernel takes to tear it down.
    if (!still_runs(std::stoi(pid))) continue;
    const fs::path cwd = fs::read_symlink(entry.path() / "cwd", ec);
    if (!ec && cwd.string().rfind(text, 0) == 0) return true;
    // A process that ends while it is read fails the read (ESRCH), which std::ifstream throws.
    QFile cmdline(QString::fromStdString((entry.path() / "cmdline").string()));
    if (!cmdline.open(QIODevice::ReadOnly)) continue;
    if (cmdline.readAll().toStdString().find(text) != std::string::npos) return true;
  }
  return false;
}

void wait_for_idle(const fs::path& folder) {
  for (int i = 0; i < 300 && folder_busy(folder); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace testing_support
