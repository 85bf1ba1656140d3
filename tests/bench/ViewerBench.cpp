// The print log viewer on a large data directory: time to open, peak memory, and the slowest
// repaint while scrolling through it. Usage: viewer_bench DATA_DIR

#include <sys/resource.h>

#include <QApplication>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "storage/PrintDataFixture.h"
#include "ui/PrintLogWindow.h"

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: viewer_bench DATA_DIR\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    testsupport::PrintDataFixture f;
    f.files.SetDataDirectory(argv[1]);
    PrinterSlots printers;
    DiagnosticLog log;
    ReportContext context{f.files, printers, f.reg, log, f.sink, platform::SystemClock::Instance()};
    PrintLogWindow viewer(context);

    double openSeconds = 0;
    double slowestRepaint = 0;
    int rows = 0;
    const auto started = Clock::now();
    QTimer::singleShot(0, [&] {
        openSeconds = std::chrono::duration<double>(Clock::now() - started).count();
        rows = viewer.logModel->rowCount();
        QScrollBar* bar = viewer.logGrid->verticalScrollBar();
        for (int step = 0; step <= 200; ++step) {
            const auto t = Clock::now();
            bar->setValue(bar->maximum() * step / 200);
            viewer.logGrid->viewport()->repaint();
            slowestRepaint =
                std::max(slowestRepaint, std::chrono::duration<double>(Clock::now() - t).count());
        }
        viewer.accept();
    });
    viewer.exec();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("rows %d, opened in %.2f s, slowest scroll repaint %.1f ms, peak memory %.0f MB\n",
                rows, openSeconds, slowestRepaint * 1000, usage.ru_maxrss / 1024.0);
    return 0;
}
