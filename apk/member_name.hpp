// Names of archive members that every system writes as named, below the folder they go to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace apk {

// The member's name with '/' between its pieces, empty and "." pieces dropped and each ".."
// folded into the piece before it; empty when it names the folder itself. No value when the
// name is not UTF-8, starts at a root, climbs above its folder, holds a control character or a
// ":" (a drive or a stream on Windows), or has a piece that Windows would write elsewhere or
// under another name: a device name with any extension, or a name ending in a dot or blank.
// '/' and '\' both separate pieces. Links in the folder are not considered: through a link,
// ".." leads elsewhere.
std::optional<std::string> safe_member_name(std::string_view name);

}  // namespace apk
