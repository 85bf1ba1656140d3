#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "cups/PrivateCupsd.h"
#include "platform/Host.h"
#include "platform/InstanceLock.h"
#include "platform/SharedFile.h"
#include "storage/ServiceHandoff.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

bool Ip(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/sbin/ip");
    return RunCommand(args).exitCode == 0;
}

// Another computer: a network namespace reached over a veth pair, 10.232.<n>.2, with this
// computer at .1.
struct ClientComputer {
    std::string ns;
    std::string link;
    std::string hostAddress;
    std::string address;
    bool made = false;

    ClientComputer() {
        const std::string id = std::to_string(getpid());
        ns = "tsc" + id;
        link = "tch" + id;
        const std::string peer = "tcn" + id;
        const std::string net = "10.232." + std::to_string(getpid() % 250) + ".";
        hostAddress = net + "1";
        address = net + "2";
        made = Ip({"netns", "add", ns}) &&
               Ip({"link", "add", link, "type", "veth", "peer", "name", peer}) &&
               Ip({"link", "set", peer, "netns", ns}) &&
               Ip({"addr", "add", hostAddress + "/30", "dev", link}) &&
               Ip({"link", "set", link, "up"}) &&
               Ip({"netns", "exec", ns, "ip", "addr", "add", address + "/30", "dev", peer}) &&
               Ip({"netns", "exec", ns, "ip", "link", "set", peer, "up"}) &&
               Ip({"netns", "exec", ns, "ip", "link", "set", "lo", "up"});
    }
    ~ClientComputer() {
        Ip({"netns", "del", ns});
        Ip({"link", "del", link});
    }
};

// One program of the machine: the service (--service) or a desktop session's monitor, each with
// its own runtime, state and per-user folders; both share the machine settings and data folder.
struct Program {
    TempDir own;
    std::vector<std::string> env;
    int pid = -1;

    Program(const std::string& server, const TempDir& machine)
        : env{"CUPS_SERVER=" + server,
              "TESSAROVEN_MACHINE_REGISTRY=" + (machine / "machine.db"),
              "TESSAROVEN_COMMON_APPDATA=" + (machine / "common"),
              "TESSAROVEN_SERVICE_LOCK=" + (machine / "service.lock"),
              "TESSAROVEN_USER_REGISTRY=" + (own / "user.db"),
              "XDG_RUNTIME_DIR=" + own.Path(),
              "XDG_STATE_HOME=" + (own / "state"),
              "QT_QPA_PLATFORM=offscreen"} {}
    ~Program() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            WaitForExit(pid, 5000);
        }
    }
    CommandResult Run(std::vector<std::string> argv) const { return RunCommand(argv, env); }
    void Spawn(std::vector<std::string> argv) { pid = SpawnCommand(argv, env, own / "output"); }
    std::string Output() const { return ReadFile(own / "output"); }
    // SIGTERM, as systemctl stop sends it; the exit code.
    int Terminate() {
        kill(pid, SIGTERM);
        const int code = WaitForExit(pid, 10000);
        pid = -1;
        return code;
    }
};

bool Eventually(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Starts a desktop session's monitor and waits until it says it runs.
bool StartDesktop(Program& desktop) {
    desktop.Spawn({MONITOR_PATH});
    return Eventually(
        [&] {
            return desktop.Run({CTL_PATH, "status"}).out == "running\n";
        },
        std::chrono::seconds(10));
}

// Every record of the data folder as "printer,computer,user,pages", in order of writing.
std::vector<std::string> RecordsOf(const Program& reader) {
    std::vector<std::string> lines;
    std::istringstream out(reader.Run({CTL_PATH, "log"}).out);
    for (std::string line; std::getline(out, line);) {
        lines.push_back(line.substr(line.find(',') + 1));
    }
    return lines;
}

}  // namespace

