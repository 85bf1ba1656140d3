#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Spooler.h"

namespace platform {

// A spooler that plays scripts: for each printer, the cycles its change handle will report, and
// failures to inject. Its wait returns at once when a cycle is ready; otherwise it waits only a
// short idle time (settable) before it reports a time-out, so watchers spin through their loop
// quickly without burning the processor. Every call except the waits is recorded.
class ScriptedSpooler final : public Spooler {
  public:
    struct Cycle {
        std::uint32_t change = 0;
        std::optional<NotifyInfo> info;  // none: the fetch brings no info block
        bool fetchFails = false;         // the fetch reports failure (with `error`)
        int error = 0;
    };

    void SetPrinters(std::vector<PrinterInfo> printers);
    // Enumeration fails with this error (0: it works again).
    void FailEnumeration(int error);
    // The next `times` opens of the printer fail (-1: every one).
    void FailOpen(const std::string& printer, int error, int times = -1);
    void FailFirst(const std::string& printer, int error, int times = -1);

    // Cycles for the print server's change handle go to this name.
    static constexpr const char* kServer = "";

    void AddCycle(const std::string& printer, Cycle cycle);

    // How long a wait without a ready cycle lasts at most before it times out (default 1 ms).
    void SetIdleWait(std::chrono::milliseconds idle);

    // Waits until every scripted cycle of the printer has been fetched and its watcher has come
    // back to wait again (so the last cycle has been fully handled). False on time-out.
    bool WaitUntilHandled(const std::string& printer,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::vector<std::string> Calls() const;
    // Notification options passed with the last FindFirst call for the printer.
    NotifyOptions LastOptions(const std::string& printer) const;
    int WaitCount(const std::string& printer) const;

    bool EnumPrinters(std::vector<PrinterInfo>& printers) override;
    bool OpenPrinter(const std::string& printerName, PrinterHandle& printer) override;
    bool OpenPrintServer(PrinterHandle& server) override;
    void ClosePrinter(PrinterHandle printer) override;
    ChangeHandle FindFirstPrinterChangeNotification(PrinterHandle printer, std::uint32_t filter,
                                                    std::uint32_t options,
                                                    const NotifyOptions& notifyOptions) override;
    bool FindNextPrinterChangeNotification(ChangeHandle change, std::uint32_t& changeWord,
                                           const NotifyOptions& notifyOptions,
                                           std::unique_ptr<NotifyInfo>& info) override;
    void FindClosePrinterChangeNotification(ChangeHandle change) override;
    WaitResult WaitForChange(ChangeHandle change, std::uint32_t timeoutMs) override;
    int LastError() const override;
    // Recorded as "Settled <printer> <job>".
    void JobSettled(const std::string& printerName, std::uint32_t jobId) override;

  private:
    struct Failure {
        int error = 0;
        int times = 0;
    };
    struct Script {
        std::deque<Cycle> cycles;
        Failure open;
        Failure first;
        NotifyOptions lastOptions;
        long waitsAfterFetch = 0;  // waits since the last fetch
        int waits = 0;
    };

    static bool Consume(Failure& f);
    void Record(std::string call);
    const std::string* PrinterOf(const std::map<std::intptr_t, std::string>& handles,
                                 std::intptr_t h) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<PrinterInfo> m_printers;
    int m_enumError = 0;
    std::map<std::string, Script> m_scripts;
    std::map<std::intptr_t, std::string> m_printerHandles;
    std::map<std::intptr_t, std::string> m_changeHandles;
    std::intptr_t m_nextHandle = 0x100;
    std::chrono::milliseconds m_idleWait{1};
    std::vector<std::string> m_calls;
};

}  // namespace platform
