#include <gtest/gtest.h>
#include <sys/stat.h>

#include "storage/Registry.h"
#include "support/TestSupport.h"

using platform::StoredValue;

TEST(Registry, MissingValuesReadAsEmptyAndCreateNothing) {
    testsupport::Stores stores;
    Registry reg(stores.machine, stores.user);
    EXPECT_EQ(reg.GetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory"), "");
    EXPECT_EQ(reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "TessarovenStatus"), 0);
    EXPECT_EQ(reg.GetRegInteger(kHkeyCurrentUser, kPerUserKey, "PagesPrinted"), 0);
    EXPECT_FALSE(testsupport::Exists(stores.dir / "machine.db"));
    EXPECT_FALSE(testsupport::Exists(stores.dir / "user.db"));
    EXPECT_EQ(reg.GetRegInteger(0x80000003u, kSettingsKey, "x"), 0);
}

TEST(Registry, WritingCreatesTheKeysUnderTheirOwnRoot) {
    testsupport::Stores stores;
    Registry reg(stores.machine, stores.user);
    reg.SetRegInteger(kHkeyLocalMachine, kSettingsKey, "TessarovenStatus", 2);
    reg.SetRegString(kHkeyCurrentUser, kPerUserKey, "PrinterName", "P");
    EXPECT_TRUE(stores.machine.KeyExists("SOFTWARE\\Tessaroven"));
    EXPECT_TRUE(stores.machine.KeyExists("SOFTWARE\\Tessaroven\\Setting"));
    EXPECT_TRUE(stores.user.KeyExists("Software\\Tessaroven"));
    EXPECT_FALSE(stores.machine.KeyExists(kPerUserKey + std::string("\\x")));
    EXPECT_EQ(reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "TessarovenStatus"), 2);
    EXPECT_EQ(reg.GetRegString(kHkeyCurrentUser, kPerUserKey, "PrinterName"), "P");
    // The roots are separate stores.
    EXPECT_EQ(reg.GetRegInteger(kHkeyCurrentUser, kSettingsKey, "TessarovenStatus"), 0);
    EXPECT_EQ(reg.GetRegString(kHkeyLocalMachine, kPerUserKey, "PrinterName"), "");
}

// A value of another type than the one asked for reads as missing.
TEST(Registry, OnlyTheExactTypeIsRead) {
    testsupport::Stores stores;
    Registry reg(stores.machine, stores.user);
    stores.machine.Write(kSettingsKey, "PGSpoolOnOff", StoredValue::Sz("1"));
    stores.machine.Write(kSettingsKey, "DataFileDirectory", StoredValue::ExpandSz("/srv/data"));
    stores.machine.Write(kSettingsKey, "PGSpoolSize", StoredValue::Dw(12345678));
    stores.machine.Write(kSettingsKey, "Blob", {platform::ValueType::Binary, "\x01", 0});
    EXPECT_EQ(reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "PGSpoolOnOff"), 0);
    EXPECT_EQ(reg.GetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory"), "");
    EXPECT_EQ(reg.GetRegString(kHkeyLocalMachine, kSettingsKey, "PGSpoolSize"), "");
    EXPECT_EQ(reg.GetRegString(kHkeyLocalMachine, kSettingsKey, "Blob"), "");
    EXPECT_EQ(reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "Blob"), 0);

    // Writing replaces the value whatever its type was.
    reg.SetRegInteger(kHkeyLocalMachine, kSettingsKey, "PGSpoolOnOff", 1);
    EXPECT_EQ(reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "PGSpoolOnOff"), 1);
    reg.SetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory", "/srv/data");
    EXPECT_EQ(reg.GetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory"), "/srv/data");
    EXPECT_EQ(stores.machine.Read(kSettingsKey, "DataFileDirectory")->type,
              platform::ValueType::String);
}

TEST(Registry, ARefusedWriteLeavesTheFormerValue) {
    if (!testsupport::CanTestRefusals()) {
        GTEST_SKIP() << testsupport::kCannotTestRefusals;
    }
    testsupport::Stores stores;
    Registry reg(stores.machine, stores.user);
    reg.SetRegInteger(kHkeyLocalMachine, kSettingsKey, "PGSpoolOnOff", 2);
    reg.SetRegString(kHkeyLocalMachine, kSettingsKey, "PGSpoolSize", "60319528");
    chmod((stores.dir / "machine.db").c_str(), 0644);
    const int code = testsupport::RunInChild(
        [&] {
            reg.SetRegInteger(kHkeyLocalMachine, kSettingsKey, "PGSpoolOnOff", 1);
            reg.SetRegString(kHkeyLocalMachine, kSettingsKey, "PGSpoolSize", "12345678");
            const bool unchanged =
                reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "PGSpoolOnOff") == 2 &&
                reg.GetRegString(kHkeyLocalMachine, kSettingsKey, "PGSpoolSize") == "60319528";
            return unchanged ? 0 : 1;
        },
        true);
    EXPECT_EQ(code, 0);
}
