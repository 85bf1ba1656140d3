#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "cups/PrivateCupsd.h"
#include "pagecount/PrinterDocuments.h"
#include "platform/AddressNames.h"
#include "platform/Host.h"
#include "platform/cups/CupsClient.h"
#include "platform/cups/CupsSpooler.h"
#include "spool/SpoolWatchers.h"
#include "storage/PrintDataFixture.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// The spooler as the program makes it, looking at the scheduler more often.
platform::CupsSpooler::Options FastPolling(int leaseSeconds = 600) {
    platform::CupsSpooler::Options options;
    options.pollInterval = std::chrono::milliseconds(100);
    options.leaseSeconds = leaseSeconds;
    return options;
}

// Polling once a second, so that a burst overflows the scheduler's events; each gap is counted.
platform::CupsSpooler::Options SlowPollingCountingGaps(std::atomic<int>& gaps) {
    platform::CupsSpooler::Options options = FastPolling();
    options.pollInterval = std::chrono::milliseconds(1000);
    options.note = [&gaps](const std::string& text) {
        gaps += text.find("dropped by the scheduler") != std::string::npos ? 1 : 0;
    };
    return options;
}

// The monitor's counting against a private scheduler with a PDF queue, a fast PostScript queue
// and a raw one; records go to alice's file on computer PC1.
struct CupsWorld : PrintDataFixture {
    PrivateCupsd cupsd;
    DiagnosticLog log;
    std::unique_ptr<platform::CupsSpooler> spooler;
    std::unique_ptr<SpoolWatchers> watchers;

    explicit CupsWorld(std::vector<std::string> queues = {"Office", "Fast:ps", "Raw:raw"},
                       bool startScheduler = true)
        : cupsd(std::move(queues), startScheduler) {}

    // spoolerComputer is the name the spooler takes for this computer: another name than the
    // record writer's makes jobs from here look like jobs from elsewhere.
    void Start(const std::string& spoolerComputer = "PC1",
               platform::CupsSpooler::Options options = FastPolling()) {
        spooler = std::make_unique<platform::CupsSpooler>(spoolerComputer, std::move(options));
        watchers = std::make_unique<SpoolWatchers>(*spooler, files, log);
        watchers->Start();
    }
    ~CupsWorld() {
        watchers.reset();
        spooler.reset();
    }

    int Print(const std::string& queue, const std::string& file,
              std::vector<std::string> options = {}) {
        std::vector<std::string> argv{"/usr/bin/lp", "-d", queue};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(file);
        return cupsd.Client(argv).exitCode;
    }

    std::vector<PrintRecord> Records() {
        return Exists(files.DataFilePath()) ? ReadAll(files.DataFilePath())
                                            : std::vector<PrintRecord>{};
    }

    std::vector<PrintRecord> WaitForRecords(size_t count,
                                            std::chrono::seconds limit = std::chrono::seconds(30)) {
        const auto deadline = Clock::now() + limit;
        auto records = Records();
        while (records.size() < count && Clock::now() < deadline) {
            Follow();
            records = Records();
        }
        return records;
    }

    // What the tray program's timer does once a second, here every 50 ms.
    void Follow() {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (watchers) {
            watchers->FollowPrinters();
        }
    }

    // The slot of a printer once it is watched, within the limit; -1 otherwise.
    int WaitUntilWatched(const std::string& printer, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            auto& slots = watchers->Slots();
            for (int i = 0; i < slots.Count(); ++i) {
                if (slots.At(i).printerName == printer && slots.At(i).listed &&
                    slots.At(i).running.load() == 1) {
                    return i;
                }
            }
            if (Clock::now() >= deadline) {
                return -1;
            }
            Follow();
        }
    }
};

#define REQUIRE_CUPS()                                      \
    if (!PrivateCupsd::Available()) {                       \
        GTEST_SKIP() << "needs root and the CUPS packages"; \
    }

}  // namespace

TEST(CupsEndToEnd, APdfWithCopiesIsCountedAsCupsCountsIt) {
    REQUIRE_CUPS();
    CupsWorld w;
    ASSERT_TRUE(w.cupsd.Running());
    w.Start();
    ASSERT_EQ(w.watchers->Slots().Count(), 3);
    EXPECT_EQ(w.watchers->Slots().At(0).serverName, "");
    ASSERT_EQ(w.Print("Office", w.cupsd.Document("three.pdf", MakePdf(3)), {"-n", "2"}), 0);
    const auto records = w.WaitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_GT(records[0].jobId, 0);
    EXPECT_EQ(records[0].printerName, "Office");
    EXPECT_EQ(records[0].machineName, "\\\\PC1");
    EXPECT_EQ(records[0].userName, "alice");  // a job from this computer: the monitor's user
    EXPECT_EQ(records[0].totalPagesTimesCopies, 6);
    EXPECT_EQ(records[0].pagesPrintedTimesCopies, 6);
    EXPECT_EQ(w.reg.GetRegInteger(kHkeyCurrentUser, kPerUserKey, "PagesPrinted"), 6);
    EXPECT_EQ(w.reg.GetRegString(kHkeyCurrentUser, kPerUserKey, "PrinterName"), "Office");

    // A raw queue counts no pages: the monitor counts its document instead.
    ASSERT_EQ(w.Print("Raw", w.cupsd.Document("one.ps", MakePostScript(1))), 0);
    ASSERT_EQ(w.Print("Fast", w.cupsd.Document("two.ps", MakePostScript(2))), 0);
    const auto after = w.WaitForRecords(3);
    ASSERT_EQ(after.size(), 3u);
    std::map<std::string, int> pages;
    for (const auto& r : after) {
        pages[r.printerName] += r.pagesPrintedTimesCopies;
    }
    EXPECT_EQ(pages["Fast"], 2);
    EXPECT_EQ(pages["Raw"], 1);
}

