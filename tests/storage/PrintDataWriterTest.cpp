#include <gtest/gtest.h>
#include <sqlite3.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/Host.h"
#include "platform/sqlite/SqliteSettingsStore.h"
#include "storage/PrintDataFiles.h"
#include "storage/PrintDataFixture.h"

using testsupport::CapturingSink;
using testsupport::TempDir;

namespace {

CompletedJob ExampleJob() {
    CompletedJob job;
    job.jobId = 7;
    job.time = {2006, 10, 0, 15, 12, 34, 56, 0};
    job.printerName = "P";
    job.machineName = "\\\\PC1";
    job.userName = "u";
    job.totalPages = 3;
    job.pagesPrinted = 3;
    job.copies = 2;
    return job;
}

struct Fixture : testsupport::PrintDataFixture {
    std::int32_t Counter(const char* name) {
        return reg.GetRegInteger(kHkeyCurrentUser, kPerUserKey, name);
    }
};

}  // namespace

TEST(RecordWriter, StoresTheRecordByteForByte) {
    Fixture f;
    f.Write(ExampleJob());
    EXPECT_EQ(f.files.DataFilePath(), f.data / "PrintData_alice@PC1.dat");
    EXPECT_EQ(testsupport::ReadFile(f.data / "PrintData_alice@PC1.dat"),
              "7,20061015123456,P,\\\\PC1,u,6,6\r\r\n");

    CompletedJob second = ExampleJob();
    second.jobId = 8;
    second.time = {987, 1, 0, 2, 3, 4, 5, 0};
    second.totalPages = -1;
    second.pagesPrinted = 0;
    second.copies = 1;
    second.machineName = "\\\\PC2";
    f.Write(second);
    // The reader takes the time from fixed places: a year before 1000 keeps four digits.
    EXPECT_EQ(testsupport::ReadFile(f.data / "PrintData_alice@PC1.dat"),
              "7,20061015123456,P,\\\\PC1,u,6,6\r\r\n8,09870102030405,P,\\\\PC2,u,-1,0\r\r\n");
    EXPECT_EQ(f.ReadAll(f.data / "PrintData_alice@PC1.dat")[1].time, second.time);
}

// Names come from the spooler, which takes any text a client sends.
TEST(RecordWriter, NamesCannotSplitOrForgeARecord) {
    Fixture f;
    CompletedJob job = ExampleJob();
    job.printerName = "Floor,2";
    job.machineName = "\\\\PC9";
    job.userName = "x,y z\r\n9,20991231235959,P,\\\\PC1,boss,1,1";
    f.Write(job);
    const std::string stored = testsupport::ReadFile(f.data / "PrintData_alice@PC1.dat");
    EXPECT_EQ(
        stored,
        "7,20061015123456,Floor_2,\\\\PC9,x_y z__9_20991231235959_P_\\\\PC1_boss_1_1,6,6\r\r\n");

    f.files.AcquireRecordLock();
    ASSERT_TRUE(f.files.ReadPrintRecord(true, f.data / "PrintData_alice@PC1.dat"));
    EXPECT_EQ(f.files.LastRead().jobId, 7);
    EXPECT_EQ(f.files.LastRead().printerName, "Floor_2");
    EXPECT_EQ(f.files.LastRead().pagesPrintedTimesCopies, 6);
    EXPECT_FALSE(f.files.ReadPrintRecord(false, ""));
    f.files.ReleaseRecordLock();
}

TEST(RecordWriter, PageProductsStayWithinThirtyTwoBits) {
    CompletedJob job = ExampleJob();
    job.totalPages = 100000;
    job.pagesPrinted = -100000;
    job.copies = 100000;
    const std::string line = FormatPrintRecord(job);
    EXPECT_NE(line.find(",2147483647,-2147483648\r\r\n"), std::string::npos) << line;
}

TEST(RecordWriter, CountersFollowOnlyJobsFromThisComputer) {
    Fixture f;
    f.reg.SetRegInteger(kHkeyCurrentUser, kPerUserKey, "PagesPrinted", 10);
    f.reg.SetRegInteger(kHkeyCurrentUser, kPerUserKey, "SheetsPrinted", 4);
    CompletedJob job = ExampleJob();
    job.pagesPrinted = 5;
    job.copies = 1;
    job.printerName = "Laser";
    f.Write(job);
    EXPECT_EQ(f.Counter("PagesPrinted"), 15);
    EXPECT_EQ(f.Counter("SheetsPrinted"), 15);
    EXPECT_EQ(f.reg.GetRegString(kHkeyCurrentUser, kPerUserKey, "PrinterName"), "Laser");

    // Another computer, or this one's name in another case, is not this computer.
    for (const char* machine : {"\\\\PC2", "\\\\pc1", "PC1"}) {
        job.machineName = machine;
        job.printerName = "Other";
        f.Write(job);
    }
    EXPECT_EQ(f.Counter("PagesPrinted"), 15);
    EXPECT_EQ(f.reg.GetRegString(kHkeyCurrentUser, kPerUserKey, "PrinterName"), "Laser");
    const std::string stored = testsupport::ReadFile(f.files.DataFilePath());
    EXPECT_EQ(std::count(stored.begin(), stored.end(), '\n'), 4);
}

