#include "admin/Password.h"

#include <array>
#include <cstdint>
#include <vector>

namespace {

// A byte that can continue a multi-byte sequence.
bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0u) == 0x80u;
}

// The digest was first computed over UTF-16 text, so the units must be UTF-16 ones. A byte that
// does not start a well-formed sequence stands for itself, one unit per byte, so that every
// byte string has a digest.
std::vector<std::uint16_t> ToUtf16(const std::string& text) {
    std::vector<std::uint16_t> units;
    units.reserve(text.size());
    const auto at = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = at(i);
        std::size_t length = 0;
        std::uint32_t point = 0;
        std::uint32_t lowest = 0;
        if (lead < 0x80u) {
            length = 1;
            point = lead;
        } else if (lead >= 0xC2u && lead <= 0xDFu) {
            length = 2;
            point = lead & 0x1Fu;
            lowest = 0x80u;
        } else if (lead >= 0xE0u && lead <= 0xEFu) {
            length = 3;
            point = lead & 0x0Fu;
            lowest = 0x800u;
        } else if (lead >= 0xF0u && lead <= 0xF4u) {
            length = 4;
            point = lead & 0x07u;
            lowest = 0x10000u;
        }
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = IsContinuation(at(i + k));
            point = (point << 6) | (at(i + k) & 0x3Fu);
        }
        // Overlong forms, surrogates and points beyond Unicode are not text either.
        valid =
            valid && point >= lowest && point <= 0x10FFFFu && (point < 0xD800u || point > 0xDFFFu);
        if (!valid) {
            units.push_back(lead);
            ++i;
            continue;
        }
        if (point >= 0x10000u) {
            point -= 0x10000u;
            units.push_back(static_cast<std::uint16_t>(0xD800u + (point >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00u + (point & 0x3FFu)));
        } else {
            units.push_back(static_cast<std::uint16_t>(point));
        }
        i += length;
    }
    return units;
}

// The middle two digits, chosen by the length of the password: a fixed walk through 10..99.
const std::array<unsigned, 20>& LengthDigits() {
    static const std::array<unsigned, 20> digits = [] {
        std::array<unsigned, 20> walk{};
        for (unsigned i = 0; i < walk.size(); ++i) {
            walk[i] = 10 + (37 * i + 23) % 90;
        }
        return walk;
    }();
    return digits;
}

// Both parts of the digest are kept at three digits.
unsigned AtLeastHundred(unsigned value) {
    return value < 100 ? value + 100 : value;
}

}  // namespace

std::string ComputePasswordDigest(const std::string& text) {
    const std::vector<std::uint16_t> units = ToUtf16(text);
    const std::size_t n = units.size();
    if (n == 0) {
        return {};
    }
    const unsigned first = units[0];
    const unsigned second = n > 1 ? units[1] : first;
    const unsigned last = units[n - 1];
    const unsigned beforeLast = n > 1 ? units[n - 2] : last;
    const unsigned head = AtLeastHundred((first % 199 + second % 199) / 2 + 1);
    const unsigned tail = AtLeastHundred((last % 977 + beforeLast % 977) / 2 + 1);
    const unsigned middle = LengthDigits()[n % 20];
    return std::to_string(100000u * head + 1000u * middle + tail);
}

bool CheckPassword(const Registry& registry, const std::string& typed) {
    return ComputePasswordDigest(typed) ==
           registry.GetRegString(kHkeyLocalMachine, kSettingsKey, "PGSpoolSize");
}
