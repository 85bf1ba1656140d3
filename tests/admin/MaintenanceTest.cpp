#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "admin/PrintDataMaintenance.h"
#include "storage/PrintDataFixture.h"

using namespace testsupport;

namespace {

struct Maintenance : PrintDataFixture {
    void File(const std::string& user, const std::string& lines) {
        WriteFile(data / ("PrintData_" + user + ".dat"), lines);
    }
    std::string Read(const std::string& user) {
        return ReadFile(data / ("PrintData_" + user + ".dat"));
    }
    DataStatistics Scan() {
        files.AcquireRecordLock();
        const auto stats = ScanDataStatistics(files, data.Path());
        files.ReleaseRecordLock();
        return stats;
    }
    PurgeReport Purge(int year, int month, const PurgeFaults* faults = nullptr) {
        files.AcquireRecordLock();
        const auto report = PurgePrintData(files, data.Path(), year * 12 + month, sink, faults);
        files.ReleaseRecordLock();
        return report;
    }
    // Names in the data directory other than the print data files (left-over temporary files).
    std::vector<std::string> Strays() {
        std::vector<std::string> names;
        DIR* d = opendir(data.Path().c_str());
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && name.rfind("PrintData_", 0) != 0) {
                names.push_back(name);
            }
        }
        closedir(d);
        return names;
    }
};

const std::string kMarch = "1,20060305101010,P,\\\\PC1,u,2,2\r\r\n";
const std::string kEndOfMarch = "2,20060331235959,P,\\\\PC1,u,3,3\r\r\n";
const std::string kApril = "3,20060401000000,P,\\\\PC1,u,4,4\r\r\n";
const std::string kOctober = "9,20061015080000,Q,\\\\PC2,v,5,5\r\r\n";

}  // namespace

TEST(DataStatistics, EmptyDirectoriesAndEmptyFilesOfferNothing) {
    Maintenance m;
    auto stats = m.Scan();
    EXPECT_EQ(stats.fileCount, 0);
    EXPECT_EQ(stats.totalBytes, 0u);
    EXPECT_FALSE(stats.hasRecords);
    EXPECT_EQ(stats.firstMonth, 0);
    m.File("a", "");
    m.File("b", "");
    stats = m.Scan();
    EXPECT_EQ(stats.fileCount, 2);
    EXPECT_FALSE(stats.hasRecords);
    m.File("c", "\r\r\n0,20060305101010,P,M,u,1,1\r\r\n");
    stats = m.Scan();
    EXPECT_EQ(stats.totalBytes, 32u);
    EXPECT_FALSE(stats.hasRecords);
}

TEST(DataStatistics, DatesSpanEveryUsersFile) {
    Maintenance m;
    m.File("a", kApril + kOctober);
    m.File("b", kEndOfMarch + kMarch);
    const auto stats = m.Scan();
    EXPECT_EQ(stats.fileCount, 2);
    EXPECT_EQ(stats.totalBytes, 4 * kMarch.size());
    ASSERT_TRUE(stats.hasRecords);
    EXPECT_EQ(FormatRecordDay(stats.earliest), "2006/03/05");
    EXPECT_EQ(FormatRecordDay(stats.latest), "2006/10/15");
    EXPECT_EQ(stats.firstMonth, 2006 * 12 + 3);
    EXPECT_EQ(FormatPurgeMonth(stats.firstMonth), "2006年03月");
    EXPECT_EQ(FormatPurgeMonth(2006 * 12 + 1 - 1), "2005年12月");
    EXPECT_EQ(FormatPurgeMonth(2006 * 12 + 12 + 1), "2007年01月");
    EXPECT_EQ(CompareRecordDates({2006, 3, 0, 31, 23, 0, 0, 0}, {2006, 3, 0, 31, 1, 0, 0, 0}), 0);
}

TEST(Purge, RemovesTheChosenMonthAndEverythingBefore) {
    Maintenance m;
    m.File("a",
           kMarch + "\r\r\n" + kEndOfMarch + kApril + "0,20070101000000,P,M,u,1,1\n" + kOctober);
    m.File("b", kMarch);
    const auto report = m.Purge(2006, 3);
    EXPECT_FALSE(report.stopped);
    ASSERT_EQ(report.files.size(), 2u);
    EXPECT_TRUE(report.files[0].rewritten);
    EXPECT_EQ(report.files[0].removed, 4);
    EXPECT_EQ(report.files[0].kept, 2);
    EXPECT_EQ(m.Read("a"), kApril + kOctober);
    EXPECT_EQ(m.Read("b"), "");  // emptied, not deleted
    EXPECT_TRUE(m.Strays().empty());
    EXPECT_TRUE(m.sink.Messages().empty());
}