TEST(RecordWriter, MissingCountersStartFromZero) {
    Fixture f;
    CompletedJob job = ExampleJob();
    job.pagesPrinted = 5;
    job.copies = 1;
    f.Write(job);
    EXPECT_EQ(f.Counter("PagesPrinted"), 5);
    EXPECT_EQ(f.Counter("SheetsPrinted"), 5);
}

TEST(RecordWriter, WithoutADataDirectoryOnlyTheCountersChange) {
    Fixture f;
    f.files.SetDataDirectory("");
    f.Write(ExampleJob());
    EXPECT_EQ(f.Counter("PagesPrinted"), 6);
    EXPECT_TRUE(f.sink.Messages().empty());
    EXPECT_FALSE(testsupport::Exists(f.data / "PrintData_alice@PC1.dat"));
}

// A folder that cannot be reached loses nothing: the records wait on this computer, in order,
// through a restart of the program, and reach the folder once each when it is back. The user
// hears of it once, not once per job.
TEST(RecordWriter, AFolderThatCannotBeReachedKeepsTheRecordsUntilItIsBack) {
    TempDir state;
    const std::string store = state / "tessaroven/waiting-records";
    const std::string gone = TempDir().Path();  // removed again at once
    std::string expected;
    {
        Fixture f;
        f.files.SetPendingStore(store);
        f.files.SetDataDirectory(gone);
        for (int id = 1; id <= 3; ++id) {
            CompletedJob job = ExampleJob();
            job.jobId = id;
            f.Write(job);
            expected += FormatPrintRecord(job);
        }
        const auto messages = f.sink.Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text,
                  "データファイル格納ディレクトリ " + gone + " に書き込めません (" +
                      platform::SystemErrorText(ENOENT) +
                      ")。印刷データはこのコンピュータに保管し、書き込めるようになりしだい書き込み"
                      "ます。");
        EXPECT_EQ(messages[0].caption, "Tessaroven Error");
        EXPECT_EQ(messages[0].flag, 48);
        EXPECT_EQ(f.Counter("PagesPrinted"), 18);  // the jobs are counted all the same
        EXPECT_EQ(f.files.PendingRecordCount(), 3u);
        EXPECT_FALSE(testsupport::Exists(gone));
    }
    // The next start finds the folder back.
    ASSERT_TRUE(platform::MakeDirectoryPath(gone));
    Fixture f;
    f.files.SetDataDirectory(gone);
    f.files.SetPendingStore(store);
    CompletedJob job = ExampleJob();
    job.jobId = 4;
    f.Write(job);
    expected += FormatPrintRecord(job);
    EXPECT_EQ(testsupport::ReadFile(f.files.DataFilePath()), expected);
    EXPECT_EQ(testsupport::ReadFile(store), "");
    EXPECT_TRUE(f.sink.Messages().empty());
    std::filesystem::remove_all(gone);
}

// The program may die between writing records to the folder and forgetting them here: what
// the data file already ends with is not written again, what it lacks is.
TEST(RecordWriter, RecordsWrittenBeforeACrashAreNotWrittenTwice) {
    Fixture f;
    TempDir state;
    const std::string path = f.data / "PrintData_alice@PC1.dat";
    const std::string a = "1,20061015123456,P,\\\\PC1,u,6,6\r\r\n";
    const std::string b = "2,20061015123457,P,\\\\PC1,u,6,6\r\r\n";
    const std::string c = "3,20061015123458,P,\\\\PC1,u,6,6\r\r\n";
    testsupport::WriteFile(path, c + a + b);
    // A path with a tab (where file names may hold one) and a percent sign in it survives the
    // local file, too.
#ifdef _WIN32
    const std::string odd = f.data / "x%y.dat";
    const std::string oddStored = f.data.Path() + "/x%25y.dat";
#else
    const std::string odd = f.data / "x\t%y.dat";
    const std::string oddStored = f.data.Path() + "/x%09%25y.dat";
#endif
    testsupport::WriteFile(state / "waiting", path + "\t" + a + path + "\t" + b + path + "\t" + c +
                                                  oddStored + "\t" + a + "torn");
    testsupport::WriteFile(odd, "10" + a);  // ends in a, but not as a line of its own
    f.files.SetPendingStore(state / "waiting");
    ASSERT_TRUE(f.files.Pending().WaitUntilWritten(std::chrono::seconds(5)));
    EXPECT_EQ(testsupport::ReadFile(path), c + a + b + c);
    EXPECT_EQ(testsupport::ReadFile(odd), "10" + a + a);
    EXPECT_EQ(testsupport::ReadFile(state / "waiting"), "");
}

