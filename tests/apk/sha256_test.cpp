#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "apk/sha256.hpp"
#include "apk/sha256_impl.hpp"
#include "support/test_support.hpp"

namespace ts = testing_support;

// Counts every allocation of the executable, to show that hashing makes none.
namespace {
std::atomic<long> g_allocations{0};
}

__attribute__((noinline)) void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::string hash_of(const std::string& text) {
  return apk::sha256_hex(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string hash_in_pieces(const std::vector<unsigned char>& data,
                           const std::vector<std::size_t>& pattern) {
  apk::Sha256 hash;
  std::size_t at = 0;
  for (std::size_t i = 0; at < data.size(); ++i) {
    std::size_t piece = std::min(pattern[i % pattern.size()], data.size() - at);
    hash.update(data.data() + at, piece);
    at += piece;
  }
  return hash.hex();
}

// Python's hashlib digests of data[:n] for each n, one per line.
std::vector<std::string> python_digests(const std::vector<unsigned char>& data,
                                        const std::vector<std::size_t>& lengths) {
  ts::TempDir dir;
  ts::write_bytes(dir / "data.bin", data);
  std::string list;
  for (std::size_t n : lengths) list += std::to_string(n) + ",";
  std::string out;
  int status = ts::run_python(
      "import hashlib\n"
      "data = open(" +
          ts::shell_quote((dir / "data.bin").string()) +
          ", 'rb').read()\n"
          "for n in [" +
          list +
          "]:\n"
          "    print(hashlib.sha256(data[:n]).hexdigest())\n",
      &out);
  EXPECT_EQ(status, 0) << out;
  std::vector<std::string> digests;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) digests.push_back(line);
  EXPECT_EQ(digests.size(), lengths.size());
  return digests;
}

// Runs each test once on the processor's SHA instructions (when present) and once on the
// portable code.
class Sha256Paths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { apk::detail::sha256_force_portable(GetParam()); }
  void TearDown() override { apk::detail::sha256_force_portable(false); }
};

INSTANTIATE_TEST_SUITE_P(Paths, Sha256Paths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Portable" : "Hardware"; });

TEST_P(Sha256Paths, PublishedVectors) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
       "nopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 20) + " (" + std::to_string(c.message.size()) + " bytes)");
    EXPECT_EQ(hash_of(c.message), c.digest);
    apk::Sha256 streamed;
    for (char ch : c.message) streamed.update(reinterpret_cast<const unsigned char*>(&ch), 1);
    EXPECT_EQ(streamed.hex(), c.digest);
  }
}

TEST_P(Sha256Paths, EveryLengthAroundTheBlockEdgesMatchesPython) {
  // 0 to 200 covers 55, 56, 63, 64, 65 and the second block's padding edges 119, 120, 127, 128.
  std::vector<unsigned char> data = ts::random_bytes(5000, 7);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (std::size_t n : {1023, 1024, 1025, 4095, 4096, 4097, 5000}) lengths.push_back(n);
  std::vector<std::string> expected = python_digests(data, lengths);
  ASSERT_EQ(expected.size(), lengths.size());
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    EXPECT_EQ(apk::sha256_hex(data.data(), lengths[i]), expected[i]) << lengths[i] << " bytes";
  }
}

TEST_P(Sha256Paths, PiecesOfAnySizeGiveTheWholeDigest) {
  std::vector<unsigned char> data = ts::random_bytes(300000 + 37, 11);
  const std::string expected = python_digests(data, {data.size()}).at(0);
  ASSERT_EQ(apk::sha256_hex(data.data(), data.size()), expected);
  const std::vector<std::vector<std::size_t>> patterns = {
      {1}, {63}, {64}, {65}, {1000}, {4099}, {0, 5, 0, 64, 127, 1, 0, 3000, 2}, {60000, 7},
  };
  for (const auto& pattern : patterns) {
    std::string label;
    for (std::size_t n : pattern) label += std::to_string(n) + " ";
    EXPECT_EQ(hash_in_pieces(data, pattern), expected) << "pieces of " << label;
  }
}

TEST_P(Sha256Paths, HashingAllocatesNothing) {
  std::vector<unsigned char> data = ts::random_bytes(100000, 3);
  apk::Sha256 hash;
  const long before = g_allocations.load();
  hash.update(data.data(), 10);
  hash.update(data.data() + 10, data.size() - 10);
  std::array<unsigned char, 32> digest = hash.finish();
  EXPECT_EQ(g_allocations.load(), before);
  EXPECT_NE(digest, (std::array<unsigned char, 32>{}));
}

TEST(Sha256, HexIsLowerCase) {
  for (std::uint32_t seed = 0; seed < 50; ++seed) {
    std::vector<unsigned char> data = ts::random_bytes(seed * 13, seed);
    std::string hex = apk::sha256_hex(data.data(), data.size());
    ASSERT_EQ(hex.size(), 64u);
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
  }
}

TEST(Sha256, UsesTheProcessorsShaInstructionsWhenPresent) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  if (!cpuinfo) GTEST_SKIP() << "no /proc/cpuinfo";
  std::string text((std::istreambuf_iterator<char>(cpuinfo)), {});
  const bool present = text.find(" sha_ni") != std::string::npos;
  EXPECT_EQ(apk::detail::sha256_uses_hardware(), present);
  apk::detail::sha256_force_portable(true);
  EXPECT_FALSE(apk::detail::sha256_uses_hardware());
  apk::detail::sha256_force_portable(false);
  EXPECT_EQ(apk::detail::sha256_uses_hardware(), present);
}

}  // namespace
