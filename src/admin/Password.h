#pragma once

#include <string>

#include "storage/Registry.h"

// What the settings hold in place of a password once it has been deleted. Every digest starts
// with 1, so no password ever matches it.
constexpr const char* kClearedPasswordDigest = "60319528";

// The eight-digit text stored for a password (given as UTF-8); "" for the empty password. It
// looks only at the length and at the first two and last two UTF-16 units, so it keeps casual
// users out of the settings and nothing more.
std::string ComputePasswordDigest(const std::string& text);

// Whether the typed password's digest is exactly the stored one. With nothing stored, only the
// empty password passes.
bool CheckPassword(const Registry& registry, const std::string& typed);
