// The tar listing check on archives made by GNU tar and listed by the system's CMake.
#include "builder/tar_listing.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/member_names.hpp"
#include "support/test_support.hpp"

namespace {

using testing_support::run;
using testing_support::shell_quote;
using testing_support::TempDir;

std::string cmake_list(const std::string& mode, const std::string& archive) {
  std::string output;
  EXPECT_EQ(run("cmake -E tar " + mode + " " + shell_quote(archive) + " 2>/dev/null", &output), 0);
  return output;
}

// Runs `script` in a fresh folder, which packs what it makes with tar into a.tar; then checks
// a.tar's listing with the links of earlier archives in `links`.
bool safe_after(const TempDir& dir, const std::string& script, QSet<QString>& links) {
  const std::string folder = (dir / "tree").string();
  std::string output;
  EXPECT_EQ(run("rm -rf " + shell_quote(folder) + " && mkdir -p " + shell_quote(folder) +
                    " && cd " + shell_quote(folder) + " && " + script,
                &output),
            0)
      << output;
  const std::string archive = folder + "/a.tar";
  return builder::tar_listing_safe(QByteArray::fromStdString(cmake_list("tf", archive)),
                                   QByteArray::fromStdString(cmake_list("tvf", archive)), links);
}

TEST(TarListing, MembersAndLinksThatStayInsideOrLeadOut) {
  struct Case {
    const char* what;
    const char* script;
    bool safe;
  };
  const Case cases[] = {
      {"files, folders, links down and up within",
       "mkdir -p a/b && echo x > a/b/f && ln -s b/f a/l && ln -s ../a/b a/b2 && "
       "ln a/b/f a/hard && tar cf a.tar ./a",
       true},
      {"a name with spaces and arrows", "echo x > 'x -> y' && tar cf a.tar 'x -> y'", true},
      {"a link to its own folder", "mkdir a && ln -s . a/here && tar cf a.tar a", true},
      {"a member above the folder",
       "echo x > f && tar cf a.tar -P --transform 's,^f$,a/../../f,' f", false},
      {"an absolute member", "echo x > f && tar cf a.tar -P --transform 's,^f$,/tmp/f,' f", false},
      {"a drive letter", "echo x > f && tar cf a.tar --transform 's,^f$,C:f,' f", false},
      {"a backslash climb", "echo x > f && tar cf a.tar --transform 's,^f$,a\\\\..\\\\..\\\\f,' f",
       false},
      {"a link to an absolute path", "ln -s /tmp l && tar cf a.tar l", false},
      {"a link climbing past the folder", "mkdir a && ln -s ../.. a/l && tar cf a.tar a", false},
      {"a link going down, then up past a piece", "mkdir a && ln -s b/../.. a/l && tar cf a.tar a",
       false},
      {"a member below a link, however spelt",
       "mkdir d && ln -s d l && echo x > f && tar cf a.tar l && "
       "tar rf a.tar --transform 's,^f$,L./f,' f",
       false},
      {"a climb through a link that itself stays inside",
       "mkdir a x && ln -s ../x a/l && echo y > f && tar cf a.tar a x && "
       "tar rf a.tar -P --transform 's,^f$,a/l/../../f,' f",
       false},
      {"a link named with an arrow leading out", "ln -s /etc 'x -> y' && tar cf a.tar 'x -> y'",
       false},
      {"a hard link to a symbolic link", "ln -s d l && ln -P l h && tar cf a.tar l h", false},
      {"a pipe", "mkfifo p && tar cf a.tar p", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    QSet<QString> links;
    EXPECT_EQ(safe_after(dir, c.script, links), c.safe);
  }
}

TEST(TarListing, LinksOfEarlierArchivesInTheSameFolderCount) {
  // One package brings a link to a folder of its own; the next may not write through it.
  TempDir dir;
  QSet<QString> links;
  ASSERT_TRUE(safe_after(dir, "mkdir -p opt/d && ln -s d opt/l && tar cf a.tar opt", links));
  EXPECT_FALSE(safe_after(dir, "mkdir -p opt/l && echo x > opt/l/f && tar cf a.tar opt", links));
  QSet<QString> fresh;
  EXPECT_TRUE(safe_after(dir, "mkdir -p opt/l && echo x > opt/l/f && tar cf a.tar opt", fresh));
}

TEST(TarListing, ListingsThatDoNotMatchAreRefused) {
  QSet<QString> links;
  EXPECT_TRUE(builder::tar_listing_safe("a\n", "-rw-r--r--  0 u g 1 10 Dec 19:39 a\n", links));
  EXPECT_TRUE(builder::tar_listing_safe("a\r\n", "-rw-r--r--  0 u g 1 10 Dec 19:39 a\r\n", links));
  EXPECT_FALSE(builder::tar_listing_safe("a\nb\n", "-rw-r--r--  0 u g 1 10 Dec 19:39 a\n", links));
  EXPECT_FALSE(builder::tar_listing_safe("a\n", "-rw-r--r--  0 u g 1 10 Dec 19:39 b\n", links));
  // Fewer names than lines: the link of the second line would go unchecked.
  EXPECT_FALSE(builder::tar_listing_safe(
      "a\n", "-rw-r--r--  0 u g 1 10 Dec 19:39 a\nlrwxrwxrwx  0 u g 0 10 Dec 19:39 l -> /etc\n",
      links));
  EXPECT_FALSE(builder::tar_listing_safe("l\n", "lrwxrwxrwx  0 u g 0 10 Dec 19:39 l\n", links));
  // A line that reads two ways: the owner field repeats the name.
  EXPECT_FALSE(
      builder::tar_listing_safe("l\n", "lrwxrwxrwx  0 u l -> x 0 10 Dec 19:39 l -> x\n", links));
  // Deeper than any package: refused rather than looked at for long.
  QByteArray deep;
  for (int i = 0; i < 300; ++i) deep += "d/";
  deep += "f";
  EXPECT_FALSE(builder::tar_listing_safe(deep + "\n",
                                         "-rw-r--r--  0 u g 1 10 Dec 19:39 " + deep + "\n", links));
}

// Every form of member name, as a member and as a link's target, taken as the toolkit takes it.
TEST(TarListing, MemberNameFormsAsEveryOtherCallerTakesThem) {
  for (const testing_support::NameForm& form : testing_support::name_forms()) {
    SCOPED_TRACE(form.what);
    const QByteArray name = "opt/devkitpro/" + QByteArray::fromStdString(form.name);
    QSet<QString> links;
    EXPECT_EQ(builder::tar_listing_safe(name + "\n",
                                        "-rw-r--r--  0 u g 1 10 Dec 19:39 " + name + "\n", links),
              form.safe);
    const QByteArray link = "opt/devkitpro/l";
    EXPECT_EQ(builder::tar_listing_safe(link + "\n",
                                        "lrwxrwxrwx  0 u g 0 10 Dec 19:39 " + link + " -> " +
                                            QByteArray::fromStdString(form.name) + "\n",
                                        links),
              form.safe);
  }
}

}  // namespace
