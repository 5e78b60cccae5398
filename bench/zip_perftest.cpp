// Reading one large APK entry and hashing it, as identification does, stored and deflated.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "apk/sha256.hpp"
#include "apk/zip.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kEntrySize = std::size_t(40) << 20;

// Half the bits of each byte random: deflate gets it to a little over half its size,
// about what native libraries give.
std::vector<unsigned char> entry_data() {
  static const char alphabet[] = "ABCDEFGHIJKLMNOP";
  std::vector<unsigned char> out(kEntrySize);
  std::uint64_t x = 0x243f6a8885a308d3ULL;
  for (std::size_t i = 0; i < out.size(); i += 16) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    for (int b = 0; b < 16; ++b)
      out[i + b] = static_cast<unsigned char>(alphabet[(x >> (4 * b)) & 15]);
  }
  return out;
}

// An archive of one stored and one deflated library, made once by Python's zipfile.
struct Archive {
  fs::path dir;
  fs::path path;
  bool ok = false;
  Archive() {
    dir = fs::temp_directory_path() / ("skarnbolt-zip-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    path = dir / "game.apk";
    const fs::path raw = dir / "lib.bin";
    const std::vector<unsigned char> data = entry_data();
    if (std::FILE* f = std::fopen(raw.string().c_str(), "wb")) {
      std::fwrite(data.data(), 1, data.size(), f);
      std::fclose(f);
    }
    const fs::path script = dir / "make.py";
    if (std::FILE* f = std::fopen(script.string().c_str(), "w")) {
      std::fprintf(
          f,
          "import zipfile, sys\n"
          "data = open(sys.argv[1], 'rb').read()\n"
          "with zipfile.ZipFile(sys.argv[2], 'w') as z:\n"
          "    z.writestr('lib/armeabi-v7a/libstored.so', data, zipfile.ZIP_STORED)\n"
          "    z.writestr('lib/armeabi-v7a/libdeflated.so', data, zipfile.ZIP_DEFLATED, 6)\n");
      std::fclose(f);
    }
    const std::string command =
        "python3 '" + script.string() + "' '" + raw.string() + "' '" + path.string() + "'";
    ok = std::system(command.c_str()) == 0;
  }
  ~Archive() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

const Archive& archive() {
  static const Archive a;
  return a;
}

void read_and_hash(benchmark::State& state, const std::string& name) {
  if (!archive().ok) {
    state.SkipWithError("cannot make the archive");
    return;
  }
  apk::ZipReader reader;
  if (!reader.open(archive().path)) {
    state.SkipWithError(reader.error.c_str());
    return;
  }
  const apk::ZipEntry* entry = reader.find(name);
  if (!entry) {
    state.SkipWithError("entry missing");
    return;
  }
  for (auto _ : state) {
    auto bytes = reader.read(*entry);
    if (!bytes) {
      state.SkipWithError(reader.error.c_str());
      break;
    }
    benchmark::DoNotOptimize(apk::sha256_hex(bytes->data(), bytes->size()));
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) *
                          std::int64_t(entry->uncompressed_size));
  state.counters["compressed_MiB"] = double(entry->compressed_size) / (1 << 20);
}

void BM_ZipReadHashStored(benchmark::State& state) {
  read_and_hash(state, "lib/armeabi-v7a/libstored.so");
}
BENCHMARK(BM_ZipReadHashStored)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ZipReadHashDeflated(benchmark::State& state) {
  read_and_hash(state, "lib/armeabi-v7a/libdeflated.so");
}
BENCHMARK(BM_ZipReadHashDeflated)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same work by Info-ZIP's unzip piped into openssl, for comparison.
void unzip_and_hash(benchmark::State& state, const std::string& name) {
  if (!archive().ok) {
    state.SkipWithError("cannot make the archive");
    return;
  }
  const std::string command = "unzip -p '" + archive().path.string() + "' '" + name +
                              "' | openssl dgst -sha256 > /dev/null 2>&1";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("unzip or openssl failed");
      break;
    }
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kEntrySize));
}

void BM_UnzipOpensslStored(benchmark::State& state) {
  unzip_and_hash(state, "lib/armeabi-v7a/libstored.so");
}
BENCHMARK(BM_UnzipOpensslStored)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UnzipOpensslDeflated(benchmark::State& state) {
  unzip_and_hash(state, "lib/armeabi-v7a/libdeflated.so");
}
BENCHMARK(BM_UnzipOpensslDeflated)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
