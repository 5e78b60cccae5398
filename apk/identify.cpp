#include "apk/identify.hpp"

#include "apk/sha256.hpp"

namespace apk {

std::string library_path(const GameSpec& spec) {
  return "lib/armeabi-v7a/lib" + spec.library + ".so";
}

ApkIdentity identify(ZipReader& reader, const std::vector<GameSpec>& specs) {
  ApkIdentity result;
  for (const GameSpec& spec : specs) {
    const std::string path = library_path(spec);
    // Looking first keeps absent libraries from costing a read or touching `error`.
    const ZipEntry* entry = reader.find(path);
    if (!entry) continue;
    // Hashed as it is inflated, so a library of any size costs a few chunks of memory. A
    // damaged library counts as absent; the reader keeps the reason.
    Sha256 hash;
    const bool read = reader.stream(
        *entry, [&hash](const unsigned char* data, std::size_t size) { hash.update(data, size); });
    if (!read) continue;
    result.library_found = true;
    result.library_sha256 = hash.hex();
    if (result.library_sha256 == spec.sha256) {
      result.spec = &spec;
      return result;
    }
  }
  return result;
}

}  // namespace apk
