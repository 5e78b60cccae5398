#include <gtest/gtest.h>

#include "support/test_support.hpp"

TEST(Support, TempDirIsFreshAndRemoved) {
  std::filesystem::path kept;
  {
    testing_support::TempDir dir;
    kept = dir.path();
    EXPECT_TRUE(std::filesystem::is_empty(kept));
    testing_support::write_text(dir / "a/b.txt", "x");
    EXPECT_EQ(testing_support::read_text(dir / "a/b.txt"), "x");
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}
