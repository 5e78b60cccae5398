#include "builder/devkitpro.hpp"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringList>
#include <QSysInfo>
#include <optional>

#include "apk/member_name.hpp"
#include "builder/paths.hpp"
#include "builder/tar_listing.hpp"
#include "builder/tool_process.hpp"

namespace builder {

namespace {

const QString kServer = "https://pkg.devkitpro.org/packages/";
const QString kStamp = ".skarnbolt-packages";
const QStringList kPackages = {
    "devkita64-binutils", "devkita64-gcc", "devkita64-newlib", "libnx",
    "switch-tools",       "switch-sdl2",   "switch-mesa",      "switch-libdrm_nouveau",
};
const QString kListName = "devkitPro's package list";

// One package as a database describes it.
struct Package {
  QString filename;
  QString sha256;
  QString url;
  qint64 size = 0;
};

// The server base; SKARNBOLT_DEVKITPRO_SERVER, read once, points tests at a local server.
const QString& server() {
  static const QString base = qEnvironmentVariable("SKARNBOLT_DEVKITPRO_SERVER", kServer);
  return base;
}

// Runs CMake's tar mode in `dest`; the exit code, or -1 when it did not run to an exit.
// Cancelling ends it as it ends every other tool.
int unpack(const QString& cmake, const QString& archive, const QString& dest,
           const FetchContext& context) {
  QDir().mkpath(dest);
  ToolRun run;
  run.cancel = context.cancel;
  run.working_dir = dest;
  QString start_error;
  return run_tool(cmake, {"-E", "tar", "xf", archive}, run, start_error);
}

// CMake's tar listing of an archive ("tf" or "tvf"); no value when it does not succeed.
std::optional<QByteArray> list(const QString& cmake, const QString& mode, const QString& archive,
                               const FetchContext& context) {
  QByteArray listing;
  ToolRun run;
  run.cancel = context.cancel;
  run.merged = false;
  run.output = [&listing](const QByteArray& bytes) { listing += bytes; };
  QString start_error;
  if (run_tool(cmake, {"-E", "tar", mode, archive}, run, start_error) != 0) return std::nullopt;
  return listing;
}

// Whether the archive can be unpacked into a folder already holding `links` without writing
// anywhere else. CMake's tar mode follows "..", absolute names and links, and the lists carry
// no digest of their own (the packages' digests come from them), so each archive is looked at
// before anything of it is written.
// The package root and the folder above it may be no link either: moved into the cache, such a
// link would make the installation another folder, the cache itself even.
bool stays_inside(const QString& cmake, const QString& archive, QSet<QString>& links,
                  const FetchContext& context) {
  const std::optional<QByteArray> names = list(cmake, "tf", archive, context);
  const std::optional<QByteArray> verbose =
      names ? list(cmake, "tvf", archive, context) : std::nullopt;
  return verbose && tar_listing_safe(*names, *verbose, links) && !links.contains("opt") &&
         !links.contains("opt/devkitpro");
}

// A file name that stays inside the download folder as itself on every system. The lists carry
// no digest, so a name with a path in it is no usable record.
bool plain_name(const QString& name) {
  const std::string text = name.toStdString();
  const std::optional<std::string> clean = apk::safe_member_name(text);
  return !text.empty() && clean == text && text.find('/') == std::string::npos;
}

bool read_repository(const QString& cmake, const QString& database, const QString& base,
                     const FetchContext& context, QHash<QString, Package>& packages,
                     QString& error) {
  const QString folder = database + ".d";
  remove_folder(folder);
  QSet<QString> links;
  if (!stays_inside(cmake, database, links, context) ||
      unpack(cmake, database, folder, context) != 0) {
    remove_folder(folder);
    error = "Cannot read " + kListName + " " + QFileInfo(database).fileName();
    return false;
  }
  QDirIterator it(folder, {"desc"}, QDir::Files | QDir::Hidden | QDir::CaseSensitive,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    QFile desc(it.next());
    if (!desc.open(QIODevice::ReadOnly)) continue;
    const QHash<QString, QString> fields = read_desc(desc.readAll());
    Package package;
    package.filename = fields.value("FILENAME");
    package.sha256 = fields.value("SHA256SUM");
    if (!plain_name(package.filename) || package.sha256.isEmpty()) continue;
    package.url = base + package.filename;
    package.size = fields.value("CSIZE").toLongLong();
    packages.insert(fields.value("NAME"), package);
  }
  remove_folder(folder);
  return true;
}

}  // namespace

const char kSwitchUnavailable[] =
    "Nintendo Switch builds are not available on this computer (devkitPro has no tools for it).";

QHash<QString, QString> read_desc(const QByteArray& text) {
  QHash<QString, QString> fields;
  QString field;
  bool have_value = true;
  for (const QString& line : QString::fromUtf8(text).split('\n')) {
    if (line.size() >= 2 && line.startsWith('%') && line.endsWith('%')) {
      field = line.mid(1, line.size() - 2);
      have_value = fields.contains(field);
      continue;
    }
    const QString value = line.trimmed();
    if (have_value || value.isEmpty()) continue;
    fields.insert(field, value);
    have_value = true;
  }
  return fields;
}

bool devkitpro_available() { return QSysInfo::currentCpuArchitecture() == "x86_64"; }

QString fetch_devkitpro(const QString& cmake, const FetchContext& context, QString& error) {
  const QString root = cache_dir() + "/tools/devkitpro";
  QString stamp;
  {
    // What lies behind a link is no installation of ours.
    QFile file(root + "/" + kStamp);
    if (real_folder(root) && file.open(QIODevice::ReadOnly))
      stamp = QString::fromUtf8(file.readAll());
  }
  if (!devkitpro_available()) {
    error = kSwitchUnavailable;
    return {};
  }
  const QString downloads = cache_dir() + "/downloads";
  QDir().mkpath(downloads);

  FetchContext quiet;
  quiet.cancel = context.cancel;
  quiet.log = context.log;
  const QString host_db = downloads + "/dkp-windows.db";
  const QString libs_db = downloads + "/dkp-libs.db";
  const QString host_base = server() + "windows/x86_64/";
  QHash<QString, Package> host;
  QHash<QString, Package> libs;
  QString failure;
  const bool ok =
      download_checked(host_base + "dkp-windows.db", {}, 30000, kListName, host_db, quiet,
                       failure) &&
      download_checked(server() + "dkp-libs.db", {}, 250000, kListName, libs_db, quiet, failure) &&
      read_repository(cmake, host_db, host_base, quiet, host, failure) &&
      read_repository(cmake, libs_db, server(), quiet, libs, failure);
  QFile::remove(host_db);
  QFile::remove(libs_db);
  if (!ok) {
    if (cancelled(context)) {
      error = "Cancelled";
      return {};
    }
    if (!stamp.isEmpty()) {
      if (context.log) context.log(failure + "; using the devkitPro packages already downloaded");
      return root;
    }
    error = failure;
    return {};
  }

  QList<Package> chosen;
  QStringList names;
  qint64 total = 0;
  for (const QString& name : kPackages) {
    const Package* found = host.contains(name)   ? &host[name]
                           : libs.contains(name) ? &libs[name]
                                                 : nullptr;
    if (!found) {
      error = "devkitPro's package lists have no " + name + ".";
      return {};
    }
    chosen.append(*found);
    names.append(found->filename);
    total += found->size;
  }
  const QString joined = names.join('\n');
  if (stamp.trimmed() == joined) return root;

  const QString staging = cache_dir() + "/tools/devkitpro.tmp";
  remove_folder(staging);
  qint64 done = 0;
  QSet<QString> links;  // of all packages so far: they share one folder
  for (const Package& package : chosen) {
    FetchContext piece;
    piece.cancel = context.cancel;
    piece.log = context.log;
    piece.progress = [&](qint64 received, qint64) {
      if (context.progress) context.progress(done + qMin(received, package.size), total);
    };
    const QString archive = downloads + "/" + package.filename;
    if (!download_checked(package.url, package.sha256, package.size, package.filename, archive,
                          piece, error))
      return {};
    if (context.log) context.log("Unpacking " + package.filename);
    const int code = stays_inside(cmake, archive, links, context)
                         ? unpack(cmake, archive, staging, context)
                         : -1;
    QFile::remove(archive);
    if (code != 0) {
      error = cancelled(context) ? "Cancelled" : "Cannot unpack " + package.filename;
      return {};
    }
    done += package.size;
  }

  // Only a real folder is moved, so the installation is never a link out of the cache.
  const QString unpacked = staging + "/opt/devkitpro";
  const bool movable = real_folder(staging + "/opt") && real_folder(unpacked);
  if (movable) remove_folder(root);
  if (!movable || !QDir().rename(unpacked, root)) {
    error = "Cannot move devkitPro into " + QDir::toNativeSeparators(root);
    return {};
  }
  remove_folder(staging);
  QFile file(root + "/" + kStamp);
  if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(joined.toUtf8());
  return root;
}

}  // namespace builder
