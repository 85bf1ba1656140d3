#include "spool/PageCountThread.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include "pagecount/Isolated.h"

using platform::FetchResult;

void HandOverJob(PrintDataFiles& files, const JobEntry& entry) {
    files.AcquireRecordLock();
    CompletedJob& job = files.completedJob;
    job.jobId = entry.jobId;
    job.time = entry.timeAdded;
    job.printerName = entry.printerName;
    job.machineName = entry.machineName;
    job.userName = entry.userName;
    job.totalPages = entry.totalPages;
    job.pagesPrinted = entry.pagesPrinted;
    job.copies = entry.copies;
    job.endedAt = entry.endedAt;
    files.WritePrintRecord();
    files.ReleaseRecordLock();
}

namespace {

// "812 kB", "40.3 MB": a document's size for the journal; a job the scheduler has forgotten
// has none.
std::string SizeText(std::uint64_t bytes) {
    char text[32];
    if (bytes == 0) {
        return "size unknown";
    }
    if (bytes < 1000 * 1000) {
        std::snprintf(text, sizeof text, "%llu kB",
                      static_cast<unsigned long long>((bytes + 999) / 1000));
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    }
    return text;
}

std::uint64_t DocumentBytes(const platform::JobDocuments& docs) {
    std::uint64_t bytes = 0;
    for (const auto& doc : docs.documents) {
        bytes += doc->Data().size();
    }
    return bytes > 0 ? bytes : docs.size;
}

}  // namespace

std::string JobName(const JobEntry& entry) {
    return "job " + std::to_string(entry.jobId) + " on " + entry.printerName + " (" +
           (entry.userName.empty() ? "owner unknown" : entry.userName) + ")";
}

PageCountThread::PageCountThread(platform::Spooler& spooler, PrintDataFiles& files,
                                 DiagnosticLog& log)
    : m_spooler(spooler), m_files(files), m_log(log) {
    for (int i = 0; i < kFetchers; ++i) {
        m_fetchers.emplace_back([this] { FetchDocuments(); });
    }
    for (int i = 0; i < kCounters; ++i) {
        m_counters.emplace_back([this] { Count(); });
    }
}

PageCountThread::~PageCountThread() {
    Stop();
    {
        std::unique_lock lock(m_mutex);
        const auto stopAt = m_stopAt;
        if (!m_wake.wait_until(lock, stopAt, [&] { return IdleLocked(); })) {
            m_cancel = true;
        }
    }
    m_wake.notify_all();
    for (auto& fetcher : m_fetchers) {
        fetcher.join();
    }
    for (auto& counter : m_counters) {
        counter.join();
    }
}

void PageCountThread::Submit(const JobEntry& entry, Work work) {
    {
        std::lock_guard lock(m_mutex);
        auto slot = std::make_shared<Fetched>();
        slot->job = {entry, work};
        m_jobs.push_back(slot);
        auto& owned = m_owners[entry.userName];
        if (owned.empty()) {
            m_turns.push_back(entry.userName);
        }
        owned.push_back(slot);
    }
    m_wake.notify_all();
}

bool PageCountThread::IdleLocked() const {
    return m_owners.empty() && m_counting == 0;
}

bool PageCountThread::NothingLeft() const {
    return m_owners.empty() && m_fetching == 0;
}

bool PageCountThread::Idle() const {
    std::lock_guard lock(m_mutex);
    if (PastStop() && m_counting > 0) {
        m_cancel = true;  // the stop's budget is spent: the counts that run are given up
    }
    return IdleLocked();
}

void PageCountThread::SetLimits(const pagecount::Limits& limits, std::chrono::milliseconds perJob) {
    std::lock_guard lock(m_mutex);
    m_limits = limits;
    m_perJob = perJob;
}

void PageCountThread::Stop(std::chrono::milliseconds budget) {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_stopAt = std::min(m_stopAt, std::chrono::steady_clock::now() + budget);
    }
    m_wake.notify_all();
}

bool PageCountThread::PastStop() const {
    return m_stopping && std::chrono::steady_clock::now() >= m_stopAt;
}

pagecount::Limits PageCountThread::LimitsNow() const {
    std::lock_guard lock(m_mutex);
    pagecount::Limits limits = m_limits;
    limits.deadline = std::min(std::chrono::steady_clock::now() + m_perJob, m_stopAt);
    limits.cancel = &m_cancel;
    return limits;
}

