#include "builder/downloads.hpp"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTimer>
#include <QUrl>
#include <memory>

#include "apk/extract.hpp"
#include "apk/sha256.hpp"
#include "apk/zip.hpp"
#include "builder/apk_match.hpp"
#include "builder/paths.hpp"

namespace builder {

namespace {

const QString kStamp = ".skarnbolt-sha256";

const QString kCMake = "https://github.com/Kitware/CMake/releases/download/v4.5.0/";
const QString kNinja = "https://github.com/ninja-build/ninja/releases/download/v1.13.2/";
const QString kJdk =
    "https://github.com/adoptium/temurin21-binaries/releases/download/jdk-21.0.13%2B9/";
const QString kAndroid = "https://dl.google.com/android/repository/";

const Download kCMakeDl{"CMake", kCMake + "cmake-4.5.0-windows-x86_64.zip",
                        "301b1728317ccd84e984b02e366a8293735bc5ac618757d3d8f58b578f062411",
                        48000000, "cmake"};
const Download kNinjaDl{"Ninja", kNinja + "ninja-win.zip",
                        "07fc8261b42b20e71d1720b39068c2e14ffcee6396b76fb7a795fb460b78dc65", 300000,
                        "ninja"};
const Download kLlvmMingwDl{"LLVM MinGW",
                            "https://github.com/mstorsjo/llvm-mingw/releases/download/20261104/"
                            "llvm-mingw-20261104-ucrt-x86_64.zip",
                            "552191b5754c49a5a20723276a6fc56541ea1922c4c50b7b669022333fc1b40f",
                            180000000, "llvm-mingw"};
const Download kNdkDl{"Android NDK", kAndroid + "android-ndk-r30-windows.zip",
                      "b830098aaf18b67a42eb831c404e15e5f2990a474f054ac145b0bc957ac6d729", 727980788,
                      "android-ndk"};
const Download kBuildToolsDl{"Android build tools", kAndroid + "build-tools_r37_windows.zip",
                             "68075aa319ed8a01cf1a565ed1e61a3c1a801dd49191c35851248dc293c33b1a",
                             61077164, "android-sdk/build-tools/37.0.0"};
const Download kPlatformDl{"Android platform", kAndroid + "platform-36_r02.zip",
                           "37607369a28c5b640b3a7998868d45898ebcb777565a0e85f9acf36f29631d2e",
                           65878410, "android-sdk/platforms/android-36"};
const Download kPlatformToolsDl{"Android platform tools",
                                kAndroid + "platform-tools_r37.0.1-win.zip",
                                "45f4d63113e895ebde0c90f194099a4676b6ac653bd28d54314a9e022bbc1a99",
                                8044989, "android-sdk/platform-tools"};
const Download kJdkDl{"Java", kJdk + "OpenJDK21U-jdk_x64_windows_hotspot_21.0.13_9.zip",
                      "a4dbaa05fca4bd89d84584e58c459bd732efebb1722af80ab13c6516832004f9", 205000000,
                      "jdk"};

// How much of the body Qt may hold before we have written it: the bound on memory. Measured
// on loopback, this size keeps the pieces in the processor's cache and nearly matches curl,
// where 2 MiB falls well behind and 32 KiB slows Qt's own reading.
constexpr qint64 kPiece = 1 << 17;
// How often the cancel flag and the stall limit are looked at while nothing arrives.
constexpr int kWatchMs = 200;

// A transfer that receives nothing for this long has failed. Tests shorten it.
qint64 stall_limit_ms() {
  static const qint64 limit = [] {
    bool ok = false;
    const qint64 value = qEnvironmentVariable("SKARNBOLT_DOWNLOAD_STALL_MS").toLongLong(&ok);
    return ok && value > 0 ? value : 60000;
  }();
  return limit;
}

QString dest_dir(const Download& download) { return cache_dir() + "/tools/" + download.folder; }

// The archive's file name: the URL's last path segment, percent-decoded.
QString archive_name(const QString& url) { return QUrl(url).fileName(QUrl::FullyDecoded); }

bool unpack_zip(const QString& archive, const QString& folder, const Download& download,
                QString& error) {
  apk::ZipReader reader;
  std::string text;
  if (reader.open(to_path(archive)) && apk::unpack(reader, to_path(folder), text, {})) return true;
  if (text.empty()) text = reader.error;
  error = "Cannot unpack " + download.name + ": " + QString::fromStdString(text);
  return false;
}

bool unpack_tar(const QString& archive, const QString& folder, const Download& download,
                QString& error) {
  QProcess tar;
  tar.start("tar", {"-xf", archive, "-C", folder});
  const bool started = tar.waitForStarted(-1);
  if (started) tar.waitForFinished(-1);
  if (started && tar.exitStatus() == QProcess::NormalExit && tar.exitCode() == 0) return true;
  error =
      "Cannot unpack " + download.name + ": " + QString::fromLocal8Bit(tar.readAllStandardError());
  return false;
}

}  // namespace

bool cancelled(const FetchContext& context) { return context.cancel && context.cancel->load(); }

const Download* download_for(Tool tool) {
  switch (tool) {
    case Tool::CMake: return &kCMakeDl;
    case Tool::Ninja: return &kNinjaDl;
    case Tool::LlvmMingw: return &kLlvmMingwDl;
    case Tool::Ndk: return &kNdkDl;
    case Tool::BuildTools: return &kBuildToolsDl;
    case Tool::Platform: return &kPlatformDl;
    case Tool::PlatformTools: return &kPlatformToolsDl;
    case Tool::Jdk: return &kJdkDl;
  }
  return nullptr;
}

QString cached(const Download& download) {
  QFile stamp(dest_dir(download) + "/" + kStamp);
  if (!stamp.open(QIODevice::ReadOnly)) return {};
  if (QString::fromLatin1(stamp.readAll()).trimmed() != download.sha256) return {};
  return dest_dir(download);
}

bool download_checked(const QString& url, const QString& sha256, qint64 size, const QString& name,
                      const QString& target, const FetchContext& context, QString& error) {
  if (context.log) context.log("Downloading " + url);
  const QString part = target + ".part";
  // Unbuffered: every piece goes straight to the file, so a short write shows at once.
  QFile file(part);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
    error = "Cannot write " + QDir::toNativeSeparators(part);
    return false;
  }

