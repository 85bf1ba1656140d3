#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/MappedFile.h"

namespace platform {

// The print spooler as the watch threads use it: list the printers, open one, and follow its
// changes through a change handle that can be waited on. The constants are the spooler's own.

inline constexpr std::uint32_t kPrinterChangeAddPrinter = 0x00000001;
inline constexpr std::uint32_t kPrinterChangeSetPrinter = 0x00000002;
inline constexpr std::uint32_t kPrinterChangeDeletePrinter = 0x00000004;
inline constexpr std::uint32_t kPrinterChangePrinter = 0x000000FF;
inline constexpr std::uint32_t kPrinterChangeAddJob = 0x00000100;
inline constexpr std::uint32_t kPrinterChangeSetJob = 0x00000200;
inline constexpr std::uint32_t kPrinterChangeDeleteJob = 0x00000400;
inline constexpr std::uint32_t kPrinterChangeWriteJob = 0x00000800;
inline constexpr std::uint32_t kPrinterChangeJob = 0x0000FF00;
inline constexpr std::uint32_t kPrinterChangeAll = 0x7777FFFF;

inline constexpr std::uint16_t kPrinterNotifyType = 0;
inline constexpr std::uint16_t kJobNotifyType = 1;

inline constexpr std::uint16_t kPrinterNotifyFieldServerName = 0;
inline constexpr std::uint16_t kPrinterNotifyFieldPrinterName = 1;
inline constexpr std::uint16_t kPrinterNotifyFieldShareName = 2;
inline constexpr std::uint16_t kPrinterNotifyFieldCjobs = 20;
inline constexpr std::uint16_t kPrinterNotifyFieldTotalPages = 22;
inline constexpr std::uint16_t kPrinterNotifyFieldPagesPrinted = 23;

inline constexpr std::uint16_t kJobNotifyFieldPrinterName = 0;
inline constexpr std::uint16_t kJobNotifyFieldMachineName = 1;
inline constexpr std::uint16_t kJobNotifyFieldUserName = 3;
inline constexpr std::uint16_t kJobNotifyFieldDatatype = 5;
inline constexpr std::uint16_t kJobNotifyFieldDevmode = 9;
inline constexpr std::uint16_t kJobNotifyFieldTotalPages = 20;
inline constexpr std::uint16_t kJobNotifyFieldPagesPrinted = 21;
// Not the Windows spooler's: when the job ended, in seconds since the epoch by the spooler's
// clock, sent with its end where the spooler knows it.
inline constexpr std::uint16_t kJobNotifyFieldEndedTime = 0x0100;

inline constexpr std::uint32_t kPrinterNotifyInfoDiscarded = 0x01;

using PrinterHandle = std::intptr_t;
using ChangeHandle = std::intptr_t;
inline constexpr ChangeHandle kInvalidChangeHandle = -1;

// Which fields of the printer and of its jobs a change notification should carry.
struct NotifyOptionsType {
    std::uint16_t type = 0;
    std::vector<std::uint16_t> fields;
};

struct NotifyOptions {
    std::uint32_t version = 2;
    std::uint32_t flags = 0;
    std::vector<NotifyOptionsType> types;
};

// One entry of an info block. Numbers come in `number`; texts in `text`; a job's device mode in
// `copies` (its copy count). A text or device mode the spooler did not deliver is absent.
struct NotifyInfoData {
    std::uint16_t type = 0;
    std::uint16_t field = 0;
    std::uint32_t id = 0;
    std::uint32_t number = 0;
    std::optional<std::string> text;
    std::optional<std::int16_t> copies;
};

struct NotifyInfo {
    std::uint32_t flags = 0;
    std::vector<NotifyInfoData> entries;
};

struct PrinterInfo {
    std::string printerName;
    std::string serverName;  // empty for a printer of this computer
};

enum class WaitResult { Signalled, TimedOut, Failed };

// A finished job's documents, as its printer got them, with the copies the job asked for.
struct JobDocuments {
    int copies = 1;
    std::uint64_t size = 0;  // bytes, as the spooler tells them (also when they cannot be read)
    std::vector<std::unique_ptr<MappedFile>> documents;
};

enum class FetchResult {
    Ok,
    NotPrinted,   // cancelled or aborted: nothing to count
    Forbidden,    // this user may not read the job's documents
    Gone,         // the spooler no longer keeps them
    TooLarge,     // beyond the size we read
    Unsupported,  // this spooler cannot hand documents out
    Failed,       // the spooler did not answer
};

const char* FetchResultText(FetchResult result);

class Spooler {
  public:
    virtual ~Spooler() = default;

