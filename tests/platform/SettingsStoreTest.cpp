#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <string>

#include "platform/sqlite/SqliteSettingsStore.h"
#include "support/TestSupport.h"

using platform::SqliteSettingsStore;
using platform::StoredValue;
using platform::ValueType;
using testsupport::TempDir;

namespace {

constexpr const char* kKey = "SOFTWARE\\Tessaroven\\Setting";

// Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on "literal" + std::string.
std::string ValueName(int process, int write) {
    std::string name("p");
    name.append(std::to_string(process)).append("v").append(std::to_string(write));
    return name;
}

}  // namespace

TEST(SettingsStore, ReadingNeverCreatesTheFileOrAKey) {
    TempDir dir;
    SqliteSettingsStore store(dir / "sub/registry.db");
    EXPECT_FALSE(store.Read(kKey, "TessarovenStatus"));
    EXPECT_FALSE(store.KeyExists(kKey));
    EXPECT_FALSE(testsupport::Exists(dir / "sub"));

    ASSERT_TRUE(store.Write("Other", "x", StoredValue::Dw(1)));
    EXPECT_FALSE(store.Read(kKey, "TessarovenStatus"));
    EXPECT_FALSE(store.KeyExists("SOFTWARE"));
}

TEST(SettingsStore, WritingCreatesTheWholeKeyPath) {
    TempDir dir;
    SqliteSettingsStore store(dir / "a/b/registry.db");
    ASSERT_TRUE(store.Write(kKey, "TessarovenStatus", StoredValue::Dw(0)));
    EXPECT_TRUE(store.KeyExists("SOFTWARE"));
    EXPECT_TRUE(store.KeyExists("SOFTWARE\\Tessaroven"));
    EXPECT_TRUE(store.KeyExists(kKey));
    EXPECT_FALSE(store.KeyExists("SOFTWARE\\Tessaroven\\Setting\\Deeper"));
    const auto v = store.Read(kKey, "TessarovenStatus");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, ValueType::Dword);
    EXPECT_EQ(v->dword, 0);
}

TEST(SettingsStore, KeyAndValueNamesCompareWithoutCase) {
    TempDir dir;
    SqliteSettingsStore store(dir / "registry.db");
    ASSERT_TRUE(store.Write("Software\\Tessaroven", "PagesPrinted", StoredValue::Dw(10)));
    ASSERT_TRUE(store.Write("SOFTWARE\\TESSAROVEN", "pagesprinted", StoredValue::Dw(15)));
    const auto v = store.Read("software\\tessaroven", "PAGESPRINTED");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->dword, 15);
    EXPECT_TRUE(store.KeyExists("sOfTwArE"));
    // Stray separators name the same key.
    EXPECT_TRUE(store.Read("\\Software\\\\Tessaroven\\", "PagesPrinted"));
}

TEST(SettingsStore, KeepsEveryTypeAndItsBytesExactly) {
    TempDir dir;
    SqliteSettingsStore store(dir / "registry.db");
    const std::string shiftJis = "\x88\xf3\x8d\xfc\x83\x66\x81\x5b\x83\x5e";  // not UTF-8
    const std::string binary("\x00\x01\xff\x00", 4);
    ASSERT_TRUE(store.Write(kKey, "s", StoredValue::Sz(shiftJis)));
    ASSERT_TRUE(store.Write(kKey, "e", StoredValue::ExpandSz("%HOME%/x")));
    ASSERT_TRUE(store.Write(kKey, "b", StoredValue{ValueType::Binary, binary, 0}));
    ASSERT_TRUE(store.Write(kKey, "min", StoredValue::Dw(INT32_MIN)));
    ASSERT_TRUE(store.Write(kKey, "empty", StoredValue::Sz("")));

    EXPECT_EQ(store.Read(kKey, "s")->bytes, shiftJis);
    EXPECT_EQ(store.Read(kKey, "s")->type, ValueType::String);
    EXPECT_EQ(store.Read(kKey, "e")->type, ValueType::ExpandString);
    EXPECT_EQ(store.Read(kKey, "b")->bytes, binary);
    EXPECT_EQ(store.Read(kKey, "b")->type, ValueType::Binary);
    EXPECT_EQ(store.Read(kKey, "min")->dword, INT32_MIN);
    ASSERT_TRUE(store.Read(kKey, "empty"));
    EXPECT_EQ(store.Read(kKey, "empty")->bytes, "");
}

TEST(SettingsStore, AWriteReplacesTheValueWhateverItsType) {
    TempDir dir;
    SqliteSettingsStore store(dir / "registry.db");
    ASSERT_TRUE(store.Write(kKey, "v", StoredValue::Sz("1")));
    ASSERT_TRUE(store.Write(kKey, "v", StoredValue::Dw(7)));
    auto v = store.Read(kKey, "v");
    EXPECT_EQ(v->type, ValueType::Dword);
    EXPECT_EQ(v->dword, 7);
    ASSERT_TRUE(store.Write(kKey, "v", StoredValue::Sz("back to text")));
    v = store.Read(kKey, "v");
    EXPECT_EQ(v->type, ValueType::String);
    EXPECT_EQ(v->bytes, "back to text");
}

