// Mirroring the sources: builder::sync_sources on a generated tree of 10,000 files (200 MiB),
// first run and unchanged run, beside `rsync -a --checksum --delete` of the same tree.
//
// The source tree is found beside the program, so the tree is generated in a temporary folder
// and reached through a "source" link next to this executable for the length of the run.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "builder/paths.hpp"

namespace {

constexpr int kFiles = 10000;
constexpr qint64 kTotal = 200LL << 20;

const char* const kEntries[] = {"cmake", "games", "mods", "platform", "runtime", "tools"};

std::string quote(const QString& text) {
  return "'" + text.toStdString() + "'";  // paths below are generated, without quotes
}

struct Tree {
  QTemporaryDir temp;
  QString source, rsync_mirror, link;
  QString failure;

  Tree() {
    if (!QCoreApplication::instance()) {
      static int argc = 1;
      static char name[] = "skarnbolt-bench";
      static char* argv[] = {name, nullptr};
      new QCoreApplication(argc, argv);
    }
    source = temp.path() + "/source";
    rsync_mirror = temp.path() + "/rsync-mirror";
    link = QCoreApplication::applicationDirPath() + "/source";
    if (QFileInfo(link).exists() || QFileInfo(link).isSymLink()) {
      failure = "remove " + link + " first: the benchmark puts its tree there";
      return;
    }
    generate();
    if (!QFile::link(source, link)) failure = "cannot link " + link;
  }

  ~Tree() {
    if (QFileInfo(link).isSymLink() && QFileInfo(link).symLinkTarget() == source)
      QFile::remove(link);
  }

  void generate() {
    std::mt19937_64 rng(42);
    // Mostly small files, as in a source tree, and a few large ones that carry most bytes.
    constexpr int kLarge = 200;
    std::vector<qint64> sizes(kFiles);
    qint64 small_total = 0;
    for (int i = kLarge; i < kFiles; ++i) small_total += sizes[i] = 1 + qint64(rng() % 16384);
    for (int i = 0; i < kLarge; ++i) sizes[i] = (kTotal - small_total) / kLarge;
    std::vector<char> bytes(sizes[0] + 4096 + 8);
    for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
      const std::uint64_t word = rng();
      std::memcpy(bytes.data() + i, &word, 8);
    }
    QDir().mkpath(source);
    QFile(source + "/CMakeLists.txt").open(QIODevice::WriteOnly);
    for (int i = 0; i < kFiles; ++i) {
      const QString folder = QString("%1/%2/d%3").arg(source, kEntries[i % 6]).arg(i / 600);
      QDir().mkpath(folder);
      QFile file(QString("%1/f%2.bin").arg(folder).arg(i));
      file.open(QIODevice::WriteOnly);
      // Each file starts at its own offset so that no two are alike.
      const qint64 offset = i % 4096;
      file.write(bytes.data() + offset, sizes[i]);
    }
  }

  QString mirror() const { return builder::cache_dir() + "/source"; }

  bool ready(benchmark::State& state) {
    if (!failure.isEmpty()) {
      state.SkipWithError(failure.toStdString().c_str());
      return false;
    }
    builder::set_data_root(temp.path() + "/data");
    return true;
  }

  bool sync(benchmark::State& state) {
    QString error;
    if (builder::sync_sources(error).isEmpty()) {
      state.SkipWithError(error.toStdString().c_str());
      return false;
    }
    return true;
  }

  bool rsync(benchmark::State& state) {
    const std::string command =
        "rsync -a --checksum --delete " + quote(source) + "/ " + quote(rsync_mirror) + "/";
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("rsync failed");
      return false;
    }
    return true;
  }
};

Tree& tree() {
  static Tree tree;
  return tree;
}

void BM_SyncSourcesFirstRun(benchmark::State& state) {
  Tree& t = tree();
  if (!t.ready(state)) return;
  for (auto _ : state) {
    state.PauseTiming();
    QDir(t.mirror()).removeRecursively();
    state.ResumeTiming();
    if (!t.sync(state)) return;
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

void BM_RsyncFirstRun(benchmark::State& state) {
  Tree& t = tree();
  if (!t.ready(state)) return;
  for (auto _ : state) {
    state.PauseTiming();
    QDir(t.rsync_mirror).removeRecursively();
    state.ResumeTiming();
    if (!t.rsync(state)) return;
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

void BM_SyncSourcesUnchanged(benchmark::State& state) {
  Tree& t = tree();
  if (!t.ready(state) || !t.sync(state)) return;
  for (auto _ : state)
    if (!t.sync(state)) return;
  state.SetBytesProcessed(state.iterations() * kTotal);
}

void BM_RsyncUnchanged(benchmark::State& state) {
  Tree& t = tree();
  if (!t.ready(state) || !t.rsync(state)) return;
  for (auto _ : state)
    if (!t.rsync(state)) return;
  state.SetBytesProcessed(state.iterations() * kTotal);
}

// Both unchanged runs, alternated so that they see the same machine state; the time is that of
// sync_sources, and the counter "vs_rsync" is its share of rsync's time (target: at most 1.0).
void BM_SyncSourcesUnchangedVsRsync(benchmark::State& state) {
  Tree& t = tree();
  if (!t.ready(state) || !t.sync(state) || !t.rsync(state)) return;
  using Clock = std::chrono::steady_clock;
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!t.sync(state)) return;
    const auto middle = Clock::now();
    if (!t.rsync(state)) return;
    const auto end = Clock::now();
    const double seconds = std::chrono::duration<double>(middle - start).count();
    state.SetIterationTime(seconds);
    ours += seconds;
    theirs += std::chrono::duration<double>(end - middle).count();
  }
  state.counters["vs_rsync"] = theirs > 0 ? ours / theirs : 0;
}

BENCHMARK(BM_SyncSourcesFirstRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RsyncFirstRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_SyncSourcesUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_RsyncUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_SyncSourcesUnchangedVsRsync)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(10);

}  // namespace