void PageCountThread::LeaveAtStop(const JobEntry& entry) {
    // Not settled: a spooler that keeps settled jobs hands it over again at the next start.
    m_files.Journal(JobName(entry) + ": not counted before the stop; left for the next start",
                    false);
}

void PageCountThread::FetchDocuments() {
    for (;;) {
        Slot slot;
        {
            std::unique_lock lock(m_mutex);
            // Fetched at once, counted when a counter gets to them: a busy scheduler forgets the
            // documents of its oldest finished jobs (MaxJobs), counting them may take a while
            // (an interpreter), and what waits here is bounded (descriptors, disk).
            const auto room = [&] {
                return m_fetchedCount < kMaxFetchedJobs && m_fetchedBytes < kMaxFetchedBytes;
            };
            const auto ready = [&] {
                return (!m_jobs.empty() && (room() || PastStop())) ||
                       (m_stopping && m_jobs.empty());
            };
            while (!ready()) {
                if (m_stopping) {
                    m_wake.wait_until(lock, m_stopAt);  // the end of the budget frees it too
                } else {
                    m_wake.wait(lock);
                }
            }
            if (m_jobs.empty()) {
                return;
            }
            if (PastStop()) {
                // Too late to fetch: the counters leave these for the next start.
                for (auto& left : m_jobs) {
                    left->ready = true;
                    ++m_fetchedCount;
                }
                m_jobs.clear();
                m_wake.notify_all();
                continue;
            }
            slot = m_jobs.front();
            m_jobs.pop_front();
            ++m_fetching;
        }
        Fetched fetched;
        const JobEntry& entry = slot->job.entry;
        fetched.fetchedAt = static_cast<std::int64_t>(std::time(nullptr));
        fetched.result = m_spooler.FetchJobDocuments(
            entry.printerName, static_cast<std::uint32_t>(entry.jobId), fetched.docs);
        for (const auto& doc : fetched.docs.documents) {
            fetched.bytes += doc->Data().size();
        }
        {
            std::lock_guard lock(m_mutex);
            fetched.job = std::move(slot->job);
            fetched.ready = true;
            *slot = std::move(fetched);
            m_fetchedBytes += slot->bytes;
            ++m_fetchedCount;
            --m_fetching;
        }
        m_wake.notify_all();
    }
}

PageCountThread::Slot PageCountThread::TakeNext() {
    for (auto turn = m_turns.begin(); turn != m_turns.end(); ++turn) {
        const std::string owner = *turn;
        auto owned = m_owners.find(owner);
        if (m_busyOwners.count(owner) != 0 || owned == m_owners.end() ||
            !owned->second.front()->ready) {
            continue;
        }
        Slot slot = owned->second.front();
        owned->second.pop_front();
        m_turns.erase(turn);
        if (owned->second.empty()) {
            m_owners.erase(owned);
        } else {
            m_turns.push_back(owner);  // the owner's next job after everyone else's
        }
        m_busyOwners.insert(owner);
        --m_fetchedCount;
        return slot;
    }
    return nullptr;
}

void PageCountThread::Count() {
    for (;;) {
        Slot slot;
        bool late = false;
        {
            std::unique_lock lock(m_mutex);
            // Jobs given before the stop are still counted while its budget lasts: their queue
            // has run empty and nobody else records them before the next start.
            m_wake.wait(lock, [&] {
                return (m_fetchedCount > 0 && (slot = TakeNext()) != nullptr) ||
                       (m_stopping && NothingLeft());
            });
            if (slot == nullptr) {
                return;
            }
            ++m_counting;
            late = PastStop();
        }
        if (late) {
            LeaveAtStop(slot->job.entry);
        } else {
            // One budget for all of the job's documents.
            const pagecount::Limits limits = LimitsNow();
            if (Process(*slot, limits)) {
                const JobEntry& entry = slot->job.entry;
                m_spooler.JobSettled(entry.printerName, static_cast<std::uint32_t>(entry.jobId));
            }
        }
        {
            std::lock_guard lock(m_mutex);
            m_fetchedBytes -= slot->bytes;
            m_busyOwners.erase(slot->job.entry.userName);
            --m_counting;
        }
        slot.reset();  // its files closed before the fetcher is told there is room
        m_wake.notify_all();
    }
}

