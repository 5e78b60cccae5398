// The POSIX side of the test helpers: a shell for peer commands, recorded on request for the
// Windows run, and the files and process facts they need.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "support/peers.hpp"
#include "support/test_support.hpp"

namespace testing_support {

namespace {

int run_shell(const std::string& command, std::string* output) {
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

// `command` is what a replay compares; `execute` runs it.
int run_peer(const std::string& command, const std::function<int(std::string*)>& execute,
             std::string* output) {
  if (const char* root = std::getenv("SKARNBOLT_PEER_RECORD"))
    return peers::record(root, command, execute, output);
  return execute(output);
}

}  // namespace

fs::path temp_base() { return SKARNBOLT_TEST_TMP; }

long process_id() { return long(getpid()); }

int run(const std::string& command, std::string* output) {
  return run_peer(
      command, [&](std::string* out) { return run_shell(command, out); }, output);
}

int run_python(const std::string& script, std::string* output) {
  // The script file lies outside the tests' temporary folders: it is no file the peer makes
  // or is given, and its text holds this system's paths.
  static int count = 0;
  const fs::path file =
      temp_base() / ("script-" + std::to_string(getpid()) + "-" + std::to_string(count++) + ".py");
  return run_peer(
      "python3\n" + script,
      [&](std::string* out) {
        write_text(file, script);
        const int status = run_shell("python3 " + shell_quote(file.string()), out);
        std::error_code ignored;
        fs::remove(file, ignored);
        return status;
      },
      output);
}

std::uint64_t peak_memory() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return std::uint64_t(usage.ru_maxrss) * 1024;
}

bool seek_file(std::FILE* file, std::int64_t offset) {
  return fseeko(file, off_t(offset), SEEK_SET) == 0;
}

bool write_at(const fs::path& path, std::int64_t offset, const std::vector<unsigned char>& data) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok =
      seek_file(file, offset) && std::fwrite(data.data(), 1, data.size(), file) == data.size();
  return std::fclose(file) == 0 && ok;
}

namespace {

struct Counted {
  std::FILE* file;
  std::uint64_t* bytes;
};

ssize_t counted_read(void* cookie, char* buffer, size_t size) {
  auto* counted = static_cast<Counted*>(cookie);
  const size_t n = std::fread(buffer, 1, size, counted->file);
  *counted->bytes += n;
  return n == 0 && std::ferror(counted->file) ? -1 : ssize_t(n);
}

int counted_seek(void* cookie, off64_t* offset, int whence) {
  auto* counted = static_cast<Counted*>(cookie);
  if (fseeko(counted->file, off_t(*offset), whence) != 0) return -1;
  *offset = ftello(counted->file);
  return 0;
}

int counted_close(void* cookie) {
  auto* counted = static_cast<Counted*>(cookie);
  const int status = std::fclose(counted->file);
  delete counted;
  return status;
}

}  // namespace

std::FILE* counting_reads(std::FILE* file, std::uint64_t* bytes) {
  return fopencookie(new Counted{file, bytes}, "rb",
                     {counted_read, nullptr, counted_seek, counted_close});
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

}  // namespace testing_support