// Another computer's purge is not held off by our lock: it may replace the file with a copy that
// lacks records we wrote after it read (or, through some network clients, leave no file at all
// for a moment). Records written after that must not hide it: the writer compares the file
// with what it wrote lately and writes what is missing again, once.
TEST(RecordWriter, RecordsAPurgeElsewhereDroppedAreWrittenAgainOnce) {
    for (const std::string purge :
         {"a copy without the first two", "no file at all", "the first two kept aside"}) {
        Fixture f;
        const std::string path = f.files.DataFilePath();
        auto job = [](int id) {
            CompletedJob j = ExampleJob();
            j.jobId = id;
            return j;
        };
        for (int id = 1; id <= 3; ++id) {
            f.Write(job(id));
        }
        ASSERT_TRUE(f.files.Pending().WaitUntilWritten(std::chrono::seconds(5)));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a first look found all
        // The other computer's rename, which takes no lock of ours.
        if (purge == "no file at all") {
            ASSERT_TRUE(std::filesystem::remove(std::filesystem::path(path)));
        } else {
            const std::string copy = f.data / "copy";
            testsupport::WriteFile(copy, FormatPrintRecord(job(3)));
            std::filesystem::rename(std::filesystem::path(copy), std::filesystem::path(path));
        }
        if (purge == "the first two kept aside") {  // where that purge could not put them back
            testsupport::WriteFile(KeptCopyPath(path, 1),
                                   FormatPrintRecord(job(1)) + FormatPrintRecord(job(2)));
        }
        f.Write(job(4));  // ends the file where our last write is expected
        ASSERT_TRUE(f.files.Pending().WaitUntilWritten(std::chrono::seconds(5)));
        auto all = [&] {
            std::vector<std::int32_t> ids;
            for (const auto& file : ListPrintDataFiles(f.data.Path())) {
                for (const auto id : testsupport::Ids(f.ReadAll(file))) {
                    ids.push_back(id);
                }
            }
            std::sort(ids.begin(), ids.end());
            return ids;
        };
        std::vector<std::int32_t> ids;
        for (int wait = 0; wait < 100 && ids.size() < 4; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ids = all();
        }
        EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 2, 3, 4})) << purge;
        // Later looks find nothing missing and add nothing.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        EXPECT_EQ(all().size(), 4u) << purge;
    }
}

TEST(RecordWriter, UsersSharingADirectoryWriteTheirOwnFiles) {
    Fixture f;
    CapturingSink sink;
    PrintDataFiles bob(f.reg, sink);
    bob.SetNames("PC1", "bob");
    bob.SetDataDirectory(f.data.Path() + "/");
    f.Write(ExampleJob());
    bob.completedJob = ExampleJob();
    bob.WritePrintRecord();
    EXPECT_EQ(ListPrintDataFiles(f.data.Path()),
              (std::vector<std::string>{f.data / "PrintData_alice@PC1.dat",
                                        f.data / "PrintData_bob@PC1.dat"}));
}

// Two computers never write one file, whatever their names hold; every reader still lists it.
TEST(RecordWriter, EachUserAndComputerHaveAFileOfTheirOwn) {
    EXPECT_EQ(PrintDataFileName("alice", "PC1"), "PrintData_alice@PC1.dat");
    // Without the escapes these two pairs would meet in "PrintData_a@b@c.dat".
    EXPECT_NE(PrintDataFileName("a@b", "c"), PrintDataFileName("a", "b@c"));
    EXPECT_EQ(PrintDataFileName("../x/y", "p\\c:1"), "PrintData_..%2Fx%2Fy@p%5Cc%3A1.dat");
    EXPECT_EQ(PrintDataFileName("田中", ""), "PrintData_田中@.dat");
    const std::string longA = PrintDataFileName(std::string(300, 'a') + "1", "PC1");
    const std::string longB = PrintDataFileName(std::string(300, 'a') + "2", "PC1");
    EXPECT_LE(longA.size(), 255u);
    EXPECT_NE(longA, longB);
    Fixture f;
    f.files.SetNames("PC1", "a/b%");
    f.Write(ExampleJob());
    EXPECT_EQ(ListPrintDataFiles(f.data.Path()),
              std::vector<std::string>{f.data / "PrintData_a%2Fb%25@PC1.dat"});
}

