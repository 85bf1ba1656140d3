// The data directory on a real SMB share, mounted twice as two computers would (one mount per
// computer, each with its own cache and locks). Needs root, for the share's private network.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "admin/DataMaintenance.h"
#include "storage/PrintDataFixture.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

std::string ShareTool() {
    const char* tool = std::getenv("TESSAROVEN_SMB_SHARE_TOOL");
    return tool != nullptr ? tool : SMB_SHARE_TOOL;
}

struct Share {
    TempDir work;
    std::string a;  // the folder as the first computer sees it
    std::string b;  // ... and the second
    std::string skip;

    Share() {
        if (geteuid() != 0) {
            skip = "needs root to run an SMB server in a network namespace of its own";
            return;
        }
        if (access(ShareTool().c_str(), X_OK) != 0) {
            skip = "no SMB share tool at " + ShareTool() + " (set TESSAROVEN_SMB_SHARE_TOOL)";
            return;
        }
        FILE* p = popen((ShareTool() + " start " + work.Path() + " 2>/dev/null").c_str(), "r");
        char line[4096];
        std::vector<std::string> lines;
        while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) {
            lines.emplace_back(line, std::strcspn(line, "\n"));
        }
        if (p == nullptr || pclose(p) != 0 || lines.size() < 2) {
            skip = "the SMB share could not be started";
            return;
        }
        a = lines[0];
        b = lines[1];
    }
    ~Share() {
        if (a.empty()) {
            return;
        }
        Run("stop");
        // Now and then the server outlives the tool's stop, and with it the namespace.
        std::ifstream pidFile(work / "smbd.pid");
        if (int pid = 0; pidFile >> pid && pid > 0 && kill(pid, 0) == 0) {
            kill(-pid, SIGKILL);
            Run("stop");
        }
    }
    void Run(const char* command) {
        std::system((ShareTool() + " " + command + " " + work.Path() + " >/dev/null 2>&1").c_str());
    }
};

CompletedJob Job(int id) {
    CompletedJob job;
    job.jobId = id;
    job.time = {2026, 12, 0, 7, 9, 30, 15, 0};
    job.printerName = "Laser";
    job.machineName = "\\\\PC";
    job.userName = "alice";
    job.totalPages = job.pagesPrinted = job.copies = 1;
    return job;
}

// One user's monitor on one computer: jobs first..last, one every pause.
void Print(PrintDataFixture& f, int first, int last, std::chrono::milliseconds pause) {
    for (int id = first; id <= last; ++id) {
        f.Write(Job(id));
        std::this_thread::sleep_for(pause);
    }
}

struct Count {
    std::map<std::int32_t, int> ids;
    int incomplete = 0;
};

Count CountRecords(PrintDataFixture& f, const std::string& dir) {
    Count c;
    for (const auto& path : ListPrintDataFiles(dir)) {
        for (const auto& r : f.ReadAll(path)) {
            r.jobId == -1 ? ++c.incomplete : ++c.ids[r.jobId];
        }
    }
    return c;
}

// Jobs of first..last that are missing, and those recorded more than once.
std::string Faults(const Count& c, int first, int last) {
    std::ostringstream out;
    int missing = 0;
    int twice = 0;
    for (int id = first; id <= last; ++id) {
        const auto it = c.ids.find(id);
        missing += it == c.ids.end() ? 1 : 0;
        twice += it != c.ids.end() && it->second > 1 ? 1 : 0;
    }
    if (missing + twice + c.incomplete > 0) {
        out << missing << " missing, " << twice << " twice, " << c.incomplete << " torn";
    }
    return out.str();
}

std::string Verdict(const Count& c, int first, int last) {
    const std::string faults = Faults(c, first, last);
    return faults.empty() ? "every job once" : faults;
}

}  // namespace

