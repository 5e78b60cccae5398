#include "apk/member_name.hpp"

#include <algorithm>
#include <vector>

namespace apk {

namespace {

// Well-formed UTF-8: no stray or missing continuation bytes, no overlong forms, no surrogates,
// nothing above U+10FFFF. Windows could not name such a file at all.
bool utf8_text(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char c = static_cast<unsigned char>(text[i + k]);
      if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

// A colon makes a drive or a stream on Windows. A control character blurs a listing's lines
// and, as a NUL, ends the name early.
bool refused_character(unsigned char c) { return c < 0x20 || c == ':'; }

// Windows takes these names, with any extension and blanks before it, for the device.
bool device_name(std::string_view piece) {
  std::string stem(piece.substr(0, piece.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul" || stem == "conin$" ||
      stem == "conout$") {
    return true;
  }
  if (!stem.starts_with("com") && !stem.starts_with("lpt")) return false;
  // A digit, or a superscript one, two or three in UTF-8.
  const std::string number = stem.substr(3);
  return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
         number == "\xC2\xB2" || number == "\xC2\xB3";
}

}  // namespace

std::optional<std::string> safe_member_name(std::string_view name) {
  if (!utf8_text(name)) return std::nullopt;
  for (char c : name) {
    if (refused_character(static_cast<unsigned char>(c))) return std::nullopt;
  }
  if (!name.empty() && (name.front() == '/' || name.front() == '\\')) return std::nullopt;
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
    const std::string_view piece = name.substr(start, end - start);
    if (piece == "..") {
      if (pieces.empty()) return std::nullopt;
      pieces.pop_back();
    } else if (!piece.empty() && piece != ".") {
      // Windows drops trailing dots and blanks: "a." would be "a", and "..." would climb.
      if (piece.back() == '.' || piece.back() == ' ' || device_name(piece)) return std::nullopt;
      pieces.push_back(piece);
    }
    if (end == name.size()) break;
    start = end + 1;
  }
  std::string out;
  for (std::string_view piece : pieces) {
    if (!out.empty()) out += '/';
    out += piece;
  }
  return out;
}

}  // namespace apk
