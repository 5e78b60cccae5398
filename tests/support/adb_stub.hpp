// A stand-in for Android's adb: a POSIX shell script that lists chosen devices and records what
// else it was asked to do.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// The listing `adb devices` prints for these (serial, state) pairs, e.g. ("emulator-5554",
// "device") or ("R58M", "unauthorized"): the header, one tab-separated line each, a blank line.
std::string adb_listing(const std::vector<std::pair<std::string, std::string>>& devices);

// Writes an executable adb stand-in at `program` (making its folder). `adb devices` prints
// `listing` and exits 0; every other call appends its arguments, tab-separated on one line, to
// adb_calls_file(program) and exits with `exit_code`.
void write_adb_stub(const fs::path& program, const std::string& listing, int exit_code = 0);

// The file in which the stand-in at `program` records its calls: `program` + ".calls".
fs::path adb_calls_file(const fs::path& program);

// The calls recorded so far, oldest first, each as its list of arguments; none when there were
// none.
std::vector<std::vector<std::string>> adb_calls(const fs::path& program);

}  // namespace testing_support
