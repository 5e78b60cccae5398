#include "apk/android_res.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

#include "support/png.hpp"
#include "support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::make_png;
using testing_support::run;
using testing_support::shell_quote;
using testing_support::TempDir;
using Bytes = std::vector<unsigned char>;

// Builds an archive with Python's zipfile from (member name, bytes) pairs, deflating all.
fs::path make_zip(const TempDir& dir, const std::string& name,
                  const std::vector<std::pair<std::string, Bytes>>& members) {
  fs::path files = dir / (name + ".files");
  std::string script = "import zipfile\nz = zipfile.ZipFile(" + shell_quote((dir / name).string()) +
                       ", 'w', zipfile.ZIP_DEFLATED)\n";
  for (std::size_t i = 0; i < members.size(); ++i) {
    fs::path file = files / std::to_string(i);
    testing_support::write_bytes(file, members[i].second);
    script +=
        "z.write(" + shell_quote(file.string()) + ", " + shell_quote(members[i].first) + ")\n";
  }
  script += "z.close()\n";
  std::string output;
  EXPECT_EQ(testing_support::run_python(script, &output), 0) << output;
  return dir / name;
}

std::vector<apk::IconFile> icons_of(const fs::path& archive) {
  apk::ZipReader reader;
  EXPECT_TRUE(reader.open(archive)) << reader.error;
  return apk::app_icons(reader);
}

// ---- APKs made by aapt ----

struct Resource {
  std::string folder;  // below res/
  std::string file;
  std::uint32_t size;  // square PNG edge; 0 for an XML file
};

