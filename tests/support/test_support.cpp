#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>

#include "support/peers.hpp"

namespace testing_support {

namespace {

std::atomic<int> g_counter{0};

class DriverTest : public testing::Test {
 public:
  explicit DriverTest(std::function<void()> body) : body_(std::move(body)) {}
  void TestBody() override { body_(); }

 private:
  std::function<void()> body_;
};

}  // namespace

TempDir::TempDir() {
  fs::path base = temp_base();
  fs::create_directories(base);
  for (;;) {
    path_ = base / ("t" + std::to_string(process_id()) + "-" + std::to_string(g_counter++));
    if (fs::create_directory(path_)) break;
  }
  peers::track(path_);
}

TempDir::~TempDir() {
  peers::untrack(path_);
  std::error_code ec;
  // Tests may leave read-only files or folders behind; make them writable first.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

fs::path fixtures_dir() { return SKARNBOLT_FIXTURES; }

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

fs::path utf8_path(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::vector<unsigned char> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> bytes;
  // A failed read throws, as it does for the /proc files of a process that ends meanwhile.
  try {
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  } catch (const std::ios_base::failure&) {
  }
  return bytes;
}

void write_bytes(const fs::path& path, const std::vector<unsigned char>& data) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void write_text(const fs::path& path, const std::string& text) {
  write_bytes(path, std::vector<unsigned char>(text.begin(), text.end()));
}

std::string read_text(const fs::path& path) {
  auto bytes = read_bytes(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<unsigned char> random_bytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> out(count);
  for (auto& b : out) b = static_cast<unsigned char>(rng());
  return out;
}

bool register_driver(const char* variable, std::function<void()> body) {
  if (!std::getenv(variable)) return false;
  testing::RegisterTest("Driver", "run", nullptr, nullptr, __FILE__, __LINE__,
                        [body]() -> testing::Test* { return new DriverTest(body); });
  return true;
}

}  // namespace testing_support

namespace testing_support {

bool write_zero_bomb(const fs::path& path, const std::string& name, std::uint64_t size) {
  const std::string script = "path, name, size = " + shell_quote(path.string()) + ", " +
                             shell_quote(name) + ", " + std::to_string(size) + "\n" + R"(
import struct, zlib
M = 1 << 20
zeros = bytes(M)
c = zlib.compressobj(9, zlib.DEFLATED, -15)
# After a full flush the compressor starts afresh, so one flushed block stands for every chunk.
block = c.compress(zeros) + c.flush(zlib.Z_FULL_FLUSH)
n, rest = divmod(size, M)
tail = c.compress(bytes(rest)) + c.flush()
crc = 0
for _ in range(n):
    crc = zlib.crc32(zeros, crc)
crc = zlib.crc32(bytes(rest), crc)
raw_size = len(block) * n + len(tail)
key = name.encode()
fields = struct.pack('<HHHHHIII', 20, 0, 8, 0, 0x21, crc, raw_size, size)
with open(path, 'wb') as f:
    f.write(b'PK\x03\x04' + fields + struct.pack('<HH', len(key), 0) + key)
    for _ in range(n):
        f.write(block)
    f.write(tail)
    start = f.tell()
    f.write(b'PK\x01\x02' + struct.pack('<H', 20) + fields +
            struct.pack('<HHHHHII', len(key), 0, 0, 0, 0, 0, 0) + key)
    end = f.tell()
    f.write(b'PK\x05\x06' + struct.pack('<HHHHIIH', 0, 0, 1, 1, end - start, start, 0))
)";
  std::string output;
  const bool ok = run_python(script, &output) == 0;
  EXPECT_TRUE(ok) << output;
  return ok;
}

bool make_apk(const fs::path& path, const std::string& library, const std::string& content) {
  TempDir dir;
  write_text(dir / "apk.py", R"(import sys, zipfile
path, library, content, icon = sys.argv[1:]
with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('AndroidManifest.xml', 'stand-in')
    z.writestr('lib/armeabi-v7a/lib' + library + '.so', content)
    z.writestr('assets/data/' + library + '.txt', 'data of ' + library + '\n')
    z.write(icon, 'res/mipmap-hdpi/ic_launcher.png')
)");
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  const std::string library_text = content.empty() ? "fixture library " + library + "\n" : content;
  std::string output;
  const int code =
      run("python3 " + shell_quote((dir / "apk.py").string()) + " " + shell_quote(path.string()) +
              " " + shell_quote(library) + " " + shell_quote(library_text) + " " +
              shell_quote((fixtures_dir() / "port/cmake/icon.png").string()),
          &output);
  EXPECT_EQ(code, 0) << "cannot make " << path << ": " << output;
  return code == 0;
}

}  // namespace testing_support
