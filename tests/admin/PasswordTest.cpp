#include <gtest/gtest.h>

#include "admin/Password.h"
#include "support/TestSupport.h"

using platform::StoredValue;

namespace {

// The middle digits for each length modulo 20, written out by hand so that a change of the
// generator shows up here.
constexpr unsigned kLengthDigits[20] = {33, 70, 17, 54, 91, 38, 75, 22, 59, 96,
                                        43, 80, 27, 64, 11, 48, 85, 32, 69, 16};

std::string Digest(unsigned head, unsigned length, unsigned tail) {
    return std::to_string(100000 * head + 1000 * kLengthDigits[length % 20] + tail);
}

}  // namespace

TEST(PasswordDigest, OneCharacterStandsForAllFourEnds) {
    // "a" is 97: head (97 + 97) / 2 + 1 = 98, raised to 198; the tail likewise.
    EXPECT_EQ(ComputePasswordDigest("a"), Digest(198, 1, 198));
    EXPECT_EQ(ComputePasswordDigest("a"), "19870198");
    // "é" is 233: head 233 % 199 = 34, (34 + 34) / 2 + 1 = 35, raised to 135; tail 233 + 1.
    EXPECT_EQ(ComputePasswordDigest("é"), Digest(135, 1, 234));
}

TEST(PasswordDigest, EmptyHasNoDigestAndEveryOtherIsEightDigitsFromOne) {
    EXPECT_EQ(ComputePasswordDigest(""), "");
    // The highest head and tail: 198 % 199 and 976 % 977 give 199 and 977.
    EXPECT_EQ(ComputePasswordDigest("ÆÆϐϐ"), Digest(199, 4, 977));
    EXPECT_EQ(ComputePasswordDigest("ÆÆϐϐ"), "19991977");
    // The lowest: 199 and 977 leave nothing, so both parts are 1 raised to 101.
    EXPECT_EQ(ComputePasswordDigest("ÇÇϑϑ"), "10191101");
    std::string text;
    for (int length = 1; length <= 45; ++length) {
        text += static_cast<char>('!' + (length * 7) % 90);
        for (const std::string& candidate : {text, text + "ϐ", "Æ" + text, text + "\xFF"}) {
            const std::string digest = ComputePasswordDigest(candidate);
            ASSERT_EQ(digest.size(), 8u) << candidate;
            EXPECT_EQ(digest[0], '1') << candidate;
            EXPECT_EQ(digest.find_first_not_of("0123456789"), std::string::npos) << candidate;
        }
    }
}

TEST(PasswordDigest, OnlyLengthAndTheTwoUnitsAtEachEndCount) {
    EXPECT_EQ(ComputePasswordDigest("abXYZcd"), ComputePasswordDigest("ab123cd"));
    EXPECT_EQ(ComputePasswordDigest("secret"), ComputePasswordDigest("seCRet"));
    EXPECT_EQ(ComputePasswordDigest("パスワード"), ComputePasswordDigest("パスカード"));
    // The length picks the middle digits.
    EXPECT_EQ(ComputePasswordDigest("abcd"), "19891100");
    EXPECT_EQ(ComputePasswordDigest("abxcd"), "19838100");
    // Twenty units further the middle digits come round again.
    EXPECT_EQ(ComputePasswordDigest("ab" + std::string(20, 'x') + "cd"),
              ComputePasswordDigest("abcd"));

    const std::string base = ComputePasswordDigest("secret");
    EXPECT_EQ(base, "10975109");
    for (const char* changed : {"Secret", "sEcret", "secrEt", "secreT"}) {
        EXPECT_NE(ComputePasswordDigest(changed), base) << changed;
    }
}

TEST(PasswordDigest, CountsUtf16Units) {
    // パ ス … ー ド are 12497, 12473, 12540 and 12489: head (159 + 135) / 2 + 1 = 148, tail
    // (765 + 816) / 2 + 1 = 791, and five units (not fifteen bytes) pick the digits.
    EXPECT_EQ(ComputePasswordDigest("パスワード"), Digest(148, 5, 791));
    EXPECT_EQ(ComputePasswordDigest("パスワード"), "14838791");
    // One character outside the basic plane is two units, 0xD83D and 0xDE00: head
    // (35 + 117) / 2 + 1 = 77, raised to 177; tail (166 + 645) / 2 + 1 = 406.
    EXPECT_EQ(ComputePasswordDigest("😀"), Digest(177, 2, 406));
    // Bytes that are not UTF-8 count one unit each, with their own value.
    EXPECT_EQ(ComputePasswordDigest("\xFF"), Digest(157, 1, 256));
    EXPECT_EQ(ComputePasswordDigest("\xE3\x81"), Digest(179, 2, 179));
    EXPECT_EQ(ComputePasswordDigest("\xC0\xAF"), Digest(184, 2, 184));
    // An encoded surrogate is three bytes of no text: 237, 160 and 128 give a head of exactly
    // 100, which stays as it is.
    EXPECT_EQ(ComputePasswordDigest("\xED\xA0\x80"), Digest(100, 3, 145));
}

TEST(PasswordCheck, ComparesWithTheStoredDigest) {
    testsupport::Stores stores;
    Registry reg(stores.machine, stores.user);

    // Nothing stored: only the empty password passes.
    EXPECT_TRUE(CheckPassword(reg, ""));
    EXPECT_FALSE(CheckPassword(reg, "a"));

    stores.machine.Write(kSettingsKey, "PGSpoolSize",
                         StoredValue::Sz(ComputePasswordDigest("secret")));
    EXPECT_TRUE(CheckPassword(reg, "secret"));
    EXPECT_TRUE(CheckPassword(reg, "seCRet"));
    EXPECT_FALSE(CheckPassword(reg, "Secret"));
    EXPECT_FALSE(CheckPassword(reg, "secrets"));
    EXPECT_FALSE(CheckPassword(reg, ""));

    // Byte for byte: a stray space is another digest.
    stores.machine.Write(kSettingsKey, "PGSpoolSize", StoredValue::Sz("19870198 "));
    EXPECT_FALSE(CheckPassword(reg, "a"));
    stores.machine.Write(kSettingsKey, "PGSpoolSize", StoredValue::Sz("19870198"));
    EXPECT_TRUE(CheckPassword(reg, "a"));

    // A deleted password lets nobody in, not even with nothing typed.
    stores.machine.Write(kSettingsKey, "PGSpoolSize", StoredValue::Sz(kClearedPasswordDigest));
    EXPECT_FALSE(CheckPassword(reg, ""));
    EXPECT_FALSE(CheckPassword(reg, "a"));
    EXPECT_FALSE(CheckPassword(reg, kClearedPasswordDigest));

    // Only the machine root counts.
    testsupport::Stores other;
    other.user.Write(kSettingsKey, "PGSpoolSize", StoredValue::Sz("19870198"));
    Registry userOnly(other.machine, other.user);
    EXPECT_FALSE(CheckPassword(userOnly, "a"));
    EXPECT_TRUE(CheckPassword(userOnly, ""));
}
