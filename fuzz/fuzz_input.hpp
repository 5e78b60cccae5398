// Helpers of the fuzz targets: the input as a file in a scratch folder of their own.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fuzzing {

// A folder of this process's own below the temporary folder, removed at exit.
inline const std::filesystem::path& scratch() {
  struct Folder {
    std::filesystem::path path;
    Folder() {
      path =
          std::filesystem::temp_directory_path() / ("skarnbolt-fuzz-" + std::to_string(getpid()));
      std::filesystem::create_directories(path);
    }
    ~Folder() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  };
  static const Folder folder;
  return folder.path;
}

// Writes the input to `name` in the scratch folder (the parsers under test read files).
inline std::filesystem::path as_file(const std::uint8_t* data, std::size_t size,
                                     const char* name = "input") {
  const std::filesystem::path path = scratch() / name;
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return path;
}

}  // namespace fuzzing
