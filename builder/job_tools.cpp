// Tool preparation: the pinned downloads, devkitPro, the child environment, and the port's
// host tool that Android and Switch builds run.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "builder/devkitpro.hpp"
#include "builder/downloads.hpp"
#include "builder/job.hpp"
#include "builder/paths.hpp"
#include "builder/platform.hpp"

namespace builder {

QList<Tool> build_tools(Target target) {
  QList<Tool> tools = {Tool::CMake, Tool::Ninja, Tool::LlvmMingw};
  if (target == Target::Android)
    tools << Tool::Ndk << Tool::BuildTools << Tool::Platform << Tool::PlatformTools << Tool::Jdk;
  return tools;
}

bool Job::prepare_tools(QString& error) {
  const Target target = target_of(request);
  const bool android = target == Target::Android;
  const bool nx = target == Target::Switch;
  QList<const Download*> missing;
  for (Tool tool : build_tools(target)) {
    const Download* row = download_for(tool);
    if (row && cached(*row).isEmpty()) missing << row;
  }
  if (nx && !devkitpro_available()) {
    error = kSwitchUnavailable;
    return false;
  }

  qint64 total = 0;
  for (const Download* row : missing) total += row->size;
  qint64 done_before = 0;
  const Download* current = nullptr;
  FetchContext tools_context;
  tools_context.cancel = &cancel;
  tools_context.log = [this](const QString& line) { log(line); };
  tools_context.progress = [&](qint64 received, qint64) {
    const qint64 counted = std::min(received, current->size) + done_before;
    set_phase(0, total > 0 ? double(counted) / total : double(counted));
    report("Downloading " + current->name + " (" + format_size(received + done_before) + " of " +
           format_size(total) + ")");
  };
  for (const Download* row : missing) {
    current = row;
    report("Downloading " + row->name);
    if (fetch(*row, tools_context, error).isEmpty()) return false;
    done_before += row->size;
  }

  auto folder = [](Tool tool) { return cached(*download_for(tool)); };
  const QString cmake_dir = folder(Tool::CMake);
  cmake = QFileInfo::exists(cmake_dir + "/CMake.app") ? cmake_dir + "/CMake.app/Contents/bin/cmake"
                                                      : cmake_dir + "/bin/cmake" + platform::kExe;

  if (nx) {
    report("Checking devkitPro");
    FetchContext kit_context = tools_context;
    kit_context.progress = [this](qint64 done, qint64 all) {
      report("Downloading devkitPro (" + format_size(done) + " of " + format_size(all) + ")");
    };
    devkitpro = fetch_devkitpro(cmake, kit_context, error);
    if (devkitpro.isEmpty()) return false;
  }

  ninja = folder(Tool::Ninja) + "/ninja" + platform::kExe;
  QFile::setPermissions(
      ninja, QFile::permissions(ninja) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
  llvm_mingw = folder(Tool::LlvmMingw);
  if (android) {
    ndk = folder(Tool::Ndk);
    sdk = cache_dir() + "/tools/android-sdk";
    jdk = folder(Tool::Jdk);
    if (QFileInfo::exists(jdk + "/Contents/Home")) jdk += "/Contents/Home";
  }

  env = QProcessEnvironment::systemEnvironment();
  env.insert("NINJA_STATUS", "[%f/%t] ");
  if (!jdk.isEmpty()) env.insert("JAVA_HOME", jdk);
  QStringList path = {QDir::toNativeSeparators(QFileInfo(cmake).path()),
                      QDir::toNativeSeparators(QFileInfo(ninja).path())};
  if (!llvm_mingw.isEmpty()) path << QDir::toNativeSeparators(llvm_mingw + "/bin");
  if (!jdk.isEmpty()) path << QDir::toNativeSeparators(jdk + "/bin");
  const QString sep = platform::kPathSep;
  env.insert("PATH", path.join(sep) + sep + env.value("PATH"));
  return true;
}

bool Job::build_host_tools(QString& error) {
  const QString host = cache_dir() + "/build/host";
  const QStringList options = {
      "-DSKARNBOLT_TOOLS_ONLY=ON", "-DSKARNBOLT_SYSTEM_DEPS=OFF",
      "-DCMAKE_TOOLCHAIN_FILE=" + source + "/cmake/toolchains/llvm-mingw.cmake",
      "-DLLVM_MINGW=" + llvm_mingw};
  reset_if_moved(host);
  const QString tool = host + "/host-tools/codelift" + platform::kExe;
  if (!QFileInfo::exists(tool) || !QFileInfo::exists(host + "/build.ninja")) {
    report("Preparing the build tools");
    if (!configure(host, options, error)) return false;
  }
  if (run_process(cmake, {"--build", host, "-j", QString::number(jobs)}) != 0) {
    error = cancel.load() ? "Cancelled" : "Building the build tools failed.";
    return false;
  }
  host_tools_dir = host + "/host-tools";
  return true;
}

}  // namespace builder
