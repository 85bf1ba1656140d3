#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/EventPump.h"

#include "spool/SpoolScript.h"

using namespace platform;
using namespace testsupport;

TEST(SpoolWatchers, EveryPrinterGetsASlotAndARunningWatcher) {
    SpoolWorld w({{"Local", ""}, {"\\\\srv\\Net", "\\\\srv"}});
    w.log.SetEnabled(true);
    w.log.SetDebug(true);
    EXPECT_EQ(SpoolWatchers(w.spooler, w.files, w.log, w.clock).PrinterCount(), 2);
    std::string server = "stale";
    EXPECT_EQ(SpoolWatchers(w.spooler, w.files, w.log, w.clock).PrinterAt(2, server),
              "\\\\srv\\Net");
    EXPECT_EQ(server, "\\\\srv");
    EXPECT_EQ(SpoolWatchers(w.spooler, w.files, w.log, w.clock).PrinterAt(3, server), "");
    EXPECT_EQ(server, "");

    w.Start();
    auto& slots = w.watchers->Slots();
    ASSERT_EQ(slots.Count(), 2);
    EXPECT_EQ(slots.At(0).serverName, "");
    EXPECT_EQ(slots.At(1).serverName, "\\\\srv");
    EXPECT_EQ(slots.At(0).running.load(), 1);
    EXPECT_EQ(slots.At(1).running.load(), 1);
    const auto lines = w.LogLines();
    EXPECT_EQ(lines[0], "DPMON0001 プリンタ数:2");
    EXPECT_EQ(lines[1], "DPMON0002 ローカルプリンタ名:Local");
    EXPECT_EQ(lines[2], "DPMON0002 ネットワークプリンタ名:\\\\srv\\Net");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "DPMON0011 スレッド起動完了"), 2);
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "DPMON5001 プリンタ監視スレッド起動(ネットワーク)"),
        1);

    // Each watcher follows its own printer.
    ASSERT_TRUE(w.Play("\\\\srv\\Net", {AddJob(1, "Net", "\\\\PC1", "u", 1)}));
    ASSERT_TRUE(w.Play("Local", {AddJob(2, "Local", "\\\\PC1", "u", 1), QueueLength(0)}));
    EXPECT_EQ(w.Records().size(), 1u);

    w.Stop();
    EXPECT_EQ(slots.At(0).running.load(), 0);
    EXPECT_EQ(slots.At(1).running.load(), 0);
}

// A stop asks every watcher at once, so that it takes one wait whatever the number of printers,
// and hands over every job that has ended, although its queue has not run empty; a job still
// printing is neither recorded nor settled (whoever watches next takes it). A job first seen
// before its document came learns its format with its end, and goes to be counted from its
// document at once, before its queue runs empty (the scheduler may forget it by then).
TEST(SpoolWatchers, AStopEndsEveryWatcherAtOnceAndRecordsTheJobsThatEnded) {
    std::vector<PrinterInfo> printers;
    for (int i = 0; i < 60; ++i) {
        printers.push_back({std::string("Q").append(std::to_string(i)), ""});
    }
    SpoolWorld w(printers);
    w.log.SetEnabled(true);
    w.spooler.SetIdleWait(std::chrono::milliseconds(500));
    w.Start();
    const auto raw = Block(kPrinterChangeWriteJob | kPrinterChangeDeleteJob,
                           {JobText(3, kJobNotifyFieldDatatype, "application/vnd.cups-raw"),
                            JobNumber(3, kJobNotifyFieldTotalPages, 0)});
    const auto ended = Block(
        kPrinterChangeWriteJob | kPrinterChangeDeleteJob,
        {JobNumber(1, kJobNotifyFieldTotalPages, 3), JobNumber(1, kJobNotifyFieldPagesPrinted, 3),
         JobNumber(1, kJobNotifyFieldEndedTime, 1796668005)});
    ASSERT_TRUE(
        w.Play("Q7", {AddJob(1, "Q7", "\\\\PC1", "u", 0), AddJob(2, "Q7", "\\\\PC1", "u", 0),
                      AddJob(3, "Q7", "\\\\PC1", "u", 0), ended, raw, QueueLength(2)}));
    EXPECT_TRUE(w.Records().empty());
    std::string fetched = "EPMON5006 JobNo<3> no page count, not recorded: ";
    fetched += FetchResultText(FetchResult::Unsupported);
    for (int i = 0; i < 200 && !w.watchers->PageCounter().Idle(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto lines = w.LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), fetched), lines.end());
    const auto start = std::chrono::steady_clock::now();
    w.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    const auto records = w.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].jobId, 1);
    EXPECT_EQ(records[0].pagesPrintedTimesCopies, 3);
    const auto calls = w.spooler.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Settled Q7 1"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Settled Q7 2"), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Settled Q7 3"), 1);
}

