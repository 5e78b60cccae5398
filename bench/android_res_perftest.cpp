// Launcher-icon lookup of a hostile APK, whose resource table aims thousands of tiny type
// chunks at one long path naming a 16 MiB member that is no PNG, against a plain APK of the
// same file size (six densities of one icon and incompressible assets), and against a plain
// APK whose largest icon inflates to as much as that member. Read once per chunk, the member
// cost seconds to hours; read once, the time is inflating the table and it.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "apk/android_res.hpp"
#include "apk/zip.hpp"

namespace {

namespace fs = std::filesystem;

// Writes an APK: `chunks` > 0 makes the hostile table, 0 a plain one padded to `pad_to` bytes
// whose largest icon is `largest` pixels wide.
const char kMakeApk[] = R"(import os, random, struct, sys, zlib, zipfile
out, chunks, pad_to, largest = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])

def pool(strings, utf8):
    data, offsets = b'', []
    for s in strings:
        offsets.append(len(data))
        if utf8:
            data += bytes([len(s), len(s)]) + s.encode() + b'\0'
        else:
            n = len(s)
            data += (struct.pack('<HH', 0x8000 | n >> 16, n & 0xFFFF) if n > 0x7FFF
                     else struct.pack('<H', n)) + s.encode('utf-16-le') + b'\0\0'
    data += b'\0' * (-len(data) % 4)
    start = 28 + 4 * len(strings)
    return (struct.pack('<HHIIIIII', 1, 28, start + len(data), len(strings), 0,
                        0x100 if utf8 else 0, start, 0)
            + b''.join(struct.pack('<I', o) for o in offsets) + data)

def manifest():
    body = pool(['application', 'icon'], True)
    attr = struct.pack('<IIIHBBI', 0xFFFFFFFF, 1, 0xFFFFFFFF, 8, 0, 1, 0x7f010000)
    body += (struct.pack('<HHIIIIIHHHHHH', 0x0102, 16, 36 + len(attr), 1, 0xFFFFFFFF,
                         0xFFFFFFFF, 0, 20, 20, 1, 0, 0, 0) + attr)
    return struct.pack('<HHI', 3, 8, 8 + len(body)) + body

def type_chunk(density, string):
    config = bytes(10) + struct.pack("<H", density) + bytes(48)
    return (struct.pack('<HHIBBHII', 0x0201, 84, 104, 1, 0, 0, 1, 88) + struct.pack('<I', 64)
            + config + struct.pack('<IHHIHBBI', 0, 8, 0, 0, 8, 0, 3, string))

def table(values, types):
    package = struct.pack('<HHII', 0x0200, 288, 288 + len(types), 0x7f) + bytes(276) + types
    body = struct.pack('<I', 1) + pool(values, False) + package
    return struct.pack('<HHI', 2, 12, 8 + len(body)) + body

def png(edge):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    rows = (b''.join(b'\0' + bytes((x ^ y) & 255 for x in range(edge * 3)) for y in range(edge))
            if edge < 1000 else bytes((edge * 3 + 1) * edge))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', edge, edge, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(rows, 9 if edge < 1000 else 0)) + chunk(b'IEND', b''))

densities = [(120, 36), (160, 48), (240, 72), (320, 96), (480, 144), (640, largest)]
with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('AndroidManifest.xml', manifest())
    if chunks:
        big = 'res/' + 'b' * 3000 + '.png'
        types = type_chunk(160, 1) + type_chunk(120, 0) * chunks
        z.writestr('resources.arsc', table([big, 'res/icon.png'], types))
        z.writestr(big, bytes(16 << 20))
        z.writestr('res/icon.png', png(48))
    else:
        paths = ['res/mipmap-%d/icon.png' % d for d, _ in densities]
        types = b''.join(type_chunk(d, i) for i, (d, _) in enumerate(densities))
        z.writestr('resources.arsc', table(paths, types))
        for path, (_, edge) in zip(paths, densities):
            z.writestr(path, png(edge))
        z.writestr('classes.dex', b'dex\n035\0' * 200)
