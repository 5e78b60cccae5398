// devkitPro from a loopback package server: pacman databases and packages made with tar,
// read back through the system's CMake.
#include "builder/devkitpro.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>
#include <atomic>
#include <csignal>
#include <memory>
#include <thread>
#include <vector>

#include "builder/paths.hpp"
#include "support/https_peer.hpp"
#include "support/member_names.hpp"
#include "support/process_state.hpp"
#include "support/test_support.hpp"

// Readable strings in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace {

using testing_support::HttpsPeer;
using testing_support::noise;
using testing_support::read_file;

const QStringList kNames = {
    "devkita64-binutils", "devkita64-gcc", "devkita64-newlib", "libnx",
    "switch-tools",       "switch-sdl2",   "switch-mesa",      "switch-libdrm_nouveau",
};

// One Qt application, one cache and one package server per process.
struct World : testing_support::HttpsWorld {
  World() : HttpsWorld("builder_devkitpro_test") {}
  void SetUp() override {
    HttpsWorld::SetUp();
    qputenv("SKARNBOLT_DEVKITPRO_SERVER", peer().url("packages/").toUtf8());
  }
};
World* const g_world = static_cast<World*>(::testing::AddGlobalTestEnvironment(new World));

HttpsPeer& peer() { return g_world->peer(); }
QString cmake() { return QStandardPaths::findExecutable("cmake"); }
QString root() { return builder::cache_dir() + "/tools/devkitpro"; }
QString downloads() { return builder::cache_dir() + "/downloads"; }
QString packages() { return peer().root() + "/packages"; }
QString host_dir() { return packages() + "/windows/x86_64"; }

void write_file(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes);
}

std::string sh(const QString& text) { return testing_support::shell_quote(text.toStdString()); }

void shell(const QString& command) {
  std::string output;
  ASSERT_EQ(testing_support::run(command.toStdString(), &output), 0) << output;
}

// One package as the server offers it.
struct Entry {
  QString name;
  QString version = "1.0-1";
  bool host = false;       // in the host database, else in the library database
  bool with_sha = true;    // desc has a SHA256SUM
  bool with_file = true;   // desc has a FILENAME
  qint64 csize = -1;       // the listed size; -1: the real one
  bool garbage = false;    // the package file is no archive
  bool wrong_sha = false;  // the listed digest is not the file's
  QString listed;          // the FILENAME given; empty: the usual one
  QString desc = "desc";   // the name of its record file in the database
  QString hostile;         // a member leading out of the folder: "dotdot", "absolute", "link"
  bool bare = false;       // holds .PKGINFO alone, and the link below if there is one
  QString link_at;         // a symbolic link at this path of the package to `link_to`
  QString link_to;
  QString hard_at;  // a hard link at this path of the package to .PKGINFO
  QString filename() const {
    return listed.isEmpty() ? name + "-" + version + "-any.pkg.tar.gz" : listed;
  }
  QString folder() const { return host ? host_dir() : packages(); }
};

// The standard set: the compiler parts and tools in the host database, the rest in the other.
std::vector<Entry> standard(const QString& version = "1.0-1") {
  std::vector<Entry> entries;
  for (const QString& name : kNames) {
    Entry e;
    e.name = name;
    e.version = version;
    e.host = name == "devkita64-binutils" || name == "devkita64-gcc" || name == "switch-tools";
    entries.push_back(e);
  }
  return entries;
}

Entry* find(std::vector<Entry>& entries, const QString& name) {
  for (Entry& e : entries)
    if (e.name == name) return &e;
  return nullptr;
}

// Where hostile members aim: above the unpacking folder, at an absolute path, through a link.
QString escaped_dotdot() { return builder::cache_dir() + "/escaped-dotdot"; }
QString outside() { return g_world->base() + "/outside"; }

