#pragma once

#include <string>
#include <string_view>

struct PrintRecord;

// The program holds names in UTF-8. Record files hold them as their computer wrote them: UTF-8
// (Linux computers in a UTF-8 locale) or a legacy code page (Windows computers write the ANSI
// code page, Shift-JIS on Japanese Windows, as other software reading the files expects), both
// in one shared folder. A line is read as UTF-8 when its names are valid UTF-8, else in the
// legacy code page, so that names compare and show alike whoever wrote them.

bool IsValidUtf8(std::string_view text);
// The length of the well-formed UTF-8 character at s[i] (no overlong forms, no surrogates,
// nothing past U+10FFFF), or 0.
size_t Utf8Length(std::string_view s, size_t i);

// The legacy code page of lines that are not UTF-8: $TESSAROVEN_LEGACY_CODEPAGE (a name such as
// "CP932"), else this system's codeset when it is not UTF-8, else Japanese Windows' CP932.
std::string LegacyRecordCodeset();

// text as UTF-8: valid UTF-8 as it is, anything else converted from the legacy code page; bytes
// that are no character there become U+FFFD.
std::string ToUtf8(std::string_view text);

// The three names of a record read back, as UTF-8, decided for the line as a whole.
void DecodeRecordNames(PrintRecord& record);

// name (UTF-8) as a line in the legacy code page holds it; empty when it has no form there or
// the same bytes in both.
std::string LegacyRecordForm(std::string_view name);

// The three names (UTF-8) of a new record as this system writes them (see
// platform::RecordCodeset). A line whose names have no form in that codeset, or whose encoded
// bytes would read back as different UTF-8, stays in UTF-8, which every reader takes as such.
void EncodeRecordNames(std::string* names[3]);

// Bytes of a name that can be kept within max bytes without splitting a character: UTF-8's when
// the name is valid UTF-8, else the C library locale's.
size_t CutOnCharacter(std::string_view s, size_t max);
