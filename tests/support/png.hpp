// Real PNG files for tests that need launcher icons.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <vector>

namespace testing_support {

// A valid 8-bit RGB PNG of the given size; the pixels vary so that sizes differ in content too.
inline std::vector<unsigned char> make_png(std::uint32_t width, std::uint32_t height) {
  using Bytes = std::vector<unsigned char>;
  auto be32 = [](Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<unsigned char>(v >> shift));
  };
  auto chunk = [&](Bytes& out, const char* type, const Bytes& data) {
    be32(out, static_cast<std::uint32_t>(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    be32(out, static_cast<std::uint32_t>(::crc32(0, body.data(), static_cast<uInt>(body.size()))));
  };
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Bytes ihdr;
  be32(ihdr, width);
  be32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  chunk(png, "IHDR", ihdr);
  Bytes raw;
  for (std::uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    for (std::uint32_t x = 0; x < width * 3; ++x) raw.push_back(static_cast<unsigned char>(x ^ y));
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  Bytes packed(packed_size);
  compress(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()));
  packed.resize(packed_size);
  chunk(png, "IDAT", packed);
  chunk(png, "IEND", {});
  return png;
}

}  // namespace testing_support
