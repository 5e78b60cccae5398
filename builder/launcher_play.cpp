// Launcher mode, play: starts a prepared game with its saves, keeps its last five logs and
// ties its life to the launcher's.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include "builder/game_tie.hpp"
#include "builder/launcher_parts.hpp"
#include "builder/paths.hpp"
#include "builder/platform.hpp"

namespace builder::launcher {

namespace {

// Where older saves of `id` lie: those of an installed game first, else the port's own; empty
// when there are none. An unset or empty APPDATA names no folder at all, never one at the
// root.
QString old_saves(const QString& id) {
  const QString local = QDir::cleanPath(QDir::fromNativeSeparators(platform::local_app_data()));
  const QString installed = local + "/Programs/skarnbolt-port/" + id + "/saves";
  if (QFileInfo(installed).isDir()) return installed;
  const QString roaming = qEnvironmentVariable("APPDATA");
  if (roaming.isEmpty()) return QString();
  const QString port =
      QDir::cleanPath(QDir::fromNativeSeparators(roaming)) + "/skarnbolt-port/" + id;
  return QFileInfo(port).isDir() ? port : QString();
}

// Copies the older saves of `id` into `saves`, which does not exist yet; the old files stay.
// The copy is made beside `saves` and renamed into place only when whole, so that a copy that
// failed halfway is tried again at the next start instead of passing for the saves. Only
// regular files and folders are taken: opening a FIFO would block the start for good, and a
// link may lead anywhere.
void migrate_saves(const QString& id, const QString& saves) {
  const QString old = old_saves(id);
  if (old.isEmpty()) return;
  const QString partial = saves + ".part";
  QDir(partial).removeRecursively();
  const QDir from(old);
  bool ok = QDir().mkpath(partial);
  QDirIterator it(old, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (ok && it.hasNext()) {
    const QString path = it.next();
    const QFileInfo entry = it.fileInfo();
    const QString target = partial + "/" + from.relativeFilePath(path);
    if (!entry.isSymLink() && entry.isDir()) {
      ok = QDir().mkpath(target);
    } else if (!entry.isSymLink() && entry.isFile()) {
      ok = QDir().mkpath(QFileInfo(target).path()) && QFile::copy(path, target);
    } else {
      print_error("Skipped " + QDir::toNativeSeparators(path) +
                  " in the saves: it is not a regular file or folder.");
    }
  }
  if (ok) ok = QDir().rename(partial, saves);
  if (!ok) {
    QDir(partial).removeRecursively();
    print_error("Cannot copy the saves from " + QDir::toNativeSeparators(old));
  }
}

// Keeps the four logs before this start: <id>-1.log is the newest of them.
void rotate_logs(const QString& logs, const QString& id) {
  QDir().mkpath(logs);
  const QString base = logs + "/" + id;
  QFile::remove(base + "-4.log");
  for (int n = 3; n >= 1; --n)
    QFile::rename(base + QString("-%1.log").arg(n), base + QString("-%1.log").arg(n + 1));
  QFile::rename(base + ".log", base + "-1.log");
}

}  // namespace

int play(const QString& id, const QStringList& options) {
  // The whole id must match: a "$" would also accept a final line feed, and the id becomes a
  // path below.
  static const QRegularExpression valid(QRegularExpression::anchoredPattern("[a-z0-9]+"));
  if (!valid.match(id).hasMatch()) {
    print_error("Unknown game '" + id + "'.");
    return 2;
  }
  const QString exe = game_exe(id);
  if (!QFileInfo::exists(exe)) {
    print_error(QDir::toNativeSeparators(exe) + " is not built yet.");
    return 3;
  }

  const QString saves = data_root() + "/saves/" + id;
  if (!QFileInfo::exists(saves)) migrate_saves(id, saves);
  const QStringList arguments = QStringList{"--data", QDir::toNativeSeparators(saves)} + options;

  const QString logs = data_root() + "/logs";
  rotate_logs(logs, id);

  QProcess game;
  game.setProcessChannelMode(QProcess::MergedChannels);
  game.setStandardOutputFile(logs + "/" + id + ".log", QIODevice::Truncate);
  game.setInputChannelMode(QProcess::ForwardedInputChannel);
  platform::tie_child_before_start(game);
  game.start(exe, arguments);
  if (!game.waitForStarted(-1)) {
    print_error("Cannot start " + QDir::toNativeSeparators(exe) + ": " + game.errorString());
    return 1;
  }
  platform::tie_child_after_start(game);
  game.waitForFinished(-1);
  return game.exitStatus() == QProcess::CrashExit ? 1 : game.exitCode();
}

}  // namespace builder::launcher