const char kAdaptiveIcon[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<adaptive-icon xmlns:android=\"http://schemas.android.com/apk/res/android\">"
    "<background android:drawable=\"@mipmap/ic_launcher\"/>"
    "<foreground android:drawable=\"@mipmap/ic_launcher\"/></adaptive-icon>\n";

fs::path aapt_apk(const TempDir& dir, const std::string& icon_ref,
                  const std::vector<Resource>& resources) {
  testing_support::write_text(
      dir / "AndroidManifest.xml",
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\" "
      "package=\"com.example.game\">\n"
      "  <uses-sdk android:minSdkVersion=\"21\" android:targetSdkVersion=\"26\"/>\n"
      "  <application android:label=\"Game\" android:icon=\"" +
          icon_ref +
          "\">\n"
          "    <activity android:name=\".Main\"/>\n"
          "  </application>\n"
          "</manifest>\n");
  for (const Resource& r : resources) {
    fs::path file = dir / "res" / r.folder / r.file;
    if (r.size)
      testing_support::write_bytes(file, make_png(r.size, r.size));
    else
      testing_support::write_text(file, kAdaptiveIcon);
  }
  fs::path apk = dir / "out.apk";
  std::string output;
  EXPECT_EQ(run("aapt package -f -M " + shell_quote((dir / "AndroidManifest.xml").string()) +
                    " -S " + shell_quote((dir / "res").string()) +
                    " -I /usr/share/android-framework-res/framework-res.apk -F " +
                    shell_quote(apk.string()),
                &output),
            0)
      << output;
  return apk;
}

// (configuration, member path) of every value aapt lists for the resource, in table order.
std::vector<std::pair<std::string, std::string>> aapt_values(const fs::path& apk,
                                                             const std::string& resource) {
  std::string output;
  EXPECT_EQ(run("aapt dump --values resources " + shell_quote(apk.string()), &output), 0);
  std::vector<std::pair<std::string, std::string>> values;
  std::istringstream lines(output);
  std::string line, config;
  bool wanted = false;
  while (std::getline(lines, line)) {
    std::size_t at = line.find("config ");
    if (at != std::string::npos && line.back() == ':') {
      config = line.substr(at + 7, line.size() - at - 8);
    } else if (line.find(":" + resource + ":") != std::string::npos &&
               line.find(" t=0x03 ") != std::string::npos) {
      wanted = true;
    } else if (wanted) {
      std::size_t open = line.find('"');
      values.emplace_back(config, line.substr(open + 1, line.rfind('"') - open - 1));
      wanted = false;
    }
  }
  return values;
}

// The dpi a configuration name stands for, read off its density qualifier.
std::uint16_t density_of(const std::string& config) {
  static const std::map<std::string, std::uint16_t> dpi = {
      {"ldpi", 120},   {"mdpi", 160},    {"hdpi", 240},      {"xhdpi", 320},
      {"xxhdpi", 480}, {"xxxhdpi", 640}, {"anydpi", 0xFFFE}, {"nodpi", 0xFFFF}};
  std::stringstream parts(config);
  std::string part;
  while (std::getline(parts, part, '-'))
    if (dpi.count(part)) return dpi.at(part);
  return 0;
}

void expect_matches_aapt(const fs::path& apk, const std::string& resource,
                         const std::map<std::string, std::uint32_t>& edge_by_path) {
  std::vector<apk::IconFile> icons = icons_of(apk);
  auto values = aapt_values(apk, resource);
  ASSERT_FALSE(values.empty());

  // Expected: aapt's PNG values with their densities, stably ordered largest first.
  std::vector<apk::IconFile> expected;
  for (const auto& [config, path] : values) {
    if (path.size() < 4 || path.substr(path.size() - 4) != ".png") continue;
    ASSERT_TRUE(edge_by_path.count(path)) << path;
    std::uint32_t edge = edge_by_path.at(path);
    expected.push_back({path, density_of(config), edge, edge});
  }
  std::stable_sort(expected.begin(), expected.end(),
                   [](const auto& a, const auto& b) { return a.width > b.width; });

  ASSERT_EQ(icons.size(), expected.size());
  for (std::size_t i = 0; i < icons.size(); ++i) {
    SCOPED_TRACE(expected[i].path);
    EXPECT_EQ(icons[i].path, expected[i].path);
    EXPECT_EQ(icons[i].density, expected[i].density);
    EXPECT_EQ(icons[i].width, expected[i].width);
    EXPECT_EQ(icons[i].height, expected[i].height);
  }
}

TEST(AppIcons, EveryPngDensityOfAnAaptApkLargestFirst) {
  TempDir dir;
  // hdpi and xhdpi share a size: the tie keeps table order.
  fs::path apk = aapt_apk(dir, "@drawable/icon",
                          {{"drawable", "icon.png", 40},
                           {"drawable-mdpi", "icon.png", 48},
                           {"drawable-hdpi", "icon.png", 96},
                           {"drawable-xhdpi", "icon.png", 96},
                           {"drawable-xxhdpi", "icon.png", 144},
                           {"drawable-xxxhdpi", "icon.png", 192}});
  expect_matches_aapt(apk, "drawable/icon",
                      {{"res/drawable/icon.png", 40},
                       {"res/drawable-mdpi-v4/icon.png", 48},
                       {"res/drawable-hdpi-v4/icon.png", 96},
                       {"res/drawable-xhdpi-v4/icon.png", 96},
                       {"res/drawable-xxhdpi-v4/icon.png", 144},
                       {"res/drawable-xxxhdpi-v4/icon.png", 192}});
  std::vector<apk::IconFile> icons = icons_of(apk);
  ASSERT_EQ(icons.size(), 6u);
  EXPECT_EQ(icons.front().density, 640);
  EXPECT_EQ(icons.back().density, 0);  // the density-less configuration
}

TEST(AppIcons, AdaptiveXmlConfigurationsAreLeftOut) {
  TempDir dir;
  fs::path apk = aapt_apk(dir, "@mipmap/ic_launcher",
                          {{"mipmap-mdpi", "ic_launcher.png", 48},
                           {"mipmap-xxhdpi", "ic_launcher.png", 144},
                           {"mipmap-anydpi-v26", "ic_launcher.xml", 0}});
  expect_matches_aapt(
      apk, "mipmap/ic_launcher",
      {{"res/mipmap-mdpi-v4/ic_launcher.png", 48}, {"res/mipmap-xxhdpi-v4/ic_launcher.png", 144}});
  EXPECT_EQ(icons_of(apk).size(), 2u);
}

TEST(AppIcons, MissingManifestOrTableGivesNothing) {
  TempDir dir;
  fs::path apk = aapt_apk(dir, "@drawable/icon", {{"drawable", "icon.png", 48}});
  ASSERT_EQ(icons_of(apk).size(), 1u);
  for (const char* member : {"AndroidManifest.xml", "resources.arsc"}) {
    SCOPED_TRACE(member);
    fs::path copy = dir / "copy.apk";
    // Removed first: mingw's copy_file takes any two files for the same one and will not
    // overwrite.
    fs::remove(copy);
    fs::copy_file(apk, copy);
    std::string output;
    ASSERT_EQ(run("zip -q -d " + shell_quote(copy.string()) + " " + member, &output), 0) << output;
    EXPECT_TRUE(icons_of(copy).empty());
  }
}

// ---- Hand-built chunks for what aapt does not produce ----

struct Out {
  Bytes b;
  std::size_t pos() const { return b.size(); }
  void u8(std::uint32_t v) { b.push_back(static_cast<unsigned char>(v)); }
  void u16(std::uint32_t v) {
    u8(v);
    u8(v >> 8);
  }
  void u32(std::uint32_t v) {
    u16(v);
    u16(v >> 16);
  }
  void put32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
  }
  void append(const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
};

struct Pool {
  std::vector<std::u16string> strings;
  bool utf8 = true;
  std::uint32_t count = 0;  // declared count; 0 means strings.size()
  // Offset slots written; the others are left out so that they lie past the pool's data.
  std::size_t slots = SIZE_MAX;
};

Bytes pool_chunk(const Pool& pool) {
  std::size_t slots = std::min(pool.slots, pool.strings.size());
  Bytes data;
  std::vector<std::uint32_t> offsets;
  for (const std::u16string& s : pool.strings) {
    offsets.push_back(static_cast<std::uint32_t>(data.size()));
    if (pool.utf8) {
      std::string narrow(s.begin(), s.end());
      data.push_back(static_cast<unsigned char>(narrow.size()));
      data.push_back(static_cast<unsigned char>(narrow.size()));
      data.insert(data.end(), narrow.begin(), narrow.end());
      data.push_back(0);
    } else {
      Out units;
      units.u16(static_cast<std::uint32_t>(s.size()));
      for (char16_t c : s) units.u16(c);
      units.u16(0);
      data.insert(data.end(), units.b.begin(), units.b.end());
    }
  }
  while (data.size() % 4) data.push_back(0);
  Out out;
  out.u16(0x0001);
  out.u16(28);
  out.u32(static_cast<std::uint32_t>(28 + 4 * slots + data.size()));
  out.u32(pool.count ? pool.count : static_cast<std::uint32_t>(pool.strings.size()));
  out.u32(0);
  out.u32(pool.utf8 ? 0x100 : 0);
  out.u32(static_cast<std::uint32_t>(28 + 4 * slots));
  out.u32(0);
  for (std::size_t i = 0; i < slots; ++i) out.u32(offsets[i]);
  out.append(data);
  return out.b;
}

struct Attribute {
  std::uint32_t name;  // string index
  std::uint8_t type;   // value data type
  std::uint32_t data;
};

struct Element {
  std::uint32_t name;
  std::vector<Attribute> attributes;
};

struct Manifest {
  Pool pool;
  std::vector<std::uint32_t> resource_map;
  std::vector<Element> elements;
};

Bytes manifest_bytes(const Manifest& m) {
  Out out;
  out.u16(0x0003);
  out.u16(8);
  out.u32(0);
  out.append(pool_chunk(m.pool));
  if (!m.resource_map.empty()) {
    out.u16(0x0180);
    out.u16(8);
    out.u32(static_cast<std::uint32_t>(8 + 4 * m.resource_map.size()));
    for (std::uint32_t id : m.resource_map) out.u32(id);
  }
  for (const Element& e : m.elements) {
    out.u16(0x0102);
    out.u16(16);
    out.u32(static_cast<std::uint32_t>(16 + 20 + 20 * e.attributes.size()));
    out.u32(1);
    out.u32(0xFFFFFFFF);
    out.u32(0xFFFFFFFF);
    out.u32(e.name);
    out.u16(20);
    out.u16(20);
    out.u16(static_cast<std::uint32_t>(e.attributes.size()));
    out.u16(0);
    out.u16(0);
    out.u16(0);
    for (const Attribute& a : e.attributes) {
      out.u32(0xFFFFFFFF);
      out.u32(a.name);
      out.u32(0xFFFFFFFF);
      out.u16(8);
      out.u8(0);
      out.u8(a.type);
      out.u32(a.data);
    }
  }
  out.put32(4, static_cast<std::uint32_t>(out.pos()));
  return out.b;
}

// Manifest strings used below: 0 "application", 1 "icon", 2 "label", 3 "activity".
Manifest plain_manifest(std::uint32_t icon_id) {
  Manifest m;
  m.pool.strings = {u"application", u"icon", u"label", u"activity"};
  m.elements = {{3, {{1, 0x01, 0x7f010099}}},  // an "activity" before is passed over
                {0, {{2, 0x03, 2}, {1, 0x01, icon_id}}}};
  return m;
}

struct TypeChunk {
  std::uint8_t type_id = 1;
  std::uint16_t density = 0;
  std::uint8_t flags = 0;
  std::uint32_t value_string = 0;
  std::uint8_t value_type = 0x03;
  std::uint16_t entry_flags = 0;
  bool missing = false;  // offset slot 0xFFFFFFFF
};

struct Table {
  Pool values;
  std::uint32_t package_id = 0x7f;
  std::vector<TypeChunk> types;
  std::vector<TypeChunk> after_package;  // type chunks placed outside the package chunk
};

Bytes type_chunk_bytes(const TypeChunk& t) {
  const std::uint32_t header = 20 + 64;
  Out out;
  out.u16(0x0201);
  out.u16(header);
  out.u32(header + 4 + 16);
  out.u8(t.type_id);
  out.u8(t.flags);
  out.u16(0);
  out.u32(1);           // entry count
  out.u32(header + 4);  // entries start
  out.u32(64);          // configuration size
  for (int i = 4; i < 14; ++i) out.u8(0);
  out.u16(t.density);
  while (out.pos() < header) out.u8(0);
  out.u32(t.missing ? 0xFFFFFFFF : 0);
  out.u16(8);
  out.u16(t.entry_flags);
  out.u32(0);  // key
  out.u16(8);
  out.u8(0);
  out.u8(t.value_type);
  out.u32(t.value_string);
  return out.b;
}

Bytes table_bytes(const Table& table) {
  Out out;
  out.u16(0x0002);
  out.u16(12);
  out.u32(0);
  out.u32(1);
  out.append(pool_chunk(table.values));
  std::size_t package = out.pos();
  out.u16(0x0200);
  out.u16(288);
  out.u32(0);
  out.u32(table.package_id);
  while (out.pos() < package + 288) out.u8(0);
  out.append(pool_chunk({{u"drawable"}}));  // inner pools are skipped
  for (const TypeChunk& t : table.types) out.append(type_chunk_bytes(t));
  out.put32(package + 4, static_cast<std::uint32_t>(out.pos() - package));
  for (const TypeChunk& t : table.after_package) out.append(type_chunk_bytes(t));
  out.put32(4, static_cast<std::uint32_t>(out.pos()));
  return out.b;
}

const std::uint32_t kIconId = 0x7f010000;  // package 0x7f, type 1, entry 0

struct Apk {
  Bytes manifest;
  Bytes table;
  std::vector<std::pair<std::string, Bytes>> members;
};

std::vector<apk::IconFile> icons_of(const TempDir& dir, const Apk& apk) {
  std::vector<std::pair<std::string, Bytes>> members = {{"AndroidManifest.xml", apk.manifest},
                                                        {"resources.arsc", apk.table}};
  members.insert(members.end(), apk.members.begin(), apk.members.end());
  return icons_of(make_zip(dir, "hand.apk", members));
}

// Values: 0 "res/a.png", 1 "res/b.png", 2 "res/c.xml", 3 "res/d.png".
Table plain_table() {
  Table t;
  t.values.strings = {u"res/a.png", u"res/b.png", u"res/c.xml", u"res/d.png"};
  return t;
}

std::vector<std::pair<std::string, Bytes>> plain_pngs() {
  return {{"res/a.png", make_png(10, 10)},
          {"res/b.png", make_png(20, 20)},
          {"res/c.xml", Bytes(40, 'x')},
          {"res/d.png", make_png(5, 5)}};
}

std::vector<std::pair<std::string, std::uint16_t>> summary(
    const std::vector<apk::IconFile>& icons) {
  std::vector<std::pair<std::string, std::uint16_t>> out;
  for (const auto& i : icons) out.emplace_back(i.path, i.density);
  return out;
}

using Summary = std::vector<std::pair<std::string, std::uint16_t>>;

TEST(AppIcons, TypeChunksThatContributeNothing) {
  TempDir dir;
  Table t = plain_table();
  t.types = {{.density = 120, .value_string = 0},
             {.density = 160, .flags = 0x01, .value_string = 1},        // sparse
             {.density = 240, .value_string = 1, .entry_flags = 0x01},  // complex
             {.density = 320, .value_string = 1, .missing = true},      // no such entry
             {.type_id = 2, .density = 400, .value_string = 1},         // another type
             {.density = 480, .value_string = 2},                       // an XML drawable
             {.density = 560, .value_string = 1, .value_type = 0x10},   // not a string
             {.density = 600, .value_string = 9},                       // past the values
             {.density = 640, .flags = 0x02, .value_string = 1}};       // other flags ignored
  t.after_package = {{.density = 999, .value_string = 1}};              // outside the package walk
  Apk apk{manifest_bytes(plain_manifest(kIconId)), table_bytes(t), plain_pngs()};
  EXPECT_EQ(summary(icons_of(dir, apk)), (Summary{{"res/b.png", 640}, {"res/a.png", 120}}));

  t.package_id = 0x7e;
  apk.table = table_bytes(t);
  EXPECT_TRUE(icons_of(dir, apk).empty());
}

TEST(AppIcons, IconAttributeIsTheFirstReference) {
  struct Case {
    const char* what;
    std::vector<std::uint32_t> resource_map;
    std::vector<Element> elements;
    bool found;
  };
  // Strings: 0 "application", 1 "icon", 2 "label", 3 "activity".
  const Case cases[] = {
      {"a string, then a reference", {}, {{0, {{1, 0x03, 2}, {1, 0x01, kIconId}}}}, true},
      {"only an inline colour", {}, {{0, {{1, 0x1c, 0xff00ff00}}}}, false},
      {"a colour, then a reference", {}, {{0, {{1, 0x1d, 1}, {1, 0x01, kIconId}}}}, true},
      {"found by its resource map slot alone",
       {0, 0, 0x01010002},
       {{0, {{2, 0x01, kIconId}}}},
       true},
      {"named icon with a map too short", {0x01010001}, {{0, {{1, 0x01, kIconId}}}}, true},
      {"another attribute only", {}, {{0, {{2, 0x01, kIconId}}}}, false},
      {"only the first application counts",
       {},
       {{0, {{2, 0x01, kIconId}}}, {0, {{1, 0x01, kIconId}}}},
       false},
      {"a reference to id 0", {}, {{0, {{1, 0x01, 0}, {1, 0x01, kIconId}}}}, false},
      {"no application element", {}, {{3, {{1, 0x01, kIconId}}}}, false},
  };
  TempDir dir;
  Table t = plain_table();
  t.types = {{.density = 160, .value_string = 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Manifest m;
    m.pool.strings = {u"application", u"icon", u"label", u"activity"};
    m.resource_map = c.resource_map;
    m.elements = c.elements;
    Apk apk{manifest_bytes(m), table_bytes(t), plain_pngs()};
    EXPECT_EQ(icons_of(dir, apk).size(), c.found ? 1u : 0u);
  }
}

TEST(AppIcons, Utf16PoolsTurnNonAsciiUnitsIntoQuestionMarks) {
  TempDir dir;
  Manifest m = plain_manifest(kIconId);
  m.pool.utf8 = false;
  Table t;
  t.values.utf8 = false;
  // U+00E9 and U+1F600 (a surrogate pair): one "?" per UTF-16 unit.
  t.values.strings = {u"res/\u00e9-\U0001F600.png"};
  t.types = {{.density = 213, .value_string = 0}};
  Apk apk{manifest_bytes(m), table_bytes(t), {{"res/?-??.png", make_png(7, 9)}}};
  std::vector<apk::IconFile> icons = icons_of(dir, apk);
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].path, "res/?-??.png");
  EXPECT_EQ(icons[0].density, 213);
  EXPECT_EQ(icons[0].width, 7u);
  EXPECT_EQ(icons[0].height, 9u);
}

