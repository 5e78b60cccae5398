// ZIP archives: the reader of APKs and tool archives, and a small writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace apk {

// One central-directory record.
struct ZipEntry {
  std::string name;          // as stored, no decoding
  std::uint16_t method = 0;  // 0 stored, 8 deflate, others unsupported
  std::uint32_t crc32 = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
  std::uint64_t local_header_offset = 0;  // prefix bias already added
  std::uint16_t unix_mode = 0;            // upper external attributes when made on Unix, else 0
};

// Reads a ZIP or ZIP64 archive; failures leave a lower-case text in `error`.
struct ZipReader {
  std::FILE* file = nullptr;
  std::vector<ZipEntry> entries;
  std::string error;

  ZipReader() = default;
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;
  ~ZipReader();

  // Opens the archive and loads its central directory; false with `error` set on failure.
  // Called once per reader.
  bool open(const std::filesystem::path& path);
  // The first entry with exactly this name, or null.
  const ZipEntry* find(const std::string& name) const;
  // The entry's whole content, CRC-checked; no value with `error` set on failure.
  std::optional<std::vector<unsigned char>> read(const ZipEntry& entry);
  // find() then read(); "no <name> in the archive" when absent.
  std::optional<std::vector<unsigned char>> read(const std::string& name);
  // read() of a member stated as at most `limit` bytes; past it "<name> is too large".
  std::optional<std::vector<unsigned char>> read(const std::string& name, std::uint64_t limit);
  // The entry's content in pieces of at most kStreamChunk bytes, handed to `sink` as they
  // are inflated, so memory stays bounded whatever the entry's size; true once all of it
  // was handed over and its CRC matched, else false with `error` set. The sink has seen
  // unchecked bytes even then.
  bool stream(const ZipEntry& entry,
              const std::function<void(const unsigned char*, std::size_t)>& sink);

 private:
  // Seeks to the entry's data; its offset, or no value with `error` set.
  std::optional<std::uint64_t> seek_data(const ZipEntry& entry);
};

// The largest piece that ZipReader::stream hands over at once.
constexpr std::size_t kStreamChunk = std::size_t(256) << 10;

// Writes a plain ZIP archive member by member (no ZIP64, no comments).
struct ZipWriter {
  std::FILE* file = nullptr;
  std::vector<ZipEntry> entries;
  std::string error;

  ZipWriter() = default;
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;
  ~ZipWriter();

  // Creates or truncates the archive; false with "cannot write <path>" on failure.
  bool open(const std::filesystem::path& path);
  // Appends one member, deflated at level 9 or stored (aligned when alignment > 1);
  // false with `error` set when it cannot be written or does not fit the classic fields
  // (past 4 GiB, 65,535 members, a name over 65,535 bytes, an alignment over 65,536).
  bool add(const std::string& name, const std::vector<unsigned char>& data, bool deflate,
           std::uint32_t alignment);
  // Writes the central directory and closes the file; false when nothing is open, the
  // directory would start past 4 GiB, or writing or closing fails.
  bool close();
};

// `path` as UTF-8 text, as messages name it on every platform.
std::string utf8_path(const std::filesystem::path& path);

// The CRC-32 of ZIP and zlib over any number of bytes.
std::uint32_t crc32(const unsigned char* data, std::uint64_t size);

}  // namespace apk
