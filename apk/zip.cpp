#include "apk/zip.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>

namespace apk {

namespace {

// The platform seam: the only place that knows how files are opened and sought.
#ifdef _WIN32
std::FILE* open_file(const std::filesystem::path& path, const char* mode) {
  std::wstring wide_mode;
  for (const char* c = mode; *c; ++c) wide_mode += static_cast<wchar_t>(*c);
  return _wfopen(path.wstring().c_str(), wide_mode.c_str());
}
bool seek_raw(std::FILE* file, std::int64_t offset, int origin) {
  return _fseeki64(file, offset, origin) == 0;
}
std::int64_t tell_raw(std::FILE* file) { return _ftelli64(file); }
#else
std::FILE* open_file(const std::filesystem::path& path, const char* mode) {
  return std::fopen(path.native().c_str(), mode);
}
bool seek_raw(std::FILE* file, std::int64_t offset, int origin) {
  return fseeko(file, static_cast<off_t>(offset), origin) == 0;
}
std::int64_t tell_raw(std::FILE* file) { return static_cast<std::int64_t>(ftello(file)); }
#endif

bool seek(std::FILE* file, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return seek_raw(file, static_cast<std::int64_t>(offset), SEEK_SET);
}

// The size of the file; moves the position to its end.
std::optional<std::uint64_t> file_size(std::FILE* file) {
  if (!seek_raw(file, 0, SEEK_END)) return std::nullopt;
  std::int64_t size = tell_raw(file);
  if (size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

bool read_exact(std::FILE* file, unsigned char* out, std::uint64_t size) {
  return size == 0 || std::fread(out, 1, size, file) == size;
}

std::uint16_t get16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t get32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t get64(const unsigned char* p) {
  return get32(p) | (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}

void put16(std::vector<unsigned char>& out, std::uint32_t value) {
  out.push_back(static_cast<unsigned char>(value));
  out.push_back(static_cast<unsigned char>(value >> 8));
}
void put32(std::vector<unsigned char>& out, std::uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::uint64_t kTailWindow = 0x10016;
constexpr std::uint64_t kCentralRecord = 46;
constexpr std::uint64_t kWriterLimit = 0xFFFFFFFE;
// Deflate cannot expand by more than this factor, so larger stated sizes cannot be met.
constexpr std::uint64_t kMaxInflateRatio = 1032;

// Walks one record's extra field for ZIP64 values; reads only inside [p, end).
void read_zip64_extra(const unsigned char* p, const unsigned char* end, ZipEntry& entry,
                      bool wide_uncompressed, bool wide_compressed, bool wide_offset) {
  while (end - p >= 4) {
    std::uint16_t tag = get16(p);
    std::uint16_t size = get16(p + 2);
    const unsigned char* data = p + 4;
    const unsigned char* data_end = data + std::min<std::ptrdiff_t>(size, end - data);
    if (tag == 0x0001) {
      // A record too short for a value leaves the 32-bit marker, which later reads reject.
      auto take = [&](bool wanted, std::uint64_t& field) {
        if (!wanted || data_end - data < 8) return;
        field = get64(data);
        data += 8;
      };
      take(wide_uncompressed, entry.uncompressed_size);
      take(wide_compressed, entry.compressed_size);
      take(wide_offset, entry.local_header_offset);
    }
    if (size > end - (p + 4)) return;
    p += 4 + size;
  }
}

}  // namespace

std::string utf8_path(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::uint32_t crc32(const unsigned char* data, std::uint64_t size) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  constexpr std::uint64_t kChunk = 1u << 30;
  while (size > 0) {
    std::uint64_t piece = std::min(size, kChunk);
    crc = ::crc32(crc, data, static_cast<uInt>(piece));
    data += piece;
    size -= piece;
  }
  return static_cast<std::uint32_t>(crc);
}

ZipReader::~ZipReader() {
  if (file) std::fclose(file);
}

bool ZipReader::open(const std::filesystem::path& path) {
  const std::string name = utf8_path(path);
  if (file) std::fclose(file);
  entries.clear();
  file = open_file(path, "rb");
  if (!file) {
    error = "cannot open " + name;
    return false;
  }

  std::optional<std::uint64_t> size = file_size(file);
  if (!size) {
    error = "cannot read " + name;
    return false;
  }
  const std::uint64_t window = std::min(*size, kTailWindow);
  std::vector<unsigned char> tail(window);
  if (!seek(file, *size - window) || !read_exact(file, tail.data(), window)) {
    error = "cannot read " + name;
    return false;
  }

  std::uint64_t i = window;
  bool found = false;
  if (window >= 22) {
    for (i = window - 22;; --i) {
      if (get32(&tail[i]) == kEndSignature) {
        found = true;
        break;
      }
      if (i == 0) break;
    }
  }
  if (!found) {
    error = name + " is not a zip archive";
    return false;
  }

  std::uint64_t count = get16(&tail[i + 10]);
  std::uint64_t dir_size = get32(&tail[i + 12]);
  std::uint64_t dir_offset = get32(&tail[i + 16]);
  const std::uint64_t end_position = (*size - window) + i;

  // Writers add the ZIP64 records whenever any classic field overflows, while the others
  // keep their real values, so any of the three markers calls for them. Python also adds
  // them for directories past 2 GiB with no marker at all; there the classic values are
  // right but the records between directory and end record must not count as a prefix.
  const bool has_locator = i >= 20 && get32(&tail[i - 20]) == kZip64LocatorSignature;
  const bool marked = count == 0xFFFF || dir_size == 0xFFFFFFFF || dir_offset == 0xFFFFFFFF;
  bool zip64 = false;
  if (has_locator) {
    unsigned char record[56];
    std::uint64_t record_offset = get64(&tail[i - 12]);
    zip64 = seek(file, record_offset) && read_exact(file, record, sizeof record) &&
            get32(record) == kZip64EndSignature;
    if (zip64) {
      count = get64(record + 32);
      dir_size = get64(record + 40);
      dir_offset = get64(record + 48);
    } else if (marked) {
      error = "bad zip64 directory in " + name;
      return false;
    }
  }
  std::uint64_t bias = 0;
  if (!zip64 && dir_offset != 0xFFFFFFFF && dir_offset + dir_size < end_position) {
    bias = end_position - dir_offset - dir_size;
    dir_offset = end_position - dir_size;
  }

  // Sizes come from the file and may be absurd: never allocate more than the file holds.
  std::vector<unsigned char> dir;
  bool dir_read = dir_offset <= *size && dir_size <= *size - dir_offset;
  if (dir_read) {
    try {
      dir.resize(dir_size);
    } catch (const std::bad_alloc&) {
      dir_read = false;
    }
  }
  if (!dir_read || !seek(file, dir_offset) || !read_exact(file, dir.data(), dir_size)) {
    error = "cannot read the directory of " + name;
    return false;
  }

  if (count == 0) return true;
  const std::string damaged = "damaged directory in " + name;
  if (dir_size < kCentralRecord) {
    error = damaged;
    return false;
  }
  entries.reserve(std::min(count, dir_size / kCentralRecord));
  std::uint64_t p = 0;
  for (std::uint64_t n = 0; n < count; ++n) {
    const unsigned char* r = dir.data() + p;
    if (get32(r) != kCentralSignature) {
      error = damaged;
      entries.clear();
      return false;
    }
    const std::uint64_t name_length = get16(r + 28);
    const std::uint64_t extra_length = get16(r + 30);
    const std::uint64_t comment_length = get16(r + 32);
    if (p + kCentralRecord + name_length + extra_length > dir_size) {
      error = damaged;
      entries.clear();
      return false;
    }
    ZipEntry entry;
    entry.method = get16(r + 10);
    entry.crc32 = get32(r + 16);
    entry.compressed_size = get32(r + 20);
    entry.uncompressed_size = get32(r + 24);
    entry.unix_mode = r[5] == 3 ? get16(r + 40) : 0;
    entry.local_header_offset = get32(r + 42);
    entry.name.assign(reinterpret_cast<const char*>(r + kCentralRecord), name_length);
    if (extra_length >= 4) {
      const unsigned char* extra = r + kCentralRecord + name_length;
      read_zip64_extra(extra, extra + extra_length, entry, entry.uncompressed_size == 0xFFFFFFFF,
                       entry.compressed_size == 0xFFFFFFFF,
                       entry.local_header_offset == 0xFFFFFFFF);
    }
    entry.local_header_offset += bias;
    entries.push_back(std::move(entry));

    p += kCentralRecord + name_length + extra_length + comment_length;
    if (n + 1 < count && p + kCentralRecord > dir_size) {
      error = damaged;
      entries.clear();
      return false;
    }
  }
  return true;
}

const ZipEntry* ZipReader::find(const std::string& name) const {
  for (const ZipEntry& entry : entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

std::optional<std::uint64_t> ZipReader::seek_data(const ZipEntry& entry) {
  unsigned char header[30];
  if (!file || !seek(file, entry.local_header_offset) || !read_exact(file, header, sizeof header) ||
      get32(header) != kLocalSignature) {
    error = "damaged entry " + entry.name;
    return std::nullopt;
  }
  const std::uint64_t data_start =
      entry.local_header_offset + 30 + get16(header + 26) + get16(header + 28);
  std::optional<std::uint64_t> size = file_size(file);
  if (!size || !seek(file, data_start)) {
    error = "damaged entry " + entry.name;
    return std::nullopt;
  }
  if (data_start > *size || entry.compressed_size > *size - data_start) {
    error = "truncated entry " + entry.name;
    return std::nullopt;
  }
  return data_start;
}

std::optional<std::vector<unsigned char>> ZipReader::read(const ZipEntry& entry) {
  if (!seek_data(entry)) return std::nullopt;

  std::vector<unsigned char> raw;
  bool fits = true;
  try {
    raw.resize(entry.compressed_size);
  } catch (const std::bad_alloc&) {
    fits = false;
  }
  if (!fits || !read_exact(file, raw.data(), raw.size())) {
    error = "truncated entry " + entry.name;
    return std::nullopt;
  }

  std::vector<unsigned char> data;
  if (entry.method == 0) {
    data = std::move(raw);
  } else if (entry.method == 8) {
    const std::string failed = "cannot inflate " + entry.name;
    // One inflate call has 32-bit counts, and a size the stream cannot reach is refused
    // before it is allocated.
    if (entry.uncompressed_size > UINT_MAX || raw.size() > UINT_MAX ||
        entry.uncompressed_size > raw.size() * kMaxInflateRatio + 1024) {
      error = failed;
      return std::nullopt;
    }
    try {
      data.resize(entry.uncompressed_size);
    } catch (const std::bad_alloc&) {
      error = failed;
      return std::nullopt;
    }
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) {
      error = "zlib error";
      return std::nullopt;
    }
    // zlib refuses a null output buffer, which an empty vector may have.
    unsigned char spare = 0;
    stream.next_in = raw.data();
    stream.avail_in = static_cast<uInt>(raw.size());
    stream.next_out = data.empty() ? &spare : data.data();
    stream.avail_out = static_cast<uInt>(data.size());
    int result = inflate(&stream, Z_FINISH);
    std::uint64_t produced = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END || produced != entry.uncompressed_size) {
      error = failed;
      return std::nullopt;
    }
  } else {
    error = "unsupported compression in " + entry.name;
    return std::nullopt;
  }

  if (crc32(data.data(), data.size()) != entry.crc32) {
    error = "checksum mismatch in " + entry.name;
    return std::nullopt;
  }
  return data;
}

bool ZipReader::stream(const ZipEntry& entry,
                       const std::function<void(const unsigned char*, std::size_t)>& sink) {
  if (entry.method != 0 && entry.method != 8) {
    error = "unsupported compression in " + entry.name;
    return false;
  }
  if (!seek_data(entry)) return false;
  const std::string failed = "cannot inflate " + entry.name;
  if (entry.method == 8 &&
      entry.uncompressed_size > entry.compressed_size * kMaxInflateRatio + 1024) {
    error = failed;
    return false;
  }

  std::vector<unsigned char> in(kStreamChunk);
  std::vector<unsigned char> out(entry.method == 8 ? kStreamChunk : 0);
  uLong crc = ::crc32(0L, Z_NULL, 0);
  auto hand_over = [&](const unsigned char* data, std::size_t size) {
    crc = ::crc32(crc, data, static_cast<uInt>(size));
    sink(data, size);
  };
  z_stream z{};
  if (entry.method == 8 && inflateInit2(&z, -15) != Z_OK) {
    error = "zlib error";
    return false;
  }
  std::uint64_t left = entry.compressed_size;
  std::uint64_t produced = 0;
  int result = Z_OK;
  bool ok = true;
  while (ok && left > 0 && result != Z_STREAM_END) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, in.size()));
    if (!read_exact(file, in.data(), piece)) {
      error = "truncated entry " + entry.name;
      ok = false;
      break;
    }
    left -= piece;
    if (entry.method == 0) {
      hand_over(in.data(), piece);
      produced += piece;
      continue;
    }
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(piece);
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      result = inflate(&z, Z_NO_FLUSH);
      const std::size_t made = out.size() - z.avail_out;
      produced += made;
      // More than the stated size is never handed over: a bomb stops at its claim.
      if ((result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) ||
          produced > entry.uncompressed_size) {
        error = failed;
        ok = false;
        break;
      }
      if (made > 0) hand_over(out.data(), made);
      if (result == Z_BUF_ERROR && made == 0) break;  // wants more input
    } while (result != Z_STREAM_END && (z.avail_in > 0 || z.avail_out == 0));
  }
  if (entry.method == 8) {
    inflateEnd(&z);
    if (ok && (result != Z_STREAM_END || produced != entry.uncompressed_size)) {
      error = failed;
      ok = false;
    }
  }
  if (ok && static_cast<std::uint32_t>(crc) != entry.crc32) {
    error = "checksum mismatch in " + entry.name;
    ok = false;
  }
  return ok;
}

std::optional<std::vector<unsigned char>> ZipReader::read(const std::string& name) {
  const ZipEntry* entry = find(name);
  if (!entry) {
    error = "no " + name + " in the archive";
    return std::nullopt;
  }
  return read(*entry);
}

std::optional<std::vector<unsigned char>> ZipReader::read(const std::string& name,
                                                          std::uint64_t limit) {
  const ZipEntry* entry = find(name);
  if (entry && std::max(entry->compressed_size, entry->uncompressed_size) > limit) {
    error = name + " is too large";
    return std::nullopt;
  }
  return read(name);
}

ZipWriter::~ZipWriter() {
  if (file) std::fclose(file);
}

bool ZipWriter::open(const std::filesystem::path& path) {
  if (file) std::fclose(file);
  file = open_file(path, "wb");
  if (!file) {
    error = "cannot write " + utf8_path(path);
    return false;
  }
  return true;
}

bool ZipWriter::add(const std::string& name, const std::vector<unsigned char>& data, bool deflate,
                    std::uint32_t alignment) {
  if (!file) {
    error = "cannot write " + name;
    return false;
  }
  // The classic end record counts members in 16 bits, headers hold 16-bit lengths.
  if (entries.size() >= 0xFFFF) {
    error = "too many members in the archive";
    return false;
  }
  if (name.size() > 0xFFFF) {
    error = "name too long: " + name;
    return false;
  }
  if (!deflate && alignment > 0x10000) {
    error = "alignment too large: " + std::to_string(alignment);
    return false;
  }

  const std::uint32_t crc = crc32(data.data(), data.size());
  const std::int64_t position = tell_raw(file);

  std::vector<unsigned char> packed;
  if (deflate && data.size() <= kWriterLimit) {
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      error = "cannot deflate " + name;
      return false;
    }
    const uLong bound = deflateBound(&stream, static_cast<uLong>(data.size()));
    bool finished = bound >= data.size();
    if (finished) {
      try {
        packed.resize(std::min<std::uint64_t>(bound, UINT_MAX));
      } catch (const std::bad_alloc&) {
        finished = false;
      }
    }
    if (finished) {
      // zlib wants non-null buffers even for empty input.
      unsigned char spare = 0;
      stream.next_in = data.empty() ? &spare : const_cast<unsigned char*>(data.data());
      stream.avail_in = static_cast<uInt>(data.size());
      stream.next_out = packed.data();
      stream.avail_out = static_cast<uInt>(packed.size());
      finished = ::deflate(&stream, Z_FINISH) == Z_STREAM_END;
      packed.resize(stream.total_out);
    }
    deflateEnd(&stream);
    if (!finished) {
      error = "cannot deflate " + name;
      return false;
    }
  }
  const std::vector<unsigned char>& body = deflate ? packed : data;