TEST(AppIcons, HugeStringCountsKeepEveryIndexMeaningful) {
  // A declared count of 2^32 - 1 in a manifest of a few hundred bytes. Index 2^20 lies
  // below the count but its offset slot lies past the data, so it reads as string 0.
  TempDir dir;
  Manifest m;
  m.pool.strings = {u"icon", u"application"};
  m.pool.count = 0xFFFFFFFF;
  m.elements = {{1, {{1u << 20, 0x01, kIconId}}}};
  Table t = plain_table();
  t.values.count = 0xFFFFFFFF;
  t.types = {{.density = 160, .value_string = 1u << 20},     // reads as "res/a.png"
             {.density = 240, .value_string = 1},            // held by the data: "res/b.png"
             {.density = 320, .value_string = 0xFFFFFFFF}};  // not below the count
  Apk apk{manifest_bytes(m), table_bytes(t), plain_pngs()};
  EXPECT_EQ(summary(icons_of(dir, apk)), (Summary{{"res/b.png", 240}, {"res/a.png", 160}}));

  // The count alone, without a pool big enough to hold it, still names nothing past it.
  m.elements = {{1, {{0xFFFFFFFF, 0x01, kIconId}}}};
  apk.manifest = manifest_bytes(m);
  EXPECT_TRUE(icons_of(dir, apk).empty());
}