// Packs `folder` into the gzipped tar `archive`, with `members` first, and then one hostile
// member of the given form (none when empty) whose names start with `prefix`.
void pack(const QString& folder, const QString& members, const QString& archive,
          const QString& hostile, const QString& prefix) {
  const QString tar = archive + ".tar";
  const QString evil = g_world->base() + "/evil";
  write_file(evil + "/evil", "escaped");
  QDir().mkpath(outside());
  QString command = "cd " + QString::fromStdString(sh(folder)) + " && tar cf " +
                    QString::fromStdString(sh(tar)) + " " + members;
  const QString append = " && tar rf " + QString::fromStdString(sh(tar)) + " -P -C " +
                         QString::fromStdString(sh(evil)) + " --transform ";
  if (hostile == "dotdot") command += append + "'s,^evil$,../../escaped-dotdot,' evil";
  if (hostile == "absolute")
    command += append + "'s,^evil$," + outside() + "/escaped-absolute,' evil";
  if (hostile == "link") {
    QFile::remove(evil + "/lnk");
    QFile::link(outside(), evil + "/lnk");
    command += append + "'s,^lnk$," + prefix + "lnk,' lnk" + append + "'s,^evil$," + prefix +
               "lnk/escaped-link,' evil";
  }
  command += " && gzip -c " + QString::fromStdString(sh(tar)) + " > " +
             QString::fromStdString(sh(archive)) + " && rm " + QString::fromStdString(sh(tar));
  shell(command);
}

// Writes the database record of the package `e`, whose file holds `bytes`.
void write_record(const QString& db_dir, const Entry& e, const QByteArray& bytes) {
  QByteArray sha = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
  if (e.wrong_sha) sha = QCryptographicHash::hash("other", QCryptographicHash::Sha256).toHex();
  // Several depends lines, blank lines, a repeated field and unknown fields, as in the wild.
  QByteArray desc = "%NAME%\n" + e.name.toUtf8() + "\n\n%VERSION%\n" + e.version.toUtf8() +
                    "\n\n%DEPENDS%\nfirst-dependency\nsecond-dependency\n\n";
  if (e.with_file) desc += "%FILENAME%\n\n  " + e.filename().toUtf8() + "  \n\n";
  desc += "%CSIZE%\n" + QByteArray::number(e.csize >= 0 ? e.csize : qint64(bytes.size())) + "\n\n";
  if (e.with_sha) desc += "%SHA256SUM%\n" + sha + "\n\n";
  if (e.with_file) desc += "%FILENAME%\nshadowed-by-the-first.pkg.tar.gz\n\n";
  desc += "%ARCH%\nany\n";
  write_file(db_dir + "/" + e.name + "-" + e.version + "/" + e.desc, desc);
  write_file(db_dir + "/" + e.name + "-" + e.version + "/files", "%FILES%\nopt/\n");
}

// Makes every package and both databases on the server; returns the package sizes by name.
// `hostile_list` gives the host database a hostile member of that form.
QHash<QString, qint64> publish(const std::vector<Entry>& entries,
                               const QString& hostile_list = {}) {
  QDir(packages()).removeRecursively();
  QDir().mkpath(host_dir());
  const QString staging = g_world->base() + "/staging";
  QHash<QString, qint64> sizes;
  for (const bool host : {true, false}) {
    const QString db_dir = staging + (host ? "/host-db" : "/libs-db");
    QDir(db_dir).removeRecursively();
    QDir().mkpath(db_dir);
    for (const Entry& e : entries) {
      if (e.host != host) continue;
      const QString file = e.folder() + "/" + e.filename();
      if (e.garbage) {
        write_file(file, "not an archive at all");
      } else if (e.bare) {
        const QString tree = staging + "/pkg-" + e.name;
        QDir(tree).removeRecursively();
        write_file(tree + "/.PKGINFO", "pkgname = " + e.name.toUtf8());
        QString members = ".PKGINFO";
        if (!e.link_at.isEmpty()) {
          QDir().mkpath(QFileInfo(tree + "/" + e.link_at).path());
          QFile::link(e.link_to, tree + "/" + e.link_at);
          members += " " + e.link_at;
        }
        if (!e.hard_at.isEmpty()) {
          QDir().mkpath(QFileInfo(tree + "/" + e.hard_at).path());
          shell("cd " + QString::fromStdString(sh(tree)) + " && ln .PKGINFO " +
                QString::fromStdString(sh(e.hard_at)));
          members += " " + e.hard_at;
        }
        pack(tree, members, file, {}, {});
      } else {
        const QString tree = staging + "/pkg-" + e.name;
        QDir(tree).removeRecursively();
        write_file(tree + "/opt/devkitpro/" + e.name + "/VERSION", e.version.toUtf8());
        write_file(tree + "/opt/devkitpro/" + e.name + "/payload",
                   noise(20000 + 1000 * int(sizes.size()), quint32(sizes.size())));
        write_file(tree + "/.PKGINFO", "pkgname = " + e.name.toUtf8());
        // Links that stay inside, as real packages have them.
        const QString own = tree + "/opt/devkitpro/" + e.name;
        QFile::link("VERSION", own + "/VERSION-link");
        QFile::link("../" + e.name + "/payload", own + "/payload-link");
        shell("ln " + QString::fromStdString(sh(own + "/payload")) + " " +
              QString::fromStdString(sh(own + "/payload-hard")));
        pack(tree, ".PKGINFO opt", file, e.hostile, "opt/devkitpro/" + e.name + "/");
      }
      const QByteArray bytes = read_file(file);
      sizes.insert(e.name, bytes.size());
      write_record(db_dir, e, bytes);
    }
    const QString db = host ? host_dir() + "/dkp-windows.db" : packages() + "/dkp-libs.db";
    pack(db_dir, ".", db, host ? hostile_list : QString(), "");
  }
  peer().clear_requests();
  return sizes;
}