// Two computers print as the same user; in a second round a third purges old months through
// the second mount now and then.
TEST(NetworkShare, TwoComputersRecordEveryJobOnce) {
    Share share;
    if (!share.skip.empty()) {
        GTEST_SKIP() << share.skip;
    }
    const int kJobs = 100;
    const char* pause = std::getenv("TESSAROVEN_PURGE_PAUSE_MS");
    const int purgePause = pause != nullptr ? std::atoi(pause) : 300;
    auto round = [&](int base, bool purging) {
        int done[2];
        EXPECT_EQ(pipe(done), 0);
        std::vector<pid_t> children;
        for (int computer = 0; computer < 2; ++computer) {
            const pid_t pid = fork();
            if (pid == 0) {
                TempDir state;
                auto f = std::make_unique<PrintDataFixture>();
                f->files.SetNames(computer == 0 ? "PC-A" : "PC-B", "alice");
                f->files.SetDataDirectory(computer == 0 ? share.a : share.b);
                f->files.SetPendingStore(state / "waiting");
                const int first = base + computer * 1000 + 1;
                Print(*f, first, first + kJobs - 1, std::chrono::milliseconds(20));
                f->files.Pending().WaitUntilWritten(std::chrono::seconds(60));
                // The monitor runs on a while after its last job, then stops.
                (void)!write(done[1], "x", 1);
                std::this_thread::sleep_for(std::chrono::seconds(purging ? 3 : 0));
                f.reset();
                _exit(0);
            }
            children.push_back(pid);
        }
        std::atomic<bool> printing{true};
        int purges = 0;
        std::thread purger([&] {
            PrintDataFixture f;
            while (purging && printing) {
                f.files.AcquireRecordLock();
                PurgePrintData(f.files, share.b, 2006 * 12 + 3, f.sink);
                f.files.ReleaseRecordLock();
                ++purges;
                std::this_thread::sleep_for(std::chrono::milliseconds(purgePause));
            }
        });
        char x[2];
        for (size_t got = 0; got < 2;) {
            const ssize_t n = read(done[0], x, 2 - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        printing = false;
        purger.join();
        for (pid_t pid : children) {
            waitpid(pid, nullptr, 0);
        }
        close(done[0]);
        close(done[1]);
        return purges;
    };

    // Every job once, on the server and as the first computer reads the folder. A mount caches
    // a file's size for about a second, so another computer's latest records show only after
    // that: the reader waits it out.
    PrintDataFixture reader;
    auto check = [&](int base, const std::string& what) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        for (const std::string& dir : {share.work / "share/Tessaroven", share.a}) {
            const Count c = CountRecords(reader, dir);
            EXPECT_EQ(Faults(c, base + 1, base + kJobs), "") << "computer A, " << what << dir;
            EXPECT_EQ(Faults(c, base + 1001, base + 1000 + kJobs), "")
                << "computer B, " << what << dir;
            EXPECT_EQ(c.ids.count(999999), 0u) << "no purge got through";
        }
        const Count server = CountRecords(reader, share.work / "share/Tessaroven");
        std::printf("%s: computer A %s, computer B %s\n", what.c_str(),
                    Verdict(server, base + 1, base + kJobs).c_str(),
                    Verdict(server, base + 1001, base + 1000 + kJobs).c_str());
    };
    round(0, false);
    check(0, "without purges");

    WriteFile(share.a + "/PrintData_alice.dat", "999999,20060305101010,P,\\\\PC1,alice,2,2\r\r\n");
    const int purges = round(10000, true);
    check(10000, "with " + std::to_string(purges) + " purges");
}

// The link to the server goes down in the middle of printing and comes back.
TEST(NetworkShare, AnOutageLosesNoRecord) {
    Share share;
    if (!share.skip.empty()) {
        GTEST_SKIP() << share.skip;
    }
    const char* seconds = std::getenv("TESSAROVEN_OUTAGE_SECONDS");
    const auto outage = std::chrono::seconds(seconds != nullptr ? std::atoi(seconds) : 8);
    PrintDataFixture f;
    TempDir state;
    f.files.SetNames("PC-A", "alice");
    f.files.SetDataDirectory(share.a);
    f.files.SetPendingStore(state / "waiting");
    f.files.Pending().SetRetryInterval(std::chrono::seconds(1));
    Print(f, 1, 20, std::chrono::milliseconds(50));
    share.Run("down");
    const auto downAt = Clock::now();
    std::chrono::milliseconds longest{0};
    int id = 21;
    while (Clock::now() - downAt < outage) {
        const auto start = Clock::now();
        f.Write(Job(id++));
        longest = std::max(
            longest, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    share.Run("up");
    const auto upAt = Clock::now();
    const int last = id + 19;
    Print(f, id, last, std::chrono::milliseconds(50));
    while (f.files.PendingRecordCount() > 0 && Clock::now() - upAt < std::chrono::seconds(120)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto drained = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - upAt);
    EXPECT_EQ(f.files.PendingRecordCount(), 0u);
    EXPECT_LT(longest, std::chrono::seconds(3)) << "a watcher waited on the share";
    EXPECT_EQ(Faults(CountRecords(f, share.a), 1, last), "");
    std::printf(
        "%d jobs, %lld s outage, longest write %lld ms, all written %lld ms after the "
        "share came back\n",
        last, static_cast<long long>(outage.count()), static_cast<long long>(longest.count()),
        static_cast<long long>(drained.count()));
}
