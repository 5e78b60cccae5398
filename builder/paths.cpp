// Where things live: the data root, cache, logs and sources, and the housekeeping of those
// folders (the short cache link, old per-user data, unpacked copies of the program).
#include "builder/paths.hpp"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "builder/apk_match.hpp"
#include "builder/platform.hpp"

namespace builder {

namespace {

namespace fs = std::filesystem;

QString g_data_root;
QString g_cache_dir;
bool g_remove_unpacked = false;

// Longest cache path kept as it is; longer ones get a short link.
constexpr qsizetype kMaxCachePath = 60;

QString clean(const QString& path) { return QDir::cleanPath(path); }

QString app_dir() { return clean(QCoreApplication::applicationDirPath()); }

QString system_cache_dir() { return clean(platform::local_app_data() + "/skarnbolt/c"); }

QString system_data_dir() { return clean(platform::local_app_data() + "/skarnbolt/data"); }

// The per-user root of unpacked copies; empty when LOCALAPPDATA is not set.
QString user_unpacked_root() {
  const QString value = qEnvironmentVariable("LOCALAPPDATA");
  return value.isEmpty() ? QString() : clean(value + "/skarnbolt/app");
}

bool starts_with_folder(const QString& path, const QString& folder) {
  return path.startsWith(folder + "/", Qt::CaseInsensitive);
}

// Compared files are read in chunks of this size, at most one chunk of each at a time.
constexpr std::size_t kChunk = 1 << 20;

// The top-level entries of the port's tree that builds need.
const char* const kMirrored[] = {"CMakeLists.txt", "LICENSE",  "cmake",   "games",
                                 "mods",           "platform", "runtime", "tools"};

// True when `target` holds exactly the bytes of `file`. Sizes are compared through the chunk
// lengths, so that an unchanged file costs two opens and no further path lookups.
bool same_content(const fs::path& file, const fs::path& target, std::vector<char>& a,
                  std::vector<char>& b) {
  std::ifstream copy, source;
  copy.rdbuf()->pubsetbuf(nullptr, 0);
  source.rdbuf()->pubsetbuf(nullptr, 0);
  copy.open(target, std::ios::binary);
  if (!copy) return false;
  source.open(file, std::ios::binary);
  if (!source) return false;
  const auto chunk = std::streamsize(kChunk);
  for (;;) {
    copy.read(b.data(), chunk);
    source.read(a.data(), chunk);
    const std::streamsize n = source.gcount();
    if (copy.gcount() != n || std::memcmp(a.data(), b.data(), std::size_t(n)) != 0) return false;
    if (n < chunk) return !copy.bad() && !source.bad();  // both ended here
  }
}

// Copies `file` over `target` with the file's permissions plus the owner's write permission,
// so that a read-only source does not leave a copy that the next update cannot replace.
bool copy_over(const fs::path& file, const fs::path& target) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  fs::remove(target, ec);
  if (!fs::copy_file(file, target, ec)) {
    fs::remove(target, ec);  // a partly written copy, as on a full disk
    return false;
  }
  fs::permissions(target, fs::perms::owner_write, fs::perm_options::add, ec);
  return true;
}

// Removes what a change of shape in the source tree left in the way of mirror/rel: a file or
// dangling link where one of its folders goes, or a folder where it goes. Nothing there is
// still wanted, since no path is a file and a folder at once; without this, every later run
// would fail on it. False when nothing stood in the way.
bool clear_the_way(const fs::path& mirror, const fs::path& rel) {
  std::error_code ec;
  fs::path at = mirror;
  for (auto part = rel.begin(); part != rel.end(); ++part) {
    at /= *part;
    const fs::file_status own = fs::symlink_status(at, ec);
    if (!fs::exists(own)) return false;
    if (std::next(part) == rel.end())
      return fs::is_directory(own) && fs::remove_all(at, ec) != static_cast<std::uintmax_t>(-1);
    if (!fs::is_directory(fs::status(at, ec))) return fs::remove(at, ec);
  }
  return false;
}

// `text` with its ASCII letters in lower case.
fs::path::string_type folded(fs::path::string_type text) {
  for (auto& c : text)
    if (c >= 'A' && c <= 'Z') c = c - 'A' + 'a';
  return text;
}

// Where the paths below `root` start in the paths that a walk of `root` produces.
std::size_t below(const fs::path& root) {
  const auto& text = root.native();
  const bool ends_in_separator =
      !text.empty() && (text.back() == '/' || text.back() == fs::path::preferred_separator);
  return text.size() + (ends_in_separator ? 0 : 1);
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

bool real_folder(const QString& path) {
  const QFileInfo info(path);
  return info.isDir() && !info.isSymLink() && !info.isJunction();
}

void remove_folder(const QString& path) {
  const QFileInfo info(path);
  if (!info.isSymLink() && !info.isJunction()) {
    QDir(path).removeRecursively();
  } else if (!QFile::remove(path)) {
    QDir().rmdir(path);
  }
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
  const QString links = clean(platform::local_app_data() + "/skarnbolt/l");

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

QString home_variable_error() {
  if (!platform::undecodable_variable("SKARNBOLT_BUILDER_HOME")) return {};
  return "The variable SKARNBOLT_BUILDER_HOME is not valid text in this system's character "
         "encoding, so it cannot name a folder.";
}

void use_portable_data() {
  if (!g_data_root.isEmpty() || !home_variable_error().isEmpty()) return;
  // A program folder that Qt cannot decode comes back empty, which would put the data at the
  // file-system root, or with replaced bytes, which names a folder nobody chose.
  const QString home = home_dir();
  if (home.isEmpty() || home.contains(QChar::ReplacementCharacter)) return;
  const QString folder = clean(home + "/skarnbolt-builder-data");
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

// Mirroring works on standard paths: their directory walk knows entry types without asking the
// file system again, which keeps an unchanged run at a few system calls per file.
QString sync_sources(QString& error) {
  const fs::path source = to_path(source_dir());
  const QString mirror_text = cache_dir() + "/source";
  const fs::path mirror = to_path(mirror_text);
  const std::size_t source_prefix = below(source), mirror_prefix = below(mirror);
  std::unordered_set<fs::path::string_type> wanted;
  std::vector<char> a(kChunk), b(kChunk);

  auto mirror_file = [&](const fs::path& file) {
    auto rel = file.native().substr(source_prefix);
    const fs::path target = mirror / rel;
    const bool ok = same_content(file, target, a, b) || copy_over(file, target) ||
                    (clear_the_way(mirror, rel) && copy_over(file, target));
    wanted.insert(std::move(rel));
    return ok;
  };

  for (const char* name : kMirrored) {
    const fs::path path = source / name;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    bool ok = true;
    if (fs::is_regular_file(status)) {
      ok = mirror_file(path);
    } else if (fs::is_directory(status)) {
      // Links to folders are not followed. A folder that cannot be read fails the run, since
      // its files would otherwise count as stale.
      fs::recursive_directory_iterator it(path, ec), end;
      for (; !ec && ok && it != end; it.increment(ec)) {
        std::error_code broken;  // a dangling link is no file and no failure
        if (it->is_regular_file(broken)) ok = mirror_file(it->path());
      }
      if (ec) ok = false;
    }
    if (!ok) {
      error = "Cannot copy the sources to " + QDir::toNativeSeparators(mirror_text);
      return QString();
    }
  }

  std::vector<fs::path> stale;
  std::error_code ec;
  fs::recursive_directory_iterator it(mirror, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::error_code broken;
    if (!it->is_directory(broken) && !wanted.count(it->path().native().substr(mirror_prefix)))
      stale.push_back(it->path());
  }
  // Where letter case is ignored, a file or folder renamed only in case keeps its old name in
  // the mirror while being the wanted file itself; deleting it would lose that file.
  std::unordered_map<fs::path::string_type, fs::path::string_type> wanted_by_folded;
  if (!stale.empty())
    for (const auto& rel : wanted) wanted_by_folded.emplace(folded(rel), rel);
  for (const fs::path& file : stale) {
    const auto match = wanted_by_folded.find(folded(file.native().substr(mirror_prefix)));
    if (match != wanted_by_folded.end() && fs::equivalent(file, mirror / match->second, ec))
      continue;
    fs::remove(file, ec);
  }
  return mirror_text;
}

}  // namespace builder
