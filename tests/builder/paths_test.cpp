// Workspace folders: sizes, both layouts, portable data, the short cache link and unpacked copies.
#include "builder/paths.hpp"

#include <gtest/gtest.h>

namespace {

TEST(FormatSize, MebibytesBelowATenthOfAGibibyteThenGibibytes) {
  struct Case {
    qint64 bytes;
    const char* text;
  };
  const Case cases[] = {
      {0, "0 MiB"},
      {107374182, "102 MiB"},
      {107374183, "0.1 GiB"},
      {1610612736, "1.5 GiB"},
  };
  for (const Case& c : cases) EXPECT_EQ(builder::format_size(c.bytes), c.text) << c.bytes;
}

}  // namespace