QString joined(const std::vector<Entry>& entries) {
  QStringList files;
  for (const QString& name : kNames)
    for (const Entry& e : entries)
      if (e.name == name) files << e.filename();
  return files.join('\n');
}

// The package server's requests since the last publish, as paths below "packages/".
QStringList fetched() {
  QStringList paths;
  for (const QString& line : peer().requests())
    paths << line.section(' ', 1, 1).mid(QString("/packages/").size());
  return paths;
}

QStringList database_requests() { return {"windows/x86_64/dkp-windows.db", "dkp-libs.db"}; }

// Nothing of a run is left in the download folder, and no staging folder.
void expect_clean_downloads() {
  const QStringList left = QDir(downloads()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
  EXPECT_TRUE(left.isEmpty()) << left.join(", ").toStdString();
  EXPECT_FALSE(QFileInfo::exists(root() + ".tmp"));
}

struct Outcome {
  QString result;
  QString error;
  QStringList log;
  std::vector<std::pair<qint64, qint64>> progress;
};

Outcome fetch(const std::atomic<bool>* cancel = nullptr, const QString& program = cmake()) {
  Outcome run;
  builder::FetchContext context;
  context.cancel = cancel;
  context.log = [&](const QString& line) { run.log << line; };
  context.progress = [&](qint64 done, qint64 total) { run.progress.emplace_back(done, total); };
  run.result = builder::fetch_devkitpro(program, context, run.error);
  return run;
}

// Installs the standard set and checks that it worked.
void install(const std::vector<Entry>& entries) {
  publish(entries);
  QDir(root()).removeRecursively();
  const Outcome run = fetch();
  ASSERT_EQ(run.result, root()) << run.error.toStdString();
}

// Publishes `entries`, whose switch-mesa is no usable record: the fetch fails after the lists
// and keeps the installation of `good`.
void expect_switch_mesa_unlisted(const std::vector<Entry>& entries,
                                 const std::vector<Entry>& good) {
  publish(entries);
  const Outcome run = fetch();
  EXPECT_EQ(run.result, QString());
  EXPECT_EQ(run.error, "devkitPro's package lists have no switch-mesa.");
  EXPECT_EQ(fetched(), database_requests());
  EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(good));
  expect_clean_downloads();
}

class Devkitpro : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer().ok()) << "the loopback HTTPS server did not start";
    ASSERT_FALSE(cmake().isEmpty()) << "no cmake on PATH";
    QFile::remove(packages() + "/.hangup");
  }
};

TEST_F(Devkitpro, AvailableExactlyOnX8664) {
  EXPECT_EQ(builder::devkitpro_available(), QSysInfo::currentCpuArchitecture() == "x86_64");
}

