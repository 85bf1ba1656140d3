#include "app/SpoolWatchers.h"

#include <chrono>
#include <thread>

#include "platform/EventPump.h"

namespace {

// Polls a condition, serving the caller's events between looks.
template <typename Done>
void WaitProcessingEvents(Done done) {
    while (!done()) {
        platform::PumpThreadEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

SpoolWatchers::SpoolWatchers(platform::Spooler& spooler, PrintDataFiles& files, TdmLog& log,
                             const platform::Clock& clock)
    : m_context{spooler, m_slots, files, log, clock} {}

SpoolWatchers::~SpoolWatchers() {
    Stop();
}

int SpoolWatchers::PrinterCount() {
    std::vector<platform::PrinterInfo> printers;
    if (!m_context.spooler.EnumPrinters(printers)) {
        return 0;
    }
    return static_cast<int>(printers.size());
}

std::string SpoolWatchers::PrinterAt(int position, std::string& serverName) {
    serverName.clear();
    std::vector<platform::PrinterInfo> printers;
    if (!m_context.spooler.EnumPrinters(printers) || position < 1 ||
        static_cast<size_t>(position) > printers.size()) {
        return {};
    }
    const auto& printer = printers[static_cast<size_t>(position - 1)];
    serverName = printer.serverName;
    return printer.printerName;
}

void SpoolWatchers::Start() {
    TdmLog& log = m_context.log;
    const int count = PrinterCount();
    log.Write(1, 'D', "プリンタ数:" + std::to_string(count));
    m_slots.entries.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        PrinterSlot& slot = m_slots.At(i);
        slot.printerName = PrinterAt(i + 1, slot.serverName);
        log.Write(2, 'D',
                  (slot.serverName.empty() ? "ローカルプリンタ名:" : "ネットワークプリンタ名:") +
                      slot.printerName);
    }
    // One at a time: a starting watcher learns its slot from the single current index.
    for (int i = 0; i < count; ++i) {
        PrinterSlot& slot = m_slots.At(i);
        m_slots.currentSlotIndex = i;
        slot.running = 0;
        slot.stopRequest = 0;
        slot.watcher = std::make_unique<TSpoolCheckThread>(m_context);
        WaitProcessingEvents([&] { return slot.running.load() == 1 || slot.watcher->Finished(); });
        log.Write(11, 'D', "スレッド起動完了");
    }
}

void SpoolWatchers::Stop() {
    for (int i = 0; i < m_slots.Count(); ++i) {
        PrinterSlot& slot = m_slots.At(i);
        if (!slot.watcher) {
            continue;
        }
        m_slots.currentSlotIndex = i;
        slot.stopRequest = 1;
        WaitProcessingEvents([&] { return slot.running.load() == 0; });
        slot.watcher.reset();
    }
}
