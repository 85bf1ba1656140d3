#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

#include "storage/DiagnosticLog.h"
#include "support/TestSupport.h"

using platform::ManualClock;
using platform::SystemTime;
using testsupport::TempDir;

namespace {

const SystemTime kAt1405{2006, 12, 3, 6, 14, 5, 30, 0};

// How the system's text files end a line.
#ifdef _WIN32
const std::string kLineEnd = "\r\n";
#else
const std::string kLineEnd = "\n";
#endif

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (kLineEnd.size() == 2) {
            // A line without its CR is torn: that shows as a wrong length.
            line.resize(line.size() - (!line.empty() && line.back() == '\r' ? 1 : 0));
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

TEST(DiagnosticLog, LineFormat) {
    EXPECT_EQ(DiagnosticLog::FormatLine(kAt1405, 'E', "PMON", 5011, "printer can not open(1801)"),
              "200612061405EPMON5011 printer can not open(1801)\n");
    EXPECT_EQ(DiagnosticLog::FormatLine(kAt1405, 'D', "PMON", 11, "x"),
              "200612061405DPMON0011 x\n");
    EXPECT_EQ(DiagnosticLog::FormatLine(kAt1405, 'D', "PMON", 123456, ""),
              "200612061405DPMON123456 \n");
    EXPECT_EQ(DiagnosticLog::FormatLine(kAt1405, 'D', "PMONITOR", 1, "t"),
              "200612061405DPMON0001 t\n");
    EXPECT_EQ(DiagnosticLog::FormatLine(kAt1405, 'D', "AB", 1, "t"), "200612061405D  AB0001 t\n");
}

TEST(DiagnosticLog, SwitchesDecideWhatIsWritten) {
    TempDir dir;
    ManualClock clock(kAt1405);
    DiagnosticLog log(clock);
    log.SetFilePath(dir / "log.txt");
    log.SetTag("PMON");

    // As the program sets it up: both off, no file at all.
    log.Write(1, 'D', "プリンタ数:1");
    log.Write(5011, 'E', "printer can not open(1801)");
    EXPECT_FALSE(testsupport::Exists(dir / "log.txt"));

    log.SetEnabled(true);
    log.Write(1, 'D', "プリンタ数:1");
    log.Write(5011, 'E', "printer can not open(1801)");
    EXPECT_EQ(testsupport::ReadFile(dir / "log.txt"),
              std::string("200612061405EPMON5011 printer can not open(1801)") + kLineEnd);

    log.SetDebug(true);
    log.Write(11, 'D', "スレッド起動完了");
    EXPECT_EQ(Lines(testsupport::ReadFile(dir / "log.txt")).back(),
              "200612061405DPMON0011 スレッド起動完了");

    // A folder that cannot be written loses the line quietly.
    log.SetFilePath(dir / "missing/log.txt");
    log.Write(5012, 'E', "lost");
    EXPECT_FALSE(testsupport::Exists(dir / "missing"));
}

#ifndef _WIN32
// The stamp is taken when a line is asked for, not when the lock lets it through. The log file
// is a FIFO here: the first writer holds the log's lock while it waits for a reader to open it.
TEST(DiagnosticLog, StampIsTakenAtTheCall) {
    TempDir dir;
    const std::string fifo = dir / "log.txt";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ManualClock clock({2006, 12, 3, 6, 14, 5, 0, 0});
    DiagnosticLog log(clock);
    log.SetFilePath(fifo);
    log.SetTag("PMON");
    log.SetEnabled(true);
    log.SetDebug(true);

    std::thread first([&] { log.Write(1, 'D', "first"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    clock.Set({2006, 12, 3, 6, 14, 6, 0, 0});
    std::thread second([&] { log.Write(2, 'D', "second"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    clock.Set({2006, 12, 3, 6, 14, 7, 0, 0});

    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::count(got.begin(), got.end(), '\n') < 2 &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 50);
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
        }
    }
    first.join();
    second.join();
    close(fd);
    EXPECT_EQ(got, "200612061405DPMON0001 first\n200612061406DPMON0002 second\n");
}
#endif

TEST(DiagnosticLog, ConcurrentWritersNeverInterleave) {
    TempDir dir;
    DiagnosticLog log;
    log.SetFilePath(dir / "log.txt");
    log.SetTag("PMON");
    log.SetEnabled(true);
    constexpr int kThreads = 6;
    constexpr int kLines = 150;
    const std::string payload(300, 'z');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                log.Write(5000 + t, 'E', payload);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const auto lines = Lines(testsupport::ReadFile(dir / "log.txt"));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto& line : lines) {
        ASSERT_EQ(line.size(), 12 + 1 + 4 + 4 + 1 + payload.size());
        ASSERT_EQ(line.substr(22), payload);
    }
}
