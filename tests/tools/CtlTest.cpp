#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "platform/Host.h"
#include "platform/InstanceLock.h"
#include "platform/sqlite/SqliteSettingsStore.h"
#include "reports/TextCells.h"
#include "support/TestSupport.h"

using testsupport::CommandResult;
using testsupport::RunCommand;
using testsupport::TempDir;

namespace {

constexpr const char* kSetting = "HKLM\\SOFTWARE\\Tessaroven\\Setting";

// A private world for the programs: their stores, data and session lock live in one folder.
struct World {
    TempDir dir;
    std::vector<std::string> env{
        "TESSAROVEN_MACHINE_REGISTRY=" + (dir / "machine.db"),
        "TESSAROVEN_USER_REGISTRY=" + (dir / "user.db"),
        "TESSAROVEN_COMMON_APPDATA=" + (dir / "common"),
        "XDG_RUNTIME_DIR=" + dir.Path(),
        "QT_QPA_PLATFORM=offscreen",  // a desktop running the tests gets no boxes
    };

    CommandResult Ctl(std::vector<std::string> args, bool asNobody = false) const {
        args.insert(args.begin(), asNobody ? ReachableCtl() : std::string(CTL_PATH));
        return RunCommand(args, env, asNobody);
    }
    // The build may sit under a home only root can enter (/root is 0700): another user runs a
    // copy in the world's folder.
    std::string ReachableCtl() const {
        const std::string copy = dir / "tessaroven-ctl";
        std::error_code ec;
        std::filesystem::copy_file(CTL_PATH, copy, std::filesystem::copy_options::skip_existing,
                                   ec);
        chmod(copy.c_str(), 0755);
        return copy;
    }
    int StartMonitor(const std::string& log) const {
        return testsupport::SpawnCommand({MONITOR_PATH}, env, log);
    }
    bool WaitForStatus(const std::string& expected) const {
        for (int i = 0; i < 500; ++i) {
            if (Ctl({"status"}).out == expected + "\n") {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

}  // namespace

TEST(Ctl, SetsAndGetsValuesOfEveryKind) {
    World w;
    EXPECT_EQ(w.Ctl({"reg", "set", kSetting, "PGSpoolOnOff", "--dword", "1"}).exitCode, 0);
    EXPECT_EQ(w.Ctl({"reg", "set", "HKCU\\Software\\Tessaroven", "PrinterName", "--sz", "事務室 A"})
                  .exitCode,
              0);
    EXPECT_EQ(
        w.Ctl({"reg", "set", kSetting, "DataFileDirectory", "--expand-sz", "$HOME/x"}).exitCode, 0);
    EXPECT_EQ(w.Ctl({"reg", "set", kSetting, "Big", "--dword", "4294967295"}).exitCode, 0);

    EXPECT_EQ(
        w.Ctl({"reg", "get", "HKEY_LOCAL_MACHINE\\software\\tessaroven\\setting", "pgspoolonoff"})
            .out,
        "1\n");
    EXPECT_EQ(w.Ctl({"reg", "get", "HKEY_CURRENT_USER\\Software\\Tessaroven", "PrinterName"}).out,
              "事務室 A\n");
    EXPECT_EQ(w.Ctl({"reg", "get", kSetting, "DataFileDirectory"}).out, "$HOME/x\n");
    EXPECT_EQ(w.Ctl({"reg", "get", kSetting, "Big"}).out, "-1\n");

    // The program's own reading of the same store sees the same values.
    platform::SqliteSettingsStore machine(w.dir / "machine.db");
    EXPECT_EQ(machine.Read("SOFTWARE\\Tessaroven\\Setting", "PGSpoolOnOff")->dword, 1);
    EXPECT_FALSE(testsupport::Exists(w.dir / "common"));

    // A number stored as text reads as missing to the monitor: --type tells them apart.
    w.Ctl({"reg", "set", kSetting, "Text", "--sz", "1"});
    EXPECT_EQ(w.Ctl({"reg", "get", kSetting, "Text"}).out, "1\n");
    EXPECT_EQ(w.Ctl({"reg", "get", "--type", kSetting, "Text"}).out, "REG_SZ 1\n");
    EXPECT_EQ(w.Ctl({"reg", "get", kSetting, "PGSpoolOnOff", "-v"}).out, "REG_DWORD 1\n");
    EXPECT_EQ(w.Ctl({"reg", "get", "-v", kSetting, "DataFileDirectory"}).out,
              "REG_EXPAND_SZ $HOME/x\n");

    const auto missing = w.Ctl({"reg", "get", kSetting, "Nothing"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("Nothing"), std::string::npos);
}

TEST(Ctl, WrongCallsPrintUsageAndExitTwo) {
    World w;
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"frobnicate"},
        {"reg"},
        {"reg", "get", kSetting},
        {"reg", "get", "HKXX\\Software", "x"},
        {"reg", "set", kSetting, "x", "--dword", "12abc"},
        {"reg", "set", kSetting, "x", "--dword", "4294967296"},
        {"reg", "set", kSetting, "x", "--qword", "1"},
        {"stop", "--wait"},
        {"stop", "--wait", "soon"},
        {"stop", "now"},
        {"status", "extra"},
    };
    for (const auto& args : wrong) {
        const auto r = w.Ctl(args);
        EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(r.err.empty());
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(testsupport::Exists(w.dir / "machine.db"));
    for (const std::string program : {CTL_PATH, MONITOR_PATH}) {
        const auto r = RunCommand({program, "--version"}, w.env);
        EXPECT_EQ(r.exitCode, 0) << program;
        EXPECT_NE(r.out.find(" 1.0.4.5\n"), std::string::npos) << program << r.out;
        EXPECT_EQ(r.err, "");
    }
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"},
                                                                  {"reg", "--help"},
                                                                  {"reg", "get", "--help"},
                                                                  {"stop", "--help"},
                                                                  {"status", "--help"}}) {
        const auto r = w.Ctl(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(r.out.find("Usage: tessaroven-ctl"), std::string::npos);
    }
}

TEST(Ctl, ARefusedWriteFailsWithAMessage) {
    if (!testsupport::CanTestRefusals()) {
        GTEST_SKIP() << testsupport::kCannotTestRefusals;
    }
    World w;
    ASSERT_EQ(w.Ctl({"reg", "set", kSetting, "TessarovenStatus", "--dword", "0"}).exitCode, 0);
    chmod((w.dir / "machine.db").c_str(), 0644);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"reg", "set", kSetting, "TessarovenStatus", "--dword", "1"}, {"stop"}}) {
        const auto r = w.Ctl(args, true);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
    }
    EXPECT_EQ(w.Ctl({"reg", "get", kSetting, "TessarovenStatus"}).out, "0\n");
}

