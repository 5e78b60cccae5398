// Where things live: the data root, cache, logs and sources, and the housekeeping of those
// folders (the short cache link, old per-user data, unpacked copies of the program).
#include "builder/paths.hpp"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cstring>
#include <vector>

#include "builder/platform.hpp"

namespace builder {

namespace {

QString g_data_root;
QString g_cache_dir;
bool g_remove_unpacked = false;

// Longest cache path kept as it is; longer ones get a short link.
constexpr qsizetype kMaxCachePath = 60;

QString clean(const QString& path) { return QDir::cleanPath(path); }

QString app_dir() { return clean(QCoreApplication::applicationDirPath()); }

// An empty LOCALAPPDATA counts as unset: paths built on it would land at the file-system root.
QString local_app_data() {
  const QString value = qEnvironmentVariable("LOCALAPPDATA");
  return value.isEmpty() ? QDir::homePath() : value;
}

QString system_cache_dir() { return clean(local_app_data() + "/skarnbolt/c"); }

QString system_data_dir() { return clean(local_app_data() + "/skarnbolt/data"); }

// The per-user root of unpacked copies; empty when LOCALAPPDATA is not set.
QString user_unpacked_root() {
  const QString value = qEnvironmentVariable("LOCALAPPDATA");
  return value.isEmpty() ? QString() : clean(value + "/skarnbolt/app");
}

bool starts_with_folder(const QString& path, const QString& folder) {
  return path.startsWith(folder + "/", Qt::CaseInsensitive);
}

// Compared files are read in chunks of this size, at most one chunk of each at a time.
constexpr qint64 kChunk = 1 << 20;

// The top-level entries of the port's tree that builds need.
const char* const kMirrored[] = {"CMakeLists.txt", "LICENSE", "cmake",   "games",
                                 "mods",           "platform", "runtime", "tools"};

// True when `target` holds exactly the bytes of `file`, whose size is `size`.
bool same_content(const QString& file, qint64 size, const QString& target,
                  std::vector<char>& a, std::vector<char>& b) {
  if (QFileInfo(target).size() != size) return false;
  QFile source(file), copy(target);
  if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ||
      !copy.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
    return false;
  for (;;) {
    const qint64 got_copy = copy.read(b.data(), kChunk);
    const qint64 got_source = source.read(a.data(), kChunk);
    if (got_copy < 0 || got_source < 0 || got_copy != got_source) return false;
    if (std::memcmp(a.data(), b.data(), size_t(got_source)) != 0) return false;
    if (got_source == 0 || source.atEnd()) return true;
  }
}

}  // namespace

QString data_root() { return g_data_root; }

void set_data_root(const QString& path) { g_data_root = clean(QDir(path).absolutePath()); }

void set_cache_dir(const QString& path) { g_cache_dir = path; }

QString cache_dir() {
  if (!g_cache_dir.isEmpty()) return g_cache_dir;
  if (!g_data_root.isEmpty()) return g_data_root + "/cache";
  return system_cache_dir();
}

QString log_dir() {
  if (!g_data_root.isEmpty()) return g_data_root + "/logs";
  if (!g_cache_dir.isEmpty()) return g_cache_dir;
  return system_cache_dir();
}

QString data_dir() {
  if (!g_data_root.isEmpty()) return g_data_root + "/builder";
  return system_data_dir();
}

QString source_dir() {
  const QString app = app_dir();
  for (const char* suffix :
       {"/source", "/../Resources/source", "/../share/skarnbolt-builder/source"}) {
    const QString candidate = clean(app + suffix);
    if (QFileInfo::exists(candidate + "/games") && QFileInfo::exists(candidate + "/CMakeLists.txt"))
      return candidate;
  }
  return clean(QString::fromUtf8(SKARNBOLT_PORT_SOURCE));
}

QString home_dir() {
  const QString home = qEnvironmentVariable("SKARNBOLT_BUILDER_HOME");
  if (!home.isEmpty()) return clean(home);
  const QString appimage = qEnvironmentVariable("APPIMAGE");
  if (!appimage.isEmpty()) return clean(QFileInfo(appimage).absolutePath());
  return app_dir();
}

QString sdl3_kit_dir() {
  const QString app = app_dir();
  for (const char* suffix : {"/sdl3", "/../share/skarnbolt-builder/sdl3"}) {
    const QString candidate = clean(app + suffix);
    if (QFileInfo::exists(candidate + "/lib/cmake/SDL3/SDL3Config.cmake")) return candidate;
  }
  return QString();
}

qint64 tree_size(const QString& folder) {
  qint64 total = 0;
  QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    it.next();
    const QFileInfo info = it.fileInfo();
    if (!info.isSymLink()) total += info.size();
  }
  return total;
}

QString format_size(qint64 bytes) {
  const double gib = double(bytes) / double(1 << 30);
  if (gib >= 0.1) return QString::number(gib, 'f', 1) + " GiB";
  return QString::number(double(bytes) / double(1 << 20), 'f', 0) + " MiB";
}