TEST(SpoolWatchers, WithoutPrintersNothingStarts) {
    SpoolWorld none(std::vector<PrinterInfo>{});
    none.Start();
    EXPECT_EQ(none.watchers->Slots().Count(), 0);
    none.Stop();

    SpoolWorld failing;
    failing.spooler.FailEnumeration(1722);
    failing.Start();
    EXPECT_EQ(failing.watchers->Slots().Count(), 0);
}

// A printer that cannot be watched delays neither the start of the others nor the close.
TEST(SpoolWatchers, APrinterThatCannotBeWatchedHoldsNothingUp) {
    SpoolWorld w({{"Gone", ""}, {"Refuses", ""}, {"Works", ""}});
    w.log.SetEnabled(true);
    w.spooler.FailOpen("Gone", 1801);
    w.spooler.FailFirst("Refuses", 5);
    const auto started = std::chrono::steady_clock::now();
    w.Start();
    auto& slots = w.watchers->Slots();
    for (int i = 0; i < 2; ++i) {
        for (int t = 0; t < 5000 && !slots.At(i).watcher->Finished(); ++t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(slots.At(i).watcher->Finished());
        EXPECT_EQ(slots.At(i).running.load(), 0);
    }
    EXPECT_EQ(slots.At(2).running.load(), 1);
    ASSERT_TRUE(w.Play("Works", {AddJob(3, "Works", "\\\\PC2", "u", 1), QueueLength(0)}));
    EXPECT_EQ(w.Records().size(), 1u);
    w.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(w.LogLines(), (std::vector<std::string>{"EPMON5011 printer can not open(1801)",
                                                      "EPMON5012 find first fail(5)", ""}));
    const auto calls = w.spooler.Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "ClosePrinter Refuses"), calls.end());
}

TEST(SpoolWatchers, MoreThanTwoHundredFiftySixPrintersAreAllWatched) {
    std::vector<PrinterInfo> printers;
    for (int i = 0; i < 300; ++i) {
        printers.push_back({std::string("Q").append(std::to_string(i)), ""});
    }
    SpoolWorld w(printers);
    w.Start();
    auto& slots = w.watchers->Slots();
    ASSERT_EQ(slots.Count(), 300);
    EXPECT_EQ(slots.At(299).printerName, "Q299");
    EXPECT_EQ(slots.At(299).running.load(), 1);
    ASSERT_TRUE(w.Play("Q299", {AddJob(9, "Q299", "\\\\PC2", "u", 1), QueueLength(0)}));
    EXPECT_EQ(w.Records().size(), 1u);
    w.Stop();
}

// The interface thread keeps serving its events while it waits for a watcher to start and stop.
TEST(SpoolWatchers, StartAndStopKeepTheCallersEventsFlowing) {
    SpoolWorld w;
    int pumped = 0;
    platform::SetThreadEventPump([&] { ++pumped; });
    w.spooler.SetIdleWait(std::chrono::milliseconds(500));
    w.Start();
    w.Stop();
    platform::SetThreadEventPump({});
    // Stopping an idle watcher waits out one real half-second slice.
    EXPECT_GT(pumped, 10);
}

