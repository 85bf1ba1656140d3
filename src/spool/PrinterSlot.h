#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class SpoolWatchThread;

// One printer the program watches. The names are set before its watcher starts and only read
// afterwards; each flag has one writer (running: the watcher, stop request: the tray controller).
struct PrinterSlot {
    PrinterSlot();
    ~PrinterSlot();

    std::string printerName;
    std::string serverName;  // empty for a printer of this computer, else "\\server"
    std::unique_ptr<SpoolWatchThread> watcher;
    std::atomic<std::uint8_t> running{0};
    std::atomic<std::uint8_t> stopRequest{0};
    // Set by the watcher when it ended because the spooler deleted its printer.
    std::atomic<std::uint8_t> printerDeleted{0};
    // Whether the spooler listed the printer the last time we asked; a printer deleted while we
    // run keeps its slot (watchers hold on to their slot) but is no longer offered.
    bool listed = true;
};
