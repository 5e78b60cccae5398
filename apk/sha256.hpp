// SHA-256 (FIPS 180-4), streaming and one-shot.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace apk {

// A streaming digest; one object per message.
class Sha256 {
 public:
  // Starts from the standard initial hash values.
  Sha256();
  // Adds bytes; calls may be split anywhere, and a count of 0 is fine.
  void update(const unsigned char* data, std::uint64_t size);
  // The compression function over one 64-byte block, added into the state.
  void block(const unsigned char* data);
  // Pads and returns the digest; the object is spent afterwards.
  std::array<unsigned char, 32> finish();
  // finish() as 64 lower-case hex digits.
  std::string hex();

 private:
  std::uint32_t state[8];
  unsigned char buffer[64];
  std::uint64_t buffered = 0;  // 0 to 63 between calls
  std::uint64_t total = 0;     // message bytes so far
};

// The digest of one buffer as 64 lower-case hex digits; reads the buffer in place.
std::string sha256_hex(const unsigned char* data, std::uint64_t size);

}  // namespace apk
