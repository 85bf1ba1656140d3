// The watch threads on the Windows spooler calls, against a stand-in winspool (FakeWinspool.cpp)
// that plays scripts written from Microsoft's documentation of the calls: this tries our reading
// of the spooler's structures and options, not the real spooler.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <tuple>

#include "platform/Clock.h"
#include "platform/win32/WinSpooler.h"
#include "spool/SpoolWatchers.h"
#include "storage/PrintDataFixture.h"

using namespace testsupport;

namespace {

struct WinSpoolWorld : PrintDataFixture {
    TempDir scripts;
    platform::ManualClock clock{{2026, 12, 1, 7, 9, 30, 15, 0}};
    DiagnosticLog log{clock};
    std::unique_ptr<platform::WinSpooler> spooler;
    std::unique_ptr<SpoolWatchers> watchers;

    explicit WinSpoolWorld(const std::string& script) {
        WriteFile(scripts / "script.txt", script);
        SetEnvironment("FAKE_WINSPOOL_SCRIPT", (scripts / "script.txt").c_str());
        SetEnvironment("FAKE_WINSPOOL_LOG", (scripts / "calls.txt").c_str());
        spooler = std::make_unique<platform::WinSpooler>(L"fakespool.dll");
        watchers = std::make_unique<SpoolWatchers>(*spooler, files, log, clock);
        watchers->Start();
    }
    ~WinSpoolWorld() {
        watchers.reset();
        spooler.reset();
        SetEnvironment("FAKE_WINSPOOL_SCRIPT", nullptr);
        SetEnvironment("FAKE_WINSPOOL_LOG", nullptr);
    }

    // The data file once it holds `count` records (or after ten seconds).
    std::vector<PrintRecord> RecordsOnce(size_t count) {
        std::vector<PrintRecord> records;
        for (int waited = 0; waited < 1000; ++waited) {
            if (Exists(files.DataFilePath())) {
                records = ReadAll(files.DataFilePath());
                if (records.size() >= count) {
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return records;
    }
    std::vector<std::string> Calls() {
        std::vector<std::string> lines;
        const std::string text = ReadFile(scripts / "calls.txt");
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }
};

}  // namespace

// A job from another computer with two copies, its pages printed growing, moved in the queue,
// recorded once the queue is empty; then a job added while the spooler had to cut its block short:
// the whole state is asked for, and the job it names is recorded. The options are the watch
// threads' as the spooler gets them.
TEST(WinSpooler, JobsAreReadFromTheSpoolersBlocksAndALostBlockIsRefreshed) {
    WinSpoolWorld w(
        "printer\t経理プリンタ\n"
        "cycle\t経理プリンタ\t100\n"
        "entry\tjob\t0\t7\ttext\t経理プリンタ\n"
        "entry\tjob\t1\t7\ttext\t\\\\PC9\n"
        "entry\tjob\t3\t7\ttext\t山田\n"
        "entry\tjob\t20\t7\tnumber\t3\n"
        "entry\tjob\t21\t7\tnumber\t0\n"
        "entry\tjob\t9\t7\tcopies\t2\n"
        "cycle\t経理プリンタ\t800\n"
        "entry\tjob\t21\t7\tnumber\t3\n"
        "cycle\t経理プリンタ\t200\n"  // moved in the queue: its position changes, nothing else
        "entry\tjob\t15\t7\tnumber\t2\n"
        "cycle\t経理プリンタ\t400\n"
        "entry\tprinter\t20\t0\tnumber\t0\n"
        "cycle\t経理プリンタ\t100\tdiscarded\n"
        "refresh\n"
        "entry\tjob\t0\t8\ttext\t経理プリンタ\n"
        "entry\tjob\t1\t8\ttext\t\\\\PC9\n"
        "entry\tjob\t3\t8\ttext\t鈴木\n"
        "entry\tjob\t20\t8\tnumber\t5\n"
        "entry\tjob\t21\t8\tnumber\t5\n"
        "entry\tjob\t9\t8\tcopies\t1\n"
        "cycle\t経理プリンタ\t400\n"
        "entry\tprinter\t20\t0\tnumber\t0\n");
    const auto records = w.RecordsOnce(2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].jobId, 7);
    EXPECT_EQ(records[0].printerName, "経理プリンタ");
    EXPECT_EQ(records[0].machineName, "\\\\PC9");
    EXPECT_EQ(records[0].userName, "山田");
    EXPECT_EQ(records[0].totalPagesTimesCopies, 6);
    EXPECT_EQ(records[0].pagesPrintedTimesCopies, 6);
    EXPECT_EQ(records[1].jobId, 8);
    EXPECT_EQ(records[1].userName, "鈴木");
    EXPECT_EQ(records[1].pagesPrintedTimesCopies, 5);

    const auto calls = w.Calls();
    const std::string options = "version 2 flags 0 type 0:0,1,2,20,22,23 type 1:0,1,3,20,21,9,5";
    EXPECT_NE(std::find(calls.begin(), calls.end(),
                        "FindFirst 経理プリンタ filter 2004353023 options 0 " + options),
              calls.end());
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& c) {
                                return c.find("FindNext 経理プリンタ version 2 flags 1 ") == 0;
                            }),
              1);
}