QString unpacked_app_dir() {
  const QString app = app_dir();
  QStringList roots;
  if (!g_data_root.isEmpty()) roots << g_data_root + "/app";
  const QString user_root = user_unpacked_root();
  if (!user_root.isEmpty()) roots << user_root;
  for (const QString& root : roots) {
    if (starts_with_folder(app, root))
      return root + "/" + app.mid(root.size() + 1).section('/', 0, 0);
  }
  return QString();
}

QStringList legacy_cache_dirs() {
  QStringList result;
  if (g_data_root.isEmpty()) return result;
  const QString copy = unpacked_app_dir();
  for (const QString& candidate : {system_cache_dir(), user_unpacked_root()}) {
    if (candidate.isEmpty() || !QFileInfo::exists(candidate)) continue;
    if (!copy.isEmpty() && starts_with_folder(copy, candidate)) continue;
    result << candidate;
  }
  return result;
}

void remove_unpacked_app() {
  const QString copy = unpacked_app_dir();
  if (copy.isEmpty()) return;
  const QDir parent(QFileInfo(copy).path());
  for (const QFileInfo& sibling : parent.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QString path = sibling.absoluteFilePath();
    if (path.compare(copy, Qt::CaseInsensitive) == 0) continue;
    // A link beside the copy goes by itself; its target is not ours to delete.
    if (sibling.isSymLink() || platform::is_folder_link(path))
      platform::remove_folder_link(path);
    else
      QDir(path).removeRecursively();
  }
  g_remove_unpacked = true;
}

void finish_unpacked_app_removal() {
  if (!g_remove_unpacked) return;
  const QString copy = unpacked_app_dir();
  if (copy.isEmpty()) return;
  const QString root = QFileInfo(copy).path();
  platform::remove_folder_later(copy, QFileInfo(root).path());
}

void shorten_cache() {
  if (g_data_root.isEmpty()) return;
  const QString cache = clean(g_data_root + "/cache");
  const QString links = clean(local_app_data() + "/skarnbolt/l");

  const QStringList entries =
      QDir(links).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  for (const QString& entry : entries) {
    const QString path = links + "/" + entry;
    if (platform::is_folder_link(path) && !platform::folder_link_target_exists(path))
      platform::remove_folder_link(path);
  }

  if (cache.size() <= kMaxCachePath) return;
  QDir().mkpath(cache);
  const QByteArray digest =
      QCryptographicHash::hash(cache.toLower().toUtf8(), QCryptographicHash::Sha256).toHex();
  const QString link = links + "/" + QString::fromLatin1(digest.left(8));
  if (!platform::is_folder_link(link)) {
    QDir().mkpath(links);
    platform::make_folder_link(link, cache);
  }
  if (platform::is_folder_link(link)) g_cache_dir = link;
}

void use_portable_data() {
  if (!g_data_root.isEmpty()) return;
  const QString folder = clean(home_dir() + "/skarnbolt-builder-data");
  if (!QDir().mkpath(folder)) return;
  QFile probe(folder + "/.write-test");
  if (!probe.open(QIODevice::WriteOnly)) return;
  probe.close();
  probe.remove();
  set_data_root(folder);

  const QString cache = g_data_root + "/cache";
  const QString user_cache = system_cache_dir();
  if (!QFileInfo::exists(cache) && QFileInfo::exists(user_cache)) QDir().rename(user_cache, cache);

  const QString keystore = g_data_root + "/builder/android.keystore";
  const QString user_keystore = system_data_dir() + "/android.keystore";
  if (!QFileInfo::exists(keystore) && QFileInfo::exists(user_keystore)) {
    QDir().mkpath(g_data_root + "/builder");
    QFile::copy(user_keystore, keystore);
  }

  shorten_cache();
}

QString sync_sources(QString& error) {
  const QString source = source_dir();
  const QString mirror = cache_dir() + "/source";
  QSet<QString> wanted;
  std::vector<char> a(kChunk), b(kChunk);

  auto mirror_file = [&](const QString& file, qint64 size) {
    const QString rel = file.mid(source.size() + 1);
    wanted.insert(rel);
    const QString target = mirror + "/" + rel;
    if (same_content(file, size, target, a, b)) return true;
    QDir().mkpath(QFileInfo(target).path());
    QFile::remove(target);
    if (!QFile::copy(file, target)) return false;
    // A read-only source must not leave a copy that the next update cannot replace.
    QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::WriteOwner);
    return true;
  };

  for (const char* name : kMirrored) {
    const QString path = source + "/" + name;
    const QFileInfo info(path);
    bool ok = true;
    if (info.isFile()) {
      ok = mirror_file(path, info.size());
    } else if (info.isDir()) {
      QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                      QDirIterator::Subdirectories);
      while (ok && it.hasNext()) {
        it.next();
        ok = mirror_file(it.filePath(), it.fileInfo().size());
      }
    }
    if (!ok) {
      error = "Cannot copy the sources to " + QDir::toNativeSeparators(mirror);
      return QString();
    }
  }

  QDirIterator it(mirror, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  QStringList stale;
  while (it.hasNext()) {
    it.next();
    if (!wanted.contains(it.filePath().mid(mirror.size() + 1))) stale << it.filePath();
  }
  for (const QString& file : stale) QFile::remove(file);
  return mirror;
}

}  // namespace builder
