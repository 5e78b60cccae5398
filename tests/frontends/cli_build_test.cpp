// The command-line build running real builds of the test port with a seeded tool cache.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include "support/https_peer.hpp"
#include "support/program.hpp"
#include "support/test_support.hpp"
#include "support/tool_cache.hpp"

namespace {

using testing_support::file_bytes;
using testing_support::Outcome;
using testing_support::Sandbox;

// devkitPro's two package lists below `root`, naming the packages the seeded devkitPro folder
// is stamped with.
bool write_package_lists(const QString& root) {
  std::string script = "root = " + testing_support::shell_quote(root.toStdString()) + "\n";
  script += R"(import io, os, tarfile
os.makedirs(root + '/windows/x86_64', exist_ok=True)
def db(path, names):
    with tarfile.open(path, 'w:gz') as tar:
        for name in names:
            text = ('%NAME%\n' + name + '\n\n%FILENAME%\n' + name + '-1.0-1-any.pkg.tar.zst\n\n'
                    '%CSIZE%\n1000\n\n%SHA256SUM%\n' + '0' * 64 + '\n').encode()
            info = tarfile.TarInfo(name + '-1.0-1/desc')
            info.size = len(text)
            tar.addfile(info, io.BytesIO(text))
db(root + '/windows/x86_64/dkp-windows.db', ['devkita64-binutils', 'devkita64-gcc', 'switch-tools'])
db(root + '/dkp-libs.db', ['devkita64-newlib', 'libnx', 'switch-sdl2', 'switch-mesa',
                           'switch-libdrm_nouveau'])
)";
  std::string output;
  const bool ok = testing_support::run_python(script, &output) == 0;
  EXPECT_TRUE(ok) << output;
  return ok;
}

class CliBuild : public testing::Test {
 protected:
  CliBuild() : sandbox(QString::fromStdString(dir.path().string())) {
    EXPECT_TRUE(testing_support::make_apk(sandbox.cwd + "/pinball.apk", "pinball"));
  }

  bool seed(bool switch_ = false) {
    return testing_support::seed_tool_cache((sandbox.portable_data() + "/cache").toStdString(),
                                            false, switch_);
  }

  QString log_path() const { return sandbox.portable_data() + "/logs/last-build.log"; }

  // The arguments of the last configure step in the build log.
  QStringList configure_arguments() const {
    const QStringList lines = QString::fromUtf8(file_bytes(log_path())).split('\n');
    for (qsizetype i = lines.size() - 1; i >= 0; --i)
      if (lines[i].startsWith("$ ") && lines[i].contains(" -G Ninja")) return lines[i].split(' ');
    return {};
  }

  testing_support::TempDir dir;
  Sandbox sandbox;
};

TEST_F(CliBuild, AWindowsBuildPrintsRisingPercentagesThenTheMessageAndTheLog) {
  ASSERT_TRUE(seed());
  const Outcome outcome = sandbox.run({"--build", "pinball.apk"});
  ASSERT_EQ(outcome.code, 0) << testing_support::describe(outcome);
  EXPECT_EQ(outcome.err, "");
  ASSERT_TRUE(
      outcome.out.endsWith("\nPinball Nights is installed: find it in the Start menu.\nlog: " +
                           log_path().toLocal8Bit() + "\n"))
      << testing_support::describe(outcome);
  QStringList lines = QString::fromLocal8Bit(outcome.out).split('\n');
  lines.resize(lines.size() - 3);
  ASSERT_GE(lines.size(), 3);
  static const QRegularExpression progress(R"(^([ \d]{2}\d) %  (.+?)(  \(~\d+ s left\))?$)");
  int last = -1;
  for (const QString& line : lines) {
    const QRegularExpressionMatch match = progress.match(line);
    ASSERT_TRUE(match.hasMatch()) << line.toStdString();
    const int percent = match.captured(1).trimmed().toInt();
    EXPECT_GT(percent, last) << line.toStdString();
    last = percent;
  }
  EXPECT_EQ(lines.first().left(5), "  0 %");
  EXPECT_LE(last, 100);
}

TEST_F(CliBuild, OnlyModsAndExtraDataReachTheBuildAsGiven) {
  ASSERT_TRUE(seed());
  Outcome outcome = sandbox.run({"--build", "pinball.apk", "--only", "out", "--mods", "none"});
  ASSERT_EQ(outcome.code, 0) << testing_support::describe(outcome);
  QStringList args = configure_arguments();
  EXPECT_TRUE(args.contains("-DSKARNBOLT_DEFAULT_MODS=none"));
  EXPECT_TRUE(outcome.out.contains("\nThe game was saved:\n" + sandbox.cwd.toLocal8Bit() +
                                   "/out/Pinball Nights\nlog: "));
  EXPECT_TRUE(QFileInfo::exists(sandbox.cwd + "/out/Pinball Nights/skarnbolt-pinball"));

  // Empty pieces are dropped; a later "none" keeps the list; the extra data of another game is
  // ignored; the later --only wins.
  outcome = sandbox.run({"--build", "pinball.apk", "--only", "out", "--mods", "camera,,framerate",
                         "--starwars2-assets=nowhere", "--only", "out2", "--mods", "none"});
  ASSERT_EQ(outcome.code, 0) << testing_support::describe(outcome);
  args = configure_arguments();
  EXPECT_TRUE(args.contains("-DSKARNBOLT_DEFAULT_MODS=camera;framerate"));
  EXPECT_TRUE(args.contains("-DGAME_EXTRA_starwars2="));
  EXPECT_TRUE(QFileInfo::exists(sandbox.cwd + "/out2/Pinball Nights/skarnbolt-pinball"));
}

TEST_F(CliBuild, TheSwitchBuildSavesTheNroInTheCurrentFolderByDefault) {
  ASSERT_TRUE(seed(true));
  // Plain HTTP on loopback: the program is a process of its own and does not trust the tests'
  // throwaway certificate.
  testing_support::TempDir server_dir;
  testing_support::HttpsPeer server(QString::fromStdString(server_dir.path().string()));
  ASSERT_TRUE(server.ok());
  ASSERT_TRUE(write_package_lists(server.root() + "/packages"));
  sandbox.env.insert("SKARNBOLT_DEVKITPRO_SERVER", server.plain_url("packages/"));

  const Outcome outcome = sandbox.run({"--build", "pinball.apk", "--switch"});
  ASSERT_EQ(outcome.code, 0) << testing_support::describe(outcome);
  const QString nro = sandbox.cwd + "/skarnbolt-pinball.nro";
  EXPECT_TRUE(QFileInfo::exists(nro));
  EXPECT_TRUE(outcome.out.contains("\nThe Nintendo Switch homebrew was saved:\n" +
                                   nro.toLocal8Bit() + "\n"))
      << testing_support::describe(outcome);
}

}  // namespace
