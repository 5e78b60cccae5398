#include "support/adb_stub.hpp"

#include <fstream>
#include <sstream>

#include "support/test_support.hpp"

namespace testing_support {

std::string adb_listing(const std::vector<std::pair<std::string, std::string>>& devices) {
  std::string text = "List of devices attached\n";
  for (const auto& [serial, state] : devices) text += serial + "\t" + state + "\n";
  return text + "\n";
}

fs::path adb_calls_file(const fs::path& program) {
  fs::path file = program;
  file += ".calls";
  return file;
}

void write_adb_stub(const fs::path& program, const std::string& listing, int exit_code) {
  fs::path devices = program;
  devices += ".devices";
  write_text(devices, listing);
  // Arguments are joined by tabs with IFS, which "$*" uses for its separator.
  write_text(program,
             "#!/bin/sh\n"
             "if [ \"$#\" -eq 1 ] && [ \"$1\" = devices ]; then\n"
             "  cat " +
                 shell_quote(devices.string()) +
                 "\n"
                 "  exit 0\n"
                 "fi\n"
                 "IFS='\t'\n"
                 "printf '%s\\n' \"$*\" >> " +
                 shell_quote(adb_calls_file(program).string()) +
                 "\n"
                 "exit " +
                 std::to_string(exit_code) + "\n");
  fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
}

std::vector<std::vector<std::string>> adb_calls(const fs::path& program) {
  std::vector<std::vector<std::string>> calls;
  std::ifstream in(adb_calls_file(program));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> arguments;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) arguments.push_back(field);
    calls.push_back(arguments);
  }
  return calls;
}

}  // namespace testing_support
