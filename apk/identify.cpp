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
    if (!reader.find(path)) continue;
    // A damaged library counts as absent; the reader keeps the reason.
    std::optional<std::vector<unsigned char>> bytes = reader.read(path);
    if (!bytes) continue;
    result.library_found = true;
    result.library_sha256 = sha256_hex(bytes->data(), bytes->size());
    if (result.library_sha256 == spec.sha256) {
      result.spec = &spec;
      return result;
    }
  }
  return result;
}

}  // namespace apk