TEST_F(Devkitpro, FreshInstallTakesAllEightPackagesAndStampsLast) {
  std::vector<Entry> entries = standard();
  // Listed smaller than it is: its share of the progress stops at the listed size.
  find(entries, kNames.last())->csize = 1000;
  const QHash<QString, qint64> sizes = publish(entries);
  QDir(root()).removeRecursively();
  write_file(root() + ".tmp/opt/devkitpro/stale-leftover", "from a failed run");

  const Outcome run = fetch();
  ASSERT_EQ(run.result, root()) << run.error.toStdString();
  for (const Entry& e : entries)
    EXPECT_EQ(read_file(root() + "/" + e.name + "/VERSION"), e.version.toUtf8())
        << e.name.toStdString();
  EXPECT_FALSE(QFileInfo::exists(root() + "/stale-leftover"));
  EXPECT_FALSE(QFileInfo::exists(root() + "/opt"));
  EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(entries));
  expect_clean_downloads();

  // Databases first, then the packages in order, each from its database's folder.
  QStringList expected = database_requests();
  for (const QString& name : kNames) {
    const Entry* e = find(entries, name);
    expected << (e->host ? "windows/x86_64/" : "") + e->filename();
  }
  EXPECT_EQ(fetched(), expected);
  QStringList unpacked;
  for (const QString& line : run.log)
    if (line.startsWith("Unpacking ")) unpacked << line.mid(10);
  QStringList files;
  for (const QString& name : kNames) files << find(entries, name)->filename();
  EXPECT_EQ(unpacked, files);

  // One continuous count against the listed sizes; the last package, listed too small,
  // must not push it past the total.
  qint64 total = 0;
  for (const QString& name : kNames) total += name == kNames.last() ? 1000 : sizes.value(name);
  ASSERT_FALSE(run.progress.empty());
  qint64 before = 0;
  for (const auto& [done, all] : run.progress) {
    EXPECT_EQ(all, total);
    EXPECT_GE(done, before);
    EXPECT_LE(done, total);
    before = done;
  }
  EXPECT_EQ(run.progress.back().first, total);
}

TEST_F(Devkitpro, CurrentStampFetchesOnlyTheDatabases) {
  const std::vector<Entry> entries = standard();
  install(entries);
  for (const QByteArray& stamp :
       {joined(entries).toUtf8(), "\n " + joined(entries).toUtf8() + "\n"}) {
    write_file(root() + "/.skarnbolt-packages", stamp);
    peer().clear_requests();
    const Outcome run = fetch();
    EXPECT_EQ(run.result, root()) << run.error.toStdString();
    EXPECT_EQ(fetched(), database_requests());
    EXPECT_TRUE(run.progress.empty());
    expect_clean_downloads();
  }
}

TEST_F(Devkitpro, ANewerFileNameRebuildsAllEight) {
  std::vector<Entry> entries = standard();
  install(entries);
  write_file(root() + "/only-in-the-old-set", "old");
  find(entries, "switch-sdl2")->version = "2.0-1";
  publish(entries);
  const Outcome run = fetch();
  ASSERT_EQ(run.result, root()) << run.error.toStdString();
  EXPECT_EQ(fetched().size(), 2 + kNames.size());
  EXPECT_EQ(read_file(root() + "/switch-sdl2/VERSION"), "2.0-1");
  EXPECT_FALSE(QFileInfo::exists(root() + "/only-in-the-old-set"));
  EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(entries));
  expect_clean_downloads();
}

TEST_F(Devkitpro, HostDatabaseWinsAndTheLibraryDatabaseFillsIn) {
  std::vector<Entry> entries = standard();
  // libnx in both: the host record is taken; switch-mesa only in the library database.
  Entry shadow = *find(entries, "libnx");
  shadow.host = true;
  shadow.version = "9.9-1";
  entries.push_back(shadow);
  publish(entries);
  QDir(root()).removeRecursively();
  const Outcome run = fetch();
  ASSERT_EQ(run.result, root()) << run.error.toStdString();
  EXPECT_EQ(read_file(root() + "/libnx/VERSION"), "9.9-1");
  EXPECT_EQ(read_file(root() + "/switch-mesa/VERSION"), "1.0-1");
  EXPECT_TRUE(fetched().contains("windows/x86_64/" + shadow.filename()));
  EXPECT_TRUE(fetched().contains(find(entries, "switch-mesa")->filename()));
  EXPECT_TRUE(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages"))
                  .split('\n')
                  .contains(shadow.filename()));
}