// Printer data that the scheduler does not count (raw queues, or data a client's own driver
// made that reaches a driver queue as raw) is counted from the document, copies included; a
// PostScript job's copies inside the document count too. Unreadable documents leave no record
// and a reason in the diagnostic log.
TEST(CupsEndToEnd, DocumentsTheSchedulerDoesNotCountAreCountedFromTheirBytes) {
    REQUIRE_CUPS();
    TempDir docs;
    const std::string pcl = GhostscriptDocument(docs, "ljet4", PlainPostScript(3));
    const std::string pxl = GhostscriptDocument(docs, "pxlmono", PlainPostScript(4));
    const std::string pdf = GhostscriptDocument(docs, "pdfwrite", PlainPostScript(2));
    const std::string ps = GhostscriptDocument(docs, "ps2write", PlainPostScript(5));
    ASSERT_FALSE(pcl.empty() || pxl.empty() || pdf.empty() || ps.empty());
    std::string psTwice = MakePostScript(3);
    psTwice.insert(psTwice.find("%%Page:"), "<< /NumCopies 2 >> setpagedevice\n");

    CupsWorld w;
    ASSERT_TRUE(w.cupsd.Running());
    w.log.SetFilePath(docs / "log.txt");
    w.log.SetEnabled(true);
    w.log.SetDebug(true);
    w.Start();
    struct Job {
        std::string queue, name, bytes;
        std::vector<std::string> options;
        int pages;  // 0: not recorded
    };
    const std::vector<Job> jobs = {
        {"Raw", "three.pcl", pcl, {}, 3},
        {"Raw", "four.pxl", pxl, {"-n", "2"}, 8},
        {"Raw", "two.pdf", pdf, {}, 2},
        {"Raw", "five.ps", ps, {"-n", "3"}, 15},
        {"Raw", "hello.txt", "hello, printer\n", {}, 0},
        {"Fast", "driver.pxl", pxl, {"-o", "raw"}, 4},
        {"Fast", "twice.ps", psTwice, {}, 6},
    };
    std::map<std::string, int> expected;
    size_t recorded = 0;
    for (const auto& job : jobs) {
        std::vector<std::string> options = job.options;
        options.insert(options.end(), {"-t", job.name});
        ASSERT_EQ(w.Print(job.queue, w.cupsd.Document(job.name, job.bytes), options), 0);
        expected[job.queue] += job.pages;
        recorded += job.pages > 0 ? 1 : 0;
    }
    auto records = w.WaitForRecords(recorded, std::chrono::seconds(60));
    // Whatever else would come, comes within a moment.
    for (int i = 0; i < 20; ++i) {
        w.Follow();
    }
    records = w.Records();
    ASSERT_EQ(records.size(), recorded);
    std::map<std::string, int> pages;
    std::multiset<int> each;
    for (const auto& r : records) {
        pages[r.printerName] += r.pagesPrintedTimesCopies;
        each.insert(r.totalPagesTimesCopies);
        EXPECT_EQ(r.totalPagesTimesCopies, r.pagesPrintedTimesCopies);
        EXPECT_EQ(r.userName, "alice");
    }
    EXPECT_EQ(pages, expected);
    EXPECT_EQ(each, (std::multiset<int>{2, 3, 4, 6, 8, 15}));
    const std::string log = ReadFile(docs / "log.txt");
    for (const char* line :
         {"counted by PCL 5: 3 pages", "counted by PCL XL in PJL: 8 pages (job copies: 2)",
          "counted by PDF: 2 pages", "counted by PostScript page comments: 15",
          "not recorded: unknown document format", "counted by PostScript copies: 2 copies"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
    }
}

// Any client may claim any user name; none of them may split or forge a record.
// Jobs Samba hands over carry the client's address; naming it must not hold up the jobs of
// other queues when the name server is silent, and the address stands when no name comes soon.
TEST(CupsEndToEnd, ASilentNameServerHoldsUpNoOtherQueue) {
    REQUIRE_CUPS();
    platform::UseNameLookupForTests([](const std::string&) {
        std::this_thread::sleep_for(std::chrono::seconds(30));
        return std::string("TOO-LATE");
    });
    CupsWorld w({"Samba:ps", "Local:ps"});
    w.Start();
    const std::string doc = w.cupsd.Document("one.ps", MakePostScript(1));
    for (int i = 1; i <= 5; ++i) {
        ASSERT_EQ(
            w.Print("Samba", doc,
                    {"-o", std::string("job-originating-host-name=10.0.1.") + std::to_string(i)}),
            0);
    }
    const auto printed = Clock::now();
    ASSERT_EQ(w.Print("Local", doc), 0);
    std::vector<PrintRecord> records;
    while (Clock::now() - printed < std::chrono::seconds(20)) {
        records = w.Records();
        if (std::any_of(records.begin(), records.end(),
                        [](const PrintRecord& r) { return r.printerName == "Local"; })) {
            break;
        }
        w.Follow();
    }
    const auto late = std::chrono::duration<double>(Clock::now() - printed).count();
    EXPECT_LT(late, 5.0) << "the local job waited for the name lookups";
    records = w.WaitForRecords(6);
    std::set<std::string> machines;
    for (const auto& r : records) {
        if (r.printerName == "Samba") {
            machines.insert(r.machineName);
        }
    }
    EXPECT_EQ(machines, (std::set<std::string>{"\\\\10.0.1.1", "\\\\10.0.1.2", "\\\\10.0.1.3",
                                               "\\\\10.0.1.4", "\\\\10.0.1.5"}));
    platform::UseNameLookupForTests(nullptr);
    std::printf("a local job beside 5 silent name lookups recorded in %.1f s\n", late);
}

TEST(CupsEndToEnd, UntrustedUserNamesStayInOneRecord) {
    REQUIRE_CUPS();
    CupsWorld w;
    w.Start("ELSEWHERE");  // so the spooler's user names are kept
    const std::string doc = w.cupsd.Document("one.ps", MakePostScript(1));
    const std::vector<std::string> users = {"x,y z", "Mallory, Eve;\"q\"", std::string(300, 'u'),
                                            "9,20991231235959,P,\\\\PC1,boss", ""};
    for (const auto& user : users) {
        ASSERT_EQ(w.Print("Fast", doc, {"-U", user}), 0);
    }
    auto records = w.WaitForRecords(users.size());
    ASSERT_EQ(records.size(), users.size());
    // Each owner's jobs are recorded in their order; different owners' may pass each other.
    std::sort(records.begin(), records.end(),
              [](const PrintRecord& a, const PrintRecord& b) { return a.jobId < b.jobId; });
    for (const auto& r : records) {
        EXPECT_GT(r.jobId, 0);
        EXPECT_EQ(r.machineName, "\\\\ELSEWHERE");
        EXPECT_EQ(r.userName.find(','), std::string::npos);
        EXPECT_EQ(r.pagesPrintedTimesCopies, 1);
    }
    EXPECT_EQ(records[0].userName, "x_y z");
    EXPECT_EQ(records[1].userName, "Mallory_ Eve;\"q\"");
    EXPECT_EQ(records[3].userName, "9_20991231235959_P_\\\\PC1_boss");
    EXPECT_FALSE(records[4].userName.empty()) << "CUPS names a job without a user";
    const std::string file = ReadFile(w.files.DataFilePath());
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), static_cast<long>(users.size()));
}

