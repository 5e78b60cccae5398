// Peak resident memory of a command-line build, as /usr/bin/time -f %M measures it (KiB), for
// an APK whose library inflates to 2 GiB of zeros and for a normal APK of the test port. The
// counter "excess_mib" is the first over the second; identification keeps it near zero.
#include <benchmark/benchmark.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "tests/support/program.hpp"
#include "tests/support/test_support.hpp"
#include "tests/support/tool_cache.hpp"

namespace {

using namespace testing_support;

// The build's peak in KiB, or -1 with `why` set when it could not be measured.
double peak_kib(const Sandbox& sandbox, const QString& apk, int expected_code, std::string& why) {
  Sandbox timed = sandbox;
  timed.program = "/usr/bin/time";
  const QString out = sandbox.root + "/peak.txt";
  QFile::remove(out);
  const Outcome outcome =
      timed.run({"-f", "%M", "-o", out, sandbox.program, "--build", apk}, {}, 900000);
  bool ok = false;
  // time puts a line about a non-zero exit status before the figure.
  const double kib = QString::fromUtf8(file_bytes(out)).trimmed().split('\n').last().toDouble(&ok);
  if (outcome.code == expected_code && ok) return kib;
  why = apk.toStdString() + ": " + describe(outcome);
  return -1;
}

void BM_BuildPeakMemoryBombAgainstNormal(benchmark::State& state) {
  TempDir dir;
  const Sandbox sandbox(QString::fromStdString(dir.path().string()));
  if (!seed_tool_cache((sandbox.portable_data() + "/cache").toStdString(), false, false) ||
      !make_apk(sandbox.cwd + "/pinball.apk", "pinball") ||
      !write_zero_bomb(dir / "work/bomb.apk", "lib/armeabi-v7a/libpinball.so",
                       std::uint64_t(2) << 30)) {
    state.SkipWithError("cannot make the APKs or the tool cache");
    return;
  }
  double normal = -1, bomb = -1;
  std::string why;
  for (auto _ : state) {
    // The bomb is another version of the game: the build ends after identification.
    bomb = peak_kib(sandbox, "bomb.apk", 1, why);
    normal = peak_kib(sandbox, "pinball.apk", 0, why);
  }
  if (normal < 0 || bomb < 0) {
    state.SkipWithError(why.c_str());
    return;
  }
  state.counters["normal_kib"] = normal;
  state.counters["bomb_kib"] = bomb;
  state.counters["excess_mib"] = (bomb - normal) / 1024;
}
BENCHMARK(BM_BuildPeakMemoryBombAgainstNormal)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
