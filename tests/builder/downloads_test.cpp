// Pinned downloads against a real HTTPS server on loopback: streaming and progress, redirects,
// the stall limit, cancelling, write failures, and unpacking into the tool cache.
#include "builder/downloads.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "builder/paths.hpp"
#include "support/https_peer.hpp"
#include "support/test_support.hpp"

// Readable strings in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace {

using testing_support::HttpsPeer;
using testing_support::noise;
using testing_support::read_file;

// The stall limit of this test process, so that a silent server fails in seconds.
constexpr int kStallMs = 1500;

// Cancels from another thread, as the window does, once the server has sent the `bytes` it
// sends before it falls silent.
class CancelInTheSilence {
 public:
  CancelInTheSilence(std::atomic<bool>& cancel, qint64 bytes)
      : bytes_(bytes), thread_([this, &cancel] {
          silent_.wait(false);
          late_ms_ = since_.elapsed();
          cancel = true;
        }) {}
  ~CancelInTheSilence() { finish(); }

  // For the transfer's progress callback.
  void progress(qint64 done) {
    if (done < bytes_ || silent_) return;
    since_.start();
    wake();
  }

  // Whether a machine too busy to run the cancelling thread let the stall limit come first:
  // then the outcome says nothing about the cancel.
  bool too_late() {
    finish();
    return late_ms_ >= kStallMs / 2;
  }

 private:
  void wake() {
    silent_ = true;
    silent_.notify_all();
  }
  void finish() {
    if (!thread_.joinable()) return;
    if (!silent_) wake();
    thread_.join();
  }

  qint64 bytes_;
  QElapsedTimer since_;
  std::atomic<bool> silent_{false};
  qint64 late_ms_ = 0;
  std::thread thread_;
};

// One Qt application, one cache below a temporary data root and one server per process.
struct World : testing_support::HttpsWorld {
  World() : HttpsWorld("builder_downloads_test") {}
  void SetUp() override {
    qputenv("SKARNBOLT_DOWNLOAD_STALL_MS", QByteArray::number(kStallMs));
    HttpsWorld::SetUp();
  }
};
World* const g_world = static_cast<World*>(::testing::AddGlobalTestEnvironment(new World));

HttpsPeer& peer() { return g_world->peer(); }

QString sha256(const QByteArray& bytes) {
  return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

void write_file(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes);
}

// Puts `bytes` on the server as `name` and returns its digest.
QString serve(const QString& name, const QByteArray& bytes) {
  write_file(peer().root() + "/" + name, bytes);
  return sha256(bytes);
}

// A fresh folder for one test's own files.
QString scratch(const QString& name) {
  const QString path = g_world->base() + "/scratch/" + name;
  QDir(path).removeRecursively();
  QDir().mkpath(path);
  return path;
}

std::string sh(const QString& text) { return testing_support::shell_quote(text.toStdString()); }

// Packs the files (name, content) of a fresh folder with `command`, run inside that folder
// with "%1" standing for the archive path; puts the archive on the server as `name`.
QString serve_packed(const QString& name, const QList<QPair<QString, QByteArray>>& files,
                     const QString& command) {
  const QString staging = scratch("pack-" + name);
  for (const auto& [path, content] : files) {
    if (path.endsWith('/'))
      QDir().mkpath(staging + "/" + path);
    else
      write_file(staging + "/" + path, content);
  }
  const QString archive = peer().root() + "/" + name;
  QFile::remove(archive);
  std::string output;
  const int code = testing_support::run(
      "cd " + sh(staging) + " && " + command.arg(QString::fromStdString(sh(archive))).toStdString(),
      &output);
  EXPECT_EQ(code, 0) << output;
  return sha256(read_file(archive));
}

QString downloads() { return builder::cache_dir() + "/downloads"; }
QString tools() { return builder::cache_dir() + "/tools"; }