TEST_F(Devkitpro, AMissingOrIncompletePackageFailsAndKeepsTheInstallation) {
  const std::vector<Entry> good = standard();
  install(good);
  struct Case {
    const char* label;
    void (*change)(std::vector<Entry>&);
  };
  const Case cases[] = {
      {"absent", [](std::vector<Entry>& e) { e.erase(e.begin() + 6); }},
      {"desc without SHA256SUM", [](std::vector<Entry>& e) { e[6].with_sha = false; }},
      {"desc without FILENAME", [](std::vector<Entry>& e) { e[6].with_file = false; }},
      // The lists carry no digest: a file name must not lead out of the download folder.
      {"FILENAME with a path", [](std::vector<Entry>& e) { e[6].listed = "../escape.tar.gz"; }},
      {"record file named DESC", [](std::vector<Entry>& e) { e[6].desc = "DESC"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Entry> entries = standard("2.0-1");
    c.change(entries);
    expect_switch_mesa_unlisted(entries, good);
    EXPECT_FALSE(QFileInfo::exists(builder::cache_dir() + "/escape.tar.gz"));
  }
}

TEST_F(Devkitpro, PackageFaultsKeepTheOldInstallationAndItsStamp) {
  const std::vector<Entry> good = standard();
  install(good);
  struct Case {
    const char* label;
    bool wrong_sha;
    bool garbage;
    QString message;
  };
  const Entry probe = standard("2.0-1")[4];
  const Case cases[] = {
      {"digest differs", true, false,
       "The download of " + probe.filename() +
           " is not the expected file (SHA-256 differs). Try again later."},
      {"cannot be unpacked", false, true, "Cannot unpack " + probe.filename()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Entry> entries = standard("2.0-1");
    entries[4].wrong_sha = c.wrong_sha;
    entries[4].garbage = c.garbage;
    publish(entries);
    const Outcome run = fetch();
    EXPECT_EQ(run.result, QString());
    EXPECT_EQ(run.error, c.message);
    EXPECT_EQ(read_file(root() + "/switch-tools/VERSION"), "1.0-1");
    EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(good));
    EXPECT_FALSE(QFileInfo::exists(downloads() + "/" + probe.filename()));
    EXPECT_FALSE(QFileInfo::exists(downloads() + "/" + probe.filename() + ".part"));
  }
}

TEST_F(Devkitpro, ArchivesLeadingOutsideAreRefusedBeforeAnythingIsWritten) {
  const std::vector<Entry> good = standard();
  install(good);
  // Links that stay inside the installation are kept.
  EXPECT_EQ(read_file(root() + "/switch-tools/VERSION-link"), "1.0-1");
  EXPECT_TRUE(QFileInfo(root() + "/switch-tools/payload-link").isSymLink());
  EXPECT_EQ(read_file(root() + "/switch-tools/payload-hard"),
            read_file(root() + "/switch-tools/payload"));
  const Entry probe = standard("2.0-1")[4];
  for (const bool in_list : {true, false}) {
    for (const QString form : {"dotdot", "absolute", "link"}) {
      SCOPED_TRACE((in_list ? "list, " : "package, ") + form.toStdString());
      QDir(outside()).removeRecursively();
      std::vector<Entry> entries = standard("2.0-1");
      if (!in_list) entries[4].hostile = form;
      publish(entries, in_list ? form : QString());
      const Outcome run = fetch();
      if (in_list) {
        EXPECT_EQ(run.result, root());
        EXPECT_EQ(run.log.value(run.log.size() - 1),
                  "Cannot read devkitPro's package list dkp-windows.db; using the devkitPro "
                  "packages already downloaded");
        expect_clean_downloads();
      } else {
        EXPECT_EQ(run.result, QString());
        EXPECT_EQ(run.error, "Cannot unpack " + probe.filename());
        EXPECT_FALSE(QFileInfo::exists(downloads() + "/" + probe.filename()));
      }
      EXPECT_EQ(read_file(root() + "/switch-tools/VERSION"), "1.0-1");
      EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(good));
      EXPECT_FALSE(QFileInfo::exists(escaped_dotdot()));
      const QStringList left = QDir(outside()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
      EXPECT_TRUE(left.isEmpty()) << left.join(", ").toStdString();
      QFile::remove(escaped_dotdot());
    }
  }
}

// The forms of the member-name rule that a list can give as one package file name: the unsafe
// ones are no record; the safe ones are downloaded and installed under that name.
TEST_F(Devkitpro, PackageFileNamesFollowTheMemberNameRule) {
  const std::vector<Entry> good = standard();
  install(good);
  std::vector<Entry> safe = standard("2.0-1");
  std::size_t next = 0;
  for (const testing_support::NameForm& form : testing_support::name_forms()) {
    const QString name = QString::fromStdString(form.name);
    // One piece as the lists give it: trimmed, and read as UTF-8 text.
    if (name.contains('/') || name.trimmed() != name ||
        name.toUtf8() != QByteArray::fromStdString(form.name))
      continue;
    if (form.safe) {
      if (next < safe.size()) safe[next++].listed = name;
      continue;
    }
    SCOPED_TRACE(form.what);
    std::vector<Entry> entries = standard("2.0-1");
    for (Entry& e : entries) e.bare = true;  // nothing of them is unpacked
    entries[6].listed = name;
    expect_switch_mesa_unlisted(entries, good);
  }
  ASSERT_GT(next, 0u);
  publish(safe);
  const Outcome run = fetch();
  ASSERT_EQ(run.result, root()) << run.error.toStdString();
  EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(safe));
  expect_clean_downloads();
}

// A package whose devkitPro folder, or the folder above it, is a link would make the installation
// that link: to the cache itself, whose next change would empty the whole cache.
TEST_F(Devkitpro, APackageRootThatIsNoRealFolderIsRefused) {
  const std::vector<Entry> good = standard();
  install(good);
  write_file(builder::cache_dir() + "/keep", "the cache's own");
  struct Case {
    const char* label;
    QString link_at;
    QString link_to;
    QString hard_at;
    bool listed;  // refused by the look at the listing, else at the move
  };
  const Case cases[] = {
      {"the root a link to the cache", "opt/devkitpro", "..", {}, true},
      {"the folder above it a link", "opt", ".", {}, true},
      {"the root a hard link to a file", {}, {}, "opt/devkitpro", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Entry> entries = standard("2.0-1");
    for (Entry& e : entries) e.bare = true;
    entries[0].link_at = c.link_at;
    entries[0].link_to = c.link_to;
    entries[0].hard_at = c.hard_at;
    publish(entries);
    const Outcome run = fetch();
    EXPECT_EQ(run.result, QString());
    EXPECT_EQ(run.error, c.listed
                             ? "Cannot unpack " + entries[0].filename()
                             : "Cannot move devkitPro into " + QDir::toNativeSeparators(root()));
    EXPECT_FALSE(QFileInfo(root()).isSymLink());
    EXPECT_EQ(read_file(root() + "/switch-tools/VERSION"), "1.0-1");
    EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(good));
    EXPECT_EQ(read_file(builder::cache_dir() + "/keep"), "the cache's own");
    QDir(root() + ".tmp").removeRecursively();
  }
}

// A link where the installation should be is no installation: it is replaced by a real one, and
// what it points to is neither read nor emptied.
TEST_F(Devkitpro, ALinkInPlaceOfTheInstallationIsReplacedNotFollowed) {
  const std::vector<Entry> entries = standard();
  publish(entries);
  const QString elsewhere = g_world->base() + "/elsewhere";
  for (const QString& stamp : {joined(entries), QString("stale")}) {
    SCOPED_TRACE(stamp.toStdString());
    QDir(root()).removeRecursively();
    QFile::remove(root());
    write_file(elsewhere + "/.skarnbolt-packages", stamp.toUtf8());
    write_file(elsewhere + "/keep", "not ours");
    QDir().mkpath(QFileInfo(root()).path());
    ASSERT_TRUE(QFile::link(elsewhere, root()));
    peer().clear_requests();
    const Outcome run = fetch();
    ASSERT_EQ(run.result, root()) << run.error.toStdString();
    EXPECT_FALSE(QFileInfo(root()).isSymLink());
    EXPECT_EQ(fetched().size(), 2 + kNames.size());
    EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(entries));
    EXPECT_EQ(read_file(elsewhere + "/keep"), "not ours");
    EXPECT_EQ(read_file(elsewhere + "/.skarnbolt-packages"), stamp.toUtf8());
  }
}

