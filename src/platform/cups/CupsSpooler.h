#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/Spooler.h"
#include "platform/cups/CupsClient.h"
#include "platform/cups/SettledJobs.h"

namespace platform {

// The CUPS scheduler behind the spooler interface. One poller thread keeps a server-wide IPP
// subscription (pulled with Get-Notifications, as cupsd does not push) and turns its events into
// the change words and info blocks of the watched printers:
//  - a job seen for the first time: kPrinterChangeAddJob with its printer, machine and user
//    name, copies 1 and the pages processed so far (CUPS counts copies into its pages);
//  - later progress: pages printed; the end of a job: its final count as total and printed;
//  - after a job ended or the printer changed state: the queue length as the printer's job count;
//  - events that were lost (a gap, an expired subscription, a scheduler restart): job change bits
//    without an info block to the queues with jobs, then every job the scheduler lists with an id
//    above those settled (ids only grow), whatever it is doing now;
//  - a queue added or deleted, or a scheduler that (re)appears: a change on the print server's
//    handle; a deleted queue's own handle gets the end of every job it had, then the deletion.
// A queue that starts being watched is first asked for the jobs it holds that are not settled.
// Jobs are settled when the watchers say so (JobSettled); kept in a file, the settled ids let a
// program that stops and starts again report exactly the jobs that ended in between.
// While the scheduler is down the spooler waits for it; watchers keep their printers. A watcher
// follows a limited number of jobs at once: new jobs beyond it wait until the queue has run
// empty, then are reported with their counts.
class CupsSpooler final : public Spooler {
  public:
    static constexpr std::size_t kFetchConnections = 3;
    struct Options {
        std::chrono::milliseconds pollInterval{250};
        int leaseSeconds = 600;
        // How many jobs a watcher can follow at once on one printer. More new jobs than that
        // are held back and reported after its queue has run empty, so none is lost.
        int maxOpenJobs = 200;
        // The largest job document read for counting its pages.
        std::uint64_t maxDocumentBytes = 4ull * 1024 * 1024 * 1024;
        // Where the settled jobs are kept across runs; empty: for this run only.
        std::string settledJobsFile;
        // Whether a job that had already ended when it was first seen is reported, by when it
        // ended (seconds since the epoch). Unset: those that ended since the spooler was made.
        std::function<bool(long endedAt)> takesEndedJob;
        // Lost events and how they were made up for, jobs gone before they could be seen, a
        // scheduler away: lines for the journal. Unset: nothing is said.
        std::function<void(const std::string&)> note;
    };

    explicit CupsSpooler(std::string computerName);
    CupsSpooler(std::string computerName, Options options);
    ~CupsSpooler() override;

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
    std::uint64_t WakeCount() const override;
    void WakeWaiters() override;
    int LastError() const override;
    // Through CUPS-Get-Document, with the rights of the user we run as: the owner of a job, or
    // an administrator of the scheduler, may read it as long as the scheduler keeps its files
    // (PreserveJobFiles).
    FetchResult FetchJobDocuments(const std::string& printerName, std::uint32_t jobId,
                                  JobDocuments& out) override;
    void JobSettled(const std::string& printerName, std::uint32_t jobId) override;
    bool ChangesDeliveredSince(std::chrono::steady_clock::time_point since) override;

    // The subscription currently in use (0: none), for tests and diagnostics.
    int SubscriptionId() const;

  private:
    struct Cycle {
        std::uint32_t change = 0;
        std::unique_ptr<NotifyInfo> info;
    };
    struct TrackedJob {
        int impressions = 0;
        bool ended = false;
        std::string uuid;
    };
    using Listing = std::vector<cups::JobSummary>;
    // Everything about one queue; it outlives the handles a watcher opens and closes on it.
    struct Watch {
        std::deque<Cycle> cycles;
        int changeHandles = 0;
        std::chrono::steady_clock::time_point lastClosed;
        std::map<int, TrackedJob> jobs;
        int openJobs = 0;        // reported as added since the queue last ran empty
        std::set<int> deferred;  // new jobs held back until the queue runs empty
    };

