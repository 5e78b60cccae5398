// The one rule for archive member names, directly and through every toolkit caller.
#include "apk/member_name.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "apk/extract.hpp"
#include "apk/sha256.hpp"
#include "support/member_names.hpp"
#include "support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;

std::string hex_of(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char buffer[4];
    std::snprintf(buffer, sizeof buffer, "%02x", c);
    out += buffer;
  }
  return out;
}

using Members = std::vector<std::pair<std::string, std::string>>;

// ZIP archives made by Python's zipfile in one run, each with its members (name, content) in
// order. Names are written as raw bytes, UTF-8 or not: each under a stand-in of its length, then
// patched.
void raw_zips(const std::vector<std::pair<fs::path, Members>>& archives) {
  std::string script = "import zipfile\n";
  for (const auto& [path, members] : archives) {
    const std::string quoted = ts::shell_quote(path.string());
    script += "z = zipfile.ZipFile(" + quoted + ", 'w')\npatches = []\n";
    int i = 0;
    for (const auto& [name, content] : members) {
      script += "name = bytes.fromhex('" + hex_of(name) + "')\n" + "stand_in = ('\\x7f%d\\x7f' % " +
                std::to_string(i++) +
                ").ljust(len(name), '~').encode()\n"
                "assert len(stand_in) == len(name)\n"
                "patches.append((stand_in, name))\n"
                "z.writestr(stand_in.decode(), bytes.fromhex('" +
                hex_of(content) + "'))\n";
    }
    script +=
        "z.close()\n"
        "data = open(" +
        quoted +
        ", 'rb').read()\n"
        "for stand_in, name in patches:\n"
        "    assert data.count(stand_in) == 2\n"
        "    data = data.replace(stand_in, name)\n"
        "open(" +
        quoted + ", 'wb').write(data)\n";
  }
  std::string output;
  EXPECT_EQ(ts::run_python(script, &output), 0) << output;
}

// Every file below `root`, relative and '/'-separated, in UTF-8.
std::vector<std::string> files_below(const fs::path& root) {
  std::vector<std::string> out;
  if (!fs::exists(root)) return out;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    const std::u8string name = item.path().lexically_relative(root).generic_u8string();
    out.emplace_back(name.begin(), name.end());
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(MemberName, FoldsTheFormOfNamesThatStayInside) {
  struct Case {
    std::string name;
    std::string clean;
  };
  const Case cases[] = {
      {"a/b.txt", "a/b.txt"},
      {"./a//b/", "a/b"},
      {"a\\b\\c", "a/b/c"},
      {"a/../b", "b"},
      {"a/b/../../c", "c"},
      {"a/..", ""},
      {"./", ""},
      {"", ""},
      {".hidden/x", ".hidden/x"},
      {"con_/console.txt", "con_/console.txt"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(apk::safe_member_name(c.name), c.clean) << c.name;
  }
  for (const std::string name : {"/a", "\\a", "//host/share", "C:a", "../a", "a/../../b", "..",
                                 "a\\..\\..", "con/../a", "a\nb", "a\rb"}) {
    EXPECT_EQ(apk::safe_member_name(name), std::nullopt) << name;
  }
}

// Every form through the helper, unpacking, extraction and the extra-assets copy, which agree.
TEST(MemberName, EveryCallerTakesEveryFormTheSameWay) {
  const std::string library = "library";
  const apk::GameSpec spec{
      "foo", "foo",
      apk::sha256_hex(reinterpret_cast<const unsigned char*>(library.data()), library.size())};
  ts::TempDir dir;
  const std::vector<ts::NameForm>& forms = ts::name_forms();
  std::vector<std::pair<fs::path, Members>> archives;
  for (std::size_t i = 0; i < forms.size(); ++i) {
    const fs::path folder = dir / std::to_string(i);
    const std::string& name = forms[i].name;
    archives.push_back({folder / "plain.zip", {{"before.txt", "b"}, {name, "x"}}});
    archives.push_back({folder / "game.apk",
                        {{"assets/before.txt", "b"},
                         {"assets/" + name, "x"},
                         {"lib/armeabi-v7a/libfoo.so", library}}});
    archives.push_back({folder / "extra.zip",
                        {{"images/android/before.png", "b"}, {"images/android/" + name, "x"}}});
  }
  for (std::size_t i = 0; i < forms.size(); ++i) fs::create_directories(dir / std::to_string(i));
  raw_zips(archives);
  for (std::size_t i = 0; i < forms.size(); ++i) {
    const ts::NameForm& form = forms[i];
    const fs::path folder = dir / std::to_string(i);
    SCOPED_TRACE(form.what);
    EXPECT_EQ(apk::safe_member_name(form.name).has_value(), form.safe);
    std::string error;
    std::vector<std::string> written = {"before.txt"};
    if (form.safe) written.push_back(form.name);
    std::sort(written.begin(), written.end());

    const fs::path dest = folder / "unpacked";
    apk::ZipReader plain;
    ASSERT_TRUE(plain.open(folder / "plain.zip")) << plain.error;
    EXPECT_EQ(apk::unpack(plain, dest, error, {}), form.safe) << error;
    if (!form.safe) {
      EXPECT_EQ(error, "unsafe name in archive: " + form.name);
    }
    EXPECT_EQ(files_below(dest), written);

    std::vector<std::string> assets = {"assets/before.txt"};
    if (form.safe) assets.push_back("assets/" + form.name);
    if (form.safe) assets.push_back("lib/libfoo.so");
    std::sort(assets.begin(), assets.end());
    apk::ZipReader game;
    ASSERT_TRUE(game.open(folder / "game.apk")) << game.error;
    EXPECT_EQ(apk::extract(game, spec, folder / "data", error, {}), form.safe) << error;
    if (!form.safe) {
      EXPECT_EQ(error, "unsafe file name in the APK: assets/" + form.name);
    }
    std::vector<std::string> data = files_below(folder / "data");
    data.erase(std::remove(data.begin(), data.end(), ".complete"), data.end());
    EXPECT_EQ(data, assets);

    std::vector<std::string> service = {"images/android/before.png"};
    if (form.safe) service.push_back("images/android/" + form.name);
    std::sort(service.begin(), service.end());
    EXPECT_EQ(apk::extract_assets_service(folder / "extra.zip", folder / "extra", error), form.safe)
        << error;
    if (!form.safe) {
      EXPECT_EQ(error, "unsafe file name: images/android/" + form.name);
    }
    EXPECT_EQ(files_below(folder / "extra"), service);
  }
}

}  // namespace
