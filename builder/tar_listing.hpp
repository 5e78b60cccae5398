// The members of a tar archive as CMake's tar mode lists them, checked before unpacking.
#pragma once

#include <QByteArray>
#include <QSet>

namespace builder {

// True when unpacking the archive writes nothing outside its destination folder and each member
// as named: names and link targets follow apk::safe_member_name, no name has a ".." piece, no
// link leads out, no member lies below a symbolic link, only files, folders and links, and a
// listing that reads one way only (no deeper than 256 folders, each link line naming its target
// once). `names` is the output of "cmake -E tar tf", `verbose` of
// "cmake -E tar tvf" on the same archive. `links` holds the symbolic links of archives unpacked
// earlier into the same folder, and gains this archive's.
bool tar_listing_safe(const QByteArray& names, const QByteArray& verbose, QSet<QString>& links);

}  // namespace builder
