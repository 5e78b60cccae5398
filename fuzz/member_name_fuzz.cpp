// The member-name rule: what it accepts is a plain relative name that it accepts unchanged, and
// the tar listing check takes a one-member listing exactly as the rule does.
#include <QByteArray>
#include <QSet>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "apk/member_name.hpp"
#include "builder/tar_listing.hpp"

namespace {

void fail(const char* what, std::string_view name) {
  std::fprintf(stderr, "%s: %.*s\n", what, int(name.size()), name.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> clean = apk::safe_member_name(name);
  bool climbs = false;  // a ".." piece, which the tar check refuses on its own
  std::size_t pieces = 0;
  if (clean) {
    if (apk::safe_member_name(*clean) != *clean) fail("not plain after one pass", name);
    std::size_t start = 0;
    while (!clean->empty()) {
      const std::size_t end = std::min(clean->find('/', start), clean->size());
      const std::string_view piece = std::string_view(*clean).substr(start, end - start);
      if (piece.empty() || piece == "." || piece == ".." ||
          piece.find_first_of("\\:") != std::string_view::npos)
        fail("a piece that is not plain", name);
      ++pieces;
      if (end == clean->size()) break;
      start = end + 1;
    }
    for (std::size_t at = 0; (at = name.find("..", at)) != std::string_view::npos; at += 2) {
      const bool starts = at == 0 || name[at - 1] == '/' || name[at - 1] == '\\';
      const bool ends = at + 2 == name.size() || name[at + 2] == '/' || name[at + 2] == '\\';
      climbs = climbs || (starts && ends);
    }
  }
  // A listing's lines end in "\n", or all in "\r\n": such names cannot be listed as they are.
  if (name.empty() || name.find_first_of("\r\n") != std::string_view::npos) return 0;
  const QByteArray member(name.data(), qsizetype(name.size()));
  QSet<QString> links;
  const bool listed = builder::tar_listing_safe(
      member + "\n", "-rw-r--r-- 0 u g 1 10 Dec 19:39 " + member + "\n", links);
  if (listed != (clean && !climbs && pieces <= 256)) fail("the tar check disagrees", name);
  return 0;
}
