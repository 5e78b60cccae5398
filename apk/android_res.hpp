// Launcher icons from the binary manifest and resource table, and ICO wrapping.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "apk/zip.hpp"

namespace apk {

// One launcher icon PNG found in the APK.
struct IconFile {
  std::string path;           // archive member name
  std::uint16_t density = 0;  // dpi of its configuration, 0 without a qualifier
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The most that a manifest, a resource table or an icon may hold when read whole: far above
// what real APKs carry, and small enough that reading it cannot exhaust a small machine.
constexpr std::uint64_t kMaxWholeMember = std::uint64_t(64) << 20;

// The APK's launcher icons, largest area first; empty when none can be found. Members past
// kMaxWholeMember are not read.
std::vector<IconFile> app_icons(ZipReader& reader);

// True when the manifest or the resource table is past kMaxWholeMember: a damaged APK.
bool resources_oversized(const ZipReader& reader);

// Width and height from a PNG header; no value unless the data is a PNG of at least 24 bytes.
std::optional<std::pair<std::uint32_t, std::uint32_t>> png_size(
    const std::vector<unsigned char>& png);

// A one-image ICO file holding the PNG unchanged.
std::vector<unsigned char> png_to_ico(const std::vector<unsigned char>& png);

}  // namespace apk
