// SHA-256 throughput on a library-sized buffer, beside openssl on the same bytes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
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

}  // namespace
