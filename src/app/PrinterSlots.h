#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

class TSpoolCheckThread;

// One printer the program watches. The names are set before its watcher starts and only read
// afterwards; each flag has one writer (running: the watcher, stop request: the main form).
struct PrinterSlot {
    PrinterSlot();
    ~PrinterSlot();

    std::string printerName;
    std::string serverName;  // empty for a printer of this computer, else "\\server"
    std::unique_ptr<TSpoolCheckThread> watcher;
    std::atomic<std::uint8_t> running{0};
    std::atomic<std::uint8_t> stopRequest{0};
};

// The printers found at start. A deque, so that slots never move once a watcher looks at them;
// there is no upper limit on their number.
struct PrinterSlots {
    std::deque<PrinterSlot> entries;
    // Tells a starting watcher which slot is its own; written only while no watcher is starting.
    std::atomic<int> currentSlotIndex{0};

    int Count() const { return static_cast<int>(entries.size()); }
    PrinterSlot& At(int i) { return entries[static_cast<size_t>(i)]; }
    const PrinterSlot& At(int i) const { return entries[static_cast<size_t>(i)]; }
};
