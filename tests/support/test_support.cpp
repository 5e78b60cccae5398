#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

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
  fs::path base = SKARNBOLT_TEST_TMP;
  fs::create_directories(base);
  for (;;) {
    path_ = base / ("t" + std::to_string(getpid()) + "-" + std::to_string(g_counter++));
    if (fs::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
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
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

int run(const std::string& command, std::string* output) {
  std::string full = command + " 2>&1";
  FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> buffer;
  std::string text;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) text.append(buffer.data(), n);
  int status = pclose(pipe);
  if (output) *output = text;
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<unsigned char> read_bytes(const fs::path& path) {
  // Plain stdio: a file stream throws when a read fails, as it does for the /proc files of a
  // process that ends while they are read.
  std::vector<unsigned char> bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return bytes;
  unsigned char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(file);
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

int run_python(const std::string& script, std::string* output) {
  TempDir dir;
  fs::path file = dir / "script.py";
  write_text(file, script);
  return run("python3 " + shell_quote(file.string()), output);
}

fs::path place_self(const fs::path& program) {
  if (fs::exists(program)) return program;
  fs::create_directories(program.parent_path());
  const fs::path self = fs::read_symlink("/proc/self/exe");
  std::error_code ec;
  fs::create_hard_link(self, program, ec);
  if (ec) fs::copy_file(self, program);
  return program;
}

bool register_driver(const char* variable, std::function<void()> body) {
  if (!std::getenv(variable)) return false;
  testing::RegisterTest("Driver", "run", nullptr, nullptr, __FILE__, __LINE__,
                        [body]() -> testing::Test* { return new DriverTest(body); });
  return true;
}

}  // namespace testing_support