TEST(CupsEndToEnd, TheSubscriptionIsRenewedWhileWatchedAndCancelledAfterwards) {
    REQUIRE_CUPS();
    PrivateCupsd cupsd({"Fast:ps"});
    PrintDataFixture f;
    DiagnosticLog log;
    int subscription = 0;
    {
        platform::CupsSpooler spooler("PC1", FastPolling(2));
        SpoolWatchers watchers(spooler, f.files, log);
        watchers.Start();
        for (int i = 0; i < 100 && spooler.SubscriptionId() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        subscription = spooler.SubscriptionId();
        ASSERT_GT(subscription, 0);
        // Three leases long: renewed, never expired.
        std::this_thread::sleep_for(std::chrono::seconds(6));
        EXPECT_EQ(spooler.SubscriptionId(), subscription);
        ASSERT_EQ(
            cupsd.Client({"/usr/bin/lp", "-d", "Fast", cupsd.Document("one.ps", MakePostScript(1))})
                .exitCode,
            0);
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (!Exists(f.files.DataFilePath()) && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(Exists(f.files.DataFilePath()));
        watchers.Stop();
    }
    platform::cups::CupsClient client;
    std::vector<platform::cups::Event> events;
    EXPECT_EQ(client.Notifications(subscription, 1, events), platform::cups::Status::NotFound);
}

TEST(CupsEndToEnd, JobsQueuedOnAHeldQueueAreWrittenWhenItEmpties) {
    REQUIRE_CUPS();
    CupsWorld w;
    w.Start();
    ASSERT_EQ(w.cupsd.Client({"/usr/sbin/cupsdisable", "Fast"}).exitCode, 0);
    const std::string doc = w.cupsd.Document("two.ps", MakePostScript(2));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(w.Print("Fast", doc), 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(w.Records().empty()) << "nothing is written while the queue still holds jobs";
    ASSERT_EQ(w.cupsd.Client({"/usr/sbin/cupsenable", "Fast"}).exitCode, 0);
    const auto records = w.WaitForRecords(3);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_LT(records[0].jobId, records[1].jobId);
    EXPECT_LT(records[1].jobId, records[2].jobId);
    for (const auto& r : records) {
        EXPECT_EQ(r.pagesPrintedTimesCopies, 2);
    }
}

TEST(CupsEndToEnd, CountingGoesOnAcrossASchedulerRestart) {
    REQUIRE_CUPS();
    CupsWorld w;
    w.Start();
    const std::string doc = w.cupsd.Document("one.ps", MakePostScript(1));
    ASSERT_EQ(w.Print("Fast", doc), 0);
    ASSERT_EQ(w.WaitForRecords(1).size(), 1u);

    w.cupsd.Stop();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the watchers see it gone
    ASSERT_TRUE(w.cupsd.Start());
    ASSERT_EQ(w.Print("Fast", doc), 0);
    // The watchers find the scheduler again within seconds; a loaded machine may take longer.
    const auto records = w.WaitForRecords(2, std::chrono::seconds(90));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].jobId, records[1].jobId);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(w.watchers->Slots().At(i).running.load(), 1) << i;
    }

    // The spool wiped while it was down: job ids start again from 1, and are new jobs to us.
    w.cupsd.Stop();
    w.cupsd.WipeSpool();
    ASSERT_TRUE(w.cupsd.Start());
    ASSERT_EQ(w.Print("Fast", doc), 0);
    const auto reused = w.WaitForRecords(3);
    ASSERT_EQ(reused.size(), 3u);
    EXPECT_EQ(reused[2].jobId, records[0].jobId);
}

// Every job once, each with the pages the scheduler itself logged for it, although each of three
// bursts overflows the events the scheduler keeps (MaxEvents 100; the spooler here looks only
// once a second): the jobs whose events were dropped are found by their ids.
TEST(CupsEndToEnd, BurstsThatOverflowTheSchedulersEventsAreRecordedOnceEach) {
    REQUIRE_CUPS();
    CupsWorld w;
    std::atomic<int> gaps{0};
    w.Start("PC1", SlowPollingCountingGaps(gaps));
    const std::string docs[] = {w.cupsd.Document("one.ps", MakePostScript(1)),
                                w.cupsd.Document("two.ps", MakePostScript(2)),
                                w.cupsd.Document("three.ps", MakePostScript(3))};
    constexpr int kBursts = 3;
    constexpr int kJobs = 150;  // a burst; the three stay within the history kept (MaxJobs 500)
    const auto started = Clock::now();
    std::atomic<int> refused{0};
    for (int burst = 0; burst < kBursts; ++burst) {
        const int gapsBefore = gaps.load();
        // Submitted by a few clients at once, as a busy office would.
        std::vector<std::thread> clients;
        for (int c = 0; c < 3; ++c) {
            clients.emplace_back([&, c] {
                for (int i = 0; i < kJobs / 3; ++i) {
                    refused += w.Print("Fast", docs[(c + i) % 3]) != 0 ? 1 : 0;
                }
            });
        }
        for (auto& t : clients) {
            t.join();
        }
        w.WaitForRecords(static_cast<size_t>((burst + 1) * kJobs), std::chrono::seconds(120));
        EXPECT_GT(gaps.load(), gapsBefore) << "burst " << burst << " lost no events";
    }
    // A job lp could not submit on a loaded machine is not ours to lose; every other one is.
    ASSERT_EQ(refused.load(), 0) << "lp failed to submit jobs";
    constexpr int kAll = kBursts * kJobs;
    const auto records = w.WaitForRecords(kAll, std::chrono::seconds(10));
    const auto took = std::chrono::duration<double>(Clock::now() - started).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto logged = w.cupsd.PageLog();
    std::map<int, int> times;
    int wrong = 0;
    for (const auto& r : records) {
        ++times[r.jobId];
        const auto it = logged.find(r.jobId);
        const int pages = it == logged.end() ? -2 : it->second;
        wrong += (r.totalPagesTimesCopies != pages || r.pagesPrintedTimesCopies != pages) ? 1 : 0;
    }
    std::string missing, twice;
    for (const auto& [id, pages] : logged) {
        if (times[id] != 1) {
            (times[id] == 0 ? missing : twice) += " " + std::to_string(id);
        }
    }
    EXPECT_TRUE(missing.empty()) << records.size() << " of " << kAll << " recorded after " << took
                                 << " s; not recorded:" << missing;
    EXPECT_TRUE(twice.empty()) << "recorded twice:" << twice;
    EXPECT_EQ(logged.size(), static_cast<size_t>(kAll));
    EXPECT_EQ(wrong, 0) << "records whose pages differ from the scheduler's page log";
    std::printf("%d jobs in %d bursts submitted and recorded in %.1f s\n", kAll, kBursts, took);
}