TEST(Ctl, StatusNamesEveryState) {
    World w;
    // No monitor of this session holds the lock: whatever the value says, nothing runs.
    EXPECT_EQ(w.Ctl({"status"}).out, "not running\n");
    w.Ctl({"reg", "set", kSetting, "TessarovenStatus", "--dword", "0"});
    EXPECT_EQ(w.Ctl({"status"}).out, "not running\n");

    const std::string runtime = w.dir.Path();
    testsupport::ChildHolding monitor([&] {
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        (new platform::InstanceLock)->Acquire("Tessaroven");
    });
    w.Ctl({"reg", "set", kSetting, "TessarovenStatus", "--dword", "5"});
    EXPECT_EQ(w.Ctl({"status"}).out, "unknown\n");
    const std::vector<std::pair<std::string, std::string>> states = {
        {"0", "running"}, {"1", "stop requested"}, {"2", "stopped"}, {"7", "unknown"}};
    for (const auto& [value, text] : states) {
        w.Ctl({"reg", "set", kSetting, "TessarovenStatus", "--dword", value});
        const auto r = w.Ctl({"status"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, text + "\n");
    }
    w.Ctl({"reg", "set", kSetting, "TessarovenStatus", "--sz", "0"});
    EXPECT_EQ(w.Ctl({"status"}).out, "unknown\n");
}

TEST(Ctl, StopWaitsForTheMonitorToReportItHasStopped) {
    World w;
    const auto noMonitor = w.Ctl({"stop", "--wait", "0.3"});
    EXPECT_EQ(noMonitor.exitCode, 0);
    EXPECT_EQ(noMonitor.out, "not running\n");
    EXPECT_EQ(w.Ctl({"status"}).out, "not running\n");
    // The request still stands for the monitors of other sessions.
    EXPECT_EQ(w.Ctl({"reg", "get", kSetting, "TessarovenStatus"}).out, "1\n");

    // Starting overwrites a stale request.
    const int pid = w.StartMonitor(w.dir / "monitor.log");
    ASSERT_TRUE(w.WaitForStatus("running"));
    // The status is written first, the data folder made just after it.
    for (int i = 0; i < 500 && !testsupport::Exists(w.dir / "common/Tessaroven"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(testsupport::Exists(w.dir / "common/Tessaroven"));

    // A second copy in the same session refuses to start and leaves the first alone.
    const auto second = RunCommand({MONITOR_PATH}, w.env);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("Tessaroven already Start up"), std::string::npos);
    EXPECT_EQ(w.Ctl({"status"}).out, "running\n");

    const auto stop = w.Ctl({"stop", "--wait", "10"});
    EXPECT_EQ(stop.exitCode, 0) << stop.err;
    EXPECT_EQ(stop.out, "stopped\n");
    EXPECT_EQ(testsupport::WaitForExit(pid, 5000), 0);

    // Once it has ended, a new start succeeds.
    const int again = w.StartMonitor(w.dir / "monitor.log");
    ASSERT_TRUE(w.WaitForStatus("running"));
    EXPECT_EQ(w.Ctl({"stop", "--wait", "10"}).exitCode, 0);
    EXPECT_EQ(testsupport::WaitForExit(again, 5000), 0);

    // Ended by a signal, it still reports that it has stopped.
    const int signalled = w.StartMonitor(w.dir / "monitor.log");
    ASSERT_TRUE(w.WaitForStatus("running"));
    kill(signalled, SIGTERM);
    EXPECT_EQ(testsupport::WaitForExit(signalled, 5000), 0);
    EXPECT_EQ(w.Ctl({"reg", "get", kSetting, "TessarovenStatus"}).out, "2\n");
    EXPECT_EQ(w.Ctl({"status"}).out, "not running\n");
}

TEST(Ctl, LogAndTotalsAnswerFromTheDataFiles) {
    World w;
    const std::string dir = w.dir / "data";
    platform::MakeDirectoryPath(dir);
    testsupport::WriteFile(dir + "/PrintData_amy.dat",
                           "2,20261103090000,Laser,\\\\PC2,amy,5,5\r\r\n"
                           "1,20261101080000,\\\\srv\\Hall,\\\\PC1,amy,3,3\r\r\n");
    testsupport::WriteFile(dir + "/PrintData_bob.dat",
                           "7,20261102100000,Hall,\\\\PC1,山田,2,2\r\r\n");

    const auto log = w.Ctl({"log", "--data-dir", dir});
    EXPECT_EQ(log.exitCode, 0);
    EXPECT_EQ(log.out,
              "2026-11-01 08:00:00,\\\\srv\\Hall,\\\\PC1,amy,3\n"
              "2026-11-02 10:00:00,Hall,\\\\PC1,山田,2\n"
              "2026-11-03 09:00:00,Laser,\\\\PC2,amy,5\n");

    // The monitor's own data directory, as the settings name it.
    w.Ctl({"reg", "set", kSetting, "DataFileDirectory", "--sz", dir});
    EXPECT_EQ(w.Ctl({"log"}).out, log.out);

    const auto totals =
        w.Ctl({"totals", "--printer", "\\\\srv\\Hall", "--month", "2026-11", "--by", "user"});
    EXPECT_EQ(totals.exitCode, 0);
    EXPECT_EQ(totals.out,
              "\\\\srv\\Hall [    2枚]\n\n  山田" + std::string(36, ' ') + " [    2枚]\n");

    const auto none = w.Ctl({"totals", "--printer", "Laser", "--month", "2026-10"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "印刷データがありません。\n");

    // A mistyped or unreadable folder is an error, not a folder without records; files without
    // one record say so as the window does.
    testsupport::WriteFile(w.dir / "not-a-folder", "");
    for (const std::string& wrong : {w.dir / "nowhere", w.dir / "not-a-folder"}) {
        for (const std::string command : {"log", "stats"}) {
            const auto r = w.Ctl({command, "--data-dir", wrong});
            EXPECT_EQ(r.exitCode, 1) << command << " " << wrong;
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find("cannot read the data directory " + wrong), std::string::npos);
        }
        EXPECT_EQ(w.Ctl({"purge", "--through", "2006-03", "--data-dir", wrong}).exitCode, 1);
    }
    const std::string blank = w.dir / "blank";
    platform::MakeDirectoryPath(blank);
    EXPECT_EQ(w.Ctl({"log", "--data-dir", blank}).exitCode, 0);  // no files: nothing to show
    testsupport::WriteFile(blank + "/PrintData_x.dat", "\r\r\n0,20061015120000,P,M,u,1,1\r\r\n");
    const auto noRecord = w.Ctl({"log", "--data-dir", blank});
    EXPECT_EQ(noRecord.exitCode, 1);
    EXPECT_EQ(noRecord.out, "");
    EXPECT_EQ(noRecord.err, "印刷データがありません。\n");

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"totals", "--month", "2026-11"},
             {"totals", "--printer", "Laser", "--month", "2026-13"},
             {"totals", "--printer", "Laser", "--month", "26-11"},
             {"totals", "--printer", "Laser", "--month", "2026-11", "--by", "printer"},
             {"log", "--data-dir"},
             {"log", "--limit", "3"}}) {
        const auto r = w.Ctl(args);
        EXPECT_EQ(r.exitCode, 2) << args[0] << " " << args.back();
        EXPECT_FALSE(r.err.empty());
    }
}

