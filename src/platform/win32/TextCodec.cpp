#include "platform/TextCodec.h"

#include <cstdlib>
#include <cstring>

#include "platform/win32/Wide.h"

namespace platform {

namespace {

// "CP932", "cp1252", "SHIFT_JIS", "UTF-8" → the code page number; 0 when unknown.
UINT CodePageOf(const std::string& codeset) {
    std::string name;
    for (char c : codeset) {
        name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    if (name == "UTF-8" || name == "UTF8") {
        return CP_UTF8;
    }
    if (name == "SHIFT_JIS" || name == "SJIS" || name == "WINDOWS-31J") {
        return 932;
    }
    for (const char* prefix : {"CP", "WINDOWS-", "IBM"}) {
        const size_t n = std::strlen(prefix);
        if (name.compare(0, n, prefix) == 0 && name.size() > n) {
            char* end = nullptr;
            const unsigned long page = std::strtoul(name.c_str() + n, &end, 10);
            if (*end == '\0' && page > 0 && page < 65536) {
                return static_cast<UINT>(page);
            }
        }
    }
    return 0;
}

}  // namespace

std::string LegacyCodeset() {
    return "CP" + std::to_string(GetACP());
}

bool LegacyCodesetIsUtf8OrAscii() {
    const UINT page = GetACP();
    return page == CP_UTF8 || page == 20127;
}

std::optional<std::string> ConvertToUtf8(std::string_view text, const std::string& codeset) {
    const UINT page = CodePageOf(codeset);
    CPINFO info{};
    if (page == 0 || !GetCPInfo(page, &info)) {
        return std::nullopt;
    }
    if (text.empty()) {
        return std::string();
    }
    // Without MB_ERR_INVALID_CHARS a byte that is no character comes out as U+FFFD (or the code
    // page's default character), as the rest of the program expects.
    const int n =
        MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return win32::Utf8(wide);
}

std::optional<std::string> ConvertFromUtf8(std::string_view utf8, const std::string& codeset) {
    const UINT page = CodePageOf(codeset);
    CPINFO info{};
    if (page == 0 || !GetCPInfo(page, &info)) {
        return std::nullopt;
    }
    if (page == CP_UTF8) {
        return std::string(utf8);
    }
    const std::wstring wide = win32::Wide(utf8);
    if (wide.empty()) {
        return std::string();
    }
    // No best-fit look-alikes ('?' for a character the code page lacks is a loss, not a form).
    BOOL usedDefault = FALSE;
    const int n =
        WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                            nullptr, 0, nullptr, &usedDefault);
    if (n <= 0 || usedDefault) {
        return std::nullopt;
    }
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                        out.data(), n, nullptr, nullptr);
    return out;
}

std::string RecordCodeset() {
    return LegacyCodesetIsUtf8OrAscii() ? std::string() : LegacyCodeset();
}

}  // namespace platform
