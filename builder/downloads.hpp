// Pinned tool archives: download over HTTPS with a streaming SHA-256 check, unpack, stamp.
#pragma once

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <functional>

namespace builder {

// The downloadable tools; 3 has no row.
enum class Tool : int {
  CMake = 0,
  Ninja = 1,
  LlvmMingw = 2,
  Ndk = 4,
  BuildTools = 5,
  Platform = 6,
  PlatformTools = 7,
  Jdk = 8,
};

// One pinned download.
struct Download {
  QString name;    // display name
  QString url;     // the last path segment, percent-decoded, is the archive's file name
  QString sha256;  // 64 lower-case hex digits
  qint64 size;     // progress total when the server sends no Content-Length
  QString folder;  // below <cache>/tools/, may contain slashes
};

// What a caller hands to a download.
struct FetchContext {
  const std::atomic<bool>* cancel = nullptr;
  std::function<void(qint64 done, qint64 total)> progress;
  std::function<void(const QString& line)> log;
};

// True once the caller has asked the fetch to stop.
bool cancelled(const FetchContext& context);

// The row of a tool, or null for 3 and values above 8.
const Download* download_for(Tool tool);

// The tool folder when its stamp matches the row, else empty.
QString cached(const Download& download);

// Downloads `url` into `target` through target + ".part", checking the SHA-256 unless
// `sha256` is empty. False with `error` set and no ".part" left behind.
bool download_checked(const QString& url, const QString& sha256, qint64 size, const QString& name,
                      const QString& target, const FetchContext& context, QString& error);

// Makes sure the tool is unpacked and stamped; its folder, or empty with `error` set.
QString fetch(const Download& download, const FetchContext& context, QString& error);

}  // namespace builder
