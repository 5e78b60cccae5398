// SHA-256 throughput on a library-sized buffer, beside openssl on the same bytes.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "apk/sha256.hpp"
#include "apk/sha256_impl.hpp"

namespace {

constexpr std::size_t kSize = std::size_t(256) << 20;

const std::vector<unsigned char>& data() {
  static const std::vector<unsigned char> bytes = [] {
    std::vector<unsigned char> out(kSize);
    std::uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (std::size_t i = 0; i < out.size(); i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      for (int b = 0; b < 8; ++b) out[i + b] = static_cast<unsigned char>(x >> (8 * b));
    }
    return out;
  }();
  return bytes;
}

// The same bytes as a file for openssl; removed when the program ends.
struct DataFile {
  std::filesystem::path path;
  DataFile() {
    path = std::filesystem::temp_directory_path() /
           ("skarnbolt-sha256-bench-" + std::to_string(getpid()) + ".bin");
    std::FILE* f = std::fopen(path.string().c_str(), "wb");
    if (f) {
      std::fwrite(data().data(), 1, data().size(), f);
      std::fclose(f);
    }
  }
  ~DataFile() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
};

const std::filesystem::path& data_file() {
  static const DataFile file;
  return file.path;
}

void BM_Sha256Hex(benchmark::State& state) {
  const auto& bytes = data();
  for (auto _ : state) benchmark::DoNotOptimize(apk::sha256_hex(bytes.data(), bytes.size()));
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bytes.size()));
  state.SetLabel(apk::detail::sha256_uses_hardware() ? "sha instructions" : "portable");
}
BENCHMARK(BM_Sha256Hex)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sha256HexPortable(benchmark::State& state) {
  const auto& bytes = data();
  apk::detail::sha256_force_portable(true);
  for (auto _ : state) benchmark::DoNotOptimize(apk::sha256_hex(bytes.data(), bytes.size()));
  apk::detail::sha256_force_portable(false);
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bytes.size()));
}
BENCHMARK(BM_Sha256HexPortable)->Unit(benchmark::kMillisecond)->UseRealTime();

// openssl reads the file from the page cache; its start-up is part of the figure.
void BM_OpensslDgst(benchmark::State& state) {
  const std::string command =
      "openssl dgst -sha256 '" + data_file().string() + "' > /dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    state.SkipWithError("openssl dgst failed");
    return;
  }
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("openssl dgst failed");
      break;
    }
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kSize));
}
BENCHMARK(BM_OpensslDgst)->Unit(benchmark::kMillisecond)->UseRealTime();

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Both side by side in each iteration, so that the machine's load weighs on them alike. The
// counter "ratio" is openssl's time over ours; "ratio_no_start" first takes off the time that
// openssl needs for an empty file (its start-up), which only openssl pays.
void BM_Sha256AgainstOpensslDgst(benchmark::State& state) {
  const auto& bytes = data();
  const std::filesystem::path empty = data_file().string() + ".empty";
  std::FILE* f = std::fopen(empty.string().c_str(), "wb");
  if (f) std::fclose(f);
  const auto dgst = [](const std::filesystem::path& file) {
    return "openssl dgst -sha256 '" + file.string() + "' > /dev/null 2>&1";
  };
  const std::string full = dgst(data_file()), start_only = dgst(empty);
  double ours = 0, openssl = 0, start = 0;
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(apk::sha256_hex(bytes.data(), bytes.size()));
    ours += seconds_since(t);
    t = std::chrono::steady_clock::now();
    const bool hashed = std::system(full.c_str()) == 0;
    openssl += seconds_since(t);
    t = std::chrono::steady_clock::now();
    const bool started = std::system(start_only.c_str()) == 0;
    start += seconds_since(t);
    if (!hashed || !started) {
      state.SkipWithError("openssl dgst failed");
      break;
    }
  }
  std::error_code ec;
  std::filesystem::remove(empty, ec);
  const double n = double(state.iterations());
  state.counters["ours_GBps"] = n * double(kSize) / ours / 1e9;
  state.counters["openssl_GBps"] = n * double(kSize) / openssl / 1e9;
  state.counters["ratio"] = openssl / ours;
  state.counters["ratio_no_start"] = (openssl - start) / ours;
  state.SetLabel(apk::detail::sha256_uses_hardware() ? "sha instructions" : "portable");
}
BENCHMARK(BM_Sha256AgainstOpensslDgst)->Unit(benchmark::kMillisecond)->Iterations(8);

}  // namespace
