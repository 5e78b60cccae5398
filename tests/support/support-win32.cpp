// The Windows side of the test helpers: no shell and no peer tools, so peer commands replay
// what the Linux run recorded; files past 4 GiB are made sparse.
#include <gtest/gtest.h>
#include <process.h>

#include <cstdlib>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// These need windows.h before them.
#include <psapi.h>
#include <winioctl.h>

#include "support/peers.hpp"
#include "support/test_support.hpp"

namespace testing_support {

namespace {

int replay(const std::string& command, std::string* output) {
  const char* root = std::getenv("SKARNBOLT_PEER_REPLAY");
  return peers::replay(root ? root : "", command, output);
}

}  // namespace

fs::path temp_base() { return fs::temp_directory_path() / "skarnbolt-tests"; }

long process_id() { return long(_getpid()); }

int run(const std::string& command, std::string* output) { return replay(command, output); }

int run_python(const std::string& script, std::string* output) {
  return replay("python3\n" + script, output);
}

std::uint64_t peak_memory() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize;
}

bool seek_file(std::FILE* file, std::int64_t offset) {
  return _fseeki64(file, offset, SEEK_SET) == 0;
}

bool write_at(const fs::path& path, std::int64_t offset, const std::vector<unsigned char>& data) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Without the sparse mark NTFS would fill the hole with zeros on disk; a file system
  // without sparse files refuses it, and the hole then costs its disk space.
  DWORD returned = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER position;
  position.QuadPart = offset;
  DWORD written = 0;
  const bool ok = SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
                  WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr) &&
                  written == data.size();
  return CloseHandle(file) && ok;
}

std::FILE* counting_reads(std::FILE*, std::uint64_t*) { return nullptr; }

}  // namespace testing_support