TEST_F(Devkitpro, UnreachableListsFallBackToAnInstalledSet) {
  const std::vector<Entry> entries = standard();
  struct Case {
    const char* label;
    bool installed;
    bool down;        // else the lists are no tar archives
    QString message;  // a message ending in ": " is a prefix
  };
  const Case cases[] = {
      {"server down, installed", true, true, "Download of devkitPro's package list failed: "},
      {"server down, nothing installed", false, true,
       "Download of devkitPro's package list failed: "},
      {"unreadable list, installed", true, false,
       "Cannot read devkitPro's package list dkp-windows.db"},
      {"unreadable list, nothing installed", false, false,
       "Cannot read devkitPro's package list dkp-windows.db"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    QFile::remove(packages() + "/.hangup");
    if (c.installed) {
      install(entries);
    } else {
      publish(entries);
      QDir(root()).removeRecursively();
    }
    if (c.down)
      write_file(packages() + "/.hangup", "");
    else
      write_file(host_dir() + "/dkp-windows.db", "this is no tar archive");
    const Outcome run = fetch();
    const QString text = c.installed ? run.log.value(run.log.size() - 1) : run.error;
    if (c.installed) {
      EXPECT_EQ(run.result, root());
      EXPECT_TRUE(text.endsWith("; using the devkitPro packages already downloaded"))
          << text.toStdString();
      EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(entries));
    } else {
      EXPECT_EQ(run.result, QString());
      EXPECT_FALSE(QFileInfo::exists(root()));
    }
    if (c.message.endsWith(": ")) {
      EXPECT_TRUE(text.startsWith(c.message)) << text.toStdString();
    } else {
      EXPECT_TRUE(text.startsWith(c.message)) << text.toStdString();
      EXPECT_TRUE(c.installed || text == c.message) << text.toStdString();
    }
    expect_clean_downloads();
  }
  QFile::remove(packages() + "/.hangup");
}