// A file that is no sound database is read as empty and never written over or removed.
TEST(SettingsStore, DamagedFilesAreLeftAlone) {
    TempDir dir;
    const std::string notDb = dir / "text.db";
    const std::string text = "this is not a database, just some text that happens to be here\n";
    testsupport::WriteFile(notDb, text);

    // A real store with enough in it to span several pages, cut in the middle.
    const std::string cut = dir / "cut.db";
    {
        SqliteSettingsStore full(cut);
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(full.Write(kKey, "value" + std::to_string(i),
                                   StoredValue::Sz(std::string(100, 'x'))));
        }
    }
    const std::string whole = testsupport::ReadFile(cut);
    ASSERT_GT(whole.size(), 8192u);
    const std::string half = whole.substr(0, whole.size() / 2 + 100);
    testsupport::WriteFile(cut, half);

    for (const auto& [path, bytes] : {std::pair{notDb, text}, std::pair{cut, half}}) {
        SqliteSettingsStore store(path);
        EXPECT_FALSE(store.Write(kKey, "value199", StoredValue::Dw(1))) << path;
        EXPECT_FALSE(store.Write("New\\Key", "n", StoredValue::Sz("x"))) << path;
        EXPECT_EQ(testsupport::ReadFile(path), bytes) << path;
    }
    SqliteSettingsStore store(notDb);
    EXPECT_FALSE(store.Read(kKey, "value1"));
    EXPECT_FALSE(store.KeyExists(kKey));
}

TEST(SettingsStore, AStoreWithoutWriteRightIsReadButNeverChanged) {
    if (!testsupport::CanTestRefusals()) {
        GTEST_SKIP() << testsupport::kCannotTestRefusals;
    }
    TempDir dir;
    const std::string path = dir / "registry.db";
    {
        SqliteSettingsStore store(path);
        ASSERT_TRUE(store.Write(kKey, "PGSpoolOnOff", StoredValue::Dw(1)));
    }
    chmod(path.c_str(), 0644);
    const std::string before = testsupport::ReadFile(path);
    const int code = testsupport::RunInChild(
        [&] {
            SqliteSettingsStore store(path);
            if (store.Write(kKey, "PGSpoolOnOff", StoredValue::Dw(2))) {
                return 1;
            }
            const auto v = store.Read(kKey, "PGSpoolOnOff");
            return v && v->dword == 1 ? 0 : 2;
        },
        true);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(testsupport::ReadFile(path), before);

    // A folder without write right: the store cannot even be created.
    const std::string locked = dir / "locked";
    mkdir(locked.c_str(), 0755);
    EXPECT_EQ(testsupport::RunInChild(
                  [&] {
                      SqliteSettingsStore store(locked + "/registry.db");
                      return store.Write(kKey, "x", StoredValue::Dw(1)) ? 1 : 0;
                  },
                  true),
              0);
    EXPECT_FALSE(testsupport::Exists(locked + "/registry.db"));
}

TEST(SettingsStore, SeveralProcessesWritingAtOnceLoseNothing) {
    TempDir dir;
    const std::string path = dir / "registry.db";
    constexpr int kProcesses = 4;
    constexpr int kWrites = 60;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            SqliteSettingsStore store(path);
            int failures = 0;
            for (int i = 0; i < kWrites; ++i) {
                const std::string name = ValueName(p, i);
                failures += store.Write(kKey, name, StoredValue::Dw(p * 1000 + i)) ? 0 : 1;
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    SqliteSettingsStore store(path);
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kWrites; ++i) {
            const auto v = store.Read(kKey, ValueName(p, i));
            ASSERT_TRUE(v) << p << "/" << i;
            EXPECT_EQ(v->dword, p * 1000 + i);
        }
    }
}

// A writer killed inside its transaction leaves its journal behind. Whoever may write the store
// rolls it back and reads the value from before; whoever may not learns that the read failed,
// which is not the same as a missing value.
TEST(SettingsStore, ACrashedWriterIsRolledBackWhereReadersMayWrite) {
    TempDir dir;
    const std::string path = dir / "registry.db";
    SqliteSettingsStore store(path, 200);
    ASSERT_TRUE(store.Write(kKey, "TessarovenStatus", StoredValue::Dw(0)));
    chmod(dir.Path().c_str(), 0755);
    chmod(path.c_str(), 0644);
    const int killed = testsupport::RunInChild([&] {
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        // A cache of one page makes SQLite write into the file before the commit.
        sqlite3_exec(db, "PRAGMA cache_size=1; BEGIN; UPDATE reg_value SET data = 2;", nullptr,
                     nullptr, nullptr);
        for (int i = 0; i < 200; ++i) {
            sqlite3_exec(db,
                         "INSERT INTO reg_value VALUES('k', hex(randomblob(8)), 3, zeroblob(4000))",
                         nullptr, nullptr, nullptr);
        }
        raise(SIGKILL);
        return 0;
    });
    ASSERT_EQ(killed, -1);
    ASSERT_TRUE(testsupport::Exists(path + "-journal"));
    StoredValue value;
    if (testsupport::CanTestRefusals()) {
        EXPECT_EQ(testsupport::RunInChild(
                      [&] {
                          return store.ReadValue(kKey, "TessarovenStatus", value) ==
                                         platform::SettingsStore::ReadResult::Failed
                                     ? 0
                                     : 1;
                      },
                      true),
                  0);
    }
    ASSERT_EQ(store.ReadValue(kKey, "TessarovenStatus", value),
              platform::SettingsStore::ReadResult::Found);
    EXPECT_EQ(value.dword, 0);
    EXPECT_EQ(store.ReadValue(kKey, "Absent", value), platform::SettingsStore::ReadResult::Missing);
}