TEST(Ctl, StatsAndPurgeWorkOnTheDataFiles) {
    World w;
    const std::string dir = w.dir / "data";
    platform::MakeDirectoryPath(dir);
    const std::string march = "1,20060305101010,P,\\\\PC1,u,2,2\r\r\n";
    const std::string april = "3,20060401000000,P,\\\\PC1,u,4,4\r\r\n";
    testsupport::WriteFile(dir + "/PrintData_a.dat", march + "\r\r\n" + april);
    testsupport::WriteFile(dir + "/PrintData_b.dat", march);

    const auto stats = w.Ctl({"stats", "--data-dir", dir});
    EXPECT_EQ(stats.exitCode, 0);
    EXPECT_EQ(stats.out, "directory: " + dir +
                             "\nfiles: 2\nbytes: 102\nfirst record: 2006/03/05\n"
                             "last record: 2006/04/01\nfirst month: 2006-03\n");

    const auto purge = w.Ctl({"purge", "--through", "2006-03", "--data-dir", dir});
    EXPECT_EQ(purge.exitCode, 0) << purge.err;
    EXPECT_EQ(purge.out,
              "PrintData_a.dat: removed 2, kept 1\nPrintData_b.dat: removed 1, kept 0\n");
    EXPECT_EQ(testsupport::ReadFile(dir + "/PrintData_a.dat"), april);
    EXPECT_EQ(testsupport::ReadFile(dir + "/PrintData_b.dat"), "");
    EXPECT_NE(w.Ctl({"stats", "--data-dir", dir}).out.find("first month: 2006-04"),
              std::string::npos);

    for (const auto& args : std::vector<std::vector<std::string>>{{"purge"},
                                                                  {"purge", "--through", "2006-13"},
                                                                  {"purge", "--through", "March"},
                                                                  {"stats", "--all"}}) {
        EXPECT_EQ(w.Ctl(args).exitCode, 2) << args.back();
    }
    EXPECT_EQ(testsupport::ReadFile(dir + "/PrintData_a.dat"), april);
}

