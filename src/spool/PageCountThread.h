#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "pagecount/PageCount.h"
#include "platform/Spooler.h"
#include "spool/JobTable.h"
#include "storage/DiagnosticLog.h"
#include "storage/PrintDataFiles.h"

// Appends the record of a finished job, under the record lock.
void HandOverJob(PrintDataFiles& files, const JobEntry& entry);
// How the journal names a job: its id, printer and owner.
std::string JobName(const JobEntry& entry);

// Counts the pages of finished jobs from their documents, on threads of its own (one fetches the
// documents as soon as a job comes, one counts them), so that a watcher never waits for a
// document: a job the spooler could not count (a raw queue, printer
// data sent by a client's own driver) is counted from its document; a PostScript job the
// spooler counted is read for the copies it asks for itself. Each job is handed over once its
// count is known, in the order the jobs came. Jobs whose document cannot be had or read are
// not recorded: the diagnostic log says why.
//
// At stop it finishes every job it was given (each count is bounded in time), so no job that was
// handed to it is lost; Idle tells when it has.
class PageCountThread {
  public:
    enum class Work { CountPages, ReadCopies };

    PageCountThread(platform::Spooler& spooler, PrintDataFiles& files, DiagnosticLog& log);
    ~PageCountThread();
    PageCountThread(const PageCountThread&) = delete;
    PageCountThread& operator=(const PageCountThread&) = delete;

    void Submit(const JobEntry& entry, Work work);
    // True when every job given so far has been handed over or dropped.
    bool Idle() const;
    // How each document is counted; tests shorten the limits.
    void SetLimits(const pagecount::Limits& limits, std::chrono::milliseconds perDocument);

  private:
    struct Job {
        JobEntry entry;
        Work work = Work::CountPages;
    };
    struct Fetched {
        Job job;
        platform::FetchResult result = platform::FetchResult::Failed;
        platform::JobDocuments docs;
        std::uint64_t bytes = 0;
        std::int64_t fetchedAt = 0;  // seconds since the epoch
    };
    // Documents fetched and waiting to be counted, at most (a mapped document holds no
    // descriptor: the bytes are what counts).
    static constexpr size_t kMaxFetchedJobs = 4096;
    static constexpr std::uint64_t kMaxFetchedBytes = 1ull << 30;

    void FetchDocuments();
    void Run();
    void Process(Fetched& job);
    void CountPages(JobEntry& entry, platform::JobDocuments& docs);
    void ReadCopies(JobEntry& entry, platform::JobDocuments& docs);
    pagecount::Limits LimitsNow() const;

    platform::Spooler& m_spooler;
    PrintDataFiles& m_files;
    DiagnosticLog& m_log;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;         // waiting for their documents
    std::deque<Fetched> m_fetched;  // waiting to be counted
    std::uint64_t m_fetchedBytes = 0;
    bool m_fetching = false;
    bool m_busy = false;
    bool m_stopping = false;
    pagecount::Limits m_limits;
    std::chrono::milliseconds m_perDocument{60'000};
    std::thread m_fetcher;
    std::thread m_thread;
};
