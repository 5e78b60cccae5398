// The reading of Ninja's status lines during a build.
#include <QString>
#include <cstddef>
#include <cstdint>

#include "builder/job.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  builder::parse_ninja_status(
      QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)));
  return 0;
}
