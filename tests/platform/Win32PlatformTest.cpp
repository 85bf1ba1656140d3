// The Windows platform layer against the real system calls (run under Wine here, where the
// registry, mutexes, files and locks are real but locks are advisory and everyone is an
// administrator).

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <thread>

#include "platform/InstanceLock.h"
#include "platform/SharedFile.h"
#include "platform/win32/RegistrySettingsStore.h"
#include "platform/win32/Wide.h"
#include "storage/DiagnosticLog.h"
#include "storage/PrintDataFixture.h"
#include "support/TestSupport.h"

using namespace testsupport;
using platform::SharedFile;
using platform::StoredValue;
using platform::ValueType;

namespace {

std::string UniqueName(const char* prefix) {
    std::mt19937 random{std::random_device{}()};
    return prefix + std::to_string(random() % 1000000000);
}

// A key of its own under HKEY_CURRENT_USER, removed at the end.
struct TestKey {
    std::string path = UniqueName("Software\\TessarovenTest\\k");
    ~TestKey() { RegDeleteTreeW(HKEY_CURRENT_USER, platform::win32::Wide(path).c_str()); }
};

}  // namespace

TEST(Win32Registry, KeepsEveryTypeAndUpdatesAtomically) {
    TestKey key;
    platform::RegistrySettingsStore store(HKEY_CURRENT_USER, key.path);
    StoredValue value;
    EXPECT_EQ(store.ReadValue("Settings", "DataFileDirectory", value),
              platform::SettingsStore::ReadResult::Missing);
    EXPECT_FALSE(store.KeyExists("Settings"));

    ASSERT_TRUE(store.Write("Settings", "DataFileDirectory", StoredValue::Sz("C:\\データ\\印刷")));
    ASSERT_TRUE(store.Write("Settings", "Path", StoredValue::ExpandSz("%ProgramData%\\x")));
    ASSERT_TRUE(store.Write("Settings", "Blob", {ValueType::Binary, std::string("a\0b", 3), 0}));
    ASSERT_TRUE(store.Write("Settings", "PGSpoolOnOff", StoredValue::Dw(-2)));
    EXPECT_TRUE(store.KeyExists("settings"));  // names without case, as the registry has them
    ASSERT_EQ(store.ReadValue("SETTINGS", "datafiledirectory", value),
              platform::SettingsStore::ReadResult::Found);
    EXPECT_EQ(value.type, ValueType::String);
    EXPECT_EQ(value.bytes, "C:\\データ\\印刷");
    ASSERT_TRUE(store.Read("Settings", "Path"));
    EXPECT_EQ(store.Read("Settings", "Path")->type, ValueType::ExpandString);
    EXPECT_EQ(store.Read("Settings", "Blob")->bytes, std::string("a\0b", 3));
    EXPECT_EQ(store.Read("Settings", "PGSpoolOnOff")->dword, -2);
    // A type the program does not keep reads as missing.
    HKEY raw = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_CURRENT_USER, platform::win32::Wide(key.path + "\\Settings").c_str(), 0,
                      KEY_SET_VALUE, &raw),
        ERROR_SUCCESS);
    const wchar_t multi[] = L"a\0b\0";
    RegSetValueExW(raw, L"Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi),
                   sizeof multi);
    RegCloseKey(raw);
    EXPECT_EQ(store.ReadValue("Settings", "Multi", value),
              platform::SettingsStore::ReadResult::Missing);

    // Counters several writers add to lose nothing.
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&] {
            platform::RegistrySettingsStore own(HKEY_CURRENT_USER, key.path);
            for (int i = 0; i < 50; ++i) {
                own.Update("Counters", {"Pages"}, [](const auto& current) {
                    const int n = current[0] ? current[0]->dword : 0;
                    return platform::SettingsStore::NamedValues{{"Pages", StoredValue::Dw(n + 1)}};
                });
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    EXPECT_EQ(store.Read("Counters", "Pages")->dword, 200);
}

TEST(Win32InstanceLock, OneHolderPerSession) {
    const std::string name = UniqueName("TessarovenTest");
    platform::InstanceLock first;
    platform::InstanceLock second;
    EXPECT_EQ(platform::InstanceLock::Probe(name), platform::InstanceLock::Holder::Nobody);
    ASSERT_TRUE(first.Acquire(name));
    EXPECT_FALSE(second.Acquire(name));
    EXPECT_EQ(second.Error(), 0);  // someone holds it, which is no failure
    EXPECT_EQ(platform::InstanceLock::Probe(name), platform::InstanceLock::Holder::Someone);
    first.Release();
    EXPECT_TRUE(second.Acquire(name));
}

TEST(Win32SharedFile, AppendsWholeLinesLocksPastTheEndAndRefusesFolders) {
    TempDir dir;
    const std::string path = dir / "PrintData_amy.dat";
    // Two writers append at once, each line under the file's lock as the record writer takes
    // it: every line lands whole. (Wine's appends without the lock are not atomic between
    // handles: a third of such runs lost lines here.)
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                SharedFile file;
                bool created = false;
                ASSERT_TRUE(file.OpenForAppending(path, created));
                ASSERT_EQ(file.Lock(std::chrono::seconds(5)), SharedFile::LockResult::Locked);
                ASSERT_TRUE(file.WriteAll(std::string(40, static_cast<char>('a' + t)) + "\r\r\n"));
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    const std::string all = ReadFile(path);
    ASSERT_EQ(all.size(), 400u * 43);
    for (size_t at = 0; at < all.size(); at += 43) {
        EXPECT_EQ(all.substr(at, 40), std::string(40, all[at])) << at;
    }

    // The lock keeps a second writer out, never a reader.
    SharedFile holder;
    bool created = false;
    ASSERT_TRUE(holder.OpenForAppending(path, created));
    ASSERT_EQ(holder.Lock(std::chrono::milliseconds(0)), SharedFile::LockResult::Locked);
    SharedFile other;
    ASSERT_TRUE(other.OpenForAppending(path, created));
    EXPECT_EQ(other.Lock(std::chrono::milliseconds(50)), SharedFile::LockResult::TimedOut);
    SharedFile reader;
    ASSERT_TRUE(reader.OpenForReading(path));
    char head[4] = {};
    EXPECT_EQ(reader.Read(head, sizeof head), 4);
    EXPECT_EQ(reader.Size(), static_cast<std::int64_t>(all.size()));
    holder.Close();
    EXPECT_EQ(other.Lock(std::chrono::milliseconds(0)), SharedFile::LockResult::Locked);

    // Anything but a regular file under a record file's name is refused. (Links are reparse
    // points on Windows, refused the same way; Wine shows neither its own links nor the system's
    // as reparse points, so that is seen on Windows only.)
    const std::string folder = dir / "PrintData_bob.dat";
    ASSERT_TRUE(CreateDirectoryW(platform::win32::Wide(folder).c_str(), nullptr));
    SharedFile planted;
    EXPECT_FALSE(planted.OpenForAppending(folder, created));
    EXPECT_EQ(errno, EISDIR);
}

TEST(Win32ReplacementFile, ReplacesWholeOrNotAtAll) {
    TempDir dir;
    const std::string target = dir / "PrintData_amy.dat";
    WriteFile(target, "old\r\r\n");
    {
        platform::ReplacementFile out;
        ASSERT_TRUE(out.Create(dir.Path()));
        ASSERT_TRUE(out.WriteAll("new\r\r\n"));
        ASSERT_TRUE(out.Replace(target));
        EXPECT_EQ(out.TemporaryPath(), "");
    }
    EXPECT_EQ(ReadFile(target), "new\r\r\n");
    EXPECT_EQ(platform::RegularFilesIn(dir.Path()), std::vector<std::string>{"PrintData_amy.dat"});

    // While another program holds the file open without sharing its deletion, the replacement
    // fails and leaves the original whole.
    HANDLE reader =
        CreateFileW(platform::win32::Wide(target).c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    {
        platform::ReplacementFile out;
        ASSERT_TRUE(out.Create(dir.Path()));
        ASSERT_TRUE(out.WriteAll("newer\r\r\n"));
        EXPECT_FALSE(out.Replace(target));
        out.Discard();
    }
    CloseHandle(reader);
    EXPECT_EQ(ReadFile(target), "new\r\r\n");
    EXPECT_EQ(platform::RegularFilesIn(dir.Path()).size(), 1u);
}

// New records are written in the ANSI code page (1252 in the tests' C.UTF-8 locale) and read back
// as written; a line with a name that page lacks, or whose bytes would read back as other
// UTF-8, is written in UTF-8.
TEST(Win32RecordFiles, NewRecordsAreInTheAnsiCodePageUnlessThatWouldLoseANameOrMisreadIt) {
    if (GetACP() != 1252) {
        GTEST_SKIP() << "needs code page 1252";
    }
    PrintDataFixture w;
    for (const auto& [id, user] : {std::pair{1, "Müller"}, {2, "Müller山田"}, {3, "Ã¼"}}) {
        CompletedJob job;
        job.jobId = id;
        job.time = {2026, 12, 2, 8, 9, 0, 0, 0};
        job.printerName = "Laser";
        job.machineName = "\\\\PC1";
        job.userName = user;
        job.totalPages = job.pagesPrinted = job.copies = 1;
        w.Write(job);
    }
    const std::string path = w.files.DataFilePath();
    EXPECT_EQ(ReadFile(path),
              "1,20261208090000,Laser,\\\\PC1,M\xfcller,1,1\r\r\n"
              "2,20261208090000,Laser,\\\\PC1,Müller山田,1,1\r\r\n"
              "3,20261208090000,Laser,\\\\PC1,Ã¼,1,1\r\r\n");
    const auto records = w.ReadAll(path);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].userName, "Müller");
    EXPECT_EQ(records[1].userName, "Müller山田");
    EXPECT_EQ(records[2].userName, "Ã¼");
}

// A file named in characters the ANSI code page lacks (1252 in the tests' locale) is reached.
TEST(Win32Files, TheDiagnosticLogIsWrittenUnderAnyName) {
    TempDir dir;
    DiagnosticLog log;
    log.SetFilePath(dir / "ログ.txt");
    log.SetTag("PMON");
    log.SetEnabled(true);
    log.Write(5011, 'E', "printer can not open(5)");
    EXPECT_NE(ReadFile(dir / "ログ.txt").find("EPMON5011 printer can not open(5)\r\n"),
              std::string::npos);
}
