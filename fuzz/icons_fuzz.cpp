// The launcher-icon lookup. The input is an APK's parts joined by "--member--": the binary
// manifest, the resource table, then members as name, NUL, content. They are stored in an
// archive made afresh, so that mutations reach the chunk parsers instead of failing the
// archive's checksums.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "apk/android_res.hpp"
#include "apk/zip.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view separator = "--member--";
  std::vector<std::string_view> parts;
  for (std::size_t at = 0;;) {
    const std::size_t next = input.find(separator, at);
    parts.push_back(input.substr(at, next == std::string_view::npos ? next : next - at));
    if (next == std::string_view::npos) break;
    at = next + separator.size();
  }
  const std::filesystem::path apk = fuzzing::scratch() / "icons.apk";
  {
    apk::ZipWriter writer;
    if (!writer.open(apk)) return 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      std::string name = i == 0 ? "AndroidManifest.xml" : i == 1 ? "resources.arsc" : "";
      std::string_view content = parts[i];
      if (i >= 2) {
        const std::size_t nul = content.find('\0');
        if (nul == std::string_view::npos) continue;
        name = content.substr(0, nul);
        content = content.substr(nul + 1);
      }
      writer.add(name, std::vector<unsigned char>(content.begin(), content.end()), false, 1);
    }
    if (!writer.close()) return 0;
  }
  apk::ZipReader reader;
  if (!reader.open(apk)) return 0;
  for (const apk::IconFile& icon : apk::app_icons(reader))
    if (std::optional<std::vector<unsigned char>> png = reader.read(icon.path))
      apk::png_to_ico(*png);
  return 0;
}