    // The printers this user sees, local ones and connections; false when the list cannot be had.
    virtual bool EnumPrinters(std::vector<PrinterInfo>& printers) = 0;

    virtual bool OpenPrinter(const std::string& printerName, PrinterHandle& printer) = 0;
    // The print server itself: a change handle on it reports printers added
    // (kPrinterChangeAddPrinter) and deleted (kPrinterChangeDeletePrinter), and a server that
    // has come back after an absence as both. A deleted printer's own change handle reports
    // kPrinterChangeDeletePrinter after the last of its jobs.
    virtual bool OpenPrintServer(PrinterHandle& server) = 0;
    virtual void ClosePrinter(PrinterHandle printer) = 0;

    // kInvalidChangeHandle on failure.
    virtual ChangeHandle FindFirstPrinterChangeNotification(PrinterHandle printer,
                                                            std::uint32_t filter,
                                                            std::uint32_t options,
                                                            const NotifyOptions& notifyOptions) = 0;
    // Fetches what changed since the last call: the change word and, when the spooler has one,
    // the info block. False on failure.
    virtual bool FindNextPrinterChangeNotification(ChangeHandle change, std::uint32_t& changeWord,
                                                   const NotifyOptions& notifyOptions,
                                                   std::unique_ptr<NotifyInfo>& info) = 0;
    virtual void FindClosePrinterChangeNotification(ChangeHandle change) = 0;

    virtual WaitResult WaitForChange(ChangeHandle change, std::uint32_t timeoutMs) = 0;
    // A wait that also ends (TimedOut) once WakeWaiters has been called after wakeCount was read
    // (WakeCount): a watcher reads the count, then looks at its stop request, then waits, so a
    // stop cannot slip in between unnoticed and an idle watcher need not wake up to look. A
    // spooler that cannot be woken waits as WaitForChange does.
    virtual WaitResult WaitForChangeOrWake(ChangeHandle change, std::uint32_t timeoutMs,
                                           std::uint64_t wakeCount) {
        (void)wakeCount;
        return WaitForChange(change, timeoutMs);
    }
    virtual std::uint64_t WakeCount() const { return 0; }
    virtual void WakeWaiters() {}

    // The error number of the calling thread's last failed call.
    virtual int LastError() const = 0;

    // The job needs reporting no more: it is recorded, or never will be. A spooler that can
    // report jobs that ended while nobody watched (after a restart) leaves it out from now on.
    virtual void JobSettled(const std::string& printerName, std::uint32_t jobId) {
        (void)printerName;
        (void)jobId;
    }
    // True once every change the spooler had before `since` has reached the change handles; asks
    // it to look at once. A stop waits for this, so that no job that ended before it is left.
    virtual bool ChangesDeliveredSince(std::chrono::steady_clock::time_point since) {
        (void)since;
        return true;
    }

    // The documents of a job that has left the queue, while the spooler still keeps them.
    virtual FetchResult FetchJobDocuments(const std::string& printerName, std::uint32_t jobId,
                                          JobDocuments& out) {
        (void)printerName;
        (void)jobId;
        out = {};
        return FetchResult::Unsupported;
    }
};

}  // namespace platform
