#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "spool/SpoolScript.h"

using namespace platform;
using namespace testsupport;

namespace {

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST(SpoolWatchThread, AJobIsRecordedOnceTheQueueRunsEmpty) {
    SpoolWorld w;
    w.Start();
    ASSERT_TRUE(w.Play(
        "P", {AddJob(5, "P", "\\\\PC1", "spooler-says-bob", 3, 2), Printed(5, 3), QueueLength(1)}));
    EXPECT_TRUE(w.Records().empty());
    // The record carries the time the job was first seen, not the time it was written.
    w.clock.Set({2026, 12, 1, 7, 9, 59, 0, 0});
    ASSERT_TRUE(w.Play("P", {QueueLength(0)}));
    EXPECT_EQ(ReadFile(w.files.DataFilePath()), "5,20261207093015,P,\\\\PC1,alice,6,6\r\r\n");
    EXPECT_EQ(w.reg.GetRegInteger(kHkeyCurrentUser, kPerUserKey, "PagesPrinted"), 6);

    // The queue running empty again hands nothing over twice.
    ASSERT_TRUE(w.Play("P", {QueueLength(0)}));
    EXPECT_EQ(w.Records().size(), 1u);
}

TEST(SpoolWatchThread, AnEmptyQueueHandsOverEveryEntryInEntryOrder) {
    SpoolWorld w;
    w.Start();
    ASSERT_TRUE(
        w.Play("P", {AddJob(30, "P", "\\\\PC2", "u30", 1), AddJob(10, "P", "\\\\PC2", "u10", 1),
                     AddJob(20, "P", "\\\\PC2", "u20", 1), AddJob(10, "P", "\\\\PC2", "again", 1),
                     QueueLength(3)}));
    EXPECT_TRUE(w.Records().empty());
    ASSERT_TRUE(w.Play("P", {QueueLength(0)}));
    const auto records = w.Records();
    EXPECT_EQ(Ids(records), (std::vector<std::int32_t>{30, 10, 20, 10}));
    // Another computer's job on a printer of this computer keeps the spooler's user name.
    EXPECT_EQ(records[0].userName, "u30");
    EXPECT_EQ(records[3].userName, "again");
}

TEST(SpoolWatchThread, OnlyTheAddBitCreatesAnEntry) {
    SpoolWorld w;
    w.Start();
    // Delete bits alone remove nothing: a cancelled job is recorded at the next empty queue.
    ASSERT_TRUE(w.Play(
        "P", {AddJob(1, "P", "\\\\PC2", "u", 4),
              Block(kPrinterChangeDeleteJob, {JobNumber(1, kJobNotifyFieldPagesPrinted, 2)})}));
    // A new job's values without the add bit are not followed.
    Cycle described = AddJob(2, "P", "\\\\PC2", "u", 4);
    described.change = kPrinterChangeWriteJob | kPrinterChangeSetJob;
    ASSERT_TRUE(w.Play("P", {described, QueueLength(0)}));
    const auto records = w.Records();
    ASSERT_EQ(Ids(records), (std::vector<std::int32_t>{1}));
    EXPECT_EQ(records[0].pagesPrintedTimesCopies, 2);
}

TEST(SpoolWatchThread, OneBlockMakesAtMostOneEntryFromItsLastValues) {
    SpoolWorld w;
    w.Start();
    // Two jobs in one block: one entry, with the last entry's id and each field's last value.
    ASSERT_TRUE(
        w.Play("P", {Block(kPrinterChangeAddJob, {JobText(1, kJobNotifyFieldPrinterName, "P"),
                                                  JobText(1, kJobNotifyFieldMachineName, "\\\\PC7"),
                                                  JobNumber(1, kJobNotifyFieldTotalPages, 9),
                                                  JobText(2, kJobNotifyFieldUserName, "second")}),
                     QueueLength(0)}));
    const auto records = w.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].jobId, 2);
    EXPECT_EQ(records[0].machineName, "\\\\PC7");
    EXPECT_EQ(records[0].userName, "second");
    EXPECT_EQ(records[0].totalPagesTimesCopies, 9);
    EXPECT_EQ(records[0].pagesPrintedTimesCopies, -1);  // never reported
}

