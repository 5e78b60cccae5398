// The ZIP reader: open the input as an archive, then read every entry.
#include <cstddef>
#include <cstdint>

#include "apk/zip.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  apk::ZipReader reader;
  if (!reader.open(fuzzing::as_file(data, size))) return 0;
  for (const apk::ZipEntry& entry : reader.entries) reader.read(entry);
  return 0;
}
