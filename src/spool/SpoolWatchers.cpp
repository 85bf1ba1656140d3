#include "spool/SpoolWatchers.h"

#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "platform/EventPump.h"

namespace {

// Polls a condition, serving the caller's events between looks.
template <typename Done>
void WaitProcessingEvents(Done done) {
    // A watcher takes its slot within microseconds: looked at again at once a few times before
    // sleeping, a thousand of them start in a fraction of a second.
    for (int spin = 0; !done(); ++spin) {
        platform::PumpThreadEvents();
        if (spin < 200) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

// How long a stop waits for the spooler to deliver what it has.
constexpr auto kDeliveryWait = std::chrono::seconds(5);

// Marks a stretch in which the caller's events are served while a watcher starts.
class BusyScope {
  public:
    explicit BusyScope(bool& busy) : m_busy(busy) { m_busy = true; }
    ~BusyScope() { m_busy = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

  private:
    bool& m_busy;
};

}  // namespace

SpoolWatchers::SpoolWatchers(platform::Spooler& spooler, PrintDataFiles& files, DiagnosticLog& log,
                             const platform::Clock& clock)
    : m_pageCounter(spooler, files, log), m_context{spooler, m_slots, files,
                                                    log,     clock,   &m_pageCounter} {}

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

void SpoolWatchers::LogPrinter(const PrinterSlot& slot) {
    m_context.log.Write(
        2, 'D',
        (slot.serverName.empty() ? "ローカルプリンタ名:" : "ネットワークプリンタ名:") +
            slot.printerName);
}

void SpoolWatchers::OpenServerWatch() {
    platform::Spooler& spooler = m_context.spooler;
    if (!spooler.OpenPrintServer(m_server)) {
        return;
    }
    m_serverChange = spooler.FindFirstPrinterChangeNotification(
        m_server, platform::kPrinterChangePrinter, 0, platform::NotifyOptions{});
    if (m_serverChange == platform::kInvalidChangeHandle) {
        spooler.ClosePrinter(m_server);
    }
}

void SpoolWatchers::Start() {
    BusyScope busy(m_busy);
    // Watched before the printers are listed, so that none added meanwhile is missed.
    OpenServerWatch();
    DiagnosticLog& log = m_context.log;
    std::vector<platform::PrinterInfo> listed;
    const bool schedulerAnswered = m_context.spooler.EnumPrinters(listed);
    const int count = static_cast<int>(listed.size());
    log.Write(1, 'D', "プリンタ数:" + std::to_string(count));
    if (count == 0) {
        // Said once; printers that appear later are watched as they come.
        const char* why =
            schedulerAnswered ? "no printer found" : "the print spooler does not answer";
        std::fprintf(stderr, "Tessaroven: %s; watching for printers to appear\n", why);
        log.Write(3, 'E', std::string(why) + "; watching for printers to appear");
    }
    // From the one listing: asking the spooler again for each position would list every printer
    // once per printer (seconds at a thousand queues).
    m_slots.entries.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        PrinterSlot& slot = m_slots.At(i);
        slot.printerName = listed[static_cast<size_t>(i)].printerName;
        slot.serverName = listed[static_cast<size_t>(i)].serverName;
        LogPrinter(slot);
    }
    // One at a time: a starting watcher learns its slot from the single current index.
    for (int i = 0; i < count && !m_cancelled; ++i) {
        StartWatcher(i);
    }
}

void SpoolWatchers::StartWatcher(int index) {
    PrinterSlot& slot = m_slots.At(index);
    slot.watcher.reset();  // one that has ended
    m_slots.currentSlotIndex = index;
    slot.running = 0;
    slot.stopRequest = 0;
    slot.printerDeleted = 0;
    slot.watcher = std::make_unique<SpoolWatchThread>(m_context);
    WaitProcessingEvents([&] { return slot.running.load() == 1 || slot.watcher->Finished(); });
    m_context.log.Write(11, 'D', "スレッド起動完了");
}

void SpoolWatchers::FollowPrinters() {
    if (m_busy || m_cancelled) {
        return;
    }
    bool changed = false;
    platform::Spooler& spooler = m_context.spooler;
    if (m_serverChange != platform::kInvalidChangeHandle &&
        spooler.WaitForChange(m_serverChange, 0) == platform::WaitResult::Signalled) {
        std::uint32_t word = 0;
        std::unique_ptr<platform::NotifyInfo> info;
        while (spooler.WaitForChange(m_serverChange, 0) == platform::WaitResult::Signalled &&
               spooler.FindNextPrinterChangeNotification(m_serverChange, word,
                                                         platform::NotifyOptions{}, info)) {
        }
        changed = true;
    }
    // A watcher whose printer was deleted has ended: the printer may be back already.
    for (const auto& slot : m_slots.entries) {
        changed = changed || slot.printerDeleted.load() != 0;
    }
    if (changed) {
        BusyScope busy(m_busy);
        Reconcile();
    }
}

void SpoolWatchers::Reconcile() {
    std::vector<platform::PrinterInfo> printers;
    if (!m_context.spooler.EnumPrinters(printers)) {
        return;  // the spooler is away: keep what we have
    }
    std::set<std::string> names;
    std::vector<int> toStart;
    for (const auto& printer : printers) {
        names.insert(printer.printerName);
        int found = -1;
        for (int i = 0; i < m_slots.Count() && found < 0; ++i) {
            if (m_slots.At(i).printerName == printer.printerName) {
                found = i;
            }
        }
        if (found < 0) {
            found = m_slots.Count();
            PrinterSlot& slot = m_slots.entries.emplace_back();
            slot.printerName = printer.printerName;
            slot.serverName = printer.serverName;
        }
        PrinterSlot& slot = m_slots.At(found);
        slot.listed = true;
        if (!slot.watcher || slot.watcher->Finished()) {
            toStart.push_back(found);
        }
    }
    for (auto& slot : m_slots.entries) {
        slot.printerDeleted = 0;
        if (names.count(slot.printerName) == 0) {
            // Its watcher ends by itself once the spooler has told it the last of its jobs.
            slot.listed = false;
        }
    }
    if (toStart.empty()) {
        return;
    }
    m_context.log.Write(1, 'D', "プリンタ数:" + std::to_string(printers.size()));
    for (int i : toStart) {
        if (m_cancelled) {
            return;
        }
        LogPrinter(m_slots.At(i));
        StartWatcher(i);
    }
}

void SpoolWatchers::Stop() {
    m_cancelled = true;
    if (m_busy) {
        return;  // re-entered from a start's events: the start returns first, see Busy
    }
    // Every job that ended before the stop reaches its watcher first (bounded: a spooler that
    // does not answer has nothing more to deliver).
    const auto asked = std::chrono::steady_clock::now();
    const auto limit = asked + kDeliveryWait;
    WaitProcessingEvents([&] {
        return m_context.spooler.ChangesDeliveredSince(asked) ||
               std::chrono::steady_clock::now() >= limit;
    });
    // All at once, whatever the number of printers: each watcher is woken from its wait.
    for (int i = 0; i < m_slots.Count(); ++i) {
        if (m_slots.At(i).watcher) {
            m_slots.At(i).stopRequest = 1;
        }
    }
    m_context.spooler.WakeWaiters();
    for (int i = 0; i < m_slots.Count(); ++i) {
        PrinterSlot& slot = m_slots.At(i);
        if (!slot.watcher) {
            continue;
        }
        m_slots.currentSlotIndex = i;
        WaitProcessingEvents([&] { return slot.running.load() == 0; });
        slot.watcher.reset();
    }
    // Jobs handed to the page counter before the stop are still counted and recorded while its
    // budget lasts; what is left then waits, unsettled, for the next start.
    m_pageCounter.Stop();
    WaitProcessingEvents([&] { return m_pageCounter.Idle(); });
    if (m_serverChange != platform::kInvalidChangeHandle) {
        m_context.spooler.FindClosePrinterChangeNotification(m_serverChange);
        m_context.spooler.ClosePrinter(m_server);
        m_serverChange = platform::kInvalidChangeHandle;
    }
}
