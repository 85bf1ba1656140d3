#pragma once

// What the POSIX and the Win32 shared files have in common: the names of replacement files and
// the folder whose appending opens are refused for tests. Not for use outside platform/.

#include <string>
#include <string_view>

namespace platform::detail {

// "prn" and six letters or digits: a replacement file a purge left behind.
bool IsReplacementName(std::string_view name);
// A new such name, in lower case (unique also where names compare without case).
std::string RandomReplacementName();
// Whether an appending open of path is to fail as on clients that refuse O_APPEND.
bool RefusesAppending(const std::string& path);

}  // namespace platform::detail