// Printers come and go while the program runs: a new one is watched at once, a deleted one's
// watcher hands over what it holds and ends, and one that comes back gets its old slot again.
TEST(SpoolWatchers, PrintersAddedAndDeletedWhileRunningAreFollowed) {
    SpoolWorld w(std::vector<PrinterInfo>{{"A", ""}});
    w.log.SetEnabled(true);
    w.log.SetDebug(true);
    w.Start();
    w.watchers->FollowPrinters();  // nothing reported: nothing changes
    auto& slots = w.watchers->Slots();
    ASSERT_EQ(slots.Count(), 1);

    w.spooler.SetPrinters({{"A", ""}, {"\\\\srv\\B", "\\\\srv"}});
    w.spooler.AddCycle(ScriptedSpooler::kServer, Cycle{kPrinterChangeAddPrinter, {}, false, 0});
    w.watchers->FollowPrinters();
    ASSERT_EQ(slots.Count(), 2);
    EXPECT_EQ(slots.At(1).serverName, "\\\\srv");
    EXPECT_EQ(slots.At(1).running.load(), 1);
    EXPECT_TRUE(slots.At(1).listed);
    const auto lines = w.LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "DPMON0002 ネットワークプリンタ名:\\\\srv\\B"),
              lines.end());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "DPMON0011 スレッド起動完了"), 2);

    // Deleted with a job from this computer still held: recorded, then the watcher ends.
    w.spooler.SetPrinters({{"A", ""}});
    w.spooler.AddCycle("\\\\srv\\B", AddJob(4, "B", "\\\\PC1", "u", 2));
    w.spooler.AddCycle("\\\\srv\\B", Cycle{kPrinterChangeDeletePrinter, {}, false, 0});
    for (int i = 0; i < 5000 && !slots.At(1).watcher->Finished(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(slots.At(1).watcher->Finished());
    EXPECT_EQ(slots.At(1).running.load(), 0);
    ASSERT_EQ(w.Records().size(), 1u);
    EXPECT_EQ(w.Records()[0].jobId, 4);
    w.spooler.AddCycle(ScriptedSpooler::kServer, Cycle{kPrinterChangeDeletePrinter, {}, false, 0});
    w.watchers->FollowPrinters();
    EXPECT_FALSE(slots.At(1).listed);
    EXPECT_TRUE(slots.At(0).listed);

    w.spooler.SetPrinters({{"\\\\srv\\B", "\\\\srv"}, {"A", ""}});
    w.spooler.AddCycle(ScriptedSpooler::kServer, Cycle{kPrinterChangeAddPrinter, {}, false, 0});
    w.watchers->FollowPrinters();
    ASSERT_EQ(slots.Count(), 2);
    EXPECT_TRUE(slots.At(1).listed);
    EXPECT_EQ(slots.At(1).running.load(), 1);
    ASSERT_TRUE(w.Play("\\\\srv\\B", {AddJob(5, "B", "\\\\PC1", "u", 1), QueueLength(0)}));
    EXPECT_EQ(w.Records().size(), 2u);
    w.Stop();
    EXPECT_EQ(slots.At(1).running.load(), 0);
}

// A stop asked for from the events served while watchers start (a stop request, a signal) lets
// the start return first: no watcher is torn down under it and none starts after the stop.
TEST(SpoolWatchers, AStopFromTheStartsOwnEventsIsDeferredAndEndsIt) {
    std::vector<PrinterInfo> printers;
    for (int i = 0; i < 20; ++i) {
        printers.push_back({std::string("Q").append(std::to_string(i)), ""});
    }
    SpoolWorld w(printers);
    w.watchers = std::make_unique<SpoolWatchers>(w.spooler, w.files, w.log, w.clock);
    int pumped = 0;
    // A watcher may be up before the first wait serves any event: the cancel then comes while a
    // later one starts. Every watcher made up to the cancel stays; none after it.
    int madeAtCancel = 0;
    platform::SetThreadEventPump([&] {
        if (++pumped == 1) {
            for (int i = 0; i < w.watchers->Slots().Count(); ++i) {
                madeAtCancel += w.watchers->Slots().At(i).watcher ? 1 : 0;
            }
            EXPECT_TRUE(w.watchers->Busy());
            w.watchers->CancelStart();
            w.watchers->Stop();  // refused while busy: nothing is freed
        }
    });
    w.watchers->Start();
    platform::SetThreadEventPump({});
    EXPECT_FALSE(w.watchers->Busy());
    auto& slots = w.watchers->Slots();
    ASSERT_EQ(slots.Count(), 20);
    int started = 0;
    for (int i = 0; i < slots.Count(); ++i) {
        started += slots.At(i).watcher ? 1 : 0;
    }
    EXPECT_EQ(started, madeAtCancel);
    w.watchers->FollowPrinters();  // after a cancel nothing starts any more
    w.watchers->Stop();
    EXPECT_EQ(slots.At(0).running.load(), 0);
    EXPECT_FALSE(slots.At(0).watcher);
}