// A queue that does not run empty keeps its finished jobs until it does. Events lost beside it
// must not make each catch-up ask the scheduler about every one of them again: on a busy server
// that took seconds, during which the next events were dropped too, and raw jobs' documents were
// forgotten before they could be fetched.
TEST(CupsEndToEnd, CatchingUpBesideABusyQueueAsksOnlyForWhatWasMissed) {
    REQUIRE_CUPS();
    CupsWorld w({"Fast:ps", "Raw:raw"});
    std::atomic<int> gaps{0};
    w.Start("PC1", SlowPollingCountingGaps(gaps));
    const std::string pdf = w.cupsd.Document("one.pdf", MakePdf(1));
    const std::string pcl = w.cupsd.Document("one.pcl",
                                             "\x1b"
                                             "E"
                                             "page\f\x1b"
                                             "E");
    const auto burst = [&](const std::string& queue, const std::string& doc, int jobs) {
        std::atomic<int> refused{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < 3; ++c) {
            clients.emplace_back([&] {
                for (int i = 0; i < jobs / 3; ++i) {
                    refused += w.Print(queue, doc) != 0 ? 1 : 0;
                }
            });
        }
        for (auto& t : clients) {
            t.join();
        }
        return refused.load();
    };
    ASSERT_EQ(w.Print("Fast", pdf, {"-H", "indefinite"}), 0);
    constexpr int kBusy = 240;
    ASSERT_EQ(burst("Fast", pdf, kBusy), 0);
    const auto deadline = Clock::now() + std::chrono::seconds(180);
    while (w.cupsd.PageLog().size() < kBusy && Clock::now() < deadline) {
        w.Follow();
    }
    ASSERT_EQ(w.cupsd.PageLog().size(), static_cast<size_t>(kBusy));
    EXPECT_TRUE(w.Records().empty());

    const int gapsBefore = gaps.load();
    const auto requestsBefore = platform::cups::CupsClient::RequestsSent();
    constexpr int kRaw = 300;
    ASSERT_EQ(burst("Raw", pcl, kRaw), 0);
    const auto raw = w.WaitForRecords(kRaw, std::chrono::seconds(60));
    const auto requests = platform::cups::CupsClient::RequestsSent() - requestsBefore;
    EXPECT_EQ(raw.size(), static_cast<size_t>(kRaw));
    EXPECT_GT(gaps.load(), gapsBefore) << "the raw burst lost no events";
    // A look at each new job when it comes and when it ends, the queues' lengths, a listing per
    // loss: about two requests a job, however many finished jobs the busy queue holds.
    EXPECT_LT(requests, 3u * kRaw) << "requests while " << kRaw << " raw jobs were recorded";

    // The held job goes; the busy queue runs empty and hands its jobs over, each once.
    ASSERT_EQ(w.cupsd.Client({"/usr/bin/cancel", "-a", "Fast"}).exitCode, 0);
    const auto records = w.WaitForRecords(kRaw + kBusy, std::chrono::seconds(60));
    std::map<std::string, std::set<int>> ids;
    int pages = 0;
    for (const auto& r : records) {
        ids[r.printerName].insert(r.jobId);
        pages += r.pagesPrintedTimesCopies;
    }
    EXPECT_EQ(records.size(), static_cast<size_t>(kRaw + kBusy));
    EXPECT_EQ(ids["Raw"].size(), static_cast<size_t>(kRaw));
    EXPECT_EQ(ids["Fast"].size(), static_cast<size_t>(kBusy));
    EXPECT_EQ(pages, kRaw + kBusy);
    std::printf("%llu requests for %d raw jobs beside %d finished jobs of a busy queue\n",
                static_cast<unsigned long long>(requests), kRaw, kBusy);
}

// Jobs counted from their documents, faster than they can be counted one connection at a time:
// the scheduler forgets the oldest finished jobs beyond MaxJobs (500), so each document must be
// fetched soon after its job ends.
TEST(CupsEndToEnd, ARawBurstBeyondWhatTheSchedulerKeepsIsFetchedInTime) {
    REQUIRE_CUPS();
    CupsWorld w({"Raw:raw"});
    w.Start();
    const std::string doc = w.cupsd.Document("one.pcl",
                                             "\x1b"
                                             "E"
                                             "page\f\x1b"
                                             "E");
    constexpr int kClients = 4;
    constexpr int kJobs = 1200;
    std::atomic<int> refused{0};
    const auto started = Clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&] {
            for (int i = 0; i < kJobs / kClients; ++i) {
                refused += w.Print("Raw", doc) != 0 ? 1 : 0;
            }
        });
    }
    for (auto& t : clients) {
        t.join();
    }
    ASSERT_EQ(refused.load(), 0) << "lp failed to submit jobs";
    const auto records = w.WaitForRecords(kJobs, std::chrono::seconds(120));
    const auto took = std::chrono::duration<double>(Clock::now() - started).count();
    std::set<int> ids;
    int wrong = 0;
    for (const auto& r : records) {
        ids.insert(r.jobId);
        wrong += r.pagesPrintedTimesCopies != 1 ? 1 : 0;
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(kJobs)) << "after " << took << " s";
    EXPECT_EQ(records.size(), static_cast<size_t>(kJobs));
    EXPECT_EQ(wrong, 0);
    std::printf("%d raw jobs submitted and recorded in %.1f s\n", kJobs, took);
}