    void Poll();
    bool EnsureSubscription(cups::CupsClient& client);
    void ReportLost();
    void Reconcile(cups::CupsClient& client);
    // Takes every job not settled yet that the scheduler lists, of one queue or (empty) of all:
    // a job we do not follow yet is reported as new (and ended, if it has), unless it ended
    // before it was ours; false when the scheduler failed us.
    bool CatchUp(cups::CupsClient& client, const std::string& queue, bool afterLoss);
    // A scheduler that numbers its jobs from 1 again (its history was lost) makes the settled
    // ids meaningless: they are forgotten. False when the scheduler failed us.
    bool CheckHistory(cups::CupsClient& client, const Listing& listed);
    bool TakesEndedJob(long endedAt) const;
    bool IsTracked(int jobId) const;
    enum class Tracking { None, Open, Ended };
    // Whether a watcher follows the job, and whether we have seen it end (m_mutex held).
    Tracking TrackingOf(int jobId) const;
    // Brings a job up to date with the scheduler (what it is now, or known: what a listing just
    // told of it) and tells its watcher what changed.
    void Examine(cups::CupsClient& client, int jobId, std::set<std::string>& endedOn,
                 const cups::JobState* known = nullptr);
    void ReportQueueLength(cups::CupsClient& client, const std::string& queue);
    // The queue has run empty (or is gone): every job we follow there is brought up to date
    // first, so none is handed over before its final count.
    void ReportEmpty(cups::CupsClient& client, const std::string& queue, bool deleted);
    void ReportDeleted(cups::CupsClient& client, const std::string& queue);
    void PushServerChange(std::uint32_t change);
    void Push(const std::string& queue, Cycle cycle);
    void ForgetOldJobs(Watch& watch);
    bool IsWatched(const Watch& watch) const;
    bool AnyWatched() const;
    void Sleep();
    void SaveSettled();
    // Everything the scheduler had when the poll that started then began is delivered.
    void MarkDelivered(std::chrono::steady_clock::time_point pollStart);
    void Note(const std::string& text) const;

    const std::string m_computerName;
    const Options m_options;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, Watch> m_watches;
    std::map<PrinterHandle, std::string> m_printers;
    std::map<ChangeHandle, std::string> m_changes;
    std::intptr_t m_nextHandle = 1;
    bool m_stopping = false;
    bool m_pollNow = false;
    std::uint64_t m_wakeCount = 0;

    // Poller state, touched only by the poller thread.
    int m_subscription = 0;
    int m_nextSequence = 1;
    std::chrono::steady_clock::time_point m_renewAt;
    bool m_lost = false;                 // events may have been missed: report and reconcile
    int m_quietPolls = 0;                // polls in a row that brought no event
    std::set<std::string> m_newWatches;  // queues to reconcile before their events count (m_mutex)
    bool m_caughtUp = false;             // the scheduler's jobs were listed since we started
    bool m_hadHistory = false;           // settled jobs came from an earlier run
    bool m_away = false;                 // the scheduler did not answer (said once)
    std::atomic<int> m_publishedSubscription{0};

    const long m_created;  // jobs that ended before are not ours, unless told otherwise
    const std::string m_scheduler;
    cups::SettledJobs m_settled;  // (m_mutex)
    bool m_settledChanged = false;
    // The start of the last poll that went through to its end, and a look asked for (m_mutex).
    std::chrono::steady_clock::time_point m_deliveredSince;

    // The documents' connections, kept from one job to the next: a new one costs a refused
    // request and a reconnect under the stock policy, and a burst must be fetched before the
    // scheduler forgets it (MaxJobs). A few, for the page counter's fetchers.
    struct FetchConnection {
        std::mutex mutex;
        cups::CupsClient client;  // (mutex)
    };
    std::array<FetchConnection, kFetchConnections> m_fetchConnections;

    std::thread m_poller;
};

}  // namespace platform