// Installing prepares shared folders a group of users can write, with the data directory set.
TEST(Install, SetsUpTheSharedFolders) {
    if (geteuid() != 0 || getgrnam("users") == nullptr) {
        GTEST_SKIP() << "needs root and the group users";
    }
    testsupport::TempDir dir;
    const auto r =
        RunCommand({SCRIPTS_DIR "/install", "--prefix", dir / "usr", "--state-dir", dir / "var",
                    "--group", "users", "--autostart-dir", dir / "xdg", "--no-build"},
                   {"BUILD_DIR=" BUILD_DIR_PATH});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(testsupport::Exists(dir / "usr/bin/tessaroven"));
    EXPECT_TRUE(testsupport::Exists(dir / "usr/bin/tessaroven-ctl"));
    EXPECT_NE(testsupport::ReadFile(dir / "xdg/tessaroven.desktop")
                  .find("Exec=" + dir / "usr/bin/tessaroven\n"),
              std::string::npos);
    const gid_t users = getgrnam("users")->gr_gid;
    // The data folder is sticky too: members may not replace each other's records.
    for (const auto& [folder, mode] :
         {std::pair<std::string, unsigned>{"var/tessaroven", 02775u}, {"var/Tessaroven", 03775u}}) {
        struct stat st {};
        ASSERT_EQ(stat((dir / folder).c_str(), &st), 0) << folder;
        EXPECT_EQ(st.st_mode & 07777, mode) << folder;
        EXPECT_EQ(st.st_gid, users) << folder;
    }
    struct stat store {};
    ASSERT_EQ(stat((dir / "var/tessaroven/registry.db").c_str(), &store), 0);
    EXPECT_EQ(store.st_mode & 0777, 0664u);
    const auto value = RunCommand({CTL_PATH, "reg", "get", kSetting, "DataFileDirectory"},
                                  {"TESSAROVEN_COMMON_APPDATA=" + (dir / "var")});
    EXPECT_EQ(value.out, dir / "var/Tessaroven\n");

    // Installing again keeps the settings.
    RunCommand({CTL_PATH, "reg", "set", kSetting, "DataFileDirectory", "--sz", "/srv/print"},
               {"TESSAROVEN_COMMON_APPDATA=" + (dir / "var")});
    ASSERT_EQ(
        RunCommand({SCRIPTS_DIR "/install", "--prefix", dir / "usr", "--state-dir", dir / "var",
                    "--group", "users", "--autostart-dir", dir / "xdg", "--no-build"},
                   {"BUILD_DIR=" BUILD_DIR_PATH})
            .exitCode,
        0);
    EXPECT_EQ(RunCommand({CTL_PATH, "reg", "get", kSetting, "DataFileDirectory"},
                         {"TESSAROVEN_COMMON_APPDATA=" + (dir / "var")})
                  .out,
              "/srv/print\n");

    // Uninstalling takes the programs and the autostart entry and leaves the settings.
    EXPECT_EQ(RunCommand({SCRIPTS_DIR "/install", "--uninstall", "--prefix", dir / "usr",
                          "--autostart-dir", dir / "xdg", "--state-dir", dir / "var"})
                  .exitCode,
              0);
    EXPECT_FALSE(testsupport::Exists(dir / "usr/bin/tessaroven"));
    EXPECT_FALSE(testsupport::Exists(dir / "usr/bin/tessaroven-ctl"));
    EXPECT_FALSE(testsupport::Exists(dir / "xdg/tessaroven.desktop"));
    EXPECT_TRUE(testsupport::Exists(dir / "var/tessaroven/registry.db"));
}

