// Windows games out of a build folder: installed for the user, exported, or saved portable;
// and the last step of a build, which hands the result to the user.
#include "builder/install.hpp"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>

#include "builder/job.hpp"
#include "builder/platform.hpp"

namespace builder {

namespace {

const char* const kDlls[] = {"libEGL.dll", "libGLESv2.dll"};

QString native(const QString& path) { return QDir::toNativeSeparators(path); }

// Removes whatever stands at `path`, a file, a link or a folder with everything below it.
void remove_all(const QString& path) {
  const QFileInfo info(path);
  if (info.isSymLink() || info.isFile())
    QFile::remove(path);
  else if (info.isDir())
    QDir(path).removeRecursively();
}

// Copies one file over nothing; false after telling `notes` why it could not.
bool copy_file(const QString& source, const QString& target, const CopyNotes& notes) {
  QFile file(source);
  if (file.copy(target)) return true;
  if (notes)
    notes("Cannot copy " + native(source) + " to " + native(target) + ": " + file.errorString());
  return false;
}

// Copies a file, or the files below a folder, to `destination`, replacing what was there; a
// missing or empty folder leaves an empty folder. False at the first file not copied.
bool copy_tree(const QString& source, const QString& destination, const CopyNotes& notes) {
  if (QFileInfo(source).isFile()) {
    QFile::remove(destination);
    QDir().mkpath(QFileInfo(destination).path());
    return copy_file(source, destination, notes);
  }
  remove_all(destination);
  QDir().mkpath(destination);
  const QDir root(source);
  QDirIterator it(source, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString file = it.next();
    const QString target = destination + "/" + root.relativeFilePath(file);
    QDir().mkpath(QFileInfo(target).path());
    if (!copy_file(file, target, notes)) return false;
  }
  return true;
}

// Writes the game folder into `destination`: the executable, the graphics DLLs found beside it
// and the game data below game/.
bool make_folder(const BuiltGame& game, const QString& destination, QString& error,
                 const CopyNotes& notes) {
  // An empty name would put the game at the root of the file system.
  if (destination.isEmpty()) {
    error = "Cannot copy the game into " + native(destination);
    return false;
  }
  QDir().mkpath(destination);
  const QFileInfo exe(game.exe);
  const QString exe_copy = destination + "/" + exe.fileName();
  // Qt's copy never overwrites: without this a reinstall would keep the old executable.
  QFile::remove(exe_copy);
  const bool exe_ok = copy_file(game.exe, exe_copy, notes);
  QDir(destination + "/game").removeRecursively();
  // Every part is copied even after a failed one; the failure is reported once at the end.
  const bool lib_ok = copy_tree(game.data_dir + "/lib", destination + "/game/lib", notes);
  const bool assets_ok = copy_tree(game.data_dir + "/assets", destination + "/game/assets", notes);
  const bool icon_ok =
      copy_tree(game.data_dir + "/icon.png", destination + "/game/icon.png", notes);
  if (!exe_ok || !lib_ok || !assets_ok || !icon_ok) {
    error = "Cannot copy the game into " + native(destination);
    return false;
  }
  for (const char* name : kDlls) {
    const QString dll = exe.path() + "/" + name;
    if (!QFileInfo::exists(dll)) continue;
    const QString dll_copy = destination + "/" + name;
    QFile::remove(dll_copy);  // replaced like the executable
    if (!copy_file(dll, dll_copy, notes)) {
      error = "Cannot copy " + QString(name) + " into " + native(destination);
      return false;
    }
  }
  QFile::setPermissions(
      exe_copy, QFile::permissions(exe_copy) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
  return true;
}

}  // namespace

QString install(const BuiltGame& game, QString& error, const CopyNotes& notes) {
  const QString dir = platform::local_app_data() + "/Programs/skarnbolt-port/" + game.game.id;
  if (!make_folder(game, dir, error, notes)) return {};
  const QString exe = dir + "/" + QFileInfo(game.exe).fileName();
  platform::make_shortcut(game.game.title, exe, dir + "/game/icon.png");

  const QString key =
      "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\skarnbolt-" +
      game.game.id;
  const QString uninstall =
      QString(
          "cmd.exe /c del /q \"%1\\%2\" \"%1\\libEGL.dll\" \"%1\\libGLESv2.dll\" & "
          "rmdir /s /q \"%1\\game\" & rmdir \"%1\" & del /q \"%3\" & reg delete \"%4\" /f")
          .arg(native(dir), QFileInfo(game.exe).fileName(),
               native(platform::shortcut_path(game.game.title)),
               QString(key).replace("HKEY_CURRENT_USER", "HKCU", Qt::CaseSensitive));
  platform::write_uninstall_entry(key, {
                                           {"DisplayName", game.game.title},
                                           {"DisplayVersion", game.game.version.section(' ', 0, 0)},
                                           {"DisplayIcon", native(exe)},
                                           {"Publisher", "skarnbolt-port"},
                                           {"InstallLocation", native(dir)},
                                           {"NoModify", 1},
                                           {"NoRepair", 1},
                                           {"UninstallString", uninstall},
                                       });
  return dir;
}

bool export_folder(const BuiltGame& game, const QString& destination, QString& error,
                   const CopyNotes& notes) {
  return make_folder(game, destination, error, notes);
}

QString export_portable(const BuiltGame& game, const QString& parent, QString& error,
                        const CopyNotes& notes) {
  const QString folder = parent + "/" + game.game.title;
  if (parent.isEmpty()) {  // as in make_folder: not at the root of the file system
    error = "Cannot copy the game into " + native(folder);
    return {};
  }
  return make_folder(game, folder, error, notes) ? folder : QString();
}

bool Job::finish(QString& message, QString& result_path, QString& error) {
  const Game& game = request.game;
  const QString built = build_dir + "/bin/skarnbolt-" + game.id;
  // The message stays short; why a copy failed goes to the log.
  const CopyNotes notes = [this](const QString& line) { log(line); };
  const Target built_for = target_of(request);
  report(built_for == Target::Android ? "Finishing the Android package"
         : request.install            ? "Installing"
                                      : "Saving");

  if (built_for == Target::Android) {
    const QString apk = built + ".apk";
    if (request.install) {
      const QString adb = sdk + "/platform-tools/adb" + platform::kExe;
      QStringList serials;
      static const QRegularExpression blanks("\\s+");
      const int listed = run_process(adb, {"devices"}, [&serials](const QString& line) {
        const QStringList pieces = line.split(blanks);
        if (pieces.size() >= 2 && pieces[1] == "device") serials << pieces[0];
      });
      // A cancelled build ends as cancelled, not with the APK saved as if no device were there.
      if (listed != 0 && cancel.load()) {
        error = "Cancelled";
        return false;
      }
      if (!serials.isEmpty()) {
        report("Installing on " + serials.first());
        if (run_process(adb, {"-s", serials.first(), "install", "-r", apk}) != 0) {
          error = cancel.load()
                      ? "Cancelled"
                      : "Installing on the device failed (see the log). An older version signed "
                        "with another key has to be uninstalled first.";
          return false;
        }
        message = game.title + " is installed on the Android device.";
        return true;
      }
    }
    QString target = request.output;
    if (target.isEmpty()) {
      // A fresh profile may have no download folder yet.
      const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
      QDir().mkpath(downloads);
      target = downloads + "/" + game.title + ".apk";
    }
    QFile::remove(target);
    if (!copy_file(apk, target, notes)) {
      error = "Cannot write " + native(target);
      return false;
    }
    result_path = target;
    message = (request.install ? "No Android device is connected, so the APK was saved:\n"
                               : "The APK was saved:\n") +
              native(target);
    return true;
  }

  if (built_for == Target::Switch) {
    const QString& target = request.output;
    QFile::remove(target);
    if (!copy_file(built + ".nro", target, notes)) {
      error = "Cannot write " + native(target);
      return false;
    }
    result_path = target;
    message = "The Nintendo Switch homebrew was saved:\n" + native(target) +
              "\n\nCopy it into the folder switch on the SD card and start it from the "
              "Homebrew Menu.";
    return true;
  }

  const BuiltGame result{game, built + platform::kExe, build_dir + "/games/" + game.id};
  if (request.export_folder)
    result_path = export_folder(result, request.output, error, notes) ? request.output : QString();
  else if (request.install)
    result_path = install(result, error, notes);
  else
    result_path = export_portable(result, request.output, error, notes);
  if (result_path.isEmpty()) return false;
  message = request.install ? game.title + " is installed: find it in the Start menu."
                            : "The game was saved:\n" + native(result_path);
  return true;
}

}  // namespace builder
