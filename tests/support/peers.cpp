#include "support/peers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testing_support::peers {

namespace {

namespace fs = std::filesystem;

// Files of the live temporary folders, "<folder index>/<relative path>" to a content hash.
using Snapshot = std::map<std::string, std::uint64_t>;

struct Live {
  int index;
  fs::path path;
};

// Temporary folders and peer calls are numbered per test, so that both runs agree on them
// whatever other tests ran before in the same process.
std::string g_test;
int g_next_dir = 0;
int g_next_call = 0;
std::vector<Live> g_live;

std::string current_test() {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name =
      info ? std::string(info->test_suite_name()) + "." + info->name() : "outside-tests";
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
  }
  return name;
}

void enter_test() {
  std::string name = current_test();
  if (name == g_test) return;
  g_test = name;
  g_next_dir = 0;
  g_next_call = 0;
  g_live.clear();
}

// Names travel as UTF-8 on both systems.
std::string utf8(const fs::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}
fs::path from_utf8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string slashed(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::uint64_t hash_of(const fs::path& path) {
  // FNV-1a: only equality matters here.
  std::uint64_t hash = 14695981039346656037ull;
  std::ifstream in(path, std::ios::binary);
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
    }
  }
  return hash;
}

Snapshot snapshot() {
  Snapshot files;
  for (const Live& live : g_live) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(live.path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      const std::string name =
          std::to_string(live.index) + "/" + utf8(fs::relative(it->path(), live.path));
      files[name] = hash_of(it->path());
    }
  }
  return files;
}

// The live path of "<folder index>/<relative path>".
fs::path live_path(const std::string& name) {
  const std::size_t slash = name.find('/');
  const int index = std::stoi(name.substr(0, slash));
  for (const Live& live : g_live) {
    if (live.index == index) return live.path / from_utf8(name.substr(slash + 1));
  }
  return {};
}

// The command with each live folder's path replaced by its number, and backslashes as slashes:
// the same text on both systems when the test did the same thing.
std::string normalise(const std::string& command) {
  std::vector<Live> live = g_live;
  // A longer path first, so that ".../t1-10" is not taken for ".../t1-1" and a "0".
  std::sort(live.begin(), live.end(),
            [](const Live& a, const Live& b) { return utf8(a.path).size() > utf8(b.path).size(); });
  std::string text = slashed(command);
  for (const Live& item : live) {
    const std::string path = utf8(item.path);
    const std::string mark = "<tmp" + std::to_string(item.index) + ">";
    for (std::size_t at = 0; (at = text.find(path, at)) != std::string::npos; at += mark.size())
      text.replace(at, path.size(), mark);
  }
  return text;
}

fs::path next_call(const fs::path& root) {
  enter_test();
  return root / g_test / std::to_string(g_next_call++);
}

std::string describe(const Snapshot& files) {
  std::string text;
  for (const auto& [name, hash] : files) text += "  " + name + " " + std::to_string(hash) + "\n";
  return text;
}

// Without its record the test would go on without the peer's files and fail later for
// another reason, or fault; an exception ends it here, and GoogleTest reports it as failed.
[[noreturn]] void stop_test(const std::string& message) {
  ADD_FAILURE() << message;
  throw std::runtime_error("no usable peer record");
}

}  // namespace

void track(const fs::path& dir) {
  enter_test();
  g_live.push_back({g_next_dir++, dir});
}

void untrack(const fs::path& dir) {
  g_live.erase(std::remove_if(g_live.begin(), g_live.end(),
                              [&](const Live& live) { return live.path == dir; }),
               g_live.end());
}

int record(const fs::path& root, const std::string& command,
           const std::function<int(std::string*)>& execute, std::string* output) {
  const fs::path call = next_call(root);
  fs::remove_all(call);
  const Snapshot before = snapshot();
  std::string text;
  const int status = execute(&text);
  const Snapshot after = snapshot();

  write_file(call / "command", normalise(command));
  write_file(call / "status", std::to_string(status));
  write_file(call / "output", text);
  std::string inputs;
  for (const auto& [name, hash] : before) inputs += std::to_string(hash) + " " + name + "\n";
  write_file(call / "inputs", inputs);
  std::string removed;
  for (const auto& [name, hash] : before) {
    if (!after.count(name)) removed += name + "\n";
  }
  write_file(call / "removed", removed);
  for (const auto& [name, hash] : after) {
    auto old = before.find(name);
    if (old == before.end() || old->second != hash) {
      const fs::path copy = call / "files" / from_utf8(name);
      fs::create_directories(copy.parent_path());
      fs::copy_file(live_path(name), copy);
    }
  }
  if (output) *output = text;
  return status;
}

int replay(const fs::path& root, const std::string& command, std::string* output) {
  if (root.empty()) stop_test("SKARNBOLT_PEER_REPLAY names no folder of recorded peer runs");
  const fs::path call = next_call(root);
  if (!fs::exists(call / "status"))
    stop_test("no recorded peer run " + utf8(call) + " for:\n" + command);
  const std::string expected = read_file(call / "command");
  const std::string actual = normalise(command);
  if (expected != actual) {
    stop_test("the peer command differs from the recorded run's:\n" + actual + "\nrecorded:\n" +
              expected);
  }
  Snapshot given;
  std::istringstream inputs(read_file(call / "inputs"));
  std::string line;
  while (std::getline(inputs, line)) {
    const std::size_t space = line.find(' ');
    given[line.substr(space + 1)] = std::stoull(line.substr(0, space));
  }
  const Snapshot now = snapshot();
  if (now != given) {
    stop_test("the peer would see other files than in the recorded run:\n" + describe(now) +
              "recorded:\n" + describe(given));
  }

  std::istringstream removed(read_file(call / "removed"));
  while (std::getline(removed, line)) {
    std::error_code ignored;
    fs::remove(live_path(line), ignored);
  }
  const fs::path files = call / "files";
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(files, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    write_file(live_path(utf8(fs::relative(it->path(), files))), read_file(it->path()));
  }
  if (output) *output = read_file(call / "output");
  return std::stoi(read_file(call / "status"));
}

}  // namespace testing_support::peers