TEST(AppIcons, StringsRunningPastTheData) {
  // The last value string is moved to the very end of the table with a length far past it:
  // a UTF-8 string is then empty, a UTF-16 one keeps the units that are there.
  for (bool utf8 : {true, false}) {
    SCOPED_TRACE(utf8 ? "utf-8" : "utf-16");
    TempDir dir;
    Table t = plain_table();
    t.values.utf8 = utf8;
    t.types = {{.density = 160, .value_string = 0}, {.density = 240, .value_string = 1}};
    Out table;
    table.append(table_bytes(t));
    std::size_t pool = 12;
    std::uint32_t strings_start = table.b[pool + 20] | (table.b[pool + 21] << 8);
    std::size_t tail = table.pos();
    table.put32(pool + 28 + 4, static_cast<std::uint32_t>(tail - pool - strings_start));
    const std::string name = "x.png";
    if (utf8) {
      table.u8(100);
      table.u8(100);
      for (char c : name) table.u8(c);
    } else {
      table.u16(100);
      for (char c : name) table.u16(c);
    }
    Apk apk{manifest_bytes(plain_manifest(kIconId)), table.b, plain_pngs()};
    apk.members.push_back({"x.png", make_png(30, 30)});
    Summary expected = {{"res/a.png", 160}};
    if (!utf8) expected.insert(expected.begin(), {"x.png", 240});
    EXPECT_EQ(summary(icons_of(dir, apk)), expected);
  }
}

