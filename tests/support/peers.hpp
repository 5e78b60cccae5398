// Peer tools where there are none: the Linux run of the toolkit's tests records what each
// peer command (Python, Info-ZIP, aapt, ...) was given and what it made in the tests' temporary
// folders, and the Windows run, which has no such tools, replays those records.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace testing_support::peers {

// A temporary folder of the running test was made or is about to go.
void track(const std::filesystem::path& dir);
void untrack(const std::filesystem::path& dir);

// Runs `execute` (which fills its argument with the command's output and returns its exit
// status) and keeps the command, its result and every file it made or changed in the test's
// temporary folders below `root`.
int record(const std::filesystem::path& root, const std::string& command,
           const std::function<int(std::string*)>& execute, std::string* output);

// Puts the recorded result of `command` in place: its files in the test's temporary folders,
// its output and its exit status. When there is no record, or the command or the files it was
// given differ from the recorded run's, or `root` is empty, the test fails and ends at once (an
// exception), since its verdict would not hold.
int replay(const std::filesystem::path& root, const std::string& command, std::string* output);

}  // namespace testing_support::peers
