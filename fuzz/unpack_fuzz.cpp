// Unpacking: the input as an archive unpacked into a fresh folder; nothing may appear beside
// that folder or above it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "apk/extract.hpp"
#include "apk/zip.hpp"
#include "fuzz_input.hpp"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path box = fuzzing::scratch() / "box";
  const fs::path dest = box / "out";
  std::error_code ec;
  fs::remove_all(box, ec);
  fs::create_directories(dest);
  apk::ZipReader reader;
  if (reader.open(fuzzing::as_file(data, size))) {
    std::string error;
    apk::unpack(reader, dest, error, {});
  }
  const fs::path input = fuzzing::scratch() / "input";
  for (const fs::path& folder : {box, fuzzing::scratch()}) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (entry.path() != dest && entry.path() != box && entry.path() != input) {
        std::fprintf(stderr, "unpacked outside the destination: %s\n", entry.path().c_str());
        std::abort();
      }
    }
  }
  return 0;
}