TEST(AppIcons, CandidatesKeepThePoolTheyWereFoundWith) {
  // A later top-level pool replaces the value strings only for what follows it.
  TempDir dir;
  Table t = plain_table();
  t.types = {{.density = 160, .value_string = 1}};
  Out table;
  table.append(table_bytes(t));
  Pool later;
  later.strings = {u"res/d.png", u"res/d.png"};
  table.append(pool_chunk(later));
  table.put32(4, static_cast<std::uint32_t>(table.pos()));
  Apk apk{manifest_bytes(plain_manifest(kIconId)), table.b, plain_pngs()};
  EXPECT_EQ(summary(icons_of(dir, apk)), (Summary{{"res/b.png", 160}}));
}

TEST(AppIcons, RepeatedPathsStayButStopAtTheTableSize) {
  TempDir dir;
  const std::string path = "res/" + std::string(2990, 'x') + ".png";
  Table t;
  t.values.utf8 = false;
  t.values.strings = {std::u16string(path.begin(), path.end())};
  t.types = {{.density = 160}, {.density = 240}};
  Apk apk{manifest_bytes(plain_manifest(kIconId)), table_bytes(t), {{path, make_png(8, 8)}}};
  EXPECT_EQ(summary(icons_of(dir, apk)), (Summary{{path, 160}, {path, 240}}));

  // Hundreds of small chunks naming one long path: kept only up to the table's own size.
  t.types.assign(500, {.density = 320});
  apk.table = table_bytes(t);
  std::vector<apk::IconFile> icons = icons_of(dir, apk);
  ASSERT_FALSE(icons.empty());
  EXPECT_LT(icons.size(), 500u);
  EXPECT_LE(icons.size() * path.size(), apk.table.size());
  EXPECT_GT((icons.size() + 1) * path.size(), apk.table.size());
}

