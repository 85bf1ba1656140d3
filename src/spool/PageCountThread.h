#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pagecount/PageCount.h"
#include "platform/Spooler.h"
#include "spool/JobTable.h"
#include "storage/DiagnosticLog.h"
#include "storage/PrintDataFiles.h"

// Appends the record of a finished job, under the record lock.
void HandOverJob(PrintDataFiles& files, const JobEntry& entry);
// How the journal names a job: its id, printer and owner.
std::string JobName(const JobEntry& entry);

// Counts the pages of finished jobs from their documents, on threads of its own (three fetch the
// documents as soon as a job comes, two count them), so that a watcher never waits for a
// document: a job the spooler could not count (a raw queue, printer data sent by a client's own
// driver) is counted from its document; a PostScript job the spooler counted is read for the
// copies it asks for itself. Jobs whose document cannot be had or read are not recorded: the
// diagnostic log says why.
//
// Each job has one time budget for all its documents. Jobs waiting to be counted are taken by
// owner in turn, one job of an owner at a time and in the order they came, so that one user's
// slow jobs (PostScript the interpreter runs to its limit) hold up only that user's.
//
// A stop counts what it was given for a short while (Stop), then cancels the counts that run and
// leaves the rest unsettled: a spooler that keeps settled jobs (the system service's) hands them
// over again at the next start. Idle tells when it is done.
class PageCountThread {
  public:
    enum class Work { CountPages, ReadCopies };

    PageCountThread(platform::Spooler& spooler, PrintDataFiles& files, DiagnosticLog& log);
    ~PageCountThread();
    PageCountThread(const PageCountThread&) = delete;
    PageCountThread& operator=(const PageCountThread&) = delete;

    void Submit(const JobEntry& entry, Work work);
    // True when every job given so far has been handed over, dropped, or left at a stop.
    bool Idle() const;
    // How each job is counted; tests shorten the limits.
    void SetLimits(const pagecount::Limits& limits, std::chrono::milliseconds perJob);
    // From now on at most `budget` more: then counts that run are cancelled and jobs not counted
    // yet are left unsettled (said once in the journal).
    void Stop(std::chrono::milliseconds budget = kStopBudget);

    static constexpr std::chrono::milliseconds kStopBudget{10'000};
    static constexpr int kCounters = 2;
    // Fetchers at once: one document the scheduler is slow to hand out holds up no other.
    static constexpr int kFetchers = 3;

  private:
    struct Job {
        JobEntry entry;
        Work work = Work::CountPages;
    };
    // One job from its submission to its count.
    struct Fetched {
        Job job;
        bool ready = false;  // fetched (or given up at a stop)
        platform::FetchResult result = platform::FetchResult::Failed;
        platform::JobDocuments docs;
        std::uint64_t bytes = 0;
        std::int64_t fetchedAt = 0;  // seconds since the epoch
    };
    using Slot = std::shared_ptr<Fetched>;
    // Documents fetched and waiting to be counted, at most (a mapped document holds no
    // descriptor: the bytes are what counts).
    static constexpr size_t kMaxFetchedJobs = 4096;
    static constexpr std::uint64_t kMaxFetchedBytes = 1ull << 30;

    void FetchDocuments();
    void Count();
    // The next job to count, the owners taking turns, one job of each at a time and in the
    // order they came (m_mutex held); empty when none is ready.
    Slot TakeNext();
    bool NothingLeft() const;  // (m_mutex held)
    bool PastStop() const;     // (m_mutex held)
    void LeaveAtStop(const JobEntry& entry);
    // False when the job was left at a stop (not settled), true when it is done with.
    bool Process(Fetched& job, const pagecount::Limits& limits);
    bool CountPages(JobEntry& entry, platform::JobDocuments& docs, const pagecount::Limits& limits);
    bool ReadCopies(JobEntry& entry, platform::JobDocuments& docs, const pagecount::Limits& limits);
    bool IdleLocked() const;
    pagecount::Limits LimitsNow() const;

    platform::Spooler& m_spooler;
    PrintDataFiles& m_files;
    DiagnosticLog& m_log;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Slot> m_jobs;  // waiting for their documents
    // Every job not counted yet, by owner in the order they came, and the owners in the order
    // they take turns; an owner whose job is being counted waits for it.
    std::map<std::string, std::deque<Slot>> m_owners;
    std::deque<std::string> m_turns;
    std::set<std::string> m_busyOwners;
    size_t m_fetchedCount = 0;  // ready and not taken yet
    std::uint64_t m_fetchedBytes = 0;
    int m_fetching = 0;
    int m_counting = 0;
    bool m_stopping = false;
    std::chrono::steady_clock::time_point m_stopAt = std::chrono::steady_clock::time_point::max();
    mutable std::atomic<bool> m_cancel{false};  // counts that run are given up
    pagecount::Limits m_limits;
    std::chrono::milliseconds m_perJob{60'000};
    std::vector<std::thread> m_fetchers;
    std::vector<std::thread> m_counters;
};