int requests_for(const QString& path) {
  int count = 0;
  for (const QString& line : peer().requests())
    count += line.section(' ', 1, 1).section('?', 0, 0) == "/" + path;
  return count;
}

class Downloads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(peer().ok()) << "the loopback HTTPS server did not start"; }
};

TEST_F(Downloads, TableHasTheEightPinnedRows) {
  struct Row {
    int tool;
    const char* name;
    const char* url_end;
    qint64 size;
    const char* sha256;
    const char* folder;
  };
  const Row rows[] = {
      {0, "CMake", "/Kitware/CMake/releases/download/v4.5.0/cmake-4.5.0-windows-x86_64.zip",
       48000000, "301b1728317ccd84e984b02e366a8293735bc5ac618757d3d8f58b578f062411", "cmake"},
      {1, "Ninja", "/ninja-build/ninja/releases/download/v1.13.2/ninja-win.zip", 300000,
       "07fc8261b42b20e71d1720b39068c2e14ffcee6396b76fb7a795fb460b78dc65", "ninja"},
      {2, "LLVM MinGW",
       "/llvm-mingw/releases/download/20261104/llvm-mingw-20261104-ucrt-x86_64.zip", 180000000,
       "552191b5754c49a5a20723276a6fc56541ea1922c4c50b7b669022333fc1b40f", "llvm-mingw"},
      {4, "Android NDK", "/android/repository/android-ndk-r30-windows.zip", 727980788,
       "b830098aaf18b67a42eb831c404e15e5f2990a474f054ac145b0bc957ac6d729", "android-ndk"},
      {5, "Android build tools", "/android/repository/build-tools_r37_windows.zip", 61077164,
       "68075aa319ed8a01cf1a565ed1e61a3c1a801dd49191c35851248dc293c33b1a",
       "android-sdk/build-tools/37.0.0"},
      {6, "Android platform", "/android/repository/platform-36_r02.zip", 65878410,
       "37607369a28c5b640b3a7998868d45898ebcb777565a0e85f9acf36f29631d2e",
       "android-sdk/platforms/android-36"},
      {7, "Android platform tools", "/android/repository/platform-tools_r37.0.1-win.zip", 8044989,
       "45f4d63113e895ebde0c90f194099a4676b6ac653bd28d54314a9e022bbc1a99",
       "android-sdk/platform-tools"},
      {8, "Java",
       "/adoptium/temurin21-binaries/releases/download/jdk-21.0.13%2B9/"
       "OpenJDK21U-jdk_x64_windows_hotspot_21.0.13_9.zip",
       205000000, "a4dbaa05fca4bd89d84584e58c459bd732efebb1722af80ab13c6516832004f9", "jdk"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const builder::Download* download = builder::download_for(builder::Tool(row.tool));
    ASSERT_NE(download, nullptr);
    EXPECT_EQ(download->name, row.name);
    EXPECT_TRUE(download->url.startsWith("https://")) << download->url.toStdString();
    EXPECT_TRUE(download->url.endsWith(row.url_end)) << download->url.toStdString();
    EXPECT_EQ(download->size, row.size);
    EXPECT_EQ(download->sha256, row.sha256);
    EXPECT_EQ(download->folder, row.folder);
  }
  EXPECT_EQ(builder::download_for(builder::Tool(3)), nullptr);
  EXPECT_EQ(builder::download_for(builder::Tool(9)), nullptr);
  EXPECT_EQ(builder::download_for(builder::Tool(-1)), nullptr);
  // The "+" of the Java release stays encoded in the address and decoded in the file name.
  EXPECT_EQ(QUrl(builder::download_for(builder::Tool::Jdk)->url).path(),
            "/adoptium/temurin21-binaries/releases/download/jdk-21.0.13+9/"
            "OpenJDK21U-jdk_x64_windows_hotspot_21.0.13_9.zip");
}

TEST_F(Downloads, CachedNeedsTheExactDigestInTheStamp) {
  const QString digest = sha256("stamp test");
  const builder::Download row{"Stamp", peer().url("none.zip"), digest, 1, "stamp-check"};
  const QString folder = tools() + "/stamp-check";
  struct Case {
    const char* label;
    QByteArray stamp;  // empty: no stamp file
    bool matches;
  };
  const Case cases[] = {
      {"exact", digest.toLatin1(), true},
      {"line end and spaces", "  " + digest.toLatin1() + "\r\n ", true},
      {"upper case", digest.toUpper().toLatin1(), false},
      {"another digest", sha256("other").toLatin1(), false},
      {"no stamp", QByteArray(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    if (!c.stamp.isEmpty()) write_file(folder + "/.skarnbolt-sha256", c.stamp);
    EXPECT_EQ(builder::cached(row), c.matches ? folder : QString());
  }
}

TEST_F(Downloads, StreamsIntoTheTargetWithProgress) {
  const QByteArray data = noise(300000, 1);
  const QString digest = serve("stream.bin", data);
  struct Case {
    const char* label;
    const char* query;
    qint64 fallback;
    qint64 expected_total;
  };
  // Without a usable Content-Length the row's size is the total, even when it is too small.
  const Case cases[] = {
      {"with length", "", 123, 300000},
      {"close-delimited", "?nolength=1", 100000, 100000},
      {"chunked", "?chunked=1", 100000, 100000},
      {"slow but steady", "?slow=5", 123, 300000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const QString dir = scratch(QString("stream-%1").arg(&c - cases));
    const QString target = dir + "/stream.bin";
    std::vector<std::pair<qint64, qint64>> calls;
    QStringList log;
    builder::FetchContext context;
    context.progress = [&](qint64 done, qint64 total) { calls.emplace_back(done, total); };
    context.log = [&](const QString& line) { log << line; };
    QString error;
    const QString url = peer().url("stream.bin") + c.query;
    ASSERT_TRUE(
        builder::download_checked(url, digest, c.fallback, "Stream", target, context, error))
        << error.toStdString();
    EXPECT_EQ(read_file(target), data);
    EXPECT_FALSE(QFile::exists(target + ".part"));
    EXPECT_EQ(log, QStringList{"Downloading " + url});
    ASSERT_FALSE(calls.empty());
    for (size_t i = 0; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].second, c.expected_total);
      if (i > 0) {
        EXPECT_GT(calls[i].first, calls[i - 1].first);
      }
    }
    EXPECT_LE(calls.back().first, 300000);
  }
}

TEST_F(Downloads, EmptyDigestAcceptsAnyContentAndReplacesTheTarget) {
  const QByteArray data = noise(5000, 2);
  serve("any.bin", data);
  const QString target = scratch("any") + "/any.bin";
  write_file(target, "an older file");
  QString error;
  ASSERT_TRUE(builder::download_checked(peer().url("any.bin"), {}, 1, "Any", target, {}, error))
      << error.toStdString();
  EXPECT_EQ(read_file(target), data);
}

TEST_F(Downloads, FollowsARedirectToHttps) {
  const QByteArray data = noise(20000, 3);
  const QString digest = serve("moved.bin", data);
  peer().clear_requests();
  const QString target = scratch("redirect") + "/moved.bin";
  const QString url = peer().url("redirect?to=" + QUrl::toPercentEncoding(peer().url("moved.bin")));
  QString error;
  ASSERT_TRUE(builder::download_checked(url, digest, 1, "Moved", target, {}, error))
      << error.toStdString();
  EXPECT_EQ(read_file(target), data);
  EXPECT_EQ(requests_for("moved.bin"), 1);
  // Both hops name the program.
  ASSERT_EQ(peer().requests().size(), 2) << peer().requests().join("|").toStdString();
  for (const QString& line : peer().requests())
    EXPECT_EQ(line.section(' ', 2), "skarnbolt-builder") << line.toStdString();
}

TEST_F(Downloads, FailuresLeaveNeitherTargetNorPartialFile) {
  const QByteArray data = noise(200000, 4);
  const QString digest = serve("fail.bin", data);
  struct Case {
    const char* label;
    QString url;
    QString sha256;
    QString message;  // a message ending in ": " is a prefix
  };
  const Case cases[] = {
      {"wrong body", peer().url("fail.bin"), sha256("something else"),
       "The download of Fail is not the expected file (SHA-256 differs). Try again later."},
      {"truncated", peer().url("fail.bin?truncate=50000"), digest, "Download of Fail failed: "},
      {"not found", peer().url("status/404"), digest, "Download of Fail failed: "},
      {"server error", peer().url("status/500"), digest, "Download of Fail failed: "},
      {"redirect to plain http",
       peer().url("redirect?to=" + QUrl::toPercentEncoding(peer().plain_url("fail.bin"))), digest,
       "Download of Fail failed: "},
      {"stalled", peer().url("fail.bin?stall=1000"), digest,
       "Download of Fail failed: the server stopped sending data."},
      {"stalled before the first byte", peer().url("fail.bin?stall=0"), digest,
       "Download of Fail failed: the server stopped sending data."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    peer().clear_requests();
    const QString target = scratch(QString("fail-%1").arg(&c - cases)) + "/fail.bin";
    QString error;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(builder::download_checked(c.url, c.sha256, 1, "Fail", target, {}, error));
    if (c.message.endsWith(": ")) {
      EXPECT_TRUE(error.startsWith(c.message)) << error.toStdString();
      EXPECT_GT(error.size(), c.message.size()) << "no network text";
    } else {
      EXPECT_EQ(error, c.message);
    }
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_FALSE(QFile::exists(target + ".part"));
    // Ended by this process's stall limit, not the minute of the default one.
    EXPECT_LT(clock.elapsed(), 30000);
  }
  // The refused redirect never reached the plain server.
  for (const QString& line : peer().requests())
    EXPECT_FALSE(line.startsWith("http ")) << line.toStdString();
}

TEST_F(Downloads, CancelEndsTheTransferWhileDataFlowsAndWhileTheServerIsSilent) {
  const QByteArray data = noise(400000, 5);
  const QString digest = serve("cancel.bin", data);
  {
    SCOPED_TRACE("mid-transfer");
    std::atomic<bool> cancel{false};
    builder::FetchContext context;
    context.cancel = &cancel;
    qint64 seen = 0;
    context.progress = [&](qint64 done, qint64) {
      seen = done;
      if (done >= 8192) cancel = true;
    };
    const QString target = scratch("cancel-mid") + "/cancel.bin";
    QString error;
    EXPECT_FALSE(builder::download_checked(peer().url("cancel.bin?slow=20"), digest, 1, "Cancel",
                                           target, context, error));
    EXPECT_EQ(error, "Cancelled");
    EXPECT_LT(seen, 400000);
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_FALSE(QFile::exists(target + ".part"));
  }
  {
    SCOPED_TRACE("during a stall");
    std::atomic<bool> cancel{false};
    builder::FetchContext context;
    context.cancel = &cancel;
    const QString target = scratch("cancel-stall") + "/cancel.bin";
    CancelInTheSilence silence(cancel, 4096);
    context.progress = [&](qint64 done, qint64) { silence.progress(done); };
    QString error;
    EXPECT_FALSE(builder::download_checked(peer().url("cancel.bin?stall=4096"), digest, 1, "Cancel",
                                           target, context, error));
    EXPECT_FALSE(QFile::exists(target + ".part"));
    if (silence.too_late() && error != "Cancelled") GTEST_SKIP() << "the machine is too busy";
    EXPECT_EQ(error, "Cancelled") << "ended by the stall limit, not by the cancel";
  }
}

TEST_F(Downloads, WriteFailuresAreReported) {
  const QByteArray data = noise(100000, 6);
  const QString digest = serve("write.bin", data);
  const QString dir = scratch("write");
  {
    SCOPED_TRACE("disk full");
    const QString target = dir + "/full.bin";
    ASSERT_TRUE(QFile::link("/dev/full", target + ".part"));
    QString error;
    EXPECT_FALSE(
        builder::download_checked(peer().url("write.bin"), digest, 1, "Write", target, {}, error));
    EXPECT_EQ(error,
              "Cannot write " + QDir::toNativeSeparators(target + ".part") + " (disk full?)");
    EXPECT_FALSE(QFileInfo(target + ".part").exists() || QFileInfo(target + ".part").isSymLink());
    EXPECT_FALSE(QFile::exists(target));
  }
  {
    SCOPED_TRACE("no folder for the partial file");
    const QString target = dir + "/missing/x.bin";
    QString error;
    EXPECT_FALSE(
        builder::download_checked(peer().url("write.bin"), digest, 1, "Write", target, {}, error));
    EXPECT_EQ(error, "Cannot write " + QDir::toNativeSeparators(target + ".part"));
  }
  {
    SCOPED_TRACE("target taken by a folder");
    const QString target = dir + "/taken.bin";
    write_file(target + "/inside", "x");
    QString error;
    EXPECT_FALSE(
        builder::download_checked(peer().url("write.bin"), digest, 1, "Write", target, {}, error));
    EXPECT_EQ(error, "Cannot write " + QDir::toNativeSeparators(target));
    EXPECT_FALSE(QFile::exists(target + ".part"));
  }
}

TEST_F(Downloads, FetchUnpacksAndStamps) {
  const QByteArray tool = noise(70000, 7);
  const QString zip = "zip -qr %1 .";
  struct Case {
    const char* label;
    QString archive;
    QList<QPair<QString, QByteArray>> files;
    QString command;
    QString folder;
    QStringList expected;  // files below the tool folder, the tool itself first
  };
  const Case cases[] = {
      {"one top folder",
       "top.zip",
       {{"top-1.0/", {}}, {"top-1.0/bin/tool", tool}, {"top-1.0/.hidden", "h"}},
       zip,
       "top",
       {"bin/tool", ".hidden"}},
      {"loose files",
       "loose.zip",
       {{"tool.exe", tool}, {"doc/readme.txt", "r"}},
       zip,
       "loose",
       {"tool.exe", "doc/readme.txt"}},
      {"a single file", "single.zip", {{"ninja.exe", tool}}, zip, "single", {"ninja.exe"}},
      {"folder with slashes",
       "deep.zip",
       {{"platform-tools/adb", tool}},
       zip,
       "sdk-root/platforms/deep",
       {"adb"}},
      {"tar archive",
       "tool.tar.gz",
       {{"jdk-21/bin/java", tool}},
       "tar czf %1 jdk-21",
       "tarred",
       {"bin/java"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const QString digest = serve_packed(c.archive, c.files, c.command);
    const builder::Download row{QString("Tool ") + c.label, peer().url(c.archive), digest, 70000,
                                c.folder};
    peer().clear_requests();
    QStringList log;
    builder::FetchContext context;
    context.log = [&](const QString& line) { log << line; };
    QString error;
    const QString folder = builder::fetch(row, context, error);
    ASSERT_EQ(folder, tools() + "/" + c.folder) << error.toStdString();
    for (const QString& file : c.expected)
      EXPECT_TRUE(QFileInfo(folder + "/" + file).isFile()) << file.toStdString();
    EXPECT_EQ(read_file(folder + "/" + c.expected.first()), tool);
    EXPECT_EQ(read_file(folder + "/.skarnbolt-sha256"), digest.toLatin1());
    EXPECT_EQ(builder::cached(row), folder);
    EXPECT_FALSE(QFile::exists(downloads() + "/" + c.archive));
    EXPECT_FALSE(QFile::exists(folder + ".tmp"));
    EXPECT_EQ(log, QStringList({"Downloading " + row.url, "Unpacking " + row.name}));
    // Stamped: the next fetch neither logs nor asks the server.
    log.clear();
    EXPECT_EQ(builder::fetch(row, context, error), folder);
    EXPECT_TRUE(log.isEmpty());
    EXPECT_EQ(requests_for(c.archive), 1);
  }
}

TEST_F(Downloads, FetchReplacesAToolFolderWithoutAMatchingStamp) {
  const QByteArray tool = noise(3000, 8);
  const QString digest = serve_packed("renew.zip", {{"renew/new.txt", tool}}, "zip -qr %1 .");
  const builder::Download row{"Renew", peer().url("renew.zip"), digest, 3000, "renew"};
  const QString folder = tools() + "/renew";
  for (const QByteArray& stamp : {sha256("the previous archive").toLatin1(), QByteArray()}) {
    SCOPED_TRACE(stamp.isEmpty() ? "no stamp" : "stale stamp");
    QDir(folder).removeRecursively();
    write_file(folder + "/old.txt", "left from before");
    if (!stamp.isEmpty()) write_file(folder + "/.skarnbolt-sha256", stamp);
    peer().clear_requests();
    QString error;
    ASSERT_EQ(builder::fetch(row, {}, error), folder) << error.toStdString();
    EXPECT_EQ(requests_for("renew.zip"), 1);
    EXPECT_FALSE(QFile::exists(folder + "/old.txt"));
    EXPECT_EQ(read_file(folder + "/new.txt"), tool);
    EXPECT_EQ(read_file(folder + "/.skarnbolt-sha256"), digest.toLatin1());
  }
}

// A link in a tool's place, or an archive whose one top entry is a link, never makes the tool
// folder lead elsewhere, and nothing is removed through such a link.
TEST_F(Downloads, FetchNeverRemovesOrMovesAToolFolderThroughALink) {
  const QString outside = scratch("outside");
  write_file(outside + "/keep.txt", "not the tool's");
  {
    SCOPED_TRACE("a link standing where the tool folder goes");
    const QByteArray tool = noise(3000, 9);
    const QString digest = serve_packed("linked.zip", {{"linked/new.txt", tool}}, "zip -qr %1 .");
    const builder::Download row{"Linked", peer().url("linked.zip"), digest, 3000, "linked"};
    const QString folder = tools() + "/linked";
    QDir().mkpath(tools());
    ASSERT_TRUE(QFile::link(outside, folder));
    QString error;
    ASSERT_EQ(builder::fetch(row, {}, error), folder) << error.toStdString();
    EXPECT_FALSE(QFileInfo(folder).isSymLink());
    EXPECT_EQ(read_file(folder + "/new.txt"), tool);
    EXPECT_EQ(read_file(outside + "/keep.txt"), "not the tool's");
    EXPECT_FALSE(QFile::exists(outside + "/.skarnbolt-sha256"));
  }
  {
    SCOPED_TRACE("an archive whose only entry is a link to a folder");
    const QString staging = scratch("pack-uplink");
    QDir().mkpath(staging);
    ASSERT_TRUE(QFile::link("..", staging + "/top"));
    const QString archive = peer().root() + "/uplink.tar.gz";
    std::string output;
    ASSERT_EQ(
        testing_support::run("cd " + sh(staging) + " && tar czf " + sh(archive) + " top", &output),
        0)
        << output;
    const QString digest = sha256(read_file(archive));
    const builder::Download row{"Uplink", peer().url("uplink.tar.gz"), digest, 100, "uplink"};
    QString error;
    EXPECT_EQ(builder::fetch(row, {}, error), QString());
    EXPECT_TRUE(error.startsWith("Cannot move Uplink into ")) << error.toStdString();
    EXPECT_FALSE(QFileInfo(tools() + "/uplink").isSymLink());
    EXPECT_EQ(builder::cached(row), QString());
    EXPECT_TRUE(QFileInfo(tools()).isDir());
  }
}

TEST_F(Downloads, FetchReportsAnArchiveThatCannotBeUnpacked) {
  const QString digest = serve("not a zip.zip", "this is no archive");
  const builder::Download row{"Broken", peer().url("not%20a%20zip.zip"), digest, 10, "broken"};
  QString error;
  EXPECT_EQ(builder::fetch(row, {}, error), QString());
  EXPECT_TRUE(error.startsWith("Cannot unpack Broken: ")) << error.toStdString();
  EXPECT_GT(error.size(), QString("Cannot unpack Broken: ").size());
  // The verified archive stays under its decoded name; nothing is stamped.
  EXPECT_TRUE(QFile::exists(downloads() + "/not a zip.zip"));
  EXPECT_EQ(builder::cached(row), QString());
  EXPECT_FALSE(QFile::exists(tools() + "/broken/.skarnbolt-sha256"));
}

TEST_F(Downloads, FetchFaultsLeaveNoArchiveAndNoStamp) {
  const QByteArray data = noise(300000, 9);
  const QString digest = serve_packed("fault.zip", {{"fault/file", data}}, "zip -q0r %1 .");
  enum Cancel { kNever, kAfterFirstPiece, kFromAnotherThread };
  struct Case {
    const char* label;
    QString path;
    QString sha256;
    Cancel cancel;
    bool disk_full;
    QString message;  // a message ending in ": " is a prefix
  };
  const QString archive = downloads() + "/fault.zip";
  const Case cases[] = {
      {"digest differs", "fault.zip", sha256("another archive"), kNever, false,
       "The download of Fault is not the expected file (SHA-256 differs). Try again later."},
      {"cancel mid-transfer", "fault.zip?slow=20", digest, kAfterFirstPiece, false, "Cancelled"},
      {"cancel during a stall", "fault.zip?stall=4096", digest, kFromAnotherThread, false,
       "Cancelled"},
      {"disk full", "fault.zip", digest, kNever, true,
       "Cannot write " + QDir::toNativeSeparators(archive + ".part") + " (disk full?)"},
      {"refused redirect",
       "redirect/fault.zip?to=" + QUrl::toPercentEncoding(peer().plain_url("fault.zip")), digest,
       kNever, false, "Download of Fault failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const builder::Download row{"Fault", peer().url(c.path), c.sha256, 300000, "fault"};
    QDir().mkpath(downloads());
    if (c.disk_full) {
      ASSERT_TRUE(QFile::link("/dev/full", archive + ".part"));
    }
    std::atomic<bool> cancel{false};
    builder::FetchContext context;
    context.cancel = &cancel;
    std::optional<CancelInTheSilence> silence;
    if (c.cancel == kFromAnotherThread) silence.emplace(cancel, 4096);
    context.progress = [&](qint64 done, qint64) {
      if (c.cancel == kAfterFirstPiece) cancel = true;
      if (silence) silence->progress(done);
    };
    QString error;
    const QString folder = builder::fetch(row, context, error);
    if (silence && silence->too_late() && error != c.message) {
      GTEST_SKIP() << "the machine is too busy";
    }
    EXPECT_EQ(folder, QString());
    if (c.message.endsWith(": ")) {
      EXPECT_TRUE(error.startsWith(c.message)) << error.toStdString();
    } else {
      EXPECT_EQ(error, c.message);
    }
    const QFileInfo part(archive + ".part");
    EXPECT_FALSE(part.exists() || part.isSymLink());
    EXPECT_FALSE(QFile::exists(archive));
    EXPECT_FALSE(QFile::exists(tools() + "/fault/.skarnbolt-sha256"));
    EXPECT_EQ(builder::cached(row), QString());
  }
}

}  // namespace