// The icons of `archive` and, in *read, the bytes the lookup read from the archive's file.
std::vector<apk::IconFile> icons_counting_reads(const fs::path& archive, std::uint64_t* read) {
  apk::ZipReader reader;
  EXPECT_TRUE(reader.open(archive)) << reader.error;
  *read = 0;
  std::FILE* counted = testing_support::counting_reads(reader.file, read);
  if (!counted) return {};
  reader.file = counted;
  return apk::app_icons(reader);
}

TEST(AppIcons, ThousandsOfChunksAtOneMemberReadItOnce) {
  // The real icon first, then 2,000 tiny chunks naming one long path whose member inflates to
  // 32 MiB but is no PNG. Read once per chunk, that member would be read thousands of times;
  // read once, the lookup reads about what the archive holds (buffers read ahead on seeks).
  if (testing_support::kWindows) GTEST_SKIP() << "reads are counted through glibc's streams";
  TempDir dir;
  const std::string big = "res/" + std::string(3000, 'b') + ".png";
  Table t;
  t.values.utf8 = false;
  t.values.strings = {std::u16string(big.begin(), big.end()), u"res/a.png"};
  t.types = {{.density = 480, .value_string = 1}};
  t.types.resize(2001, {.density = 160});
  Apk apk{manifest_bytes(plain_manifest(kIconId)),
          table_bytes(t),
          {{big, Bytes(32 << 20, 0)}, {"res/a.png", make_png(48, 48)}}};
  auto archive = [&] {
    std::vector<std::pair<std::string, Bytes>> members = {{"AndroidManifest.xml", apk.manifest},
                                                          {"resources.arsc", apk.table}};
    members.insert(members.end(), apk.members.begin(), apk.members.end());
    return make_zip(dir, "hand.apk", members);
  };
  fs::path file = archive();
  std::uint64_t read = 0;
  std::vector<apk::IconFile> icons = icons_counting_reads(file, &read);
  EXPECT_EQ(summary(icons), (Summary{{"res/a.png", 480}}));
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].width, 48u);
  EXPECT_LT(read, 2 * fs::file_size(file) + (256 << 10)) << "a member was read more than once";

  // The same path as a PNG: every configuration naming it is kept, up to the table's size.
  apk.members[0].second = make_png(16, 16);
  file = archive();
  icons = icons_counting_reads(file, &read);
  EXPECT_LT(read, 2 * fs::file_size(file) + (256 << 10)) << "a member was read more than once";
  ASSERT_EQ(icons.size(), 1 + (apk.table.size() - 9) / big.size());
  EXPECT_EQ(icons[0].path, "res/a.png");
  EXPECT_EQ(icons.back().path, big);
  EXPECT_EQ(icons.back().density, 160);
  EXPECT_EQ(icons.back().width, 16u);
}

