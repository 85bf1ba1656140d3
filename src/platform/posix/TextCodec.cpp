#include "platform/TextCodec.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

namespace platform {

std::string LegacyCodeset() {
    return nl_langinfo(CODESET);
}

bool LegacyCodesetIsUtf8OrAscii() {
    const char* codeset = nl_langinfo(CODESET);
    return std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "ANSI_X3.4-1968") == 0;
}

namespace {

// One converter per thread and direction, kept while the codeset stays the same: opening one
// costs more than converting a name, and a folder of Windows computers' files converts every line.
class Converter {
  public:
    ~Converter() { Reset(); }
    iconv_t For(const char* to, const char* from, const std::string& codeset) {
        if (m_cd == kNone || codeset != m_codeset) {
            Reset();
            m_codeset = codeset;
            m_cd = iconv_open(to, from);
        }
        if (m_cd != kNone) {
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        }
        return m_cd;
    }

  private:
    void Reset() {
        if (m_cd != kNone) {
            iconv_close(m_cd);
        }
        m_cd = kNone;
    }
    static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);
    iconv_t m_cd = kNone;
    std::string m_codeset;
};

// Converts all of text; a byte sequence that cannot be converted is replaced by replacement and
// skipped one byte at a time, or, without a replacement, ends the conversion with nothing.
std::optional<std::string> Convert(iconv_t cd, std::string_view text, const char* replacement) {
    std::string out;
    std::string in(text);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char buf[256];
    while (inLeft > 0) {
        char* outPtr = buf;
        size_t outLeft = sizeof buf;
        const size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buf, static_cast<size_t>(outPtr - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            if (replacement == nullptr) {
                return std::nullopt;
            }
            out += replacement;
            ++inPtr;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    // The shift back to the initial state that stateful codesets end with.
    char* outPtr = buf;
    size_t outLeft = sizeof buf;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buf, static_cast<size_t>(outPtr - buf));
    return out;
}

}  // namespace

std::optional<std::string> ConvertToUtf8(std::string_view text, const std::string& codeset) {
    thread_local Converter converter;
    const iconv_t cd = converter.For("UTF-8", codeset.c_str(), codeset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    return Convert(cd, text, "\xEF\xBF\xBD");  // U+FFFD
}

std::optional<std::string> ConvertFromUtf8(std::string_view utf8, const std::string& codeset) {
    thread_local Converter converter;
    const iconv_t cd = converter.For(codeset.c_str(), "UTF-8", codeset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    return Convert(cd, utf8, nullptr);
}

std::string RecordCodeset() {
    return {};
}

}  // namespace platform
