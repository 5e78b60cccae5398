#include "apk/extract.hpp"

#include <algorithm>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

#include "apk/android_res.hpp"
#include "apk/member_name.hpp"
#include "apk/sha256.hpp"

namespace apk {

namespace {

// A UTF-8 name as a path; none when the platform cannot represent it.
std::optional<std::filesystem::path> from_utf8(const std::string& name) {
  try {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The entry's name as a relative path below the destination, or nothing when it would land
// elsewhere or would not be written as named. A backslash separates folders on Windows, so it
// does here too: the same archive is refused or accepted everywhere.
std::optional<std::filesystem::path> relative_target(const std::string& stored) {
  const std::optional<std::string> clean = safe_member_name(stored);
  // A name that folds away to nothing is the destination itself.
  if (!clean || clean->empty()) return std::nullopt;
  return from_utf8(*clean);
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
    if (in &&
        in.read(reinterpret_cast<char*>(existing.data()),
                static_cast<std::streamsize>(existing.size())) &&
        existing == data) {
      return true;
    }
  }
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  // A failed flush at close sets the stream's failure bit too.
  out.close();
  return !out.fail();
}

}  // namespace apk

// Game data extraction.

namespace apk {

namespace {

using Bytes = std::vector<unsigned char>;

// True when the name may be written below a folder exactly as it is: the member-name rule
// holds and the name is already in its plain form, so nothing is normalised.
bool safe_name(const std::string& name) { return !name.empty() && safe_member_name(name) == name; }

// A whole file; none when it cannot be opened or yields fewer bytes than its size.
std::optional<Bytes> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return std::nullopt;
  Bytes data(size);
  if (!in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size)))
    return std::nullopt;
  return data;
}

}  // namespace

bool extract(ZipReader& reader, const GameSpec& spec, const std::filesystem::path& dest,
             std::string& error, const ProgressCallback& progress) {
  const std::string library = "lib" + spec.library + ".so";
  const std::filesystem::path library_dest = dest / "lib" / library;
  const std::filesystem::path marker = dest / ".complete";
  std::error_code ignored;
  std::filesystem::remove(marker, ignored);

  std::uint64_t total = 0;
  for (const ZipEntry& entry : reader.entries)
    if (entry.name.starts_with("assets/")) total += entry.uncompressed_size;

  std::uint64_t done = 0;
  for (const ZipEntry& entry : reader.entries) {
    if (!entry.name.starts_with("assets/") || entry.name.back() == '/') continue;
    std::optional<std::filesystem::path> relative;
    if (safe_name(entry.name)) relative = from_utf8(entry.name);
    if (!relative) {
      error = "unsafe file name in the APK: " + entry.name;
      return false;
    }
    const std::filesystem::path target = dest / *relative;
    {
      std::optional<Bytes> data = reader.read(entry);
      if (!data) {
        error = reader.error;
        return false;
      }
      if (!write_file(target, *data)) {
        error = "cannot write " + utf8_path(target);
        return false;
      }
    }
    done += entry.uncompressed_size;
    if (progress) progress(done, total);
  }

  const std::vector<IconFile> icons = app_icons(reader);
  if (!icons.empty()) {
    const std::filesystem::path icon_png = dest / "icon.png";
    std::optional<Bytes> largest = reader.read(icons.front().path);
    if (!largest || !write_file(icon_png, *largest) ||
        !write_file(dest / "icon.ico", png_to_ico(*largest))) {
      error = "cannot write " + utf8_path(icon_png);
      return false;
    }
    largest.reset();
    for (const IconFile& icon : icons) {
      std::optional<Bytes> data = reader.read(icon.path);
      if (!data) continue;
      // Without a density qualifier Android treats a resource as medium density.
      const unsigned density = icon.density ? icon.density : 160;
      write_file(dest / "icons" / (std::to_string(density) + ".png"), *data);
    }
  }

  std::optional<Bytes> data = reader.read(library_path(spec));
  if (!data) {
    error = reader.error;
    return false;
  }
  if (sha256_hex(data->data(), data->size()) != spec.sha256) {
    error = "unsupported build of " + library;
    return false;
  }
  // A library name holding a separator would be written somewhere else.
  if (!safe_name(library) || !write_file(library_dest, *data) || !write_file(marker, {})) {
    error = "cannot write " + utf8_path(library_dest);
    return false;
  }
  return true;
}