TEST(SpoolWatchThread, CopiesFollowTheDeviceModeAndStayOneWithoutIt) {
    SpoolWorld w;
    w.Start();
    ASSERT_TRUE(
        w.Play("P", {Block(kPrinterChangeAddJob, {JobText(1, kJobNotifyFieldMachineName, "\\\\PC2"),
                                                  JobText(1, kJobNotifyFieldUserName, "u"),
                                                  JobNumber(1, kJobNotifyFieldTotalPages, 2),
                                                  JobNumber(1, kJobNotifyFieldPagesPrinted, 2)}),
                     AddJob(2, "P", "\\\\PC2", "u", 2, 1),
                     Block(kPrinterChangeSetJob | kPrinterChangeWriteJob,
                           {DevMode(2, 3), JobNumber(2, kJobNotifyFieldPagesPrinted, 2)}),
                     QueueLength(0)}));
    const auto records = w.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].totalPagesTimesCopies, 2);
    EXPECT_EQ(records[1].totalPagesTimesCopies, 6);
    EXPECT_EQ(records[1].pagesPrintedTimesCopies, 6);
}

// A text or device mode that did not come is not read: the value stays what it was.
TEST(SpoolWatchThread, AbsentBuffersAreNeverReadThrough) {
    SpoolWorld w;
    w.Start();
    Cycle add = AddJob(4, "P", "\\\\PC2", "u", 2, 5);
    add.info->entries.push_back(JobText(4, kJobNotifyFieldUserName, ""));
    add.info->entries.back().text.reset();
    add.info->entries.push_back(DevMode(4, 0));
    add.info->entries.back().copies.reset();
    Cycle later = Block(kPrinterChangeSetJob, {DevMode(4, 0)});
    later.info->entries.back().copies.reset();
    ASSERT_TRUE(w.Play("P", {add, later, QueueLength(0)}));
    const auto records = w.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].userName, "u");
    EXPECT_EQ(records[0].totalPagesTimesCopies, 10);
}

TEST(SpoolWatchThread, TotalPagesDecideWhetherAJobIsRecorded) {
    SpoolWorld w;
    w.Start();
    Cycle neverCounted = AddJob(1, "P", "\\\\PC2", "u", 0);
    neverCounted.info->entries.erase(neverCounted.info->entries.begin() + 3);  // no total pages
    ASSERT_TRUE(w.Play("P", {neverCounted, AddJob(2, "P", "\\\\PC2", "u", 0), QueueLength(0)}));
    const auto records = w.Records();
    ASSERT_EQ(Ids(records), (std::vector<std::int32_t>{1}));
    EXPECT_EQ(records[0].totalPagesTimesCopies, -1);
}

TEST(SpoolWatchThread, ANetworkPrinterRecordsOnlyJobsFromThisComputer) {
    SpoolWorld w({{"\\\\srv\\Q", "\\\\srv"}, {"Local", ""}});
    w.Start();
    ASSERT_TRUE(
        w.Play("\\\\srv\\Q", {AddJob(1, "Q", "\\\\PC2", "x", 1), AddJob(2, "Q", "\\\\pc1", "y", 1),
                              AddJob(3, "Q", "\\\\PC1", "z", 1), QueueLength(0)}));
    ASSERT_TRUE(w.Play("Local", {AddJob(4, "Local", "\\\\PC2", "x", 1), QueueLength(0)}));
    const auto records = w.Records();
    ASSERT_EQ(Ids(records), (std::vector<std::int32_t>{3, 4}));
    EXPECT_EQ(records[0].userName, "alice");
    EXPECT_EQ(records[1].userName, "x");
}

TEST(SpoolWatchThread, TheTwoHundredAndFirstJobLeavesNoTrace) {
    SpoolWorld w;
    w.log.SetEnabled(true);
    w.log.SetDebug(true);
    w.Start();
    std::vector<Cycle> cycles;
    for (std::uint32_t id = 1; id <= 201; ++id) {
        cycles.push_back(AddJob(id, "P", "\\\\PC2", "u", 1));
    }
    cycles.push_back(QueueLength(0));
    ASSERT_TRUE(w.Play("P", std::move(cycles)));
    const auto records = w.Records();
    ASSERT_EQ(records.size(), 200u);
    EXPECT_EQ(records.back().jobId, 200);
    const auto lines = w.LogLines();
    EXPECT_TRUE(Contains(lines, "DPMON5003 SetBuffer JobNo<200> TotalCount<1>"));
    EXPECT_FALSE(Contains(lines, "DPMON5003 SetBuffer JobNo<201> TotalCount<1>"));
    EXPECT_FALSE(Contains(lines, "DPMON5002 DelBuffer JobNo<201> TotalCount<1>"));
}