namespace {

// A data set over fourteen months: three printers (one a network printer's, as its server names
// it), Japanese and empty names, a quote and a name that reads as a formula; and in every file
// lines of month 13 and month 0, which belong to no month.
std::string WriteGeneratedData(const World& w) {
    const std::string dir = w.dir / "generated";
    platform::MakeDirectoryPath(dir);
    const char* printers[] = {"Laser", "経理プリンタ", "Hall"};
    const char* machines[] = {"\\\\PC1", "\\\\営業PC", "", "\\\\pc1"};
    const char* users[] = {"amy", "山田", "", "o\"neil", "=SUM(A1)"};
    std::uint32_t seed = 17;
    auto next = [&](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int>((seed >> 16) % n);
    };
    for (int f = 0; f < 3; ++f) {
        std::string lines;
        for (int i = 0; i < 160; ++i) {
            const int month = 2025 * 12 + 11 + next(14);  // 2025-11 to 2026-12
            const int pages = 1 + next(9);
            char line[200];
            std::snprintf(line, sizeof line, "%d,%04d%02d%02d%02d%02d%02d,%s,%s,%s,%d,%d\r\r\n",
                          1 + i, (month - 1) / 12, (month - 1) % 12 + 1, 1 + next(28), next(24),
                          next(60), next(60), printers[next(3)], machines[next(4)], users[next(5)],
                          pages * 2, pages);
            lines += line;
        }
        lines += "9,20251300101010,Laser,\\\\PC1,amy,500,500\r\r\n";
        lines += "9,20260000101010,Laser,\\\\PC1,amy,700,700\r\r\n";
        testsupport::WriteFile(dir + "/PrintData_u" + std::to_string(f) + ".dat", lines);
    }
    return dir;
}

// The groups of the text totals print: "  name (padded) [    n枚]" after the printer's line.
std::map<std::string, long long> TotalsGroups(const std::string& out, long long* grand) {
    std::map<std::string, long long> groups;
    std::istringstream in(out);
    std::string line;
    for (int n = 0; std::getline(in, line); ++n) {
        const size_t open = line.rfind(" [");
        if (open == std::string::npos) {
            continue;
        }
        const long long pages = std::stoll(line.substr(open + 2));
        if (n == 0) {
            *grand = pages;
            continue;
        }
        std::string name = line.substr(2, open - 2);
        name.erase(name.find_last_not_of(' ') + 1);
        groups[name] = pages;
    }
    return groups;
}

std::vector<std::vector<std::string>> SplitRows(const std::string& canon) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(canon);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
            fields.push_back(line.substr(start, tab - start));
        }
        fields.push_back(line.substr(start));
        rows.push_back(fields);
    }
    return rows;
}

