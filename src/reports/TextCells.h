#pragma once

#include <string>
#include <string_view>

// How many cells a text takes in a CJK fixed-pitch font, where a double-width (East Asian wide,
// full-width or ambiguous) character takes two. Bytes that are no valid UTF-8 count one cell each,
// which is also what a double-byte code page gives.
int DisplayCells(std::string_view text);

// The text followed by blanks up to `cells` cells; a longer text is never cut.
std::string PadToCells(std::string_view text, int cells);

// Compares two texts by the collation of the user's locale, ignoring case. The caller sets the
// locale (setlocale) once at start.
int CompareIgnoringCase(std::string_view a, std::string_view b);

// A key whose plain order (operator<) is the order of CompareIgnoringCase: sorting many texts
// computes it once per text instead of folding and collating both sides of every comparison.
std::wstring CollationKey(std::string_view text);