  // The toolkit's digest uses the processor's SHA instructions; Qt's own is several times
  // slower than a fast connection and would hold the download back.
  apk::Sha256 hash;
  QNetworkAccessManager manager;
  QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setHeader(QNetworkRequest::UserAgentHeader, "skarnbolt-builder");
  std::unique_ptr<QNetworkReply> reply(manager.get(request));
  reply->setReadBufferSize(kPiece);

  QEventLoop loop;
  qint64 received = 0;
  bool write_failed = false;
  bool stalled = false;
  QElapsedTimer quiet;
  quiet.start();

  auto take = [&](const QByteArray& piece) {
    hash.update(reinterpret_cast<const unsigned char*>(piece.constData()), piece.size());
    received += piece.size();
    if (!write_failed && file.write(piece) != piece.size()) write_failed = true;
  };
  auto abort = [&] {
    if (reply->isRunning()) reply->abort();
  };

  QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
    quiet.restart();
    take(reply->readAll());
    if (write_failed) abort();
    if (context.progress) {
      const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
      context.progress(received, length > 0 ? length : size);
    }
    if (cancelled(context)) abort();
  });
  QObject::connect(reply.get(), &QNetworkReply::redirected, &loop, [&] { quiet.restart(); });
  QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
  // The flag and the silence are also watched while no piece arrives.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
    if (cancelled(context)) {
      abort();
    } else if (quiet.elapsed() >= stall_limit_ms()) {
      stalled = true;
      abort();
    }
  });
  watch.start(kWatchMs);
  if (reply->isRunning()) loop.exec();
  watch.stop();

  if (reply->isOpen()) take(reply->readAll());
  // A failed final flush or close loses data just like a short write.
  if (!file.flush()) write_failed = true;
  file.close();
  if (file.error() != QFileDevice::NoError) write_failed = true;

  const QNetworkReply::NetworkError code = reply->error();
  const QString text = reply->errorString();
  reply.reset();

  if (cancelled(context)) {
    QFile::remove(part);
    error = "Cancelled";
    return false;
  }
  if (code != QNetworkReply::NoError || write_failed) {
    QFile::remove(part);
    if (write_failed)
      error = "Cannot write " + QDir::toNativeSeparators(part) + " (disk full?)";
    else if (stalled)
      error = "Download of " + name + " failed: the server stopped sending data.";
    else
      error = "Download of " + name + " failed: " + text;
    return false;
  }
  if (!sha256.isEmpty() && QString::fromStdString(hash.hex()) != sha256) {
    QFile::remove(part);
    error =
        "The download of " + name + " is not the expected file (SHA-256 differs). Try again later.";
    return false;
  }
  QFile::remove(target);
  if (!QFile::rename(part, target)) {
    QFile::remove(part);
    error = "Cannot write " + QDir::toNativeSeparators(target);
    return false;
  }
  return true;
}

QString fetch(const Download& download, const FetchContext& context, QString& error) {
  const QString done = cached(download);
  if (!done.isEmpty()) return done;
  const QString downloads = cache_dir() + "/downloads";
  QDir().mkpath(downloads);
  const QString archive = downloads + "/" + archive_name(download.url);
  if (!download_checked(download.url, download.sha256, download.size, download.name, archive,
                        context, error))
    return {};
  if (context.log) context.log("Unpacking " + download.name);

  const QString folder = dest_dir(download);
  const QString unpacked = folder + ".tmp";
  // A link left in a tool's place is removed itself: emptying what it points to could empty
  // the cache.
  remove_folder(unpacked);
  remove_folder(folder);
  QDir().mkpath(unpacked);
  const bool ok = archive.endsWith(".zip") ? unpack_zip(archive, unpacked, download, error)
                                           : unpack_tar(archive, unpacked, download, error);
  if (!ok) return {};

  QDir().mkpath(QFileInfo(folder).path());
  const QStringList entries = QDir(unpacked).entryList(
      QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
  QString source = unpacked;
  if (entries.size() == 1 && QFileInfo(unpacked + "/" + entries.first()).isDir())
    source = unpacked + "/" + entries.first();
  // Only a real folder becomes the tool, never a link the archive made.
  if (!real_folder(source) || !QDir().rename(source, folder)) {
    error = "Cannot move " + download.name + " into " + folder;
    return {};
  }
  remove_folder(unpacked);
  QFile::remove(archive);

  QFile stamp(folder + "/" + kStamp);
  if (stamp.open(QIODevice::WriteOnly | QIODevice::Truncate))
    stamp.write(download.sha256.toLatin1());
  return folder;
}

}  // namespace builder