// A UTF-16 value pool whose first string is `name` and whose other `places` strings begin at
// the first units of one run of 0xFFFF units: each claims 2^31 units, so each decodes to a
// name longer than any member's, and each place is another string.
Bytes run_pool(const std::string& name, std::uint32_t places, std::uint32_t run_units) {
  Out data;
  for (std::uint32_t k = 0; k < run_units; ++k) data.u16(0xFFFF);
  const std::uint32_t name_at = static_cast<std::uint32_t>(data.pos());
  data.u16(static_cast<std::uint32_t>(name.size()));
  for (char c : name) data.u16(static_cast<unsigned char>(c));
  data.u16(0);
  const std::uint32_t slots = places + 1;
  Out out;
  out.u16(0x0001);
  out.u16(28);
  out.u32(28 + 4 * slots + static_cast<std::uint32_t>(data.pos()));
  out.u32(slots);
  out.u32(0);
  out.u32(0);
  out.u32(28 + 4 * slots);
  out.u32(0);
  out.u32(name_at);
  for (std::uint32_t k = 0; k < places; ++k) out.u32(2 * k);
  out.append(data.b);
  return out.b;
}

TEST(AppIcons, DecodedStringsStopAtTheTableSize) {
  // The real icon, then chunks naming places in one run whose strings run on for the longest
  // name each: once they add up past the table's size nothing more is decoded, so a later
  // icon is not looked at.
  TempDir dir;
  const std::uint32_t places = 8;
  Table t;
  t.types = {{.density = 160, .value_string = 0}};
  for (std::uint32_t k = 1; k <= places; ++k)
    t.types.push_back({.density = 240, .value_string = k});
  t.types.push_back({.density = 480, .value_string = 0});
  Bytes table = table_bytes(t);
  // The plain pool of the table replaced by the run's.
  const std::size_t plain_end = 12 + (table[16] | (table[17] << 8) | (table[18] << 16));
  const Bytes pool = run_pool("res/a.png", places, 65536 + places + 2);
  table.erase(table.begin() + 12, table.begin() + std::ptrdiff_t(plain_end));
  table.insert(table.begin() + 12, pool.begin(), pool.end());
  Out fixed{table};
  fixed.put32(4, static_cast<std::uint32_t>(table.size()));
  ASSERT_LT(table.size(), 3 * 65536u);
  ASSERT_GT(places * 65536u, table.size());
  Apk apk{manifest_bytes(plain_manifest(kIconId)), fixed.b, {{"res/a.png", make_png(48, 48)}}};
  EXPECT_EQ(summary(icons_of(dir, apk)), (Summary{{"res/a.png", 160}}));
}

TEST(AppIcons, APngNameWithoutItsMemberStillStopsTheListAtTheTableSize) {
  // Configurations naming one long path fill the list up to the table's size; then a PNG
  // name longer than the room left, with no such member, ends the list, and a short path
  // after it is not taken.
  TempDir dir;
  const std::string path = "res/" + std::string(3000, 'x') + ".png";
  const std::string gone = "res/" + std::string(20000, 'g') + ".png";
  Table t;
  t.values.utf8 = false;
  for (const std::string& value : {path, gone, std::string("res/a.png")})
    t.values.strings.emplace_back(value.begin(), value.end());
  auto table_with = [&](std::size_t kept) {
    t.types.assign(kept, {.density = 160, .value_string = 0});
    t.types.push_back({.density = 240, .value_string = 1});
    t.types.push_back({.density = 480, .value_string = 2});
    return table_bytes(t);
  };
  std::size_t kept = 1;
  while ((kept + 1) * path.size() <= table_with(kept + 1).size()) ++kept;
  Bytes table = table_with(kept);
  ASSERT_LE(kept * path.size() + 9, table.size());
  ASSERT_GT(kept * path.size() + gone.size(), table.size());
  Apk apk{manifest_bytes(plain_manifest(kIconId)),
          table,
          {{path, make_png(8, 8)}, {"res/a.png", make_png(48, 48)}}};
  EXPECT_EQ(summary(icons_of(dir, apk)), Summary(kept, {path, 160}));
}

