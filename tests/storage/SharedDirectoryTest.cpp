// What other members of a shared data directory can put in it, and how the writer and the reader
// hold up against it.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <clocale>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/PrintDataFiles.h"
#include "storage/PrintDataFixture.h"

using namespace testsupport;

namespace {

CompletedJob Job(std::int32_t id) {
    CompletedJob job;
    job.jobId = id;
    job.time = {2006, 10, 0, 15, 12, 34, 56, 0};
    // (Moved in whole: GCC 12 at -O3 takes assigning short literals here for overlapping copies.)
    job.printerName = std::string("P");
    job.machineName = std::string("\\\\PC2");
    job.userName = std::string("u");
    job.totalPages = job.pagesPrinted = job.copies = 1;
    return job;
}

}  // namespace

#ifndef _WIN32
// A planted name must fail like a missing file: quickly, loudly, and without touching anything
// it points to. The child gives up after a while, so a hang fails the test instead of the suite.
TEST(SharedDirectory, PlantedLinksAndSpecialFilesAreNeitherFollowedNorWaitedOn) {
    PrintDataFixture f;
    const std::string victim = f.data / "victim";
    WriteFile(victim, "private\n");
    const std::string target = f.files.DataFilePath();
    const std::string fifo = f.data / "PrintData_fifo.dat";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    ASSERT_EQ(symlink(fifo.c_str(), (f.data / "PrintData_link.dat").c_str()), 0);
    ASSERT_EQ(mkdir((f.data / "PrintData_dir.dat").c_str(), 0777), 0);

    for (const std::string& planted : {std::string("link"), std::string("fifo")}) {
        unlink(target.c_str());
        if (planted == "link") {
            ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);
        } else {
            ASSERT_EQ(mkfifo(target.c_str(), 0666), 0);
        }
        const int code = RunInChild([&] {
            alarm(10);
            f.Write(Job(1));
            const auto read = f.ReadAll(fifo);
            const auto linked = f.ReadAll(f.data / "PrintData_link.dat");
            const auto messages = f.sink.Messages();
            return read.empty() && linked.empty() && messages.size() == 3 &&
                           messages[0].caption == "Tessaroven Error"
                       ? 0
                       : 1;
        });
        EXPECT_EQ(code, 0) << planted;
    }
    EXPECT_EQ(ReadFile(victim), "private\n");
    // The listing offers none of them to the log, the totals, the statistics or the purge.
    WriteFile(f.data / "PrintData_real.dat", "");
    EXPECT_EQ(ListPrintDataFiles(f.data.Path()),
              std::vector<std::string>{f.data / "PrintData_real.dat"});
}
#endif

// However long the names CUPS hands over, the record stays within the 255 bytes the reader takes
// as one line, cut between characters (the longest names first), and reads back whole. A line
// left without its end before it is ended first, not glued to the new record.
TEST(SharedDirectory, EveryRecordTheWriterMakesReadsBack) {
    PrintDataFixture f;
    WriteFile(f.files.DataFilePath(), "1,20061015123456,P,M,u,3,3");
    CompletedJob job = Job(2);
    job.printerName = std::string(40, 'p');
    job.machineName = "\\\\" + std::string(200, 'm');
    job.userName.clear();
    for (int i = 0; i < 100; ++i) {
        job.userName += "ユ";  // three bytes each
    }
    job.pagesPrinted = 7;
    f.Write(job);

    const std::string stored = ReadFile(f.files.DataFilePath());
    EXPECT_EQ(stored.size() - stored.find('\n') - 1, 253u);  // 255 less a split character
    const auto records = f.ReadAll(f.files.DataFilePath());
    ASSERT_EQ(Ids(records), (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(records[0].pagesPrintedTimesCopies, 3);
    EXPECT_EQ(records[1].pagesPrintedTimesCopies, 7);
    EXPECT_EQ(records[1].printerName, job.printerName);
    EXPECT_EQ(records[1].machineName, job.machineName.substr(0, 94));
    EXPECT_EQ(records[1].userName, job.userName.substr(0, 93));
}

// Whoever holds a data file's lock cannot stop the monitor: after a bounded wait the record is
// written all the same, and the wait is noted.
TEST(SharedDirectory, AHeldLockDelaysTheWriterOnlySoLong) {
    PrintDataFixture f;
    WriteFile(f.files.DataFilePath(), FormatPrintRecord(Job(1)));
    std::vector<std::string> notes;
    f.files.SetDiagnostics([&](const std::string& text) { notes.push_back(text); });
    f.files.SetLockWait(std::chrono::milliseconds(300));
    std::chrono::steady_clock::duration took{};
    {
        ChildHolding other([&] {
            auto* held = new platform::SharedFile;  // held until the child is ended
            held->OpenForUpdate(f.files.DataFilePath());
            held->Lock(std::chrono::milliseconds(0));
        });
        const auto start = std::chrono::steady_clock::now();
        f.Write(Job(2));
        took = std::chrono::steady_clock::now() - start;
    }
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::seconds(3));
    f.Write(Job(3));  // a free lock is taken without a note
    EXPECT_EQ(Ids(f.ReadAll(f.files.DataFilePath())), (std::vector<std::int32_t>{1, 2, 3}));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("job 2"), std::string::npos) << notes[0];
}