// lp, lpr and Samba make a job first and send its document afterwards: the job is seen before
// it has a document or a format. A large document sent slowly, in pieces, is still counted.
TEST(CupsEndToEnd, AJobWhoseDocumentComesLaterIsCounted) {
    REQUIRE_CUPS();
    CupsWorld w({"Raw:raw"});
    w.Start();
    // Three pages of PCL 5 whose raster rows (40 MB) are full of form-feed bytes.
    const std::string row = "\x1b*b65536W" + std::string(65536, '\x0c');
    std::string page = "\x1b*r1A";
    for (int i = 0; i < 200; ++i) {
        page += row;
    }
    page += "\x1b*rB\f";
    const std::string doc =
        "\x1b"
        "E" +
        page + page + page +
        "\x1b"
        "E";

    const int id = cupsCreateJob(CUPS_HTTP_DEFAULT, "Raw", "scan", 0, nullptr);
    ASSERT_GT(id, 0) << cupsLastErrorString();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // watched while it has no document
    ASSERT_EQ(cupsStartDocument(CUPS_HTTP_DEFAULT, "Raw", id, "scan.pcl", CUPS_FORMAT_RAW, 1),
              HTTP_STATUS_CONTINUE);
    constexpr std::size_t kChunk = 1 << 20;
    for (std::size_t at = 0; at < doc.size(); at += kChunk) {
        const std::size_t n = std::min(kChunk, doc.size() - at);
        ASSERT_EQ(cupsWriteRequestData(CUPS_HTTP_DEFAULT, doc.data() + at, n),
                  HTTP_STATUS_CONTINUE);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(cupsFinishDocument(CUPS_HTTP_DEFAULT, "Raw"), IPP_STATUS_OK) << cupsLastErrorString();
    const auto records = w.WaitForRecords(1, std::chrono::seconds(60));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].jobId, id);
    EXPECT_EQ(records[0].pagesPrintedTimesCopies, 3);
}

// Queue names as the scheduler allows them, and queues that come and go while we run.
TEST(CupsEndToEnd, QueuesAreFollowedWhateverTheirNameAndWhenTheyCome) {
    REQUIRE_CUPS();
    const std::string japanese = "事務室プリンタ";
    CupsWorld w({japanese + ":ps", "Q-1_x2:ps"});
    w.Start();
    const std::string doc = w.cupsd.Document("two.ps", MakePostScript(2));
    ASSERT_EQ(w.Print(japanese, doc), 0);
    ASSERT_EQ(w.Print("Q-1_x2", doc), 0);
    auto records = w.WaitForRecords(2);
    ASSERT_EQ(records.size(), 2u);
    std::set<std::string> printers{records[0].printerName, records[1].printerName};
    EXPECT_EQ(printers, (std::set<std::string>{japanese, "Q-1_x2"}));

    // Added while we run: watched within two seconds, and a job printed at once is not missed.
    const auto added = Clock::now();
    ASSERT_EQ(w.cupsd
                  .Client({"/usr/sbin/lpadmin", "-p", "Late", "-E", "-v", "file:///dev/null", "-m",
                           "drv:///sample.drv/generic.ppd"})
                  .exitCode,
              0);
    ASSERT_EQ(w.Print("Late", doc), 0);
    const int late = w.WaitUntilWatched("Late", std::chrono::seconds(2));
    const double seconds = std::chrono::duration<double>(Clock::now() - added).count();
    ASSERT_GE(late, 0) << "not watched within 2 s";
    std::printf("a queue added while running was watched after %.2f s\n", seconds);
    records = w.WaitForRecords(3);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].printerName, "Late");
    EXPECT_EQ(records[2].pagesPrintedTimesCopies, 2);

    // Deleted: its watcher ends and it is no longer offered.
    ASSERT_EQ(w.cupsd.Client({"/usr/sbin/lpadmin", "-x", "Late"}).exitCode, 0);
    auto& slot = w.watchers->Slots().At(late);
    for (int i = 0; i < 60 && (slot.listed || slot.running.load() != 0); ++i) {
        w.Follow();
    }
    EXPECT_FALSE(slot.listed);
    EXPECT_EQ(slot.running.load(), 0);
    EXPECT_EQ(w.watchers->Slots().At(0).running.load(), 1);
}

// A print server has hundreds of queues, most of them idle most of the time: their watchers
// start at once and cost nothing while nothing prints (a stop still ends them at once).
TEST(CupsEndToEnd, ManyIdleQueuesCostNothing) {
    REQUIRE_CUPS();
    std::vector<std::string> queues;
    for (int i = 1; i <= 60; ++i) {
        queues.push_back(std::string("Q") + std::to_string(i) + ":raw");
    }
    CupsWorld w(queues);
    const auto started = Clock::now();
    w.Start();
    const auto startTook = std::chrono::duration<double>(Clock::now() - started).count();
    ASSERT_EQ(w.watchers->Slots().Count(), 60);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // settled: every queue looked at
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    // Only the poller asks the scheduler, a few times a second; watchers that woke up to look
    // for a stop would make 60 x 2 a second.
    const long wakeups = after.ru_nvcsw - before.ru_nvcsw;
    EXPECT_LT(wakeups, 100) << "context switches in 3 idle seconds";
    const auto stopping = Clock::now();
    w.watchers->Stop();
    const auto stopTook = std::chrono::duration<double>(Clock::now() - stopping).count();
    EXPECT_LT(stopTook, 2.0);
    std::printf("60 queues: started in %.2f s, %ld wake-ups in 3 idle s, stopped in %.2f s\n",
                startTook, wakeups, stopTook);
}

// Started before its scheduler, the monitor watches its queues once it is there.
TEST(CupsEndToEnd, ASchedulerThatStartsLaterIsFollowed) {
    REQUIRE_CUPS();
    CupsWorld w({"Fast:ps"}, false);
    UseCupsServer(w.cupsd.FutureSocket());
    w.Start();
    EXPECT_EQ(w.watchers->Slots().Count(), 0);
    ASSERT_TRUE(w.cupsd.Start());
    ASSERT_GE(w.WaitUntilWatched("Fast", std::chrono::seconds(5)), 0);
    ASSERT_EQ(w.Print("Fast", w.cupsd.Document("one.ps", MakePostScript(1))), 0);
    EXPECT_EQ(w.WaitForRecords(1).size(), 1u);
}

