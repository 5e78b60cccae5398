// Launcher mode, prepare: identifies every APK, then builds each game that is not up to date
// into the data folder, stamping what it built.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <algorithm>
#include <atomic>
#include <optional>

#include "builder/apk_match.hpp"
#include "builder/build_lock.hpp"
#include "builder/catalog.hpp"
#include "builder/file_lock.hpp"
#include "builder/job.hpp"
#include "builder/job_console.hpp"
#include "builder/launcher_parts.hpp"
#include "builder/paths.hpp"
#include "builder/termination.hpp"

namespace builder::launcher {

namespace {

const char* const kProgramVersion = "v1.3.2";

// What build.txt holds for a game built by this program from this APK and extra data.
QByteArray stamp(const Game& game, const QString& assets) {
  return (QString::fromLatin1(kProgramVersion) + "\n" + game.sha256 + "\n" + assets + "\n")
      .toUtf8();
}

bool up_to_date(const QString& id, const QByteArray& wanted) {
  if (!QFileInfo::exists(game_exe(id))) return false;
  QFile file(game_folder(id) + "/build.txt");
  return file.open(QIODevice::ReadOnly) && file.readAll() == wanted;
}

// Replaces the content of `path` with `bytes`; false when it cannot be opened or written.
bool write_whole(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  return file.write(bytes) == bytes.size() && file.flush();
}

// The names of the game folders holding a build.txt, in name order, one a line.
QByteArray prepared_list() {
  QStringList names;
  const QString games = data_root() + "/games";
  for (const QString& name : QDir(games).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    if (QFileInfo::exists(games + "/" + name + "/build.txt")) names.append(name);
  }
  std::sort(names.begin(), names.end());  // by code unit, whatever the locale
  return (names.join('\n') + "\n").toUtf8();
}

// Runs one Job, printing its progress inside the slice base .. base + span.
bool build_game(const Request& request, double base, double span, QString& error) {
  Job job(request);
  bool ok = false;
  int last = -1;
  // Both handlers are queued to this thread, so all printing happens here.
  QObject::connect(&job, &Job::progress, &job,
                   [&last, base, span](double fraction, const QString& status, qint64) {
                     const int value = int((fraction * span + base) * 1000);
                     if (value == last) return;
                     last = value;
                     print_progress(value / 1000.0, status);
                     if (status == kWaitingStatus) print_note(waiting_line(cache_lock_path()));
                   });
  QObject::connect(&job, &Job::finished, &job,
                   [&](bool done, const QString& message, const QString&) {
                     ok = done;
                     if (!done) {
                       error = message;
                       if (job.log_written())
                         error += "\nLog: " + QDir::toNativeSeparators(job.log_path());
                     }
                   });
  // The one log line a launcher needs to see: the log itself cannot be written.
  run_on_console(job, [](const QString& line) { print_error(line); });
  return ok;
}

// The data folder, made and held by this prepare until it ends; false when it cannot be made
// or written.
bool hold_data_folder(platform::FileLock& lock) {
  if (!QDir().mkpath(data_root() + "/saves")) return false;
  const std::atomic<bool> never{false};  // a signal while waiting ends the program at once
  QString note;
  QString error;
  const bool held = take_lock(
      lock, never,
      [](const QString& line) {
        print_progress(0, kWaitingStatus);
        print_note(line);
      },
      note, error);
  if (!note.isEmpty()) print_note(note);
  return held;
}

}  // namespace

int prepare(const QStringList& apks, const QString& assets) {
  if (apks.isEmpty()) {
    print_error("No APK was given (--apk=<file>).");
    return 2;
  }
  const QList<Game> catalogue = load_games(source_dir());
  // Every APK is identified before anything is built, so a typo costs no build.
  QList<Game> games;
  for (const QString& apk : apks) {
    QString error;
    const std::optional<Game> game = identify_apk(apk, catalogue, error);
    if (!game) {
      print_error(QDir::toNativeSeparators(apk) + ": " + error);
      return 1;
    }
    games.append(*game);
  }

  // From here a signal ends the program with 128 + its number; during a build it cancels the
  // build first.
  platform::cancel_on_termination(nullptr);
  shorten_cache();
  // Two prepares of one data folder take turns, so that the second finds what the first built.
  platform::FileLock lock(data_root() + "/prepare.lock");
  if (!hold_data_folder(lock)) {
    print_error("The data folder " + QDir::toNativeSeparators(data_root()) +
                " cannot be made or written.");
    return 1;
  }
  const qsizetype count = games.size();
  QStringList handled;
  for (qsizetype i = 0; i < count; ++i) {
    const Game& game = games[i];
    if (handled.contains(game.id)) continue;  // the first APK of a game wins
    handled.append(game.id);
    const QString folder = game_folder(game.id);
    const QString game_assets = game.id == "starwars2" ? assets : QString();
    const QByteArray wanted = stamp(game, game_assets);
    if (up_to_date(game.id, wanted)) {
      print_progress(double(i + 1) / double(count), game.title + " is already built");
      continue;
    }
    // Gone before the build starts, so that an interrupted build never leaves a valid stamp.
    const QString stamp_path = folder + "/build.txt";
    QFile::remove(stamp_path);

    Request request;
    request.apk = QFileInfo(apks[i]).absoluteFilePath();
    request.game = game;
    request.install = false;
    request.output = folder;
    request.export_folder = true;
    request.assets = game_assets.isEmpty() ? QString() : QFileInfo(game_assets).absoluteFilePath();
    QString error;
    if (!build_game(request, double(i) / double(count), 1.0 / double(count), error)) {
      print_error(error);
      return console_exit_code(1);
    }
    if (!write_whole(stamp_path, wanted)) {
      print_error("Cannot write " + QDir::toNativeSeparators(stamp_path));
      return 1;
    }
  }

  const QString list = data_root() + "/games/prepared.txt";
  if (!write_whole(list, prepared_list())) {
    print_error("Cannot write " + QDir::toNativeSeparators(list));
    return 1;
  }
  print_progress(1, "Done");
  return 0;
}

}  // namespace builder::launcher
