// Small helpers shared by the test executables.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// A fresh, empty folder below the build tree, removed again on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// The folder of committed test fixtures (tests/fixtures).
fs::path fixtures_dir();

// Runs a shell command; returns its exit status and puts stdout+stderr in *output when given.
int run(const std::string& command, std::string* output = nullptr);

// Quotes a string for a POSIX shell.
std::string shell_quote(const std::string& text);

std::vector<unsigned char> read_bytes(const fs::path& path);
void write_bytes(const fs::path& path, const std::vector<unsigned char>& data);
void write_text(const fs::path& path, const std::string& text);
std::string read_text(const fs::path& path);

// Deterministic pseudo-random bytes.
std::vector<unsigned char> random_bytes(std::size_t count, std::uint32_t seed);

// Runs python3 with the given script text (passed through a file); returns the exit status.
int run_python(const std::string& script, std::string* output = nullptr);

// Links (or else copies) this test executable to `program`, making its folder, so that it can
// be run again from another folder; an existing `program` is kept. Returns `program`.
fs::path place_self(const fs::path& program);

// When the environment variable `variable` is set, registers the test Driver.run that runs
// `body`: a test starts its own executable with --gtest_filter=Driver.run as a fresh process.
// Returns whether it registered.
bool register_driver(const char* variable, std::function<void()> body);

}  // namespace testing_support