// Jobs waiting in a queue when the monitor starts print while it watches: they are recorded.
// Jobs that had ended before are history and are not.
TEST(CupsEndToEnd, JobsQueuedBeforeTheStartAreRecorded) {
    REQUIRE_CUPS();
    CupsWorld w({"Fast:ps"});
    const std::string doc = w.cupsd.Document("two.ps", MakePostScript(2));
    ASSERT_EQ(w.Print("Fast", doc), 0);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // printed and done
    ASSERT_EQ(w.cupsd.Client({"/usr/sbin/cupsdisable", "Fast"}).exitCode, 0);
    ASSERT_EQ(w.Print("Fast", doc), 0);
    ASSERT_EQ(w.Print("Fast", doc), 0);
    w.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(w.cupsd.Client({"/usr/sbin/cupsenable", "Fast"}).exitCode, 0);
    const auto records = w.WaitForRecords(2);
    ASSERT_EQ(records.size(), 2u);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(w.Records().size(), 2u) << "a job that ended before the start was recorded";
}

// By default the scheduler shows a job's owner only to the owner and its administrators. A
// monitor that may not see it leaves the job alone instead of writing it without an owner.
TEST(CupsEndToEnd, JobsWhoseOwnerIsHiddenAreLeftToTheirOwner) {
    REQUIRE_CUPS();
    setenv("CUPS_USER", "carol", 1);  // the monitor asks as an ordinary user
    CupsWorld w({"Fast:ps"});
    w.Start("ELSEWHERE");
    const std::string doc = w.cupsd.Document("one.ps", MakePostScript(1));
    ASSERT_EQ(w.Print("Fast", doc, {"-U", "bob"}), 0);
    ASSERT_EQ(w.Print("Fast", doc, {"-U", "carol"}), 0);
    const auto records = w.WaitForRecords(1);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    unsetenv("CUPS_USER");
    ASSERT_EQ(w.Records().size(), 1u);
    EXPECT_EQ(records[0].userName, "carol");
    EXPECT_EQ(records[0].machineName, "\\\\ELSEWHERE");
}

TEST(CupsEndToEnd, WithoutASchedulerTheProgramRunsWithNoPrinters) {
    REQUIRE_CUPS();
    PrintDataFixture f;
    TempDir nowhere;
    UseCupsServer(nowhere / "missing.sock");
    DiagnosticLog log;
    platform::CupsSpooler spooler("PC1");
    SpoolWatchers watchers(spooler, f.files, log);
    watchers.Start();
    EXPECT_EQ(watchers.Slots().Count(), 0);
    std::vector<platform::PrinterInfo> printers;
    EXPECT_FALSE(spooler.EnumPrinters(printers));
    watchers.Stop();
}

// The queues of a scheduler on another host are network printers: only jobs sent from this
// computer are recorded there.
TEST(CupsEndToEnd, RemoteQueuesAreNetworkPrintersThatRecordOnlyOurJobs) {
    if (!RemoteCupsd::Available()) {
        GTEST_SKIP() << "needs root, the CUPS packages and network namespaces";
    }
    RemoteCupsd remote({"Net:ps"});
    if (!remote.NamespaceEntered()) {
        GTEST_SKIP() << "cannot create or enter a network namespace here (a container without "
                        "CAP_SYS_ADMIN?)";
    }
    ASSERT_TRUE(remote.Running());
    UseCupsServer(remote.Server());
    PrintDataFixture f;
    DiagnosticLog log;
    platform::CupsSpooler spooler("PC1", FastPolling());
    SpoolWatchers watchers(spooler, f.files, log);
    watchers.Start();
    ASSERT_EQ(watchers.Slots().Count(), 1);
    EXPECT_EQ(watchers.Slots().At(0).printerName, "\\\\" + remote.Address() + "\\Net");
    EXPECT_EQ(watchers.Slots().At(0).serverName, "\\\\" + remote.Address());
    EXPECT_EQ(watchers.Slots().At(0).running.load(), 1);

    const std::string doc = remote.Document("two.ps", MakePostScript(2));
    ASSERT_EQ(remote.PrintOnTheServer("Net", doc), 0);
    ASSERT_EQ(remote.PrintFromHere("Net", doc), 0);
    ASSERT_EQ(remote.PrintOnTheServer("Net", doc), 0);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!Exists(f.files.DataFilePath()) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // anything else would have come by now
    ASSERT_TRUE(Exists(f.files.DataFilePath()));
    const auto records = f.ReadAll(f.files.DataFilePath());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].printerName, "Net");
    EXPECT_EQ(records[0].machineName, "\\\\PC1");
    EXPECT_EQ(records[0].userName, "alice");
    EXPECT_EQ(records[0].pagesPrintedTimesCopies, 2);
    watchers.Stop();
}

// The program itself as a process, without a display, with folders and settings of its own.
struct MonitorProcess {
    TempDir home;
    std::vector<std::string> env;

    explicit MonitorProcess(const std::string& server)
        : env{"CUPS_SERVER=" + server,
              "TESSAROVEN_MACHINE_REGISTRY=" + (home / "machine.db"),
              "TESSAROVEN_USER_REGISTRY=" + (home / "user.db"),
              "TESSAROVEN_COMMON_APPDATA=" + (home / "common"),
              "XDG_RUNTIME_DIR=" + home.Path(),
              "XDG_STATE_HOME=" + (home / "state"),
              "QT_QPA_PLATFORM=offscreen"} {}

