#include "support/tool_cache.hpp"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QStandardPaths>
#include <QString>
#include <memory>
#include <sstream>

#include "builder/downloads.hpp"
#include "support/adb_stub.hpp"
#include "support/https_peer.hpp"
#include "support/test_support.hpp"

namespace testing_support {

namespace {

// What the builder passes to the NDK's toolchain file is checked; the compilers stay the
// machine's own.
const char kNdkToolchain[] = R"(# Stand-in for the NDK's toolchain file in build-job tests.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ANDROID_ABI ANDROID_PLATFORM)
if(NOT ANDROID_ABI STREQUAL "arm64-v8a" OR NOT ANDROID_PLATFORM MATCHES "^android-[0-9]+$")
  message(FATAL_ERROR "Unexpected ANDROID_ABI '${ANDROID_ABI}' or ANDROID_PLATFORM '${ANDROID_PLATFORM}'")
endif()
set(ANDROID TRUE)
)";

const char* const kDevkitproPackages[] = {
    "devkita64-binutils", "devkita64-gcc", "devkita64-newlib", "libnx",
    "switch-tools",       "switch-sdl2",   "switch-mesa",      "switch-libdrm_nouveau",
};

std::string package_file(const std::string& name) { return name + "-1.0-1-any.pkg.tar.zst"; }

fs::path program(const char* name) {
  const QString found = QStandardPaths::findExecutable(name);
  if (found.isEmpty()) ADD_FAILURE() << name << " is not on PATH";
  return found.toStdString();
}

// The folder of a pinned tool with its stamp; false when it cannot be made.
bool stamped(const fs::path& cache, builder::Tool tool, fs::path& folder) {
  const builder::Download* row = builder::download_for(tool);
  folder = cache / "tools" / row->folder.toStdString();
  std::error_code ec;
  fs::create_directories(folder, ec);
  write_text(folder / ".skarnbolt-sha256", row->sha256.toStdString());
  return !ec && read_text(folder / ".skarnbolt-sha256") == row->sha256.toStdString();
}

// The package server answering devkitPro's two package lists with the packages of the stamp
// written below. The program reads the server's address once, so there is one per process.
class DevkitproServer {
 public:
  DevkitproServer() {
    const QString base = QString::fromStdString(dir_.path().string());
    peer_ = std::make_unique<HttpsPeer>(base);
    if (!peer_->ok()) return;
    std::ostringstream script;
    script
        << "import io, tarfile\n"
           "def db(path, names):\n"
           "    with tarfile.open(path, 'w:gz') as tar:\n"
           "        for name in names:\n"
           "            text = ('%NAME%\\n' + name + '\\n\\n%FILENAME%\\n' + name +\n"
           "                    '-1.0-1-any.pkg.tar.zst\\n\\n%CSIZE%\\n1000\\n\\n%SHA256SUM%\\n'\n"
           "                    + '0' * 64 + '\\n').encode()\n"
           "            info = tarfile.TarInfo(name + '-1.0-1/desc')\n"
           "            info.size = len(text)\n"
           "            tar.addfile(info, io.BytesIO(text))\n";
    const std::string root = peer_->root().toStdString() + "/packages";
    fs::create_directories(fs::path(root) / "windows/x86_64");
    script << "db(" << '"' << root << "/windows/x86_64/dkp-windows.db\", "
           << "['devkita64-binutils', 'devkita64-gcc', 'switch-tools'])\n"
           << "db(\"" << root << "/dkp-libs.db\", ['devkita64-newlib', 'libnx', 'switch-sdl2', "
           << "'switch-mesa', 'switch-libdrm_nouveau'])\n";
    std::string output;
    if (run_python(script.str(), &output) != 0) {
      ADD_FAILURE() << "cannot make devkitPro's package lists: " << output;
      return;
    }
    qputenv("SKARNBOLT_DEVKITPRO_SERVER", peer_->url("packages/").toUtf8());
    ok_ = true;
  }
  bool ok() const { return ok_; }

 private:
  TempDir dir_;
  std::unique_ptr<HttpsPeer> peer_;
  bool ok_ = false;
};

bool seed_devkitpro(const fs::path& cache) {
  static DevkitproServer server;
  if (!server.ok()) {
    ADD_FAILURE() << "the loopback devkitPro server did not start";
    return false;
  }
  const fs::path root = cache / "tools/devkitpro";
  std::string stamp;
  for (const char* name : kDevkitproPackages)
    stamp += (stamp.empty() ? "" : "\n") + package_file(name);
  fs::create_directories(root / "libnx/include");
  fs::create_directories(root / "devkitA64/bin");
  write_text(root / ".skarnbolt-packages", stamp);
  return true;
}

}  // namespace

bool seed_tool_cache(const fs::path& cache, bool android, bool switch_,
                     const std::string& adb_devices) {
  std::error_code ec;
  fs::path folder;
  bool ok = stamped(cache, builder::Tool::CMake, folder);
  fs::create_directories(folder / "bin", ec);
  // A link, not a copy: CMake finds its modules next to the file it really is.
  if (!fs::exists(folder / "bin/cmake"))
    fs::create_symlink(program("cmake"), folder / "bin/cmake", ec);
  ok = ok && !ec && stamped(cache, builder::Tool::Ninja, folder);
  // A copy: the job adds execute permissions to it, which must not touch the machine's file.
  if (!fs::exists(folder / "ninja")) fs::copy_file(program("ninja"), folder / "ninja", ec);
  ok = ok && !ec && stamped(cache, builder::Tool::LlvmMingw, folder);
  fs::create_directories(folder / "bin", ec);
  ok = ok && !ec;
  if (android) {
    ok = ok && stamped(cache, builder::Tool::Ndk, folder);
    write_text(folder / "build/cmake/android.toolchain.cmake", kNdkToolchain);
    ok = ok && stamped(cache, builder::Tool::BuildTools, folder) &&
         stamped(cache, builder::Tool::Platform, folder);
    write_text(folder / "android.jar", "stand-in\n");
    ok = ok && stamped(cache, builder::Tool::PlatformTools, folder);
    write_adb_stub(seeded_adb(cache), adb_devices.empty() ? adb_listing({}) : adb_devices);
    ok = ok && stamped(cache, builder::Tool::Jdk, folder);
    fs::create_directories(folder / "bin", ec);
    ok = ok && !ec;
  }
  if (switch_) ok = seed_devkitpro(cache) && ok;
  if (!ok) ADD_FAILURE() << "cannot seed the tool cache " << cache;
  return ok;
}

fs::path seeded_adb(const fs::path& cache) {
  const builder::Download* row = builder::download_for(builder::Tool::PlatformTools);
  return cache / "tools" / row->folder.toStdString() / "adb";
}

void set_adb_devices(const fs::path& cache, const std::string& listing) {
  write_adb_stub(seeded_adb(cache), listing.empty() ? adb_listing({}) : listing);
}

bool copy_test_port(const fs::path& destination) {
  std::error_code ec;
  fs::remove_all(destination, ec);
  fs::create_directories(destination, ec);
  if (!ec) fs::copy(fixtures_dir() / "port", destination, fs::copy_options::recursive, ec);
  if (ec) ADD_FAILURE() << "cannot copy the test port to " << destination << ": " << ec.message();
  return !ec;
}

}  // namespace testing_support
