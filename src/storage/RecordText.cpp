#include "storage/RecordText.h"

#include <cstdlib>
#include <cwchar>

#include "platform/TextCodec.h"
#include "storage/PrintDataFiles.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

size_t Utf8Length(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        return 1;
    }
    size_t len = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        low = b == 0xE0 ? 0xA0 : 0x80;
        high = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        low = b == 0xF0 ? 0x90 : 0x80;
        high = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + len > s.size()) {
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return len;
}

namespace {

std::string ValidUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t n = Utf8Length(s, i);
        if (n == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

bool IsPlainAscii(std::string_view s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const size_t n = Utf8Length(s, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

std::string LegacyRecordCodeset() {
    if (const char* chosen = std::getenv("TESSAROVEN_LEGACY_CODEPAGE"); chosen && *chosen) {
        return chosen;
    }
    return platform::LegacyCodesetIsUtf8OrAscii() ? std::string("CP932")
                                                  : platform::LegacyCodeset();
}

std::string ToUtf8(std::string_view text) {
    if (IsPlainAscii(text) || IsValidUtf8(text)) {
        return std::string(text);
    }
    const auto converted = platform::ConvertToUtf8(text, LegacyRecordCodeset());
    return ValidUtf8(converted ? *converted : text);
}

void DecodeRecordNames(PrintRecord& record) {
    std::string* names[3] = {&record.printerName, &record.machineName, &record.userName};
    bool utf8 = true;
    for (const std::string* name : names) {
        utf8 = utf8 && (IsPlainAscii(*name) || IsValidUtf8(*name));
    }
    if (utf8) {
        return;
    }
    const std::string codeset = LegacyRecordCodeset();
    for (std::string* name : names) {
        if (!IsPlainAscii(*name)) {
            const auto converted = platform::ConvertToUtf8(*name, codeset);
            *name = ValidUtf8(converted ? *converted : *name);
        }
    }
}

std::string LegacyRecordForm(std::string_view name) {
    if (IsPlainAscii(name)) {
        return {};
    }
    auto legacy = platform::ConvertFromUtf8(name, LegacyRecordCodeset());
    return legacy && *legacy != name ? *legacy : std::string();
}

void EncodeRecordNames(std::string* names[3]) {
    const std::string codeset = platform::RecordCodeset();
    if (codeset.empty()) {
        return;
    }
    std::string encoded[3];
    bool ascii = true;
    bool readsAsUtf8 = true;
    for (int i = 0; i < 3; ++i) {
        if (!IsValidUtf8(*names[i])) {
            return;  // not ours to convert: written as it came
        }
        auto converted = platform::ConvertFromUtf8(*names[i], codeset);
        if (!converted) {
            return;
        }
        encoded[i] = std::move(*converted);
        ascii = ascii && IsPlainAscii(encoded[i]);
        readsAsUtf8 = readsAsUtf8 && IsValidUtf8(encoded[i]);
    }
    // Bytes of the code page that happen to form valid UTF-8 (a few half-width katakana in a row
    // can) would be read back as other characters: such a line is written in UTF-8 instead.
    if (readsAsUtf8 && !ascii) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        *names[i] = std::move(encoded[i]);
    }
}

size_t CutOnCharacter(std::string_view s, size_t max) {
    const bool utf8 = IsValidUtf8(s);
    std::mbstate_t state{};
    size_t pos = 0;
    while (pos < s.size()) {
        size_t n = utf8 ? Utf8Length(s, pos) : std::mbrlen(s.data() + pos, s.size() - pos, &state);
        if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            n = 1;
            state = std::mbstate_t{};
        }
        if (pos + n > max) {
            break;
        }
        pos += n;
    }
    return pos;
}