// A print server: the service runs as root beside the monitor of a desktop session (root's too,
// so that it could see every owner and would record every job a second time if it counted). The
// scheduler's default policy hides owners and hosts from other users. Another local user's job
// and a remote computer's job are recorded once, by the service, with their own owner and
// computer; once the service has stopped, the desktop monitor counts again.
TEST(SystemService, RecordsEveryJobOnceWithItsOwnerBesideADesktopMonitor) {
    if (!PrivateCupsd::Available() || !Exists("/usr/sbin/ip") || !Exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "needs root, the CUPS packages and network namespaces";
    }
    ClientComputer client;
    if (!client.made) {
        GTEST_SKIP() << "cannot create a network namespace here (a container without "
                        "CAP_SYS_ADMIN?)";
    }
    setenv("PRIVATE_CUPSD_ADDRESS", client.hostAddress.c_str(), 1);
    PrivateCupsd cupsd({"Fast:ps"});
    unsetenv("PRIVATE_CUPSD_ADDRESS");
    ASSERT_TRUE(cupsd.Running());
    TempDir machine;
    Program desktop(cupsd.Socket(), machine);
    Program service(cupsd.Socket(), machine);
    const std::string lock = machine / "service.lock";
    const std::string doc = cupsd.Document("two.ps", MakePostScript(2));

    ASSERT_TRUE(StartDesktop(desktop));
    service.Spawn({MONITOR_PATH, "--service"});
    ASSERT_TRUE(Eventually(
        [&] {
            return platform::InstanceLock::ProbePath(lock) ==
                   platform::InstanceLock::Holder::Someone;
        },
        std::chrono::seconds(10)));
    // One service per machine.
    const auto second = service.Run({MONITOR_PATH, "--service"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("the system service already runs"), std::string::npos) << second.err;
    // Let its watchers come up (the desktop monitor counts nothing from now on either way).
    std::this_thread::sleep_for(std::chrono::seconds(2));

    const auto local =
        RunCommand({"/usr/bin/lp", "-d", "Fast", "-n", "2", doc}, {"CUPS_SERVER=" + cupsd.Socket()},
                   /*asNobody=*/true);
    ASSERT_EQ(local.exitCode, 0) << local.err;
    const auto remote = RunCommand({"/usr/sbin/ip", "netns", "exec", client.ns, "/usr/bin/lp", "-d",
                                    "Fast", "-U", "carol", doc},
                                   {"CUPS_SERVER=" + client.hostAddress + ":" + cupsd.Port()});
    ASSERT_EQ(remote.exitCode, 0) << remote.err;

    const std::string here = "\\\\" + platform::ComputerName();
    const std::vector<std::string> expected{"Fast," + here + ",nobody,4",
                                            "Fast,\\\\" + client.address + ",carol,2"};
    Eventually([&] { return RecordsOf(desktop).size() >= 2; }, std::chrono::seconds(30));
    std::this_thread::sleep_for(std::chrono::seconds(2));  // a second record would be here now
    auto records = RecordsOf(desktop);
    std::sort(records.begin(), records.end());
    auto sortedExpected = expected;
    std::sort(sortedExpected.begin(), sortedExpected.end());
    EXPECT_EQ(records, sortedExpected) << service.Output() << desktop.Output();

    // systemctl stop: the status ends at 2 and the lock is gone; the desktop counts again, once
    // the restart window has passed without the service coming back to take the job.
    EXPECT_EQ(service.Terminate(), 0) << service.Output();
    EXPECT_EQ(desktop
                  .Run({CTL_PATH, "reg", "get", "HKLM\\SOFTWARE\\Tessaroven\\Setting",
                        "TessarovenStatus"})
                  .out,
              "2\n");
    EXPECT_EQ(platform::InstanceLock::ProbePath(lock), platform::InstanceLock::Holder::Nobody);
    ASSERT_EQ(
        RunCommand({"/usr/bin/lp", "-d", "Fast", doc}, {"CUPS_SERVER=" + cupsd.Socket()}, true)
            .exitCode,
        0);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_EQ(RecordsOf(desktop).size(), 2u) << "recorded within the restart window";
    EXPECT_TRUE(Eventually([&] { return RecordsOf(desktop).size() == 3; },
                           std::chrono::seconds(ServiceHandoff::kRestartWindow + 30)))
        << desktop.Output() << ReadFile(machine / "service-spans");
    records = RecordsOf(desktop);
    ASSERT_EQ(records.size(), 3u);
    // The desktop monitor names jobs from its computer after its logged-on user.
    EXPECT_EQ(records.back(), "Fast," + here + "," + platform::UserName() + ",2");
    EXPECT_EQ(desktop.Terminate(), 0);
}

// A scheduler whose policy hides owners from the service (here: the service asks as an ordinary
// user): nobody else records those jobs, so the service says so instead of dropping them
// silently, and writes no record without its owner.
TEST(SystemService, SaysSoWhenTheSchedulerHidesOwnersFromIt) {
    if (!PrivateCupsd::Available()) {
        GTEST_SKIP() << "needs root and the CUPS packages";
    }
    PrivateCupsd cupsd({"Fast:ps"});
    ASSERT_TRUE(cupsd.Running());
    TempDir machine;
    Program service(cupsd.Socket(), machine);
    service.env.push_back("CUPS_USER=carol");
    service.Spawn({MONITOR_PATH, "--service"});
    ASSERT_TRUE(Eventually(
        [&] {
            return platform::InstanceLock::ProbePath(machine / "service.lock") ==
                   platform::InstanceLock::Holder::Someone;
        },
        std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::string doc = cupsd.Document("one.ps", MakePostScript(1));
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(cupsd.Client({"/usr/bin/lp", "-d", "Fast", "-U", "bob", doc}).exitCode, 0);
    }
    const std::string said = "the scheduler hides the owner of job";
    EXPECT_TRUE(Eventually([&] { return service.Output().find(said) != std::string::npos; },
                           std::chrono::seconds(30)))
        << service.Output();
    EXPECT_EQ(service.Terminate(), 0);
    const std::string output = service.Output();
    EXPECT_EQ(output.find(said), output.rfind(said)) << "said more than once: " << output;
    EXPECT_TRUE(RecordsOf(service).empty());
}

namespace {

// How often each job id was recorded in the data folder, whoever wrote it, and its pages.
struct Recorded {
    std::map<int, int> times;
    std::map<int, int> pages;
    size_t Count() const {
        size_t n = 0;
        for (const auto& [id, t] : times) {
            n += static_cast<size_t>(t);
        }
        return n;
    }
};

Recorded ReadRecords(const TempDir& machine) {
    Recorded r;
    const std::string folder = machine / "common/Tessaroven";
    for (const auto& name : platform::RegularFilesIn(folder)) {
        if (name.rfind("PrintData_", 0) != 0) {
            continue;
        }
        std::istringstream in(ReadFile(folder + "/" + name));
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> fields;
            std::istringstream parts(line);
            for (std::string f; std::getline(parts, f, ',');) {
                fields.push_back(f);
            }
            if (fields.size() == 7) {
                const int id = std::stoi(fields[0]);
                ++r.times[id];
                r.pages[id] = std::stoi(fields[6]);
            }
        }
    }
    return r;
}

// Jobs printed while the service is stopped and started again twice, once at once and once
// after a pause in which jobs end: each job is recorded exactly once with its pages, by the
// service or (beside it) by the desktop program, and every instance says in the journal how
// many it recorded.
void RestartDuringPrinting(bool withDesktop) {
    PrivateCupsd cupsd({"Fast:ps", "Raw:raw"});
    ASSERT_TRUE(cupsd.Running());
    TempDir machine;
    Program service(cupsd.Socket(), machine);
    Program desktop(cupsd.Socket(), machine);
    const std::string lock = machine / "service.lock";
    const auto serviceUp = [&] {
        return Eventually(
            [&] {
                return platform::InstanceLock::ProbePath(lock) ==
                       platform::InstanceLock::Holder::Someone;
            },
            std::chrono::seconds(10));
    };
    if (withDesktop) {
        ASSERT_TRUE(StartDesktop(desktop));
    }
    service.Spawn({MONITOR_PATH, "--service"});
    ASSERT_TRUE(serviceUp());
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const std::string two = cupsd.Document("two.ps", MakePostScript(2));
    const std::string three = cupsd.Document("three.ps", MakePostScript(3));
    constexpr int kJobs = 24;
    std::map<int, int> rawPages;  // job id -> pages of the raw queue's jobs (counted by us)
    int submitted = 0;
    const auto print = [&](int n) {
        for (int i = 0; i < n; ++i, ++submitted) {
            const bool raw = submitted % 3 == 2;
            const auto r = RunCommand(
                raw ? std::vector<std::string>{"/usr/bin/lp", "-d", "Raw", three}
                    : std::vector<std::string>{"/usr/bin/lp", "-d", "Fast", "-n", "2", two},
                {"CUPS_SERVER=" + cupsd.Socket()}, /*asNobody=*/true);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            const auto dash = r.out.find('-');
            if (raw && dash != std::string::npos) {
                rawPages[std::atoi(r.out.c_str() + dash + 1)] = 3;
            }
        }
    };
    print(8);
    EXPECT_EQ(service.Terminate(), 0) << service.Output();
    service.Spawn({MONITOR_PATH, "--service"});  // at once, as systemctl restart does
    ASSERT_TRUE(serviceUp());
    print(8);
    EXPECT_EQ(service.Terminate(), 0) << service.Output();
    print(8);  // these end while no service runs
    std::this_thread::sleep_for(std::chrono::seconds(2));
    service.Spawn({MONITOR_PATH, "--service"});
    ASSERT_TRUE(serviceUp());
    ASSERT_EQ(submitted, kJobs);

    ASSERT_TRUE(Eventually(
        [&] {
            return cupsd.Client({"/usr/bin/lpstat", "-o"}).out.empty();
        },
        std::chrono::seconds(60)));
    Eventually([&] { return ReadRecords(machine).Count() >= kJobs; }, std::chrono::seconds(30));
    std::this_thread::sleep_for(std::chrono::seconds(2));  // a record twice would be here now
    EXPECT_EQ(service.Terminate(), 0);
    if (withDesktop) {
        EXPECT_EQ(desktop.Terminate(), 0);
    }
    const Recorded recorded = ReadRecords(machine);
    auto expected = cupsd.PageLog();
    for (const auto& [id, pages] : rawPages) {
        expected[id] = pages;
    }
    std::string wrong;
    for (const auto& [id, pages] : expected) {
        const auto times = recorded.times.count(id) ? recorded.times.at(id) : 0;
        if (times != 1 || recorded.pages.at(id) != pages) {
            wrong += " " + std::to_string(id) + ":" + std::to_string(times) + "x" +
                     (times ? std::to_string(recorded.pages.at(id)) : "") + "/" +
                     std::to_string(pages);
        }
    }
    EXPECT_EQ(expected.size(), static_cast<size_t>(kJobs));
    EXPECT_EQ(recorded.Count(), static_cast<size_t>(kJobs));
    EXPECT_TRUE(wrong.empty()) << "job:times x pages/expected:" << wrong << "\n"
                               << service.Output() << desktop.Output();
    // Each instance says how many it recorded; together, every job the service recorded.
    const std::string out = service.Output();
    int said = 0;
    for (size_t at = out.find("stopped: "); at != std::string::npos;
         at = out.find("stopped: ", at + 1)) {
        said += std::atoi(out.c_str() + at + 9);
    }
    EXPECT_NE(out.find("counting every job of the scheduler"), std::string::npos) << out;
    if (!withDesktop) {
        EXPECT_EQ(said, kJobs) << out;
    }
}

}  // namespace

TEST(SystemService, RestartsDuringPrintingRecordEveryJobOnce) {
    if (!PrivateCupsd::Available()) {
        GTEST_SKIP() << "needs root and the CUPS packages";
    }
    RestartDuringPrinting(false);
}

TEST(SystemService, RestartsBesideADesktopMonitorRecordEveryJobOnce) {
    if (!PrivateCupsd::Available()) {
        GTEST_SKIP() << "needs root and the CUPS packages";
    }
    RestartDuringPrinting(true);
}
