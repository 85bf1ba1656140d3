#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/Spooler.h"

namespace platform {

// The Windows print spooler through winspool's wide calls. They are looked up in a module at run
// time: winspool.drv, or for tests a stand-in with the same exports that plays a script.
class WinSpooler final : public Spooler {
  public:
    explicit WinSpooler(const std::wstring& module = L"winspool.drv");
    ~WinSpooler() override;
    WinSpooler(const WinSpooler&) = delete;
    WinSpooler& operator=(const WinSpooler&) = delete;

    // False when the module or one of its calls could not be found.
    bool Loaded() const { return m_loaded; }

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
    WaitResult WaitForChangeOrWake(ChangeHandle change, std::uint32_t timeoutMs,
                                   std::uint64_t wakeCount) override;
    std::uint64_t WakeCount() const override { return m_wakeCount.load(); }
    void WakeWaiters() override;
    int LastError() const override;

  private:
    using EnumPrintersFn = BOOL(WINAPI*)(DWORD, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
    using OpenPrinterFn = BOOL(WINAPI*)(LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW);
    using ClosePrinterFn = BOOL(WINAPI*)(HANDLE);
    using FindFirstFn = HANDLE(WINAPI*)(HANDLE, DWORD, DWORD, LPVOID);
    using FindNextFn = BOOL(WINAPI*)(HANDLE, PDWORD, LPVOID, LPVOID*);
    using FreeInfoFn = BOOL(WINAPI*)(PPRINTER_NOTIFY_INFO);
    using FindCloseFn = BOOL(WINAPI*)(HANDLE);

    void Failed();
    // Whether blocks of an earlier fetch wait for the handle (then it counts as signalled).
    bool HasQueued(ChangeHandle change);

    // What one change handle has been told: the blocks still to hand out (of a fetch that held
    // several jobs) and the jobs it has seen, the newest last.
    struct Watch {
        std::deque<std::pair<std::uint32_t, NotifyInfo>> queued;
        std::set<std::uint32_t> seen;
        std::deque<std::uint32_t> seenOrder;
    };
    std::mutex m_watchesLock;
    std::map<ChangeHandle, Watch> m_watches;

    HMODULE m_module = nullptr;
    bool m_loaded = false;
    EnumPrintersFn m_enumPrinters = nullptr;
    OpenPrinterFn m_openPrinter = nullptr;
    ClosePrinterFn m_closePrinter = nullptr;
    FindFirstFn m_findFirst = nullptr;
    FindNextFn m_findNext = nullptr;
    FreeInfoFn m_freeInfo = nullptr;
    FindCloseFn m_findClose = nullptr;

    HANDLE m_wake = nullptr;  // set by WakeWaiters, for waits that began before it
    std::atomic<std::uint64_t> m_wakeCount{0};
};

// The spooler's info block in the program's terms: texts in UTF-8, a job's device mode as its
// copies, numbers as they are; an entry whose data the spooler did not deliver has none.
NotifyInfo ConvertNotifyInfo(const PRINTER_NOTIFY_INFO& block);

// The spooler gathers what changed between two fetches into one block: several jobs' entries
// when jobs come quickly, the printer's (its job count) beside a job's. A watcher takes one job
// from a block, the one the block's last entry names. Such a block is handed out as one block per
// job, in the order the jobs first appear, then one with the printer's entries. A job not seen
// on this handle before keeps the fetch's "job added" bit, one seen before loses it (it is
// followed already), as does the printer's block; "job deleted" stays with the last job's block
// and the printer's, as it would for the whole block.
std::vector<std::pair<std::uint32_t, NotifyInfo>> SplitByJob(std::uint32_t changeWord,
                                                             NotifyInfo info,
                                                             const std::set<std::uint32_t>& seen);

}  // namespace platform