TEST(SpoolWatchThread, LostNotificationsReopenThePrinterAndKeepTheTable) {
    SpoolWorld w;
    w.Start();
    Cycle lost;
    lost.change = kPrinterChangeAddJob;  // job bits, but no info block
    Cycle quiet;
    quiet.change = 0x00000001;  // no job bits and no block: nothing happens
    ASSERT_TRUE(w.Play("P", {AddJob(1, "P", "\\\\PC2", "u", 2), quiet}));
    const size_t before = w.spooler.Calls().size();
    ASSERT_TRUE(w.Play("P", {lost}));
    const auto calls = w.spooler.Calls();
    ASSERT_GE(calls.size(), before + 5);
    EXPECT_EQ(
        std::vector<std::string>(calls.begin() + static_cast<long>(before),
                                 calls.begin() + static_cast<long>(before) + 5),
        (std::vector<std::string>{"FindNext P", "ClosePrinter P", "FindClose P", "OpenPrinter P",
                                  "FindFirst P filter=0x7777ffff options=0"}));
    for (size_t i = 0; i < before; ++i) {
        EXPECT_NE(calls[i], "ClosePrinter P") << "the quiet cycle re-opened the printer";
    }
    ASSERT_TRUE(w.Play("P", {QueueLength(0)}));
    EXPECT_EQ(Ids(w.Records()), (std::vector<std::int32_t>{1}));
}

TEST(SpoolWatchThread, AFailedReopenEndsTheWatcher) {
    SpoolWorld w;
    w.log.SetEnabled(true);
    w.Start();
    w.spooler.FailOpen("P", 1722);
    Cycle lost;
    lost.change = kPrinterChangeDeleteJob;
    w.spooler.AddCycle("P", lost);
    auto& slot = w.watchers->Slots().At(0);
    for (int i = 0; i < 5000 && !slot.watcher->Finished(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(slot.watcher->Finished());
    EXPECT_EQ(slot.running.load(), 0);
    EXPECT_EQ(w.LogLines(), (std::vector<std::string>{"EPMON5031 printer can not open(1722)"}));
}

TEST(SpoolWatchThread, AFailedFetchIsLoggedAndTheCycleGoesOn) {
    SpoolWorld w;
    w.log.SetEnabled(true);
    w.Start();
    Cycle failing = AddJob(8, "P", "\\\\PC2", "u", 2);
    failing.fetchFails = true;
    failing.error = 87;
    ASSERT_TRUE(w.Play("P", {failing, QueueLength(0)}));
    EXPECT_EQ(Ids(w.Records()), (std::vector<std::int32_t>{8}));
    EXPECT_EQ(w.LogLines(), (std::vector<std::string>{"EPMON5013 find next error(87)", ""}));
}

TEST(SpoolWatchThread, AStopIsHonouredAtTheFirstQuietWaitAndDropsOpenJobs) {
    SpoolWorld w;
    w.Start();
    std::vector<Cycle> stream;
    stream.push_back(AddJob(1, "P", "\\\\PC2", "u", 2));
    for (int i = 0; i < 50; ++i) {
        stream.push_back(Printed(1, 1));
    }
    for (auto& c : stream) {
        w.spooler.AddCycle("P", std::move(c));
    }
    w.Stop();
    const auto calls = w.spooler.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "FindNext P"), 51);
    // The printers are let go before the print server.
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(
        std::vector<std::string>(calls.end() - 4, calls.end()),
        (std::vector<std::string>{"ClosePrinter P", "FindClose P", "FindClose ", "ClosePrinter "}));
    EXPECT_TRUE(w.Records().empty());
    EXPECT_FALSE(w.watchers->Slots().At(0).watcher);
}

TEST(SpoolWatchThread, EveryWatcherAsksForTheSameNotifications) {
    SpoolWorld w;
    w.Start();
    // The watcher takes its slot before it opens its printer: wait until it watches.
    ASSERT_TRUE(w.spooler.WaitUntilHandled("P"));
    const NotifyOptions options = w.spooler.LastOptions("P");
    EXPECT_EQ(options.version, 2u);
    EXPECT_EQ(options.flags, 0u);
    ASSERT_EQ(options.types.size(), 2u);
    EXPECT_EQ(options.types[0].type, kPrinterNotifyType);
    EXPECT_EQ(options.types[0].fields, (std::vector<std::uint16_t>{0, 1, 2, 20, 22, 23}));
    EXPECT_EQ(options.types[1].type, kJobNotifyType);
    // ... and the job's data type (its document format), which tells the jobs to count from
    // their documents.
    EXPECT_EQ(options.types[1].fields, (std::vector<std::uint16_t>{0, 1, 3, 20, 21, 9, 5}));
}

