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

}  // namespace platform
