#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The codeset names and record files of this system are in: the locale's codeset here, the ANSI
// code page on Windows ("CP932" on Japanese Windows). Names as iconv knows them.
std::string LegacyCodeset();
// Whether that codeset is UTF-8 or plain ASCII, so that bytes need no conversion.
bool LegacyCodesetIsUtf8OrAscii();
// text in codeset, as UTF-8: a byte sequence that is no character there becomes U+FFFD.
// Nothing when the system does not know the codeset.
std::optional<std::string> ConvertToUtf8(std::string_view text, const std::string& codeset);
// utf8 in codeset; nothing when the system does not know the codeset or a character has no form
// there (no look-alike stands in for it).
std::optional<std::string> ConvertFromUtf8(std::string_view utf8, const std::string& codeset);
// The codeset this system writes new records in: the ANSI code page on Windows, which other
// software reading the files expects; empty where names are written as the program holds them.
std::string RecordCodeset();

}  // namespace platform
