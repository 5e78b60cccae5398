// The ZIP reader: open the input as an archive, then read every entry whole and streamed into
// the hash; both reads agree on the outcome, and on the digest of what they read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "apk/sha256.hpp"
#include "apk/zip.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  apk::ZipReader reader;
  if (!reader.open(fuzzing::as_file(data, size))) return 0;
  for (const apk::ZipEntry& entry : reader.entries) {
    const auto whole = reader.read(entry);
    apk::Sha256 hash;
    const bool streamed =
        reader.stream(entry, [&hash](const unsigned char* piece, std::size_t count) {
          if (count > apk::kStreamChunk) std::abort();
          hash.update(piece, count);
        });
    if (streamed != whole.has_value()) std::abort();
    if (whole && hash.hex() != apk::sha256_hex(whole->data(), whole->size())) std::abort();
  }
  return 0;
}