// The output read back by Python's csv or json module, one row per line.
std::string ParsedBack(const World& w, const std::string& kind, const std::string& text) {
    const std::string path = w.dir / ("parsed." + kind);
    testsupport::WriteFile(path, text);
    const auto r = RunCommand({"/usr/bin/python3", TABLE_CANON, kind, path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

}  // namespace

// Each month's column of a report holds what totals says of that month, for a local and a
// network printer, by computer and by user; CSV and JSON say the same when parsed back.
TEST(CtlReport, AgreesWithTheTotalsOfEachMonth) {
    World w;
    const std::string dir = WriteGeneratedData(w);
    std::map<std::string, std::vector<long long>> printerMonths;
    for (const std::string printer : {"Laser", "\\\\srv\\Hall"}) {
        for (const std::string by : {"computer", "user"}) {
            const auto json = w.Ctl({"report", "--from", "2025-12", "--to", "2026-11", "--printer",
                                     printer, "--by", by, "--format", "json", "--data-dir", dir});
            ASSERT_EQ(json.exitCode, 0) << json.err;
            const auto rows = SplitRows(ParsedBack(w, "report-json", json.out));
            ASSERT_GE(rows.size(), 4u);
            ASSERT_EQ(rows[0].size(), 14u);
            EXPECT_EQ(rows[0][1], "2025-12");
            EXPECT_EQ(rows[0][12], "2026-11");
            EXPECT_EQ(rows.back(),
                      (std::vector<std::string>{"printer", printer, "2025-12", "2026-11"}));
            std::map<std::string, std::vector<std::string>> byName;
            for (size_t r = 1; r + 2 < rows.size(); ++r) {
                byName[rows[r][0]] = rows[r];
                // Largest first.
                if (r > 1) {
                    EXPECT_GE(std::stoll(rows[r - 1][13]), std::stoll(rows[r][13]));
                }
            }
            const auto& totalRow = rows[rows.size() - 2];
            ASSERT_EQ(totalRow[0], "total");
            for (int m = 1; m <= 12; ++m) {
                const int year = m == 1 ? 2025 : 2026;
                char month[8];
                std::snprintf(month, sizeof month, "%04d-%02d", year, m == 1 ? 12 : m - 1);
                const auto totals = w.Ctl({"totals", "--printer", printer, "--month", month, "--by",
                                           by, "--data-dir", dir});
                long long grand = 0;
                const auto groups = TotalsGroups(totals.out, &grand);
                EXPECT_EQ(totals.exitCode, groups.empty() ? 1 : 0);
                EXPECT_EQ(std::to_string(grand), totalRow[static_cast<size_t>(m)]) << month;
                size_t nonEmpty = 0;
                for (const auto& [name, row] : byName) {
                    nonEmpty += row[static_cast<size_t>(m)] != "0" ? 1 : 0;
                }
                size_t counted = 0;
                for (const auto& [name, pages] : groups) {
                    ASSERT_TRUE(byName.count(name)) << name << " " << month;
                    EXPECT_EQ(byName[name][static_cast<size_t>(m)], std::to_string(pages))
                        << name << " " << month;
                    counted += pages != 0 ? 1 : 0;
                }
                EXPECT_EQ(counted, nonEmpty) << month;
                if (by == "computer") {
                    printerMonths[printer].push_back(grand);
                }
            }

            // The same table as CSV for spreadsheet programs.
            const auto csv =
                w.Ctl({"report", "--from", "2025-12", "--to", "2026-11", "--printer", printer,
                       "--by", by, "--format", "csv", "--excel", "--data-dir", dir});
            ASSERT_EQ(csv.exitCode, 0);
            auto csvRows = SplitRows(ParsedBack(w, "csv", csv.out));
            ASSERT_EQ(csvRows.front(), std::vector<std::string>{"BOM"});
            csvRows.erase(csvRows.begin());
            auto jsonRows = rows;
            jsonRows.pop_back();
            for (auto& row : jsonRows) {
                if (row[0] == "=SUM(A1)") {
                    row[0] = "'=SUM(A1)";  // never a formula in a spreadsheet
                }
            }
            EXPECT_EQ(csvRows, jsonRows);
        }
    }

    // By printer over every printer: the rows are the printers as their records name them.
    const auto all = w.Ctl({"report", "--from", "2025-12", "--to", "2026-11", "--by", "printer",
                            "--format", "json", "--data-dir", dir});
    const auto rows = SplitRows(ParsedBack(w, "report-json", all.out));
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows.back()[1], "-");
    bool sawLaser = false;
    for (size_t r = 1; r < 4; ++r) {
        if (rows[r][0] == "Laser") {
            sawLaser = true;
            for (size_t m = 0; m < 12; ++m) {
                EXPECT_EQ(rows[r][m + 1], std::to_string(printerMonths["Laser"][m]));
            }
        }
        if (rows[r][0] == "Hall") {
            for (size_t m = 0; m < 12; ++m) {
                EXPECT_EQ(rows[r][m + 1], std::to_string(printerMonths["\\\\srv\\Hall"][m]));
            }
        }
    }
    EXPECT_TRUE(sawLaser);

    // The text table: every line as wide in display cells, "合計" last in both directions.
    const auto text = w.Ctl({"report", "--from", "2026-01", "--to", "2026-03", "--printer", "Laser",
                             "--by", "user", "--data-dir", dir});
    ASSERT_EQ(text.exitCode, 0);
    std::istringstream in(text.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 6), "合計");
    EXPECT_EQ(lines.back().substr(0, 6), "合計");
    EXPECT_NE(text.out.find("山田"), std::string::npos);
    for (const auto& line : lines) {
        EXPECT_EQ(DisplayCells(line), DisplayCells(lines[0])) << line;
    }
}

