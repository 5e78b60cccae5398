// The reader of devkitPro's desc records.
#include <QByteArray>
#include <cstddef>
#include <cstdint>

#include "builder/devkitpro.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  builder::read_desc(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
  return 0;
}
