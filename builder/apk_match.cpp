#include "builder/apk_match.hpp"

#include <string>

namespace builder {

std::filesystem::path to_path(const QString& path) {
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    return std::filesystem::path(
        std::wstring(reinterpret_cast<const wchar_t*>(path.utf16()), path.size()));
  } else {
    // With a 32-bit wchar_t the standard library converts wide strings through the C locale,
    // which fails on any non-ASCII name; file names here are UTF-8 bytes, as for QFile.
    const QByteArray utf8 = path.toUtf8();
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
  }
}

}  // namespace builder