TEST(Purge, KeepsTheFilesOwnerAndRights) {
    Maintenance m;
    m.File("a", kMarch + kApril);
    chmod((m.data / "PrintData_a.dat").c_str(), 0664);
    if (geteuid() == 0) {
        chown((m.data / "PrintData_a.dat").c_str(), 65534, 65534);
    }
    m.Purge(2006, 3);
    struct stat st {};
    ASSERT_EQ(stat((m.data / "PrintData_a.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664u);
    if (geteuid() == 0) {
        EXPECT_EQ(st.st_uid, 65534u);
    }
}

// Whatever goes wrong, a data file is the old one or the new one, whole.
TEST(Purge, AFailedRenameLeavesTheDataFileWhole) {
    Maintenance m;
    const std::string before = kMarch + kApril;
    m.File("a", before);
    PurgeFaults faults;
    faults.failRename = true;
    const auto report = m.Purge(2006, 3, &faults);
    EXPECT_FALSE(report.files[0].rewritten);
    EXPECT_FALSE(report.files[0].error.empty());
    EXPECT_EQ(m.Read("a"), before);
    EXPECT_TRUE(m.Strays().empty());
}

TEST(Purge, ATemporaryFileThatCannotBeWrittenStopsThePurge) {
    Maintenance m;
    std::string big;
    for (int i = 1; i <= 400; ++i) {
        big += std::to_string(i) + ",20060501000000,Printer,\\\\PC1,someone,1,1\r\r\n";
    }
    m.File("a", big);
    m.File("b", big);
    const int code = RunInChild([&] {
        // Files may grow to 4 KB only: writing the copy fails with EFBIG.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        const auto report = m.Purge(2006, 3);
        const auto messages = m.sink.Messages();
        return report.stopped && report.files.size() == 1 && messages.size() == 1 &&
                       messages[0].text == "DATA File open error" &&
                       messages[0].caption == "error" && messages[0].flag == 16
                   ? 0
                   : 1;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(m.Read("a"), big);
    EXPECT_EQ(m.Read("b"), big);
    EXPECT_TRUE(m.Strays().empty());
}

TEST(Purge, AProcessKilledMidwayLeavesOldOrNewWhole) {
    const std::string before = kMarch + kApril + kOctober;
    const std::string after = kApril + kOctober;
    for (const std::string step : {"written", "renamed"}) {
        Maintenance m;
        m.File("a", before);
        const int code = RunInChild([&] {
            PurgeFaults faults;
            faults.reached = [&](const char* at) {
                if (step == at) {
                    raise(SIGKILL);
                }
            };
            m.Purge(2006, 3, &faults);
            return 0;
        });
        EXPECT_EQ(code, -1) << step;
        EXPECT_EQ(m.Read("a"), step == "written" ? before : after) << step;
    }
}

TEST(Purge, AFileThatCannotBeReadIsLeftAlone) {
    if (!CanTestRefusals()) {
        GTEST_SKIP() << "cannot drop privileges here";
    }
    Maintenance m;
    m.File("a", kMarch + kApril);
    m.File("b", kMarch + kApril);
    chmod((m.data / "PrintData_a.dat").c_str(), 0);
    chmod((m.data / "PrintData_b.dat").c_str(), 0666);
    const int code = RunInChild(
        [&] {
            const auto report = m.Purge(2006, 3);
            return !report.files[0].rewritten && report.files[1].rewritten ? 0 : 1;
        },
        true);
    EXPECT_EQ(code, 0);
    chmod((m.data / "PrintData_a.dat").c_str(), 0644);
    EXPECT_EQ(m.Read("a"), kMarch + kApril);
    EXPECT_EQ(m.Read("b"), kApril);
}

// A record another process finishes while the file is rewritten lands in the new file.
TEST(Purge, AnAppendDuringTheRewriteIsNotLost) {
    Maintenance m;
    m.files.SetNames("PC1", "a");
    m.File("a", kMarch + kApril);
    pid_t writer = -1;
    PurgeFaults faults;
    faults.reached = [&](const char* at) {
        if (std::string(at) != "written") {
            return;
        }
        writer = fork();
        if (writer == 0) {
            // A process of its own: nothing of the purge's open files comes with it.
            for (int fd = 3; fd < 1024; ++fd) {
                close(fd);
            }
            CompletedJob job;
            job.jobId = 77;
            job.time = {2006, 11, 0, 1, 0, 0, 0, 0};
            job.printerName = "P";
            job.machineName = "\\\\PC2";
            job.userName = "late";
            job.totalPages = job.pagesPrinted = job.copies = 1;
            m.files.completedJob = job;
            m.files.WritePrintRecord();
            _exit(0);
        }
        usleep(200000);  // the writer is waiting for the file's lock by now
    };
    m.Purge(2006, 3, &faults);
    int status = 0;
    waitpid(writer, &status, 0);
    EXPECT_EQ(m.Read("a"), kApril + "77,20061101000000,P,\\\\PC2,late,1,1\r\r\n");
}