// Jobs added between two fetches come in one block with the printer's job count last: each is
// followed with its own values and number, and a job already followed whose pages grow in the
// same block is not followed twice.
TEST(WinSpooler, ABlockOfSeveralJobsFollowsEachOnce) {
    WinSpoolWorld w(
        "printer\tLaser\n"
        "cycle\tLaser\t100\n"
        "entry\tjob\t0\t1\ttext\tLaser\n"
        "entry\tjob\t1\t1\ttext\t\\\\PC5\n"
        "entry\tjob\t3\t1\ttext\t一郎\n"
        "entry\tjob\t20\t1\tnumber\t4\n"
        "entry\tjob\t21\t1\tnumber\t1\n"
        "cycle\tLaser\t300\n"
        "entry\tjob\t21\t1\tnumber\t4\n"
        "entry\tjob\t0\t2\ttext\tLaser\n"
        "entry\tjob\t1\t2\ttext\t\\\\PC2\n"
        "entry\tjob\t3\t2\ttext\t二郎\n"
        "entry\tjob\t20\t2\tnumber\t2\n"
        "entry\tjob\t21\t2\tnumber\t2\n"
        "entry\tjob\t9\t2\tcopies\t3\n"
        "entry\tjob\t0\t3\ttext\tLaser\n"
        "entry\tjob\t1\t3\ttext\t\\\\PC3\n"
        "entry\tjob\t3\t3\ttext\t三郎\n"
        "entry\tjob\t20\t3\tnumber\t5\n"
        "entry\tjob\t21\t3\tnumber\t5\n"
        "entry\tprinter\t20\t0\tnumber\t0\n");
    const auto records = w.RecordsOnce(3);
    ASSERT_EQ(records.size(), 3u);
    const std::vector<std::tuple<int, std::string, std::string, int>> expected = {
        {1, "\\\\PC5", "一郎", 4}, {2, "\\\\PC2", "二郎", 6}, {3, "\\\\PC3", "三郎", 5}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(records[i].jobId, std::get<0>(expected[i]));
        EXPECT_EQ(records[i].machineName, std::get<1>(expected[i]));
        EXPECT_EQ(records[i].userName, std::get<2>(expected[i]));
        EXPECT_EQ(records[i].pagesPrintedTimesCopies, std::get<3>(expected[i]));
    }
}

// A burst of jobs between two looks at the queue: every one is recorded, in order.
TEST(WinSpooler, ABurstOfJobsIsRecordedWhole) {
    std::string script = "printer\tLaser\n";
    for (int id = 1; id <= 200; ++id) {
        const std::string job = std::to_string(id);
        script +=
            "cycle\tLaser\t100\n"
            "entry\tjob\t0\t" +
            job +
            "\ttext\tLaser\n"
            "entry\tjob\t1\t" +
            job +
            "\ttext\t\\\\PC9\n"
            "entry\tjob\t3\t" +
            job + "\ttext\tu" + job +
            "\n"
            "entry\tjob\t20\t" +
            job +
            "\tnumber\t1\n"
            "entry\tjob\t21\t" +
            job + "\tnumber\t1\n";
    }
    script += "cycle\tLaser\t400\nentry\tprinter\t20\t0\tnumber\t0\n";
    WinSpoolWorld w(script);
    const auto records = w.RecordsOnce(200);
    ASSERT_EQ(records.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(records[static_cast<size_t>(i)].jobId, i + 1);
    }
}

// A printer added while running gets a watcher; deleted with a job still held, that job is
// recorded before its watcher ends, and the printer leaves the list.
TEST(WinSpooler, PrintersAddedAndDeletedWhileRunningAreFollowed) {
    WinSpoolWorld w(
        "printer\tA\n"
        "cycle\t*\t1\n"
        "listing\tA\n"
        "listing\t\\\\srv\\B\t\\\\srv\n"
        "cycle\t\\\\srv\\B\t100\n"
        "entry\tjob\t0\t4\ttext\tB\n"
        "entry\tjob\t1\t4\ttext\t\\\\PC1\n"
        "entry\tjob\t3\t4\ttext\tu\n"
        "entry\tjob\t20\t4\tnumber\t2\n"
        "entry\tjob\t21\t4\tnumber\t2\n"
        "cycle\t\\\\srv\\B\t4\n"
        "listing\tA\n"
        "cycle\t*\t4\n");
    auto& slots = w.watchers->Slots();
    for (int i = 0; i < 1000 && slots.Count() < 2; ++i) {
        w.watchers->FollowPrinters();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(slots.Count(), 2);
    EXPECT_EQ(slots.At(1).serverName, "\\\\srv");
    const auto records = w.RecordsOnce(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].jobId, 4);
    for (int i = 0; i < 1000 && slots.At(1).listed; ++i) {
        w.watchers->FollowPrinters();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(slots.At(1).listed);
    EXPECT_TRUE(slots.At(0).listed);
}
