#pragma once

// What the POSIX and the Win32 shared files have in common: the names of replacement files and
// the folder whose appending opens are refused for tests, the wait for a lock. Not for use
// outside platform/.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "platform/SharedFile.h"

namespace platform::detail {

// "prn" and six letters or digits: a replacement file a purge left behind.
bool IsReplacementName(std::string_view name);
// A new such name, in lower case (unique also where names compare without case).
std::string RandomReplacementName();
// Whether an appending open of path is to fail as on clients that refuse O_APPEND.
bool RefusesAppending(const std::string& path);

// What one try at a lock found. Busy and Failed leave errno saying why.
enum class LockTry { Locked, Busy, Failed };
// Tries until the lock is had, a try fails otherwise than on another holder, or wait has passed,
// pausing 1 ms at first and up to 50 ms as the wait goes on.
SharedFile::LockResult RetryLock(std::chrono::milliseconds wait,
                                 const std::function<LockTry()>& tryOnce);

}  // namespace platform::detail
