// Small helpers shared by the test executables.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// How long a child run or a build may take before it counts as hung. Only a hang reaches it: a
// full build of the fixture port on a machine loaded many times over still ends well inside it,
// and CTest's own limit per test (ten minutes) stays above it.
constexpr int kHangMs = 480000;

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

// The folder below which temporary folders are made, and this process's id in their names.
fs::path temp_base();
long process_id();

// The folder of committed test fixtures (tests/fixtures).
fs::path fixtures_dir();

// Runs a shell command; returns its exit status and puts stdout+stderr in *output when given.
// With SKARNBOLT_PEER_RECORD set to a folder, the Linux run keeps what the command made there;
// the Windows build has no shell and replays that record from SKARNBOLT_PEER_REPLAY instead.
int run(const std::string& command, std::string* output = nullptr);

// Quotes a string for a POSIX shell.
std::string shell_quote(const std::string& text);

// A path from UTF-8 text on every system (Windows reads a narrow string in its ANSI code page).
fs::path utf8_path(const std::string& text);

std::vector<unsigned char> read_bytes(const fs::path& path);
void write_bytes(const fs::path& path, const std::vector<unsigned char>& data);
void write_text(const fs::path& path, const std::string& text);
std::string read_text(const fs::path& path);

// Deterministic pseudo-random bytes.
std::vector<unsigned char> random_bytes(std::size_t count, std::uint32_t seed);

// Runs python3 with the given script text (passed through a file); returns the exit status.
// Recorded and replayed like run().
int run_python(const std::string& script, std::string* output = nullptr);

// The most memory this process has held resident so far, in bytes.
std::uint64_t peak_memory();

// Writes a ZIP archive of one deflated member `name` whose `size` bytes are all zero, made
// from repeats of one flushed block so that gibibytes cost a moment and about a thousandth of
// their size on disk (Python's zlib); true when it was written.
bool write_zero_bomb(const fs::path& path, const std::string& name, std::uint64_t size);

// Makes an APK at `path` (Python's zipfile) as a game's stands in the test port: a manifest,
// lib/armeabi-v7a/lib<library>.so holding `content` (by default the stand-in whose hash the
// fixture catalogue knows for `library`), a data file below assets/ and a launcher icon. True
// when it was written.
bool make_apk(const fs::path& path, const std::string& library, const std::string& content = "");

// True in the Windows build of the tests, which runs under Wine in CI.
#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// Moves `file` to the absolute `offset`, past 4 GiB too; false when that fails.
bool seek_file(std::FILE* file, std::int64_t offset);

// Makes a new file of `offset` + data.size() bytes holding `data` at `offset`, the bytes before
// it a hole where the file system has them (marked sparse on Windows), so that a file past
// 4 GiB costs no disk. False when that fails.
bool write_at(const fs::path& path, std::int64_t offset, const std::vector<unsigned char>& data);

// `file` behind a stream that adds every byte read through it to *bytes, so that a test can
// count what a reader took from its file; the stream owns `file`. Null where the system has no
// such streams (Windows).
std::FILE* counting_reads(std::FILE* file, std::uint64_t* bytes);

// Links (or else copies) this test executable to `program`, making its folder, so that it can
// be run again from another folder; an existing `program` is kept. Returns `program`.
fs::path place_self(const fs::path& program);

// When the environment variable `variable` is set, registers the test Driver.run that runs
// `body`: a test starts its own executable with --gtest_filter=Driver.run as a fresh process.
// Returns whether it registered.
bool register_driver(const char* variable, std::function<void()> body);

}  // namespace testing_support
