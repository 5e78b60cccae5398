#include "apk/android_res.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <string_view>
#include <unordered_map>

namespace apk {

namespace {

using Bytes = std::vector<unsigned char>;

// Every field read is bounds-checked; one that does not lie wholly inside the data reads as 0.
// Positions are 64-bit sums of 32-bit fields, so they never wrap.
bool inside(const Bytes& d, std::uint64_t pos, std::uint64_t width) {
  return pos <= d.size() && d.size() - pos >= width;
}

std::uint32_t u8_at(const Bytes& d, std::uint64_t pos) { return inside(d, pos, 1) ? d[pos] : 0; }

std::uint32_t u16_at(const Bytes& d, std::uint64_t pos) {
  if (!inside(d, pos, 2)) return 0;
  return d[pos] | (std::uint32_t(d[pos + 1]) << 8);
}

std::uint32_t u32_at(const Bytes& d, std::uint64_t pos) {
  if (!inside(d, pos, 4)) return 0;
  return d[pos] | (std::uint32_t(d[pos + 1]) << 8) | (std::uint32_t(d[pos + 2]) << 16) |
         (std::uint32_t(d[pos + 3]) << 24);
}

std::uint32_t be32_at(const Bytes& d, std::uint64_t pos) {
  return (std::uint32_t(d[pos]) << 24) | (std::uint32_t(d[pos + 1]) << 16) |
         (std::uint32_t(d[pos + 2]) << 8) | d[pos + 3];
}

// A string pool decoded on demand rather than into a vector of strings. A hostile pool may
// declare 2^32 strings, or aim thousands of offset slots at one long string; a materialised
// list would then dwarf the member. Decoding by index keeps memory at the member's size,
// size() is the declared count, and every index, held by the data or not, reads as a fully
// decoded list would have it (a slot past the data reads as offset 0).
class StringPool {
 public:
  StringPool() = default;
  StringPool(const Bytes* data, std::uint64_t pos) : data_(data), pos_(pos) {
    count_ = u32_at(*data, pos + 8);
    utf8_ = (u32_at(*data, pos + 16) & 0x100) != 0;
    strings_start_ = pos + u32_at(*data, pos + 20);
  }

  std::uint64_t size() const { return count_; }

  // Where string `index` begins in the data; equal places decode to equal strings.
  std::pair<std::uint64_t, bool> place(std::uint64_t index) const {
    if (!data_) return {0, false};
    return {strings_start_ + u32_at(*data_, pos_ + 28 + 4 * index), utf8_};
  }

  // String `index` (below size()), cut to at most `limit` characters.
  std::string at(std::uint64_t index,
                 std::uint64_t limit = std::numeric_limits<std::uint64_t>::max()) const {
    if (!data_) return {};
    const Bytes& d = *data_;
    std::uint64_t start = place(index).first;
    std::string out;
    if (utf8_) {
      std::uint64_t p = start;
      if (!inside(d, p, 1)) return out;
      p += (d[p] & 0x80) ? 2 : 1;  // character count, unused
      if (!inside(d, p, 1)) return out;
      std::uint64_t length = d[p];
      if (length & 0x80) {
        if (!inside(d, p + 1, 1)) return out;
        length = ((length & 0x7F) << 8) | d[p + 1];
        p += 2;
      } else {
        p += 1;
      }
      if (!inside(d, p, length)) return out;
      out.assign(reinterpret_cast<const char*>(d.data() + p), std::min(length, limit));
      return out;
    }
    if (!inside(d, start, 2)) return out;
    std::uint64_t length = u16_at(d, start);
    std::uint64_t p = start + 2;
    if (length & 0x8000) {
      length = ((length & 0x7FFF) << 16) | u16_at(d, p);
      p += 2;
    }
    length = std::min(length, limit);
    for (std::uint64_t k = 0; k < length && inside(d, p, 2); ++k, p += 2) {
      std::uint32_t unit = u16_at(d, p);
      out += unit < 0x80 ? char(unit) : '?';
    }
    return out;
  }

  // Whether index names a string and that string is exactly `text`.
  bool is(std::uint64_t index, const std::string& text) const {
    return index < count_ && at(index, text.size() + 1) == text;
  }