    CommandResult Ctl(std::vector<std::string> args) const {
        args.insert(args.begin(), CTL_PATH);
        return RunCommand(args, env);
    }
    // Starts the monitor and returns its pid once its status says it runs (or after 5 s).
    int Spawn(const std::string& output) const {
        const int pid = SpawnCommand({MONITOR_PATH}, env, home / output);
        for (int i = 0; i < 1000 && Ctl({"status"}).out != "running\n"; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return pid;
    }
    std::string Output(const std::string& output) const { return ReadFile(home / output); }
};

// A job that printed but cannot be counted leaves a line on standard error (the service's
// journal) with its printer, owner, id, size and the reason, and one in the diagnostic log once
// an administrator has switched that on.
TEST(CupsEndToEnd, AJobThatCannotBeCountedIsReportedWithItsReason) {
    REQUIRE_CUPS();
    PrivateCupsd cupsd({"Raw:raw"});
    MonitorProcess p(cupsd.Socket());
    ASSERT_EQ(p.Ctl({"reg", "set", "HKLM\\SOFTWARE\\Tessaroven\\Setting", "DiagnosticLog",
                     "--dword", "1"})
                  .exitCode,
              0);
    const int monitor = p.Spawn("monitor.log");
    // A text file sent as printer data: in no printer language.
    const std::string text = "Hello, printer\n" + std::string(2974, 'x');
    const auto submitted =
        cupsd.Client({"/usr/bin/lp", "-d", "Raw", cupsd.Document("text.prn", text)});
    ASSERT_EQ(submitted.exitCode, 0);
    const std::string id = submitted.out.substr(submitted.out.find("Raw-") + 4);
    const std::string line = "job " + std::to_string(std::atoi(id.c_str())) + " on Raw (" +
                             platform::UserName() +
                             "), 3 kB: not recorded: its pages could not "
                             "be counted (unknown document format)";
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (p.Output("monitor.log").find(line) == std::string::npos && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(p.Output("monitor.log").find(line), std::string::npos) << p.Output("monitor.log");
    EXPECT_EQ(p.Ctl({"stop", "--wait", "10"}).exitCode, 0);
    EXPECT_EQ(WaitForExit(monitor, 5000), 0);
    const std::string log = ReadFile(p.home / "state/tessaroven/log.txt");
    EXPECT_NE(log.find("EPMON5006 JobNo<"), std::string::npos) << log;
    EXPECT_EQ(log.find("DPMON"), std::string::npos) << "progress lines only at level 2";
}

// Counts a job printed with lp and stops on request, or when its terminal goes.
TEST(CupsEndToEnd, TheMonitorCountsAndStopsOnRequest) {
    REQUIRE_CUPS();
    PrivateCupsd cupsd({"Fast:ps"});
    MonitorProcess p(cupsd.Socket());
    const int monitor = p.Spawn("monitor.log");
    ASSERT_EQ(p.Ctl({"status"}).out, "running\n");
    ASSERT_EQ(cupsd
                  .Client({"/usr/bin/lp", "-d", "Fast", "-n", "3",
                           cupsd.Document("two.ps", MakePostScript(2))})
                  .exitCode,
              0);
    const std::string file =
        p.home /
        ("common/Tessaroven/" + PrintDataFileName(platform::UserName(), platform::ComputerName()));
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!Exists(file) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string stored = ReadFile(file);
    EXPECT_NE(stored.find(",Fast,\\\\" + platform::ComputerName() + "," + platform::UserName() +
                          ",6,6\r\r\n"),
              std::string::npos)
        << stored;
    EXPECT_EQ(p.Ctl({"stop", "--wait", "10"}).exitCode, 0);
    EXPECT_EQ(WaitForExit(monitor, 5000), 0);
    EXPECT_EQ(p.Ctl({"reg", "get", "HKLM\\SOFTWARE\\Tessaroven\\Setting", "TessarovenStatus"}).out,
              "2\n");

    // A closed terminal or a logout ends it the same way.
    const int hungUp = p.Spawn("monitor2.log");
    ASSERT_EQ(p.Ctl({"status"}).out, "running\n");
    kill(hungUp, SIGHUP);
    EXPECT_EQ(WaitForExit(hungUp, 10000), 0);
    EXPECT_EQ(p.Ctl({"reg", "get", "HKLM\\SOFTWARE\\Tessaroven\\Setting", "TessarovenStatus"}).out,
              "2\n");
}

// A stop that arrives while the watchers of many queues are still starting ends the program
// cleanly; so does a start without any scheduler, which says so once.
TEST(CupsEndToEnd, TheMonitorStopsCleanlyWhileStartingAndRunsWithoutAScheduler) {
    REQUIRE_CUPS();
    std::vector<std::string> queues;
    for (int i = 0; i < 250; ++i) {
        queues.push_back(std::string("Q").append(std::to_string(i)).append(":raw"));
    }
    PrivateCupsd cupsd(queues);
    ASSERT_TRUE(cupsd.Running());
    MonitorProcess p(cupsd.Socket());
    for (int run = 0; run < 2; ++run) {
        const int monitor = p.Spawn("monitor.log");
        ASSERT_EQ(p.Ctl({"stop"}).exitCode, 0);
        EXPECT_EQ(WaitForExit(monitor, 60000), 0) << p.Output("monitor.log");
        EXPECT_EQ(
            p.Ctl({"reg", "get", "HKLM\\SOFTWARE\\Tessaroven\\Setting", "TessarovenStatus"}).out,
            "2\n");
    }

    MonitorProcess alone(p.home / "nowhere.sock");
    const int pid = alone.Spawn("alone.log");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(alone.Ctl({"stop", "--wait", "10"}).exitCode, 0);
    EXPECT_EQ(WaitForExit(pid, 5000), 0);
    const std::string said = alone.Output("alone.log");
    EXPECT_NE(said.find("the print spooler does not answer; watching for printers to appear"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("watching"), said.rfind("watching")) << "said more than once";
}

// The scheduler hands a finished job's document to its owner (and administrators) as long as it
// keeps the file (the policy the scheduler ships with), also after the scheduler restarted;
// everyone else, a cancelled job and a forgotten one get their own answer.
TEST(CupsEndToEnd, AJobDocumentIsHandedOnlyToWhoMayReadItWhileKept) {
    REQUIRE_CUPS();
    CupsWorld w({"Raw:raw"});
    ASSERT_TRUE(w.cupsd.Running());
    platform::CupsSpooler spooler("PC1");
    const std::string doc =
        "\x1b"
        "E" +
        std::string(5000, 'x') +
        "\f\x1b"
        "E";
    const auto submit = [&](std::vector<std::string> options) {
        std::vector<std::string> argv{"/usr/bin/lp", "-d", "Raw"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(w.cupsd.Document("doc.pcl", doc));
        const auto out = w.cupsd.Client(argv).out;  // "request id is Raw-7 (1 file(s))"
        const auto dash = out.find("Raw-");
        return dash == std::string::npos
                   ? 0u
                   : static_cast<std::uint32_t>(std::atoi(out.c_str() + dash + 4));
    };
    const std::uint32_t printed = submit({"-n", "2"});
    ASSERT_GT(printed, 0u);
    platform::JobDocuments docs;
    auto result = platform::FetchResult::NotPrinted;
    for (int i = 0; i < 200 && result == platform::FetchResult::NotPrinted; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        result = spooler.FetchJobDocuments("Raw", printed, docs);
    }
    ASSERT_EQ(result, platform::FetchResult::Ok);
    ASSERT_EQ(docs.documents.size(), 1u);
    EXPECT_EQ(docs.documents[0]->Data(), doc);
    EXPECT_EQ(docs.copies, 2);
    // Another queue's name does not reach it.
    EXPECT_EQ(spooler.FetchJobDocuments("Other", printed, docs), platform::FetchResult::Gone);

    const std::string server = w.cupsd.Socket();
    EXPECT_EQ(RunInChild(
                  [&] {
                      UseCupsServer(server);
                      cupsSetUser("nobody");  // libcups kept the name of the user who forked
                      platform::CupsSpooler asNobody("PC1");
                      platform::JobDocuments none;
                      return static_cast<int>(asNobody.FetchJobDocuments("Raw", printed, none));
                  },
                  true),
              static_cast<int>(platform::FetchResult::Forbidden));

    ASSERT_EQ(w.cupsd.Client({"/usr/sbin/cupsdisable", "Raw"}).exitCode, 0);
    const std::uint32_t cancelled = submit({});
    ASSERT_GT(cancelled, 0u);
    ASSERT_EQ(w.cupsd.Client({"/usr/bin/cancel", "Raw-" + std::to_string(cancelled)}).exitCode, 0);
    EXPECT_EQ(spooler.FetchJobDocuments("Raw", cancelled, docs), platform::FetchResult::NotPrinted);

    // A job the scheduler has forgotten.
    EXPECT_EQ(spooler.FetchJobDocuments("Raw", cancelled + 100, docs), platform::FetchResult::Gone);

    // The scheduler restarted: the connection kept for documents is dead, the job is still there.
    w.cupsd.Stop();
    ASSERT_TRUE(w.cupsd.Start());
    EXPECT_EQ(spooler.FetchJobDocuments("Raw", printed, docs), platform::FetchResult::Ok);
}

// One user's documents that take the interpreter to its limit do not hold up another user's
// job, and a stop gives up what is left within its own budget, leaving no interpreter behind.
TEST(CupsEndToEnd, SlowDocumentsOfOneUserHoldUpNobodyElse) {
    REQUIRE_CUPS();
    CupsWorld w({"Raw:raw"});
    w.files.SetRecordJobOwners(true);  // as the system service: each job under its owner
    w.Start();
    pagecount::Limits limits;
    limits.interpreterTime = std::chrono::seconds(6);
    w.watchers->PageCounter().SetLimits(limits, std::chrono::seconds(7));
    const std::string endless = w.cupsd.Document("endless.ps", "%!PS\n{} loop\n");
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(w.Print("Raw", endless, {"-U", "bob"}), 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // bob's are counted first
    const auto printed = Clock::now();
    ASSERT_EQ(w.Print("Raw",
                      w.cupsd.Document("one.pcl",
                                       "\x1b"
                                       "E"
                                       "page\f\x1b"
                                       "E"),
                      {"-U", "alice"}),
              0);
    const auto records = w.WaitForRecords(1, std::chrono::seconds(60));
    const double waited = std::chrono::duration<double>(Clock::now() - printed).count();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].userName, "alice");
    // One of bob's is counted at a time: the other counter is free for alice's.
    EXPECT_LT(waited, 4.0) << "alice's job waited behind bob's";

    const auto stopping = Clock::now();
    w.watchers->PageCounter().Stop(std::chrono::seconds(2));
    w.watchers->Stop();
    const double stopTook = std::chrono::duration<double>(Clock::now() - stopping).count();
    EXPECT_LT(stopTook, 4.0);
    EXPECT_NE(RunCommand({"/usr/bin/pgrep", "-f", "sDEVICE=nullpage"}).exitCode, 0)
        << "an interpreter outlived the stop";
    std::printf("a job behind 8 endless ones recorded after %.1f s; stop took %.1f s\n", waited,
                stopTook);
}

// A job whose document is still being counted when the monitor stops is recorded before the
// stop returns: its queue has run empty, and nobody would record it later. A slow count holds up
// no other job's fetch.
TEST(CupsEndToEnd, DocumentsAreFetchedAtOnceAndAStopWaitsForTheCountThatRuns) {
    REQUIRE_CUPS();
    CupsWorld w({"Raw:raw"});
    ASSERT_TRUE(w.cupsd.Running());
    w.Start();
    // About two seconds of work for the interpreter before its one page.
    const std::string slow = "%!PS\n0 1 40000000 { pop } for showpage\n";
    ASSERT_EQ(w.Print("Raw", w.cupsd.Document("slow.ps", slow)), 0);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (w.watchers->PageCounter().Idle() && Clock::now() < deadline) {
        w.Follow();
    }
    ASSERT_FALSE(w.watchers->PageCounter().Idle()) << "the job never reached the counter";
    EXPECT_TRUE(w.Records().empty());
    // A job that ends while the interpreter works has its document fetched at once: the
    // scheduler may forget it (here: purged) before the count of the one before is done.
    const std::string pcl =
        "\x1b"
        "E"
        "page\f"
        "\x1b"
        "E";
    ASSERT_EQ(w.Print("Raw", w.cupsd.Document("one.pcl", pcl)), 0);
    const auto printed = Clock::now() + std::chrono::seconds(10);
    while (!w.cupsd.Client({"/usr/bin/lpstat", "-o"}).out.empty() && Clock::now() < printed) {
        w.Follow();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto purged = w.cupsd.Client({"/usr/bin/cancel", "-a", "-x", "Raw"});
    ASSERT_EQ(purged.exitCode, 0) << purged.err;
    ASSERT_FALSE(w.watchers->PageCounter().Idle()) << "the interpreter was done too soon";
    w.watchers.reset();
    const auto records = w.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].totalPagesTimesCopies, 1);
    EXPECT_EQ(records[1].totalPagesTimesCopies, 1);
}
