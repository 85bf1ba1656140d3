#include "reports/TextCells.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <string>

namespace {

// Decodes one UTF-8 character at s[i]; returns its length, or 0 when the bytes are no valid UTF-8.
size_t DecodeUtf8(std::string_view s, size_t i, char32_t& cp) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2;
        cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) {
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    return len;
}

// East Asian wide and full-width ranges.
bool IsWide(char32_t cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
           (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
           (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
           (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
           (cp >= 0x20000 && cp <= 0x3FFFD);
}

// East Asian ambiguous-width characters (Unicode 14): Greek, Cyrillic, circled numbers, arrows,
// ※, box drawing... A CJK fixed-pitch font, the one the totals memo uses, draws them double
// width, and a Japanese code page stores them in two bytes. Accented Latin letters stay single
// (that code page has none, and the font draws them narrow); of the Latin-1 symbols, those the
// code page stores in two bytes count two. Combining marks and private use are left out.
struct Range {
    char32_t first, last;
};
constexpr Range kAmbiguous[] = {
    {0xA7, 0xA8},       {0xB0, 0xB1},       {0xB4, 0xB4},       {0xB6, 0xB6},
    {0xD7, 0xD7},       {0xF7, 0xF7},       {0x391, 0x3A1},     {0x3A3, 0x3A9},
    {0x3B1, 0x3C1},     {0x3C3, 0x3C9},     {0x401, 0x401},     {0x410, 0x44F},
    {0x451, 0x451},     {0x2010, 0x2010},   {0x2013, 0x2016},   {0x2018, 0x2019},
    {0x201C, 0x201D},   {0x2020, 0x2022},   {0x2024, 0x2027},   {0x2030, 0x2030},
    {0x2032, 0x2033},   {0x2035, 0x2035},   {0x203B, 0x203B},   {0x203E, 0x203E},
    {0x2074, 0x2074},   {0x207F, 0x207F},   {0x2081, 0x2084},   {0x20AC, 0x20AC},
    {0x2103, 0x2103},   {0x2105, 0x2105},   {0x2109, 0x2109},   {0x2113, 0x2113},
    {0x2116, 0x2116},   {0x2121, 0x2122},   {0x2126, 0x2126},   {0x212B, 0x212B},
    {0x2153, 0x2154},   {0x215B, 0x215E},   {0x2160, 0x216B},   {0x2170, 0x2179},
    {0x2189, 0x2189},   {0x2190, 0x2199},   {0x21B8, 0x21B9},   {0x21D2, 0x21D2},
    {0x21D4, 0x21D4},   {0x21E7, 0x21E7},   {0x2200, 0x2200},   {0x2202, 0x2203},
    {0x2207, 0x2208},   {0x220B, 0x220B},   {0x220F, 0x220F},   {0x2211, 0x2211},
    {0x2215, 0x2215},   {0x221A, 0x221A},   {0x221D, 0x2220},   {0x2223, 0x2223},
    {0x2225, 0x2225},   {0x2227, 0x222C},   {0x222E, 0x222E},   {0x2234, 0x2237},
    {0x223C, 0x223D},   {0x2248, 0x2248},   {0x224C, 0x224C},   {0x2252, 0x2252},
    {0x2260, 0x2261},   {0x2264, 0x2267},   {0x226A, 0x226B},   {0x226E, 0x226F},
    {0x2282, 0x2283},   {0x2286, 0x2287},   {0x2295, 0x2295},   {0x2299, 0x2299},
    {0x22A5, 0x22A5},   {0x22BF, 0x22BF},   {0x2312, 0x2312},   {0x2460, 0x24E9},
    {0x24EB, 0x254B},   {0x2550, 0x2573},   {0x2580, 0x258F},   {0x2592, 0x2595},
    {0x25A0, 0x25A1},   {0x25A3, 0x25A9},   {0x25B2, 0x25B3},   {0x25B6, 0x25B7},
    {0x25BC, 0x25BD},   {0x25C0, 0x25C1},   {0x25C6, 0x25C8},   {0x25CB, 0x25CB},
    {0x25CE, 0x25D1},   {0x25E2, 0x25E5},   {0x25EF, 0x25EF},   {0x2605, 0x2606},
    {0x2609, 0x2609},   {0x260E, 0x260F},   {0x261C, 0x261C},   {0x261E, 0x261E},
    {0x2640, 0x2640},   {0x2642, 0x2642},   {0x2660, 0x2661},   {0x2663, 0x2665},
    {0x2667, 0x266A},   {0x266C, 0x266D},   {0x266F, 0x266F},   {0x269E, 0x269F},
    {0x26BF, 0x26BF},   {0x26C6, 0x26CD},   {0x26CF, 0x26D3},   {0x26D5, 0x26E1},
    {0x26E3, 0x26E3},   {0x26E8, 0x26E9},   {0x26EB, 0x26F1},   {0x26F4, 0x26F4},
    {0x26F6, 0x26F9},   {0x26FB, 0x26FC},   {0x26FE, 0x26FF},   {0x273D, 0x273D},
    {0x2776, 0x277F},   {0x2B56, 0x2B59},   {0x3248, 0x324F},   {0x1F100, 0x1F10A},
    {0x1F110, 0x1F12D}, {0x1F130, 0x1F169}, {0x1F170, 0x1F18D}, {0x1F18F, 0x1F190},
    {0x1F19B, 0x1F1AC},
};

bool IsAmbiguous(char32_t cp) {
    const auto* end = std::end(kAmbiguous);
    const auto* it = std::lower_bound(std::begin(kAmbiguous), end, cp,
                                      [](const Range& r, char32_t c) { return r.last < c; });
    return it != end && it->first <= cp;
}

std::wstring Folded(std::string_view s) {
    std::wstring out;
    out.reserve(s.size());
    std::mbstate_t state{};
    size_t i = 0;
    while (i < s.size()) {
        wchar_t wc = 0;
        const size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &state);
        if (n == 0) {
            wc = L'\0';
            i += 1;
        } else if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            // Not a character of the locale's codeset: compare the byte itself.
            wc = static_cast<wchar_t>(static_cast<unsigned char>(s[i]));
            state = std::mbstate_t{};
            i += 1;
        } else {
            i += n;
        }
        out.push_back(static_cast<wchar_t>(std::towlower(static_cast<wint_t>(wc))));
    }
    return out;
}

}  // namespace

int DisplayCells(std::string_view text) {
    int cells = 0;
    for (size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const size_t len = DecodeUtf8(text, i, cp);
        if (len == 0) {
            cells += 1;
            i += 1;
            continue;
        }
        cells += IsWide(cp) || IsAmbiguous(cp) ? 2 : 1;
        i += len;
    }
    return cells;
}

std::string PadToCells(std::string_view text, int cells) {
    std::string out(text);
    const int have = DisplayCells(text);
    if (have < cells) {
        out.append(static_cast<size_t>(cells - have), ' ');
    }
    return out;
}

int CompareIgnoringCase(std::string_view a, std::string_view b) {
    return std::wcscoll(Folded(a).c_str(), Folded(b).c_str());
}

std::wstring CollationKey(std::string_view text) {
    const std::wstring folded = Folded(text);
    std::wstring key(folded.size() + 1, L'\0');
    size_t n = std::wcsxfrm(key.data(), folded.c_str(), key.size());
    if (n >= key.size()) {
        key.assign(n + 1, L'\0');
        n = std::wcsxfrm(key.data(), folded.c_str(), key.size());
    }
    key.resize(n);
    return key;
}
