#include "reports/TextCells.h"

#include <cwchar>
#include <cwctype>
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
        cells += IsWide(cp) ? 2 : 1;
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