TEST(SpoolWatchThread, ALoggedRunWithBothSwitchesOn) {
    SpoolWorld w;
    w.log.SetEnabled(true);
    w.log.SetDebug(true);
    w.Start();
    Cycle add = Block(kPrinterChangeAddJob | kPrinterChangeWriteJob,
                      {JobText(7, kJobNotifyFieldMachineName, "\\\\PC2"),
                       JobText(7, kJobNotifyFieldUserName, "u"),
                       JobNumber(7, kJobNotifyFieldTotalPages, 3), JobNumber(7, 13, 0)});
    Cycle empty = Block(kPrinterChangeDeleteJob, {JobCount(0)});
    Cycle nothing;
    nothing.change = kPrinterChangeAddJob;
    nothing.info = NotifyInfo{};
    ASSERT_TRUE(w.Play("P", {add, empty, nothing}));
    w.Stop();
    auto lines = w.LogLines();
    // The block's address differs from run to run.
    for (auto& line : lines) {
        if (const auto p = line.find(" p = ");
            p != std::string::npos && line.substr(p + 5) != "0") {
            line = line.substr(0, p) + " p = <block>";
        }
    }
    // The watcher opens its printer while the starting thread says the start is done: either
    // line may come first.
    if (lines.size() > 4 && lines[3] == "DPMON0011 スレッド起動完了") {
        std::swap(lines[3], lines[4]);
    }
    const std::vector<std::string> expected = {
        "DPMON0001 プリンタ数:1",
        "DPMON0002 ローカルプリンタ名:P",
        "DPMON5001 プリンタ監視スレッド起動(ローカル)",
        lines.size() > 3 ? lines[3] : "",  // the handle's value
        "DPMON0011 スレッド起動完了",
        "DPMON5018 FindNextPrinterChangeNotification ChangeReason = 2304 p = <block>",
        "DPMON2201 PRINTER_CHANGE_ADD_JOB",
        "DPMON2203 PRINTER_CHANGE_WRITE_JOB",
        "DPMON5020 JobId = 7",
        "DPMON2206 Type=<default>",
        "DPMON5020 JobId = 7",
        "DPMON2206 Type=<default>",
        "DPMON5020 JobId = 7",
        "DPMON2206 Type=<default>",
        "DPMON5020 JobId = 7",
        "DPMON2205 Type=<PRINTER_CHANGE_WRITE_JOB> Field=<default>",
        "DPMON2206 Type=<default>",
        "DPMON5003 SetBuffer JobNo<7> TotalCount<3>",
        "DPMON5018 FindNextPrinterChangeNotification ChangeReason = 1024 p = <block>",
        "DPMON2202 PRINTER_CHANGE_DELETE_JOB",
        "DPMON5020 JobId = 0",
        "DPMON5002 DelBuffer JobNo<7> TotalCount<3>",
        "DPMON5018 FindNextPrinterChangeNotification ChangeReason = 256 p = <block>",
        "DPMON2201 PRINTER_CHANGE_ADD_JOB",
        "DPMON5003 SetBuffer JobNo<-1> TotalCount<-1>",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(lines.size() > 3 && lines[3].rfind("DPMON5019 OpenPrinter hPrinter = ", 0) == 0);
    EXPECT_EQ(Ids(w.Records()), (std::vector<std::int32_t>{7}));
}

// A spooler that keeps a job's owner from us gives no user or a bare machine: such a job is left
// to a monitor that may see it, never written with a blank owner.
TEST(SpoolWatchThread, JobsWhoseOwnerIsHiddenAreNotRecorded) {
    SpoolWorld w;
    w.log.SetEnabled(true);
    w.log.SetDebug(true);
    w.Start();
    ASSERT_TRUE(w.Play(
        "P", {AddJob(1, "P", "\\\\", "", 2), AddJob(2, "P", "\\\\PC2", "", 2),
              AddJob(3, "P", "", "bob", 2), AddJob(4, "P", "\\\\PC2", "bob", 2), QueueLength(0)}));
    EXPECT_EQ(Ids(w.Records()), (std::vector<std::int32_t>{4}));
    const auto lines = w.LogLines();
    for (int id : {1, 2, 3}) {
        EXPECT_TRUE(Contains(
            lines, "DPMON5004 JobNo<" + std::to_string(id) + "> owner not visible, not recorded"))
            << id;
    }
}