 private:
  const Bytes* data_ = nullptr;
  std::uint64_t pos_ = 0;
  std::uint64_t count_ = 0;
  bool utf8_ = false;
  std::uint64_t strings_start_ = 0;
};

// The string-pool chunk at `offset`; the data must outlive the pool.
StringPool string_pool(const std::vector<unsigned char>& data, unsigned long long offset) {
  return StringPool(&data, offset);
}

// The header size of a chunked file of the given type; no value when the header is unusable.
std::optional<std::uint64_t> file_header(const Bytes& d, std::uint32_t type) {
  if (d.size() < 4 || u16_at(d, 0) != type) return std::nullopt;
  std::uint64_t h = u16_at(d, 2);
  if (h + 8 > d.size()) return std::nullopt;
  return h;
}

const std::uint32_t kIconAttribute = 0x01010002;

// The resource id of the first "application" element's icon reference, or 0.
std::uint32_t manifest_icon_id(const Bytes& m, std::uint64_t start) {
  StringPool strings;
  std::vector<std::uint32_t> resource_map;
  for (std::uint64_t p = start; p + 8 <= m.size();) {
    std::uint32_t type = u16_at(m, p);
    std::uint64_t size = u32_at(m, p + 4);
    if (size < 8) break;
    if (type == 0x0001) {
      strings = string_pool(m, p);
    } else if (type == 0x0180) {
      for (std::uint64_t s = p + 8; s + 4 <= p + size && s + 4 <= m.size(); s += 4)
        resource_map.push_back(u32_at(m, s));
    } else if (type == 0x0102) {
      std::uint64_t e = p + u16_at(m, p + 2);
      if (strings.is(u32_at(m, e + 4), "application")) {
        std::uint64_t attr_start = u16_at(m, e + 8);
        std::uint64_t attr_size = u16_at(m, e + 10);
        std::uint64_t attr_count = u16_at(m, e + 12);
        for (std::uint64_t k = 0; k < attr_count; ++k) {
          std::uint64_t a = e + attr_start + k * attr_size;
          std::uint64_t name = u32_at(m, a + 4);
          bool icon = (name < resource_map.size() && resource_map[name] == kIconAttribute) ||
                      strings.is(name, "icon");
          if (icon && u8_at(m, a + 15) == 0x01) return u32_at(m, a + 16);
        }
        return 0;
      }
    }
    p += size;
  }
  return 0;
}

// One configuration's value for the icon: a string of the value pool in force when it was found.
struct Candidate {
  StringPool pool;
  std::uint64_t string = 0;
  std::uint16_t density = 0;
};

// Examines one type chunk at q for the entry; appends at most one candidate.
void scan_type_chunk(const Bytes& t, std::uint64_t q, std::uint32_t entry, const StringPool& values,
                     std::vector<Candidate>& out) {
  std::uint64_t header = u16_at(t, q + 2);
  std::uint16_t density = static_cast<std::uint16_t>(u16_at(t, q + 34));
  bool sparse = (u8_at(t, q + 9) & 0x01) != 0;
  if (sparse || entry >= u32_at(t, q + 12)) return;
  std::uint32_t o = u32_at(t, q + header + 4 * std::uint64_t(entry));
  if (o == 0xFFFFFFFF) return;
  std::uint64_t n = q + u32_at(t, q + 16) + o;
  if (u16_at(t, n + 2) & 0x0001) return;  // complex (map) entry
  std::uint64_t v = n + u16_at(t, n);
  if (!inside(t, v, 8) || u8_at(t, v + 3) != 0x03) return;
  std::uint64_t s = u32_at(t, v + 4);
  if (s < values.size()) out.push_back({values, s, density});
}

// A whole read of a stored member takes its compressed size, of a deflated one the other.
bool too_large(const ZipEntry& entry) {
  return std::max(entry.compressed_size, entry.uncompressed_size) > kMaxWholeMember;
}

}  // namespace

bool resources_oversized(const ZipReader& reader) {
  for (const char* name : {"AndroidManifest.xml", "resources.arsc"}) {
    const ZipEntry* entry = reader.find(name);
    if (entry && too_large(*entry)) return true;
  }
  return false;
}

std::vector<IconFile> app_icons(ZipReader& reader) {
  std::vector<IconFile> icons;
  std::optional<Bytes> manifest = reader.read("AndroidManifest.xml", kMaxWholeMember);
  std::optional<Bytes> table = reader.read("resources.arsc", kMaxWholeMember);
  if (!manifest || !table) return icons;

  std::optional<std::uint64_t> manifest_header = file_header(*manifest, 0x0003);
  if (!manifest_header) return icons;
  std::uint32_t id = manifest_icon_id(*manifest, *manifest_header);
  manifest.reset();
  if (id == 0) return icons;

  const Bytes& t = *table;
  std::optional<std::uint64_t> table_header = file_header(t, 0x0002);
  if (!table_header) return icons;
  std::uint32_t package = id >> 24;
  std::uint32_t type = (id >> 16) & 0xFF;
  std::uint32_t entry = id & 0xFFFF;

  StringPool values;
  std::vector<Candidate> candidates;
  for (std::uint64_t p = *table_header; p + 8 <= t.size();) {
    std::uint32_t chunk = u16_at(t, p);
    std::uint64_t size = u32_at(t, p + 4);
    if (size < 8) break;
    if (chunk == 0x0001) {
      values = string_pool(t, p);
    } else if (chunk == 0x0200 && u32_at(t, p + 8) == package) {
      // The package walk alone is bounded by its own chunk as well as by the data.
      for (std::uint64_t q = p + u16_at(t, p + 2); q + 8 <= p + size && q + 8 <= t.size();) {
        std::uint64_t inner = u32_at(t, q + 4);
        if (inner < 8) break;
        if (u16_at(t, q) == 0x0201 && u8_at(t, q + 8) == type)
          scan_type_chunk(t, q, entry, values, candidates);
        q += inner;
      }
    }
    p += size;
  }

  // A ZIP member name holds at most 65,535 bytes, so a longer path can name nothing.
  // Each icon comes from a type chunk of its own, and real chunks outweigh their paths;
  // a hostile table aiming thousands of tiny chunks at one long path would otherwise
  // multiply that path far beyond the table's size, so the paths kept stop there.
  // Such a table may also aim them at one huge member that is no PNG, or aim thousands of
  // offset slots at one long string: each string place is decoded once and each member read
  // once, and the distinct strings decoded stop at the table's size as well, which no real
  // table reaches (its strings do not overlap).
  const std::uint64_t kLongestName = 65535;
  using PngSize = std::optional<std::pair<std::uint32_t, std::uint32_t>>;
  struct Lookup {
    std::string path;
    bool png_name = false;  // a name that may be a member and ends in ".png"
    PngSize size;
  };
  std::map<std::pair<std::uint64_t, bool>, Lookup> by_place;
  std::map<std::string, PngSize> by_path;
  std::unordered_map<std::string_view, const ZipEntry*> members;
  for (const ZipEntry& e : reader.entries) members.emplace(e.name, &e);
  std::uint64_t path_bytes = 0;
  std::uint64_t decoded_bytes = 0;
  for (const Candidate& c : candidates) {
    auto [found, fresh] = by_place.try_emplace(c.pool.place(c.string));
    Lookup& lookup = found->second;
    if (fresh) {
      lookup.path = c.pool.at(c.string, kLongestName + 1);
      decoded_bytes += lookup.path.size();
      if (decoded_bytes > t.size()) break;
      const std::string& path = lookup.path;
      lookup.png_name = path.size() <= kLongestName && path.size() >= 4 &&
                        path.compare(path.size() - 4, 4, ".png") == 0;
      if (!lookup.png_name) continue;
      auto [known, first_time] = by_path.try_emplace(path);
      if (first_time) {
        auto member = members.find(path);
        std::optional<Bytes> png;
        if (member != members.end() && !too_large(*member->second))
          png = reader.read(*member->second);
        if (png) known->second = png_size(*png);
      }
      lookup.size = known->second;
    }
    if (!lookup.png_name) continue;
    if (path_bytes + lookup.path.size() > t.size()) break;
    if (!lookup.size) continue;
    path_bytes += lookup.path.size();
    icons.push_back({lookup.path, c.density, lookup.size->first, lookup.size->second});
  }
  std::stable_sort(icons.begin(), icons.end(), [](const IconFile& a, const IconFile& b) {
    return std::uint64_t(a.width) * a.height > std::uint64_t(b.width) * b.height;
  });
  return icons;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> png_size(
    const std::vector<unsigned char>& png) {
  static const unsigned char kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  if (png.size() < 24 || !std::equal(kSignature, kSignature + 8, png.begin())) return std::nullopt;
  return std::make_pair(be32_at(png, 16), be32_at(png, 20));
}

std::vector<unsigned char> png_to_ico(const std::vector<unsigned char>& png) {
  std::uint32_t width = 0, height = 0;
  if (auto size = png_size(png)) {
    width = size->first;
    height = size->second;
  }
  std::vector<unsigned char> ico;
  ico.reserve(22 + png.size());
  auto put = [&ico](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) ico.push_back(static_cast<unsigned char>(value >> (8 * i)));
  };
  put(0, 2);  // reserved
  put(1, 2);  // icon
  put(1, 2);  // one image
  put(width < 256 ? width : 0, 1);
  put(height < 256 ? height : 0, 1);
  put(0, 1);   // colour count
  put(0, 1);   // reserved
  put(1, 2);   // planes
  put(32, 2);  // bits per pixel
  put(static_cast<std::uint32_t>(png.size()), 4);
  put(22, 4);  // image data offset
  ico.insert(ico.end(), png.begin(), png.end());
  return ico;
}

}  // namespace apk