TEST(RecordWriter, ConcurrentWatchersLeaveWholeLines) {
    Fixture f;
    constexpr int kThreads = 8;
    constexpr int kJobs = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kJobs; ++i) {
                CompletedJob job = ExampleJob();
                job.jobId = t * 1000 + i + 1;
                job.printerName = "Printer-" + std::to_string(t);
                job.machineName = "\\\\PC2";
                f.Write(job);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::vector<int> seen(kThreads, 0);
    const auto records = f.ReadAll(f.files.DataFilePath());
    for (const PrintRecord& r : records) {
        ASSERT_GT(r.jobId, 0);
        const int t = r.jobId / 1000;
        ASSERT_EQ(r.printerName, "Printer-" + std::to_string(t));
        EXPECT_EQ(r.jobId % 1000, ++seen[t]);  // each watcher's records in its own order
    }
    EXPECT_EQ(records.size(), static_cast<size_t>(kThreads * kJobs));
}

TEST(DataDirectory, DefaultsUnderTheCommonFolderAndIsWrittenBack) {
    Fixture f;
    f.files.EstablishDataDirectory(f.data / "common");
    EXPECT_EQ(f.files.DataDirectory(), f.data / "common/Tessaroven");
    EXPECT_TRUE(platform::IsDirectory(f.data / "common/Tessaroven"));
    EXPECT_EQ(f.reg.GetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory"),
              f.data / "common/Tessaroven");
}

TEST(DataDirectory, AStoredFolderIsUsedAndCreatedWithItsParents) {
    Fixture f;
    f.reg.SetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory", f.data / "x/y/z");
    f.files.EstablishDataDirectory(f.data / "common");
    EXPECT_EQ(f.files.DataDirectory(), f.data / "x/y/z");
    EXPECT_TRUE(platform::IsDirectory(f.data / "x/y/z"));
    EXPECT_FALSE(testsupport::Exists(f.data / "common"));
}

TEST(DataDirectory, AnExpandableStringIsReplacedByTheDefault) {
    Fixture f;
    f.stores.machine.Write(kSettingsKey, "DataFileDirectory",
                           platform::StoredValue::ExpandSz(f.data / "x"));
    f.files.EstablishDataDirectory(f.data / "common");
    EXPECT_EQ(f.files.DataDirectory(), f.data / "common/Tessaroven");
    const auto stored = f.stores.machine.Read(kSettingsKey, "DataFileDirectory");
    EXPECT_EQ(stored->type, platform::ValueType::String);
    EXPECT_EQ(stored->bytes, f.data / "common/Tessaroven");
}

// A settings store another process keeps busy at start is no missing setting: the configured
// folder is not overwritten with the default, and the user is told.
TEST(DataDirectory, ABusyStoreKeepsTheConfiguredFolder) {
    Fixture f;
    platform::SqliteSettingsStore machine(f.stores.dir / "busy.db", 100);
    Registry reg(machine, f.stores.user);
    reg.SetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory", f.data / "configured");
    PrintDataFiles files(reg, f.sink);
    {
        testsupport::ChildHolding writer([&] {
            sqlite3* db = nullptr;
            sqlite3_open(machine.Path().c_str(), &db);
            sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
        });
        files.EstablishDataDirectory(f.data / "common");
    }
    EXPECT_EQ(reg.GetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory"),
              f.data / "configured");
    EXPECT_EQ(files.DataDirectory(), f.data / "common/Tessaroven");
    ASSERT_EQ(f.sink.Messages().size(), 1u);
    EXPECT_EQ(f.sink.Messages()[0].flag, 48);
    EXPECT_EQ(f.sink.Messages()[0].text,
              "設定 DataFileDirectory を読み取れませんでした (設定の保存先が使用中か壊れています)。"
              "プログラムを次に起動するまで、印刷データは " +
                  f.data / "common/Tessaroven" + " に記録します。");
}

#ifndef _WIN32
// Two monitors of one user (two sessions) add to the same counters at the same time (in the
// settings database; the registry's updates are tried in the Windows platform tests).
TEST(RecordWriter, CountersOfTwoMonitorsAddUp) {
    Fixture f;
    constexpr int kJobs = 150;
    std::vector<pid_t> monitors;
    for (int p = 0; p < 2; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            f.files.SetDataDirectory("");
            CompletedJob job = ExampleJob();
            job.copies = 1;
            job.pagesPrinted = 1;
            for (int i = 0; i < kJobs; ++i) {
                f.Write(job);
            }
            _exit(0);
        }
        monitors.push_back(pid);
    }
    for (pid_t pid : monitors) {
        waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(f.Counter("PagesPrinted"), 2 * kJobs);
    EXPECT_EQ(f.Counter("SheetsPrinted"), 2 * kJobs);
}
#endif