  if (data.size() > kWriterLimit || body.size() > kWriterLimit || position < 0 ||
      static_cast<std::uint64_t>(position) > kWriterLimit) {
    error = "archive too large";
    return false;
  }

  std::uint64_t padding = 0;
  if (!deflate && alignment > 1) {
    padding = (alignment - (static_cast<std::uint64_t>(position) + 30 + name.size()) % alignment) %
              alignment;
  }

  std::vector<unsigned char> header;
  header.reserve(30 + name.size() + padding);
  put32(header, kLocalSignature);
  put16(header, deflate ? 20 : 10);
  put16(header, 0x0800);
  put16(header, deflate ? 8 : 0);
  put16(header, 0x0000);
  put16(header, 0x0021);
  put32(header, crc);
  put32(header, static_cast<std::uint32_t>(body.size()));
  put32(header, static_cast<std::uint32_t>(data.size()));
  put16(header, static_cast<std::uint32_t>(name.size()));
  put16(header, static_cast<std::uint32_t>(padding));
  header.insert(header.end(), name.begin(), name.end());
  header.resize(header.size() + padding, 0);

  if (std::fwrite(header.data(), 1, header.size(), file) != header.size() ||
      (!body.empty() && std::fwrite(body.data(), 1, body.size(), file) != body.size())) {
    error = "cannot write " + name;
    return false;
  }

