// Recognising a catalogued game by the SHA-256 of its 32-bit ARM library.
#pragma once

#include <string>
#include <vector>

#include "apk/zip.hpp"

namespace apk {

// One catalogued game as the toolkit sees it.
struct GameSpec {
  std::string id;
  std::string library;  // the file is "lib" + library + ".so"
  std::string sha256;   // 64 lower-case hex digits
};

// "lib/armeabi-v7a/lib" + library + ".so".
std::string library_path(const GameSpec& spec);

}  // namespace apk

// The result of apk::identify.
struct ApkIdentity {
  const apk::GameSpec* spec = nullptr;  // into the caller's vector, null when none matched
  bool library_found = false;           // some record's library was present and readable
  std::string library_sha256;           // hash of the last library read, empty when none
};

namespace apk {

// Tries the records in order against an opened APK; the first match wins. Never fails.
ApkIdentity identify(ZipReader& reader, const std::vector<GameSpec>& specs);

}  // namespace apk
