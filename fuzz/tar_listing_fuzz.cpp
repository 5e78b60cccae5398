// The check of a tar archive's listings before unpacking: the names, NUL, the verbose listing.
#include <QByteArray>
#include <QSet>
#include <cstddef>
#include <cstdint>

#include "builder/tar_listing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
  const qsizetype nul = input.indexOf('\0');
  QSet<QString> links;
  builder::tar_listing_safe(input.left(nul < 0 ? input.size() : nul),
                            nul < 0 ? QByteArray() : input.mid(nul + 1), links);
  return 0;
}