  ZipEntry entry;
  entry.name = name;
  entry.method = deflate ? 8 : 0;
  entry.crc32 = crc;
  entry.compressed_size = body.size();
  entry.uncompressed_size = data.size();
  entry.local_header_offset = static_cast<std::uint64_t>(position);
  entries.push_back(std::move(entry));
  return true;
}

bool ZipWriter::close() {
  if (!file) return false;
  const std::int64_t offset = tell_raw(file);

  std::vector<unsigned char> out;
  for (const ZipEntry& entry : entries) {
    put32(out, kCentralSignature);
    put16(out, 0x0014);
    put16(out, entry.method == 0 ? 10 : 20);
    put16(out, 0x0800);
    put16(out, entry.method);
    put16(out, 0x0000);
    put16(out, 0x0021);
    put32(out, entry.crc32);
    put32(out, static_cast<std::uint32_t>(entry.compressed_size));
    put32(out, static_cast<std::uint32_t>(entry.uncompressed_size));
    put16(out, static_cast<std::uint32_t>(entry.name.size()));
    put16(out, 0);
    put16(out, 0);
    put16(out, 0);
    put16(out, 0);
    put32(out, 0);
    put32(out, static_cast<std::uint32_t>(entry.local_header_offset));
    out.insert(out.end(), entry.name.begin(), entry.name.end());
  }
  const std::uint64_t dir_size = out.size();

  // Refuse what the classic end record cannot hold rather than write it truncated.
  if (offset < 0 || static_cast<std::uint64_t>(offset) > kWriterLimit || dir_size > 0xFFFFFFFF ||
      entries.size() > 0xFFFF) {
    std::fclose(file);
    file = nullptr;
    error = "archive too large";
    return false;
  }

  put32(out, kEndSignature);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<std::uint32_t>(entries.size()));
  put16(out, static_cast<std::uint32_t>(entries.size()));
  put32(out, static_cast<std::uint32_t>(dir_size));
  put32(out, static_cast<std::uint32_t>(offset));
  put16(out, 0);

  const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  const bool closed = std::fclose(file) == 0;
  file = nullptr;
  if (!written || !closed) {
    error = "cannot write the archive directory";
    return false;
  }
  return true;
}

}  // namespace apk