if pad_to:
    rng = random.Random(7)
    with zipfile.ZipFile(out, 'a', zipfile.ZIP_STORED) as z:
        z.writestr('assets/filler.bin', bytes(rng.randrange(256)
                   for _ in range(max(0, pad_to - os.path.getsize(out) - 150))))
)";

struct Apks {
  fs::path dir;
  fs::path hostile_small, hostile_large, plain_small, plain_large, plain_big_icon;
  bool ok = false;

  Apks() {
    dir = fs::temp_directory_path() / ("skarnbolt-icons-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path script = dir / "make.py";
    if (std::FILE* f = std::fopen(script.string().c_str(), "w")) {
      std::fputs(kMakeApk, f);
      std::fclose(f);
    }
    hostile_small = dir / "hostile-1000.apk";
    hostile_large = dir / "hostile-300000.apk";
    plain_small = dir / "plain-small.apk";
    plain_large = dir / "plain-large.apk";
    plain_big_icon = dir / "plain-big-icon.apk";
    ok = make(hostile_small, 1000, 0, 0) && make(hostile_large, 300000, 0, 0) &&
         make(plain_small, 0, fs::file_size(hostile_small), 192) &&
         make(plain_large, 0, fs::file_size(hostile_large), 192) &&
         make(plain_big_icon, 0, 0, 2365);
  }
  ~Apks() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  bool make(const fs::path& apk, int chunks, std::uintmax_t pad_to, int largest) const {
    const std::string command = "python3 '" + (dir / "make.py").string() + "' '" + apk.string() +
                                "' " + std::to_string(chunks) + " " + std::to_string(pad_to) + " " +
                                std::to_string(largest);
    return std::system(command.c_str()) == 0;
  }
};

const Apks& apks() {
  static const Apks a;
  return a;
}

// The lookup as the window runs it: open the APK, find its icons. "apk_kib" is the file size,
// "inflated_mib" what the members it reads hold uncompressed (each read once).
void lookup(benchmark::State& state, fs::path Apks::*which) {
  if (!apks().ok) {
    state.SkipWithError("cannot make the APKs");
    return;
  }
  const fs::path& apk = apks().*which;
  std::size_t found = 0;
  for (auto _ : state) {
    apk::ZipReader reader;
    if (!reader.open(apk)) {
      state.SkipWithError(reader.error.c_str());
      break;
    }
    found = apk::app_icons(reader).size();
  }
  apk::ZipReader reader;
  double inflated = 0;
  if (reader.open(apk))
    for (const apk::ZipEntry& e : reader.entries)
      if (e.name.rfind("assets/", 0) != 0 && e.name != "classes.dex")
        inflated += e.uncompressed_size;
  state.counters["apk_kib"] = double(fs::file_size(apk)) / 1024;
  state.counters["inflated_mib"] = inflated / (1 << 20);
  state.counters["icons"] = double(found);
}

void BM_IconsHostile1000Chunks(benchmark::State& state) { lookup(state, &Apks::hostile_small); }
void BM_IconsPlainSameSizeAs1000(benchmark::State& state) { lookup(state, &Apks::plain_small); }
void BM_IconsHostile300000Chunks(benchmark::State& state) { lookup(state, &Apks::hostile_large); }
void BM_IconsPlainSameSizeAs300000(benchmark::State& state) { lookup(state, &Apks::plain_large); }
// A plain APK whose largest icon, a PNG of uncompressed pixels, inflates to 16 MiB as the
// hostile member does.
void BM_IconsPlainWith16MiBIcon(benchmark::State& state) { lookup(state, &Apks::plain_big_icon); }
BENCHMARK(BM_IconsHostile1000Chunks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IconsPlainSameSizeAs1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IconsHostile300000Chunks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IconsPlainSameSizeAs300000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IconsPlainWith16MiBIcon)->Unit(benchmark::kMillisecond);

}  // namespace
