// Streaming download speed and memory against curl, over loopback HTTPS.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "builder/downloads.hpp"
#include "tests/support/https_peer.hpp"

namespace {

constexpr qint64 kBody = qint64(1) << 30;

// The tests' loopback server, the body's address and its digest, made once per run.
struct Peer {
  // In memory where possible, so the disk's write-back does not drown the network path.
  QTemporaryDir dir{QDir("/dev/shm").exists() ? "/dev/shm/skarnbolt-bench-XXXXXX"
                                              : QDir::tempPath() + "/skarnbolt-bench-XXXXXX"};
  testing_support::HttpsPeer server{dir.path()};
  QString url;
  QString sha256;
  bool ok = false;

  Peer() {
    if (!server.ok()) return;
    url = server.url("pattern/" + QString::number(kBody));
    QProcess digest;
    digest.start("python3", {"-c",
                             "import hashlib,sys; h=hashlib.sha256(); p=bytes(range(256))*16384;"
                             "[h.update(p) for _ in range(" +
                                 QString::number(kBody >> 22) +
                                 ")];"
                                 "print(h.hexdigest())"});
    digest.waitForFinished(60000);
    sha256 = QString::fromLatin1(digest.readAllStandardOutput()).trimmed();
    ok = sha256.size() == 64;
  }
};

Peer& peer() {
  static int argc = 1;
  static char name[] = "skarnbolt-bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app =
      QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  (void)app;
  static Peer peer;
  return peer;
}

// The largest resident set so far, in bytes; 0 where /proc is missing.
qint64 peak_rss() {
  QFile status("/proc/self/status");
  if (!status.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmHWM:"))
      return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
  return 0;
}

// Starts a fresh peak measurement (Linux: writing 5 to clear_refs resets VmHWM).
void reset_peak_rss() {
  QFile refs("/proc/self/clear_refs");
  if (refs.open(QIODevice::WriteOnly)) refs.write("5");
}

// curl -s -o of the same address; its wall time in seconds, or a negative value on failure.
double curl_seconds(const Peer& p, const QString& target) {
  QFile::remove(target);
  QElapsedTimer clock;
  clock.start();
  const int code =
      QProcess::execute("curl", {"-s", "-o", target, "--cacert", p.server.certificate(), p.url});
  const double seconds = clock.nsecsElapsed() / 1e9;
  QFile::remove(target);
  return code == 0 ? seconds : -1;
}

// download_checked of the whole body, hashed and written. Each iteration also runs curl on
// the same address with the clock paused, so that both see the same machine load; the
// counters give curl's rate and our rate as a share of it.
void BM_DownloadChecked(benchmark::State& state) {
  Peer& p = peer();
  if (!p.ok) {
    state.SkipWithError("no loopback server");
    return;
  }
  const QString target = p.dir.path() + "/download.bin";
  qint64 peak = 0;
  double ours = 0;
  double curl = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const double theirs = curl_seconds(p, target + ".curl");
    if (theirs < 0) {
      state.SkipWithError("curl failed");
      return;
    }
    curl += theirs;
    QFile::remove(target);
    reset_peak_rss();
    state.ResumeTiming();
    QElapsedTimer clock;
    clock.start();
    QString error;
    if (!builder::download_checked(p.url, p.sha256, kBody, "body", target, {}, error)) {
      state.SkipWithError(error.toStdString().c_str());
      return;
    }
    ours += clock.nsecsElapsed() / 1e9;
    peak = std::max(peak, peak_rss());
  }
  QFile::remove(target);
  const double mib = double(state.iterations() * kBody) / (1 << 20);
  state.SetBytesProcessed(state.iterations() * kBody);
  state.counters["peak_rss_MiB"] = double(peak) / (1 << 20);
  state.counters["curl_MiB_per_s"] = mib / curl;
  state.counters["vs_curl"] = curl / ours;
}
BENCHMARK(BM_DownloadChecked)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// curl alone, for reference.
void BM_CurlSameUrl(benchmark::State& state) {
  Peer& p = peer();
  if (!p.ok) {
    state.SkipWithError("no loopback server");
    return;
  }
  for (auto _ : state) {
    if (curl_seconds(p, p.dir.path() + "/curl.bin") < 0) {
      state.SkipWithError("curl failed");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kBody);
}
BENCHMARK(BM_CurlSameUrl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
