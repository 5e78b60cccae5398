// Putting archive content on disk: unpacking, content-aware writes and game data extraction.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "apk/identify.hpp"
#include "apk/zip.hpp"

namespace apk {

// Progress of a long operation as (done, total); empty means no reports wanted.
using ProgressCallback = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Writes every entry below `dest`, refusing names that would not land inside it.
// Progress counts entries. False with `error` set on the first failure.
bool unpack(ZipReader& reader, const std::filesystem::path& dest, std::string& error,
            const ProgressCallback& progress);

// Writes `data` to `path` unless the file already holds exactly those bytes.
// True when the file holds the bytes afterwards.
bool write_file(const std::filesystem::path& path, const std::vector<unsigned char>& data);

// Writes the game data folder of an identified game (assets, icons, checked library,
// then the ".complete" marker). Progress counts bytes of assets.
bool extract(ZipReader& reader, const GameSpec& spec, const std::filesystem::path& dest,
             std::string& error, const ProgressCallback& progress);

// Replaces `dest` with the extra service assets of a folder or a ZIP archive; refuses,
// removing nothing, when `dest` holds the source.
bool extract_assets_service(const std::filesystem::path& source, const std::filesystem::path& dest,
                            std::string& error);

}  // namespace apk
