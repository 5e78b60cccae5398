// A tool cache laid out for build-job tests: every tool a build needs is there and stamped, so
// no build downloads anything; CMake and Ninja are the machine's own, the toolchain files keep
// the machine's compilers, and adb is a stand-in script.
#pragma once

#include <filesystem>
#include <string>

#include "support/adb_stub.hpp"

namespace testing_support {

namespace fs = std::filesystem;

// Seeds <cache>/tools with the stamped CMake, Ninja and llvm-mingw folders; with `android` also
// the NDK, the SDK (whose platform-tools/adb answers "devices" with `adb_devices`, no devices
// when empty, and records every other call) and Java;
// with `switch_` also devkitPro, answered by a loopback package server set up once per process
// (call it before the first Switch build). Seeding again keeps what is there. False, with a
// test failure added, when something could not be made.
bool seed_tool_cache(const fs::path& cache, bool android, bool switch_,
                     const std::string& adb_devices = {});

// The seeded stand-in adb: <cache>/tools/android-sdk/platform-tools/adb.
fs::path seeded_adb(const fs::path& cache);

// Makes the seeded stand-in adb answer "devices" with `listing` (no devices when empty).
void set_adb_devices(const fs::path& cache, const std::string& listing);

// A writable copy of the test port (tests/fixtures/port) in `destination`, replacing what was
// there. False, with a test failure added, when it cannot be copied.
bool copy_test_port(const fs::path& destination);

}  // namespace testing_support