namespace {

// One file of the extra-assets source: its '/'-separated UTF-8 name and how to read it.
struct Item {
  std::string name;
  std::function<std::optional<Bytes>()> read;
};

const std::string_view kSoundFolder = "16000hz-16bit-mono/";
const std::string_view kImageFolder = "images/android/";

// The part of the first name holding a marker folder at a segment start, before it.
std::optional<std::string> service_prefix(const std::vector<Item>& items) {
  for (const Item& item : items) {
    const std::string& name = item.name;
    for (std::size_t start = 0; start < name.size();) {
      if (name.compare(start, kSoundFolder.size(), kSoundFolder) == 0 ||
          name.compare(start, kImageFolder.size(), kImageFolder) == 0)
        return name.substr(0, start);
      std::size_t slash = name.find('/', start);
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
  }
  return std::nullopt;
}

// Whether `path` is `folder` or lies somewhere below it, links resolved, so that removing
// the folder would take it along.
bool lies_within(const std::filesystem::path& path, const std::filesystem::path& folder) {
  std::error_code ec;
  if (!std::filesystem::exists(folder, ec)) return false;
  std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
  if (ec) p = std::filesystem::absolute(path, ec).lexically_normal();
  for (;;) {
    std::error_code same_ec;
    if (std::filesystem::equivalent(p, folder, same_ec)) return true;
    if (!p.has_relative_path()) return false;
    p = p.parent_path();
  }
}

}  // namespace

bool extract_assets_service(const std::filesystem::path& source, const std::filesystem::path& dest,
                            std::string& error) {
  // `dest` is replaced as a whole; that must never destroy the user's own files.
  if (lies_within(source, dest)) {
    error = "source " + utf8_path(source) + " lies inside the destination " + utf8_path(dest);
    return false;
  }
  std::error_code ignored;
  std::filesystem::remove_all(dest, ignored);

  std::vector<Item> items;
  ZipReader zip;  // outlives the items that read through it
  std::error_code ec;
  if (std::filesystem::is_directory(source, ec)) {
    std::filesystem::path root = std::filesystem::absolute(source, ec).lexically_normal();
    if (!root.has_filename()) root = root.parent_path();
    const std::filesystem::path base = root.parent_path();
    std::filesystem::recursive_directory_iterator it(root, ec);
    for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code type_ec;
      if (!it->is_regular_file(type_ec)) continue;
      std::filesystem::path file = it->path();
      const std::u8string name = file.lexically_relative(base).generic_u8string();
      items.push_back({std::string(name.begin(), name.end()), [file] { return read_file(file); }});
    }
    if (ec) {
      error = "cannot read " + utf8_path(source) + ": " + ec.message();
      return false;
    }
  } else {
    if (!zip.open(source)) {
      error = zip.error;
      return false;
    }
    for (const ZipEntry& entry : zip.entries) {
      if (!entry.name.empty() && entry.name.back() == '/') continue;
      items.push_back({entry.name, [&zip, &entry] { return zip.read(entry); }});
    }
  }

  const std::optional<std::string> prefix = service_prefix(items);
  if (!prefix) {
    error = "no 16000hz-16bit-mono/ or images/android/ in " + utf8_path(source);
    return false;
  }
  for (const Item& item : items) {
    if (!item.name.starts_with(*prefix)) continue;
    const std::string relative = item.name.substr(prefix->size());
    // The service root may also hold the packed archives it came in; they are not assets.
    if (relative.find('/') == std::string::npos && relative.size() > 3 &&
        relative.compare(relative.size() - 3, 3, ".7z") == 0)
      continue;
    std::optional<std::filesystem::path> path;
    if (safe_name(relative)) path = from_utf8(relative);
    if (!path) {
      error = "unsafe file name: " + item.name;
      return false;
    }
    std::optional<Bytes> data = item.read();
    if (!data) {
      error = "cannot read " + item.name;
      if (!zip.error.empty()) error += ": " + zip.error;
      return false;
    }
    const std::filesystem::path target = dest / *path;
    if (!write_file(target, *data)) {
      error = "cannot write " + utf8_path(target);
      return false;
    }
  }
  return true;
}

}  // namespace apk
