#include "apk/extract.hpp"

#include <algorithm>
#include <fstream>
#include <optional>
#include <system_error>

namespace apk {

namespace {

std::string utf8_path(const std::filesystem::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The entry's name as a relative path below the destination, or nothing when it
// would land elsewhere. A backslash separates folders on Windows, so it does here
// too: the same archive is refused or accepted everywhere.
std::optional<std::filesystem::path> relative_target(const std::string& stored) {
  std::string name = stored;
  std::replace(name.begin(), name.end(), '\\', '/');
  // A drive letter is a root name only on Windows; refuse it on every system.
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    return std::nullopt;
  }
  std::filesystem::path path;
  try {
    path = std::filesystem::path(std::u8string(name.begin(), name.end())).lexically_normal();
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (path.empty() || path.has_root_name() || path.has_root_directory() ||
      *path.begin() == "..") {
    return std::nullopt;
  }
  return path;
}

}  // namespace

bool unpack(ZipReader& reader, const std::filesystem::path& dest, std::string& error,
            const ProgressCallback& progress) {
  const std::uint64_t total = reader.entries.size();
  std::uint64_t done = 0;
  for (const ZipEntry& entry : reader.entries) {
    std::optional<std::filesystem::path> relative = relative_target(entry.name);
    if (!relative) {
      error = "unsafe name in archive: " + entry.name;
      return false;
    }
    const std::filesystem::path target = dest / *relative;
    std::error_code ignored;
    if (!entry.name.empty() && entry.name.back() == '/') {
      std::filesystem::create_directories(target, ignored);
    } else {
      std::optional<std::vector<unsigned char>> data = reader.read(entry);
      if (!data) {
        error = reader.error;
        return false;
      }
      std::filesystem::create_directories(target.parent_path(), ignored);
      // Always written anew, so a file left by an earlier unpack never survives as is.
      std::filesystem::remove(target, ignored);
      if (!write_file(target, *data)) {
        error = "cannot write " + utf8_path(target);
        return false;
      }
    }
    ++done;
    if (progress) progress(done, total);
  }
  return true;
}

bool write_file(const std::filesystem::path& path, const std::vector<unsigned char>& data) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (!ec && size == data.size()) {
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> existing(data.size());
    if (in && in.read(reinterpret_cast<char*>(existing.data()),
                      static_cast<std::streamsize>(existing.size())) &&
        existing == data) {
      return true;
    }
  }
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(data.data()),
            static_cast<std::streamsize>(data.size()));
  // A failed flush at close sets the stream's failure bit too.
  out.close();
  return !out.fail();
}

}  // namespace apk
