// Game data extraction of an APK with 200 MiB of assets in 2,000 files, against Info-ZIP's unzip
// of the same assets, and a second extraction over an unchanged folder.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "apk/extract.hpp"
#include "apk/sha256.hpp"
#include "apk/zip.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 2000;
constexpr std::size_t kFileSize = std::size_t(100) << 10;  // 2,000 x 100 KiB = 200 MiB

// Made once by Python's zipfile: even files stored, odd ones deflated; text-like data
// that deflate halves, spread over nested folders, and a small library.
struct Apk {
  fs::path dir;
  fs::path path;
  apk::GameSpec spec{"bench", "bench", ""};
  bool ok = false;

  Apk() {
    dir = fs::temp_directory_path() / ("skarnbolt-extract-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    path = dir / "game.apk";
    const fs::path script = dir / "make.py";
    if (std::FILE* f = std::fopen(script.string().c_str(), "w")) {
      std::fprintf(f,
                   "import random, sys, zipfile\n"
                   "rng = random.Random(5)\n"
                   "words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(6))"
                   " for _ in range(4096)]\n"
                   "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                   "    for i in range(%d):\n"
                   "        data = bytearray()\n"
                   "        while len(data) < %zu:\n"
                   "            data += rng.choice(words) + bytes([rng.randrange(256)])\n"
                   "        method = zipfile.ZIP_STORED if i %% 2 == 0 else zipfile.ZIP_DEFLATED\n"
                   "        z.writestr('assets/d%%02d/e%%02d/f%%04d.bin' %% (i %% 17, i %% 5, i),"
                   " bytes(data[:%zu]), method)\n"
                   "    z.writestr('lib/armeabi-v7a/libbench.so', b'library' * 1000)\n",
                   kFiles, kFileSize, kFileSize);
      std::fclose(f);
    }
    ok = std::system(("python3 '" + script.string() + "' '" + path.string() + "'").c_str()) == 0;
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "library";
    spec.sha256 = apk::sha256_hex(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
  ~Apk() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

const Apk& game() {
  static const Apk a;
  return a;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double run_extract(const fs::path& dest, std::string& error) {
  apk::ZipReader reader;
  Clock::time_point start = Clock::now();
  if (!reader.open(game().path) || !apk::extract(reader, game().spec, dest, error, {})) {
    if (error.empty()) error = reader.error;
    return -1;
  }
  return seconds_since(start);
}

double run_unzip(const fs::path& dest) {
  const std::string command =
      "unzip -o -q '" + game().path.string() + "' 'assets/*' -d '" + dest.string() + "'";
  Clock::time_point start = Clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return seconds_since(start);
}

// Both into fresh folders, alternating in every iteration; the time is extraction's,
// and "ratio" is extraction's total time over unzip's.
void BM_ExtractFirstRunVsUnzip(benchmark::State& state) {
  if (!game().ok) {
    state.SkipWithError("cannot make the APK");
    return;
  }
  const fs::path ours = game().dir / "extract";
  const fs::path theirs = game().dir / "unzip";
  double extract_total = 0, unzip_total = 0;
  for (auto _ : state) {
    std::error_code ec;
    fs::remove_all(ours, ec);
    fs::remove_all(theirs, ec);
    std::string error;
    double t = run_extract(ours, error);
    if (t < 0) {
      state.SkipWithError(error.c_str());
      break;
    }
    double u = run_unzip(theirs);
    if (u < 0) {
      state.SkipWithError("unzip failed");
      break;
    }
    state.SetIterationTime(t);
    extract_total += t;
    unzip_total += u;
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kFiles * std::int64_t(kFileSize));
  state.counters["unzip_ms"] =
      benchmark::Counter(unzip_total * 1000, benchmark::Counter::kAvgIterations);
  state.counters["ratio"] = unzip_total > 0 ? extract_total / unzip_total : 0;
}
BENCHMARK(BM_ExtractFirstRunVsUnzip)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(6);

// Files below a folder whose modification time is no longer `stamp`, the marker aside.
int rewritten_since(const fs::path& root, fs::file_time_type stamp) {
  int count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && entry.path().filename() != ".complete" &&
        entry.last_write_time() != stamp)
      ++count;
  return count;
}

// Extraction over a folder that already holds everything: nothing may be written again
// ("files_rewritten"), only the completion marker is renewed.
void BM_ExtractSecondRun(benchmark::State& state) {
  if (!game().ok) {
    state.SkipWithError("cannot make the APK");
    return;
  }
  const fs::path dest = game().dir / "again";
  std::error_code ec;
  fs::remove_all(dest, ec);
  std::string error;
  if (run_extract(dest, error) < 0) {
    state.SkipWithError(error.c_str());
    return;
  }
  const fs::file_time_type stamp = fs::file_time_type::clock::now() - std::chrono::hours(48);
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dest))
    if (entry.is_regular_file()) {
      fs::last_write_time(entry.path(), stamp);
      ++files;
    }
  int rewritten = 0;
  for (auto _ : state) {
    double t = run_extract(dest, error);
    if (t < 0) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.SetIterationTime(t);
    rewritten += rewritten_since(dest, stamp);
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kFiles * std::int64_t(kFileSize));
  state.counters["files"] = files;
  state.counters["files_rewritten"] = rewritten;
}
BENCHMARK(BM_ExtractSecondRun)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(6);

// unzip over the same unchanged folder, for comparison: it writes every file again.
void BM_UnzipSecondRun(benchmark::State& state) {
  if (!game().ok) {
    state.SkipWithError("cannot make the APK");
    return;
  }
  const fs::path dest = game().dir / "unzip-again";
  std::error_code ec;
  fs::remove_all(dest, ec);
  if (run_unzip(dest) < 0) {
    state.SkipWithError("unzip failed");
    return;
  }
  for (auto _ : state) {
    double u = run_unzip(dest);
    if (u < 0) {
      state.SkipWithError("unzip failed");
      break;
    }
    state.SetIterationTime(u);
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kFiles * std::int64_t(kFileSize));
}
BENCHMARK(BM_UnzipSecondRun)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(6);

}  // namespace