TEST(AppIcons, DamagedHeadersAndCandidatesGiveNothing) {
  struct Case {
    const char* what;
    std::function<void(Apk&)> damage;
  };
  const Case cases[] = {
      {"manifest of another chunk type", [](Apk& a) { a.manifest[0] = 0x02; }},
      {"manifest of one byte", [](Apk& a) { a.manifest.resize(1); }},
      {"manifest of three bytes", [](Apk& a) { a.manifest.resize(3); }},
      {"manifest header size past the data",
       [](Apk& a) {
         a.manifest[2] = 0xF0;
         a.manifest[3] = 0xFF;
       }},
      {"table of another chunk type", [](Apk& a) { a.table[0] = 0x03; }},
      {"table cut inside the package", [](Apk& a) { a.table.resize(12 + 200); }},
      {"png member not a png", [](Apk& a) { a.members[0].second.assign(100, 0); }},
      {"png member of 23 bytes", [](Apk& a) { a.members[0].second.resize(23); }},
  };
  Table t = plain_table();
  t.types = {{.density = 160, .value_string = 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    Apk apk{manifest_bytes(plain_manifest(kIconId)), table_bytes(t), plain_pngs()};
    ASSERT_EQ(icons_of(dir, apk).size(), 1u);
    c.damage(apk);
    EXPECT_TRUE(icons_of(dir, apk).empty());
  }
}

TEST(AppIcons, TruncatedManifestsAndTablesNeverCrash) {
  // Prefixes of a real aapt manifest and table, every 5 bytes: reads past the end read as 0.
  TempDir dir;
  fs::path built = aapt_apk(dir, "@drawable/icon", {{"drawable", "icon.png", 48}});
  std::string output;
  ASSERT_EQ(testing_support::run_python(
                "import zipfile\n"
                "src = zipfile.ZipFile(" +
                    shell_quote(built.string()) +
                    ")\n"
                    "m, t = src.read('AndroidManifest.xml'), src.read('resources.arsc')\n"
                    "png = src.read('res/drawable/icon.png')\n"
                    "for cut in range(0, len(m) + len(t), 5):\n"
                    "    z = zipfile.ZipFile(" +
                    shell_quote((dir / "cut").string()) +
                    " + str(cut) + '.apk', 'w')\n"
                    "    z.writestr('AndroidManifest.xml', m[:cut] if cut < len(m) else m)\n"
                    "    z.writestr('resources.arsc', t if cut < len(m) else t[:cut - len(m)])\n"
                    "    z.writestr('res/drawable/icon.png', png)\n"
                    "    z.close()\n"
                    "print(len(m) + len(t))\n",
                &output),
            0)
      << output;
  std::size_t total = std::stoul(output);
  const Summary whole = {{"res/drawable/icon.png", 0}};
  ASSERT_EQ(summary(icons_of(built)), whole);
  std::size_t found = 0;
  for (std::size_t cut = 0; cut < total; cut += 5) {
    Summary icons = summary(icons_of(dir / ("cut" + std::to_string(cut) + ".apk")));
    if (!icons.empty()) {
      EXPECT_EQ(icons, whole) << cut;
      ++found;
    }
  }
  // A manifest cut after its application element, and a table cut only after the entry,
  // still name the icon; most cuts do not.
  EXPECT_GT(found, 0u);
  EXPECT_LT(found, total / 10);
}

TEST(PngSize, NeedsTheSignatureAndTwentyFourBytes) {
  Bytes png = make_png(300, 17);
  auto size = apk::png_size(png);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->first, 300u);
  EXPECT_EQ(size->second, 17u);
  EXPECT_TRUE(apk::png_size(Bytes(png.begin(), png.begin() + 24)));
  EXPECT_FALSE(apk::png_size(Bytes(png.begin(), png.begin() + 23)));
  Bytes wrong = png;
  wrong[1] = 'p';
  EXPECT_FALSE(apk::png_size(wrong));
  EXPECT_FALSE(apk::png_size({}));
}

TEST(PngToIco, ReadableByImageMagickWithTheRightSizeBytes) {
  struct Case {
    std::uint32_t width, height;
    unsigned char width_byte, height_byte;
  };
  const Case cases[] = {
      {255, 255, 255, 255}, {256, 256, 0, 0}, {300, 300, 0, 0}, {255, 300, 255, 0}};
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    Bytes png = make_png(c.width, c.height);
    Bytes ico = apk::png_to_ico(png);
    ASSERT_EQ(ico.size(), 22 + png.size());
    const Bytes header = {0,
                          0,
                          1,
                          0,
                          1,
                          0,
                          c.width_byte,
                          c.height_byte,
                          0,
                          0,
                          1,
                          0,
                          32,
                          0,
                          static_cast<unsigned char>(png.size()),
                          static_cast<unsigned char>(png.size() >> 8),
                          static_cast<unsigned char>(png.size() >> 16),
                          static_cast<unsigned char>(png.size() >> 24),
                          22,
                          0,
                          0,
                          0};
    EXPECT_EQ(Bytes(ico.begin(), ico.begin() + 22), header);
    EXPECT_EQ(Bytes(ico.begin() + 22, ico.end()), png);
    fs::path file = dir / "icon.ico";
    testing_support::write_bytes(file, ico);
    std::string output;
    ASSERT_EQ(run("identify -format '%w %h\\n' ico:" + shell_quote(file.string()), &output), 0)
        << output;
    EXPECT_EQ(output, std::to_string(c.width) + " " + std::to_string(c.height) + "\n");
  }
}

TEST(PngToIco, WrapsAnythingElseWithZeroSizes) {
  Bytes junk = {1, 2, 3};
  Bytes ico = apk::png_to_ico(junk);
  ASSERT_EQ(ico.size(), 25u);
  EXPECT_EQ(ico[6], 0);
  EXPECT_EQ(ico[7], 0);
  EXPECT_EQ(ico[14], 3);
  EXPECT_EQ(Bytes(ico.begin() + 22, ico.end()), junk);
}

}  // namespace
