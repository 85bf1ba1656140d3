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
    m_fetcher = std::thread([this] { FetchDocuments(); });
    m_thread = std::thread([this] { Run(); });
}

PageCountThread::~PageCountThread() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_fetcher.join();
    m_thread.join();
}

void PageCountThread::Submit(const JobEntry& entry, Work work) {
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back({entry, work});
    }
    m_wake.notify_all();
}

bool PageCountThread::Idle() const {
    std::lock_guard lock(m_mutex);
    return m_jobs.empty() && m_fetched.empty() && !m_fetching && !m_busy;
}

void PageCountThread::SetLimits(const pagecount::Limits& limits,
                                std::chrono::milliseconds perDocument) {
    std::lock_guard lock(m_mutex);
    m_limits = limits;
    m_perDocument = perDocument;
}

pagecount::Limits PageCountThread::LimitsNow() const {
    std::lock_guard lock(m_mutex);
    pagecount::Limits limits = m_limits;
    limits.deadline = std::chrono::steady_clock::now() + m_perDocument;
    return limits;
}

void PageCountThread::FetchDocuments() {
    for (;;) {
        Fetched fetched;
        {
            std::unique_lock lock(m_mutex);
            // Fetched at once, counted when the counter gets to them: a busy scheduler forgets
            // the documents of its oldest finished jobs (MaxJobs), counting them may take a
            // while (an interpreter), and what waits here is bounded (descriptors, disk).
            const auto room = [&] {
                return m_fetched.size() < kMaxFetchedJobs && m_fetchedBytes < kMaxFetchedBytes;
            };
            m_wake.wait(lock, [&] {
                return (!m_jobs.empty() && room()) || (m_stopping && m_jobs.empty());
            });
            if (m_jobs.empty()) {
                return;
            }
            fetched.job = std::move(m_jobs.front());
            m_jobs.pop_front();
            m_fetching = true;
        }
        const JobEntry& entry = fetched.job.entry;
        fetched.fetchedAt = static_cast<std::int64_t>(std::time(nullptr));
        fetched.result = m_spooler.FetchJobDocuments(
            entry.printerName, static_cast<std::uint32_t>(entry.jobId), fetched.docs);
        for (const auto& doc : fetched.docs.documents) {
            fetched.bytes += doc->Data().size();
        }
        {
            std::lock_guard lock(m_mutex);
            m_fetchedBytes += fetched.bytes;
            m_fetched.push_back(std::move(fetched));
            m_fetching = false;
        }
        m_wake.notify_all();
    }
}

void PageCountThread::Run() {
    for (;;) {
        Fetched fetched;
        {
            std::unique_lock lock(m_mutex);
            // Jobs given before the stop are still counted: their queue has run empty and
            // nobody else will record them.
            m_wake.wait(lock, [&] {
                return !m_fetched.empty() || (m_stopping && m_jobs.empty() && !m_fetching);
            });
            if (m_fetched.empty()) {
                return;
            }
            fetched = std::move(m_fetched.front());
            m_fetched.pop_front();
            m_busy = true;
        }
        Process(fetched);
        const JobEntry& entry = fetched.job.entry;
        m_spooler.JobSettled(entry.printerName, static_cast<std::uint32_t>(entry.jobId));
        {
            std::lock_guard lock(m_mutex);
            m_fetchedBytes -= fetched.bytes;
            m_busy = false;
        }
        fetched = {};  // its files closed before the fetcher is told there is room
        m_wake.notify_all();
    }
}

void PageCountThread::Process(Fetched& job) {
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
        return;
    }
    if (job.job.work == Work::ReadCopies) {
        ReadCopies(entry, docs);
    } else {
        CountPages(entry, docs);
    }
}

void PageCountThread::CountPages(JobEntry& entry, platform::JobDocuments& docs) {
    const std::string job = "JobNo<" + std::to_string(entry.jobId) + ">";
    std::int64_t pages = 0;
    std::string counters;
    for (const auto& doc : docs.documents) {
        const pagecount::Result result =
            pagecount::CountDocumentIsolated(doc->Data(), doc->ReadOnlyDescriptor(), LimitsNow());
        if (!result.counted) {
            m_log.Write(5006, 'E', job + " document not counted, not recorded: " + result.error);
            m_files.Journal(JobName(entry) + ", " + SizeText(DocumentBytes(docs)) +
                                ": not recorded: its pages could not be counted (" + result.error +
                                ")",
                            true);
            return;
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
        return;
    }
    entry.totalPages = static_cast<std::int32_t>(pages);
    entry.pagesPrinted = entry.totalPages;
    m_log.Write(5005, 'D',
                job + " counted by " + counters + ": " + std::to_string(pages) +
                    " pages (job copies: " + std::to_string(docs.copies) + ")");
    HandOverJob(m_files, entry);
}

void PageCountThread::ReadCopies(JobEntry& entry, platform::JobDocuments& docs) {
    std::int64_t copies = docs.documents.empty() ? 1 : 0;
    for (const auto& doc : docs.documents) {
        copies = std::max(copies, pagecount::PostScriptCopiesIsolated(
                                      doc->Data(), doc->ReadOnlyDescriptor(), LimitsNow()));
    }
    const std::string job = "JobNo<" + std::to_string(entry.jobId) + ">";
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
}