TEST(CtlReport, FormatsOfTotalsAndLogAndWrongCalls) {
    World w;
    const std::string dir = WriteGeneratedData(w);
    // totals as CSV and JSON: the memo's groups in the memo's order.
    const std::vector<std::string> totalsArgs{
        "totals", "--printer", "Laser", "--month", "2026-03", "--by", "user", "--data-dir", dir};
    const auto text = w.Ctl(totalsArgs);
    long long grand = 0;
    const auto groups = TotalsGroups(text.out, &grand);
    auto withFormat = [&](std::vector<std::string> args, const std::string& format) {
        args.insert(args.end(), {"--format", format});
        return w.Ctl(args);
    };
    const auto json = SplitRows(ParsedBack(w, "totals-json", withFormat(totalsArgs, "json").out));
    const auto csv = SplitRows(ParsedBack(w, "csv", withFormat(totalsArgs, "csv").out));
    ASSERT_EQ(json.size(), groups.size() + 2);
    EXPECT_EQ(json.back(), (std::vector<std::string>{"total", std::to_string(grand)}));
    EXPECT_EQ(std::vector(json.begin(), json.end() - 1), csv);  // plain CSV: no mark, no apostrophe
    EXPECT_EQ(csv[0], (std::vector<std::string>{"printer", "month", "user", "pages"}));
    for (size_t i = 1; i < csv.size(); ++i) {
        EXPECT_EQ(csv[i][0], "Laser");
        EXPECT_EQ(csv[i][1], "2026-03");
        EXPECT_EQ(std::to_string(groups.at(csv[i][2])), csv[i][3]);
    }
    // The text stays as it was.
    EXPECT_EQ(withFormat(totalsArgs, "text").out, text.out);

    // The log as CSV and JSON: the same records as its lines.
    const auto log = w.Ctl({"log", "--data-dir", dir});
    std::vector<std::vector<std::string>> expected{
        {"time", "printer", "computer", "user", "pages"}};
    std::istringstream in(log.out);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, ',');) {
            fields.push_back(field);
        }
        if (line.back() == ',') {
            fields.push_back("");
        }
        expected.push_back(fields);
    }
    ASSERT_EQ(expected.size(), 1u + 480u + 6u);  // the lines of months 13 and 0 are records too
    const auto logJson = w.Ctl({"log", "--format", "json", "--data-dir", dir});
    EXPECT_EQ(SplitRows(ParsedBack(w, "log-json", logJson.out)), expected);
    auto logCsv = SplitRows(ParsedBack(w, "csv", w.Ctl({"log", "--excel", "--data-dir", dir}).out));
    ASSERT_EQ(logCsv.front(), std::vector<std::string>{"BOM"});
    logCsv.erase(logCsv.begin());
    for (auto& row : expected) {
        if (row[3] == "=SUM(A1)") {
            row[3] = "'=SUM(A1)";
        }
    }
    EXPECT_EQ(logCsv, expected);

    // Nothing in the range: said on standard error, exit 1; the table has no rows.
    const auto none = w.Ctl({"report", "--from", "2024-01", "--to", "2024-12", "--data-dir", dir});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "印刷データがありません。\n");
    const auto noneCsv = w.Ctl(
        {"report", "--from", "2024-01", "--to", "2024-01", "--format", "csv", "--data-dir", dir});
    EXPECT_EQ(noneCsv.exitCode, 1);
    EXPECT_EQ(noneCsv.out, "computer,2024-01,total\r\ntotal,0,0\r\n");
    // Month 13 and month 0 belong to no month: not to the next or the one before.
    const auto edge = w.Ctl({"report", "--from", "2025-12", "--to", "2026-01", "--printer", "Laser",
                             "--format", "json", "--data-dir", dir});
    EXPECT_EQ(edge.out.find("500"), std::string::npos);
    EXPECT_EQ(edge.out.find("700"), std::string::npos);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"report", "--from", "2026-05", "--to", "2026-04"},
             {"report", "--from", "2026-13", "--to", "2026-12"},
             {"report", "--from", "2026-1", "--to", "2026-12"},
             {"report", "--from", "2026-01"},
             {"report", "--from", "1900-01", "--to", "2026-12"},
             {"report", "--from", "2026-01", "--to", "2026-02", "--by", "host"},
             {"report", "--from", "2026-01", "--to", "2026-02", "--format", "xml"},
             {"totals", "--printer", "Laser", "--month", "2026-03", "--format", "yaml"},
             {"log", "--format", "json", "--excel"},
             {"log", "--format"}}) {
        std::vector<std::string> withDir = args;
        withDir.insert(withDir.end(), {"--data-dir", dir});
        const auto r = w.Ctl(withDir);
        EXPECT_EQ(r.exitCode, 2) << args[1] << " " << args.back();
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("tessaroven-ctl"), std::string::npos) << r.err;
    }
}