TEST_F(Devkitpro, CancelDuringTheListsGivesNoFallback) {
  const std::vector<Entry> entries = standard();
  install(entries);
  std::atomic<bool> cancel{true};
  const Outcome run = fetch(&cancel);
  EXPECT_EQ(run.result, QString());
  EXPECT_EQ(run.error, "Cancelled");
  EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(entries));
  expect_clean_downloads();
}

// Unpacking is a tool like any other: a cancel ends it at once, with whatever it started, and
// the installation from before stays.
TEST_F(Devkitpro, ACancelEndsTheUnpackingAtOnce) {
  const std::vector<Entry> entries = standard();
  install(entries);
  publish(standard("2.0-1"));
  // CMake, but its unpacking of a package runs for ten minutes, in a process that names itself.
  const QString stub = g_world->base() + "/slow-cmake";
  const QString mark = g_world->base() + "/unpacking";
  QFile::remove(mark);
  write_file(stub,
             "#!/bin/sh\nif [ \"$3\" = xf ]; then case \"$4\" in *.pkg.tar.gz)\n"
             "  echo $$ > " +
                 QByteArray::fromStdString(sh(mark)) +
                 "; exec sleep 600;;\n"
                 "esac; fi\nexec " +
                 QByteArray::fromStdString(sh(cmake())) + " \"$@\"\n");
  QFile::setPermissions(stub, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

  std::atomic<bool> cancel{false};
  std::atomic<bool> done{false};
  Outcome run;
  std::thread worker([&] {
    run = fetch(&cancel, stub);
    done = true;
  });
  QDeadlineTimer deadline(120000);
  while (!QFileInfo::exists(mark) && !done && !deadline.hasExpired()) QThread::msleep(20);
  int unpacker = 0;
  while (unpacker <= 0 && !done && !deadline.hasExpired()) {
    unpacker = read_file(mark).trimmed().toInt();  // the file may not be written yet
    if (unpacker <= 0) QThread::msleep(20);
  }
  cancel = true;
  deadline.setRemainingTime(60000);
  while (!done && !deadline.hasExpired()) QThread::msleep(20);
  if (!done && unpacker > 0 &&
      read_file("/proc/" + QString::number(unpacker) + "/cmdline")
          .startsWith("sleep\0"
                      "600")) {
    ::kill(unpacker, SIGKILL);  // our own stub's, left running: let the worker end
  }
  worker.join();
  ASSERT_GT(unpacker, 0) << "the unpacking never started: " << run.error.toStdString();
  EXPECT_EQ(run.result, QString());
  EXPECT_EQ(run.error, "Cancelled");
  EXPECT_FALSE(testing_support::still_runs(unpacker)) << "the unpacking still runs";
  EXPECT_EQ(QString::fromUtf8(read_file(root() + "/.skarnbolt-packages")), joined(entries));
}

}  // namespace
