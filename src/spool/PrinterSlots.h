#pragma once

#include <atomic>
#include <deque>

#include "spool/PrinterSlot.h"

// The printers found at start and added since. A deque, so that slots never move once a watcher
// looks at them; there is no upper limit on their number. Slots are added only on the interface
// thread, and only while no watcher is starting; a watcher keeps a reference to its own.
struct PrinterSlots {
    std::deque<PrinterSlot> entries;
    // Tells a starting watcher which slot is its own; written only while no watcher is starting.
    std::atomic<int> currentSlotIndex{0};

    int Count() const { return static_cast<int>(entries.size()); }
    PrinterSlot& At(int i) { return entries[static_cast<size_t>(i)]; }
    const PrinterSlot& At(int i) const { return entries[static_cast<size_t>(i)]; }
};