bool PageCountThread::Process(Fetched& job, const pagecount::Limits& limits) {
    JobEntry& entry = job.job.entry;
    platform::JobDocuments& docs = job.docs;
    const FetchResult fetched = job.result;
    if (fetched != FetchResult::Ok) {
        if (job.job.work == Work::ReadCopies) {
            // What the scheduler counted stands; only copies inside the document are missed.
            m_log.Write(
                5007, 'E',
                "JobNo<" + std::to_string(entry.jobId) +
                    "> copies in the document not read: " + platform::FetchResultText(fetched));
            HandOverJob(m_files, entry);
        } else if (fetched != FetchResult::NotPrinted) {
            m_log.Write(5006, 'E',
                        "JobNo<" + std::to_string(entry.jobId) +
                            "> no page count, not recorded: " + platform::FetchResultText(fetched));
            // How long after its end it was asked for: a scheduler forgets the documents of
            // its oldest finished jobs first, so this tells whether we came too late.
            std::string late;
            if (fetched == FetchResult::Gone && entry.endedAt > 0) {
                late = ", " +
                       std::to_string(std::max<std::int64_t>(0, job.fetchedAt - entry.endedAt)) +
                       " s after it ended";
            }
            m_files.Journal(JobName(entry) + ", " + SizeText(docs.size) +
                                ": not recorded: its document could not be read (" +
                                platform::FetchResultText(fetched) + late + ")",
                            true);
        } else {
            m_files.Journal(JobName(entry) + ": not recorded: cancelled or aborted", false);
        }
        return true;
    }
    return job.job.work == Work::ReadCopies ? ReadCopies(entry, docs, limits)
                                            : CountPages(entry, docs, limits);
}

bool PageCountThread::CountPages(JobEntry& entry, platform::JobDocuments& docs,
                                 const pagecount::Limits& limits) {
    const std::string job = "JobNo<" + std::to_string(entry.jobId) + ">";
    std::int64_t pages = 0;
    std::string counters;
    for (const auto& doc : docs.documents) {
        const pagecount::Result result =
            pagecount::CountDocumentIsolated(doc->Data(), doc->ReadOnlyDescriptor(), limits);
        if (!result.counted && m_cancel.load()) {
            LeaveAtStop(entry);  // given up at a stop, not refused
            return false;
        }
        if (!result.counted) {
            m_log.Write(5006, 'E', job + " document not counted, not recorded: " + result.error);
            m_files.Journal(JobName(entry) + ", " + SizeText(DocumentBytes(docs)) +
                                ": not recorded: its pages could not be counted (" + result.error +
                                ")",
                            true);
            return true;
        }
        pages += result.pages;
        counters += (counters.empty() ? "" : ", ") + result.counter;
    }
    pages *= docs.copies;
    if (pages <= 0 || pages > INT32_MAX) {
        m_log.Write(5006, 'E',
                    job + " counted by " + counters + ": " + std::to_string(pages) +
                        " pages, not recorded");
        m_files.Journal(JobName(entry) + ", " + SizeText(DocumentBytes(docs)) +
                            ": not recorded: counted " + std::to_string(pages) + " pages (" +
                            counters + ")",
                        true);
        return true;
    }
    entry.totalPages = static_cast<std::int32_t>(pages);
    entry.pagesPrinted = entry.totalPages;
    m_log.Write(5005, 'D',
                job + " counted by " + counters + ": " + std::to_string(pages) +
                    " pages (job copies: " + std::to_string(docs.copies) + ")");
    HandOverJob(m_files, entry);
    return true;
}

bool PageCountThread::ReadCopies(JobEntry& entry, platform::JobDocuments& docs,
                                 const pagecount::Limits& limits) {
    std::int64_t copies = docs.documents.empty() ? 1 : 0;
    for (const auto& doc : docs.documents) {
        copies = std::max(copies, pagecount::PostScriptCopiesIsolated(
                                      doc->Data(), doc->ReadOnlyDescriptor(), limits));
    }
    const std::string job = "JobNo<" + std::to_string(entry.jobId) + ">";
    if (copies <= 0 && m_cancel.load()) {
        LeaveAtStop(entry);  // given up at a stop: read again at the next start
        return false;
    }
    if (copies <= 0) {
        m_log.Write(5007, 'E', job + " copies in the document not read: damaged PostScript");
        copies = 1;
    }
    if (copies > 1 && static_cast<std::int64_t>(entry.totalPages) * copies <= INT32_MAX) {
        entry.totalPages = static_cast<std::int32_t>(entry.totalPages * copies);
        entry.pagesPrinted = static_cast<std::int32_t>(entry.pagesPrinted * copies);
        m_log.Write(5005, 'D',
                    job + " counted by PostScript copies: " + std::to_string(copies) +
                        " copies asked for in the document");
    }
    HandOverJob(m_files, entry);
    return true;
}