#ifndef _WIN32
// Members of a shared folder must be able to append to and purge each other's files, whatever
// umask the creating user has.
TEST(SharedDirectory, FilesOfASharedFolderAreCreatedGroupWritable) {
    PrintDataFixture f;
    const mode_t oldMask = umask(022);
    chmod(f.data.Path().c_str(), 02775);
    f.Write(Job(1));
    chmod(f.data.Path().c_str(), 0755);
    f.files.SetNames("PC1", "private");
    f.Write(Job(2));
    umask(oldMask);
    struct stat st {};
    ASSERT_EQ(stat((f.data / "PrintData_alice@PC1.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664u);
    ASSERT_EQ(stat((f.data / "PrintData_private@PC1.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

// Through a client that refuses appending opens, each write seeks to the end under the file's
// lock: monitors of one user in several sessions (processes) still leave every record whole, each
// session's in its order, none over another.
TEST(SharedDirectory, WithoutAppendingOpensRecordsLandWholeAndInOrder) {
    TempDir shared;
    platform::RefuseAppendingOpensIn(shared.Path());
    {
        platform::SharedFile probe;
        bool created = false;
        ASSERT_TRUE(probe.OpenForAppending(shared / "probe", created));
        EXPECT_TRUE(probe.AppendsBySeeking());
    }
    constexpr int kSessions = 4;
    constexpr int kJobs = 60;
    std::vector<pid_t> children;
    for (int s = 0; s < kSessions; ++s) {
        const pid_t pid = fork();
        if (pid == 0) {
            PrintDataFixture f;
            f.files.SetDataDirectory(shared.Path());
            for (int i = 1; i <= kJobs; ++i) {
                CompletedJob job = Job(s * 1000 + i);
                job.printerName = "Printer-" + std::to_string(s);
                f.Write(job);
            }
            _exit(f.files.Pending().WaitUntilWritten(std::chrono::seconds(20)) ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    platform::RefuseAppendingOpensIn("");
    PrintDataFixture reader;
    const auto records = reader.ReadAll(shared / "PrintData_alice@PC1.dat");
    std::vector<int> seen(kSessions, 0);
    for (const PrintRecord& r : records) {
        ASSERT_GT(r.jobId, 0) << "a torn or overwritten line";
        const int s = r.jobId / 1000;
        ASSERT_EQ(r.printerName, "Printer-" + std::to_string(s));
        EXPECT_EQ(r.jobId % 1000, ++seen[s]);
    }
    EXPECT_EQ(records.size(), static_cast<size_t>(kSessions * kJobs));
}

// In a print server's data folder (setgid and sticky) each writer's records are its own: a
// member reads them but can neither replace, empty nor remove another's file; a file someone
// else put under a writer's name is reported and not written to until an administrator gives it
// back.
TEST(SharedDirectory, InAProtectedFolderNoMemberCanTouchAnothersRecords) {
    if (!CanTestRefusals()) {
        GTEST_SKIP() << kCannotTestRefusals;
    }
    constexpr unsigned kMember = 65534;
    PrintDataFixture f;
    std::vector<std::string> notes;
    std::mutex notesMutex;
    f.files.SetDiagnostics([&](const std::string& text) {
        std::lock_guard lock(notesMutex);
        notes.push_back(text);
    });
    f.files.SetWriteWait(std::chrono::milliseconds(500));
    ASSERT_EQ(chown(f.data.Path().c_str(), 0, kMember), 0);
    ASSERT_EQ(chmod(f.data.Path().c_str(), 03775), 0);
    const mode_t oldMask = umask(002);
    f.Write(Job(1));
    umask(oldMask);
    const std::string alice = f.data / "PrintData_alice@PC1.dat";
    struct stat st {};
    ASSERT_EQ(stat(alice.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "only its owner writes a file of a protected folder";

    const std::string planted = f.data / "planted.dat";
    const int member = RunInChildAs(kMember, kMember, {kMember}, [&] {
        char byte = 0;
        const int fd = open(alice.c_str(), O_RDONLY);
        if (fd < 0 || read(fd, &byte, 1) != 1) {
            return 10;  // a member reads every file
        }
        close(fd);
        if (open(alice.c_str(), O_WRONLY | O_TRUNC) >= 0) {
            return 11;
        }
        const int made = open(planted.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (made < 0 || write(made, "x\n", 2) != 2) {
            return 12;  // a member adds files of its own
        }
        close(made);
        if (rename(planted.c_str(), alice.c_str()) == 0 || unlink(alice.c_str()) == 0) {
            return 13;
        }
        // Made before bob's monitor first writes: bob's name, the member's file.
        const int bob =
            open((f.data / "PrintData_bob@PC1.dat").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        return bob >= 0 && fchmod(bob, 0666) == 0 ? 0 : 14;
    });
    EXPECT_EQ(member, 0);
    EXPECT_EQ(f.ReadAll(alice).size(), 1u);

    f.files.SetNames("PC1", "bob");
    f.Write(Job(2));
    EXPECT_EQ(f.files.PendingRecordCount(), 1u) << "written into a file another member owns";
    {
        std::lock_guard lock(notesMutex);
        ASSERT_FALSE(notes.empty());
        EXPECT_NE(notes.back().find("belongs to nobody"), std::string::npos) << notes.back();
    }
    const std::string bob = f.data / "PrintData_bob@PC1.dat";
    ASSERT_EQ(chown(bob.c_str(), 0, kMember), 0);  // an administrator gives it back
    f.files.RetryPendingRecords();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (f.files.PendingRecordCount() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(f.ReadAll(bob).size(), 1u);
    ASSERT_EQ(stat(bob.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0022, 0u) << "a file that was writable by others is made our own";
}
#endif
