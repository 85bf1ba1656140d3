#include "spool/SpoolWatchThread.h"

#include <cstdarg>
#include <cstdio>

#include "platform/EventPump.h"

using namespace platform;

namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

bool IsPostScript(const std::string& dataType) {
    return dataType == "application/postscript" || dataType == "application/vnd.cups-postscript";
}

constexpr std::uint32_t kAdded = 1;
constexpr std::uint32_t kDeleted = 2;
constexpr std::uint32_t kWritten = 4;

}  // namespace

SpoolWatchThread::SpoolWatchThread(const SpoolWatchContext& context)
    : m_context(context), m_options(WatchOptions()) {
    m_thread = std::thread([this] {
        Execute();
        m_finished = true;
    });
}

SpoolWatchThread::~SpoolWatchThread() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

NotifyOptions SpoolWatchThread::WatchOptions() {
    NotifyOptions options;
    options.version = 2;
    options.flags = 0;
    options.types = {
        {kPrinterNotifyType,
         {kPrinterNotifyFieldServerName, kPrinterNotifyFieldPrinterName,
          kPrinterNotifyFieldShareName, kPrinterNotifyFieldCjobs, kPrinterNotifyFieldTotalPages,
          kPrinterNotifyFieldPagesPrinted}},
        {kJobNotifyType,
         {kJobNotifyFieldPrinterName, kJobNotifyFieldMachineName, kJobNotifyFieldUserName,
          kJobNotifyFieldTotalPages, kJobNotifyFieldPagesPrinted, kJobNotifyFieldDevmode,
          kJobNotifyFieldDatatype}},
    };
    return options;
}

void SpoolWatchThread::Log(std::int32_t number, char kind, const std::string& text) {
    m_context.log.Write(number, kind, text);
}

void SpoolWatchThread::Execute() {
    m_jobs.Clear();
    m_queueEmptied = false;
    // The slot is looked up once, while the interface thread waits for us: slots may be added
    // later, but ours never moves.
    m_slot = &m_context.printerSlots.At(m_context.printerSlots.currentSlotIndex.load());
    PrinterSlot& slot = *m_slot;
    m_local = slot.serverName.empty();
    Log(5001, 'D',
        m_local ? "プリンタ監視スレッド起動(ローカル)" : "プリンタ監視スレッド起動(ネットワーク)");
    // Set before the printer is opened: the tray controller only waits for the slot to be taken.
    slot.running = 1;

    if (!OpenPrinterAndWatch(5011, 5019, "OpenPrinter hPrinter = %lld", 5012)) {
        slot.running = 0;
        return;
    }
    for (;;) {
        PumpThreadEvents();
        // Read before the stop request: a stop made after this ends the wait below at once.
        const std::uint64_t wake = m_context.spooler.WakeCount();
        if (slot.stopRequest.load() != 0) {
            break;
        }
        const WaitResult waited = m_context.spooler.WaitForChangeOrWake(m_change, kWaitMs, wake);
        if (waited == WaitResult::TimedOut) {
            continue;
        }
        if (!RunCycle()) {
            slot.running = 0;
            return;
        }
    }
    // What the spooler delivered before the stop is still taken, and every job that has ended is
    // handed over although its queue has not run empty. Jobs still printing are left: they have
    // not ended, and whoever watches next follows them.
    while (m_context.spooler.WaitForChange(m_change, 0) == WaitResult::Signalled) {
        if (!RunCycle()) {
            slot.running = 0;
            return;
        }
    }
    for (auto& entry : m_jobs) {
        if (entry.jobId != -1 && entry.ended) {
            FinishJob(entry.jobId);
        }
    }
    ClosePrinterAndWatch();
    slot.running = 0;
}

bool SpoolWatchThread::OpenPrinterAndWatch(int openFailLine, int openedLine, const char* openedText,
                                           int firstFailLine) {
    Spooler& spooler = m_context.spooler;
    const std::string& name = m_slot->printerName;
    if (!spooler.OpenPrinter(name, m_printer)) {
        Log(openFailLine, 'E', Format("printer can not open(%d)", spooler.LastError()));
        return false;
    }
    Log(openedLine, 'D', Format(openedText, static_cast<long long>(m_printer)));
    m_change =
        spooler.FindFirstPrinterChangeNotification(m_printer, kPrinterChangeAll, 0, m_options);
    if (m_change == kInvalidChangeHandle) {
        Log(firstFailLine, 'E', Format("find first fail(%d)\n", spooler.LastError()));
        spooler.ClosePrinter(m_printer);
        return false;
    }
    return true;
}

void SpoolWatchThread::ClosePrinterAndWatch() {
    m_context.spooler.ClosePrinter(m_printer);
    m_context.spooler.FindClosePrinterChangeNotification(m_change);
}

bool SpoolWatchThread::RunCycle() {
    Spooler& spooler = m_context.spooler;
    m_changeFlags = 0;
    m_current = JobEntry{};

    std::uint32_t changeWord = 0;
    std::unique_ptr<NotifyInfo> info;
    if (!spooler.FindNextPrinterChangeNotification(m_change, changeWord, m_options, info)) {
        Log(5013, 'E', Format("find next error(%d)\n", spooler.LastError()));
    }
    Log(5018, 'D',
        Format("FindNextPrinterChangeNotification ChangeReason = %d p = %lld",
               static_cast<std::int32_t>(changeWord),
               static_cast<long long>(reinterpret_cast<std::intptr_t>(info.get()))));
    if (changeWord & kPrinterChangeAddJob) {
        m_changeFlags |= kAdded;
        Log(2201, 'D', "PRINTER_CHANGE_ADD_JOB");
    }
    if (changeWord & kPrinterChangeDeleteJob) {
        m_changeFlags |= kDeleted;
        Log(2202, 'D', "PRINTER_CHANGE_DELETE_JOB");
    }
    if (changeWord & kPrinterChangeWriteJob) {
        m_changeFlags |= kWritten;
        Log(2203, 'D', "PRINTER_CHANGE_WRITE_JOB");
    }
    const bool hadInfo = info != nullptr;
    if (hadInfo) {
        for (const auto& entry : info->entries) {
            ProcessEntry(entry);
        }
        info.reset();
    }

    if (m_changeFlags != 0 && !hadInfo) {
        // Notifications were lost: start afresh with the printer, keeping the jobs we follow.
        ClosePrinterAndWatch();
        return OpenPrinterAndWatch(5031, 5022, "Re OpenPrinter hPrinter = %lld", 5032);
    }
    if (m_changeFlags & kAdded) {
        FollowCurrentJob();
    }
    if (hadInfo && (m_changeFlags & kDeleted)) {
        if (JobEntry* entry = m_jobs.Find(m_current.jobId)) {
            entry->ended = true;
            entry->endedAt = m_current.endedAt;
            // Its document is fetched now, not when the queue runs empty: a busy scheduler
            // forgets the oldest finished jobs (MaxJobs) long before a busy queue empties.
            if (m_context.pageCounter != nullptr && !entry->dataType.empty() &&
                (entry->totalPages == 0 || IsPostScript(entry->dataType))) {
                FinishJob(entry->jobId);
            }
        }
    }
    if (m_queueEmptied) {
        FinishAllJobs();
        m_queueEmptied = false;
    }
    if (changeWord & kPrinterChangeDeletePrinter) {
        // The printer is gone, and with it the queue: what we hold is handed over as it stands.
        Log(5041, 'D', "PRINTER_CHANGE_DELETE_PRINTER");
        FinishAllJobs();
        ClosePrinterAndWatch();
        m_slot->printerDeleted = 1;
        return false;
    }
    return true;
}

void SpoolWatchThread::ProcessEntry(const NotifyInfoData& entry) {
    m_current.jobId = static_cast<std::int32_t>(entry.id);
    Log(5020, 'D', Format("JobId = %d", m_current.jobId));
    if (entry.type == kPrinterNotifyType) {
        if (entry.field == kPrinterNotifyFieldCjobs && entry.number == 0) {
            m_queueEmptied = true;
        }
        return;
    }
    if (entry.type != kJobNotifyType) {
        return;
    }
    // An entry whose text or device mode did not come carries nothing to take.
    switch (entry.field) {
        case kJobNotifyFieldPrinterName:
            if (entry.text) {
                m_current.printerName = *entry.text;
            }
            break;
        case kJobNotifyFieldMachineName:
            if (entry.text) {
                m_current.machineName = *entry.text;
            }
            break;
        case kJobNotifyFieldUserName:
            if (entry.text) {
                m_current.userName = *entry.text;
            }
            break;
        case kJobNotifyFieldDatatype:
            if (entry.text) {
                m_current.dataType = *entry.text;
                // A job seen the moment it was made may get its document's format only later.
                JobEntry* followed = m_jobs.Find(m_current.jobId);
                if (followed != nullptr && !entry.text->empty()) {
                    followed->dataType = *entry.text;
                }
            }
            break;
        case kJobNotifyFieldDevmode:
            if (entry.copies) {
                m_current.copies = *entry.copies;
                UpdateCopies(m_current.jobId);
            }
            break;
        case kJobNotifyFieldTotalPages:
            m_current.totalPages = static_cast<std::int32_t>(entry.number);
            UpdateTotalPages(m_current.jobId);
            break;
        case kJobNotifyFieldPagesPrinted:
            m_current.pagesPrinted = static_cast<std::int32_t>(entry.number);
            UpdatePagesPrinted(m_current.jobId);
            break;
        case kJobNotifyFieldEndedTime:
            m_current.endedAt = entry.number;
            break;
        default:
            Log(2205, 'D', "Type=<PRINTER_CHANGE_WRITE_JOB> Field=<default>");
            break;
    }
    Log(2206, 'D', "Type=<default>");
}

std::string SpoolWatchThread::LocalMachineName() const {
    return "\\\\" + m_context.files.ComputerName();
}

void SpoolWatchThread::FollowCurrentJob() {
    const std::string localMachine = LocalMachineName();
    JobEntry* entry = m_jobs.FreeEntry();
    if (entry == nullptr) {
        return;  // the table is full: this job is not followed
    }
    Log(5003, 'D',
        Format("SetBuffer JobNo<%d> TotalCount<%d>", m_current.jobId, m_current.totalPages));
    *entry = m_current;
    if (m_current.machineName == localMachine && !m_context.files.RecordsJobOwners()) {
        entry->userName = m_context.files.UserName();
    }
    entry->timeAdded = m_context.clock.Now();
}

void SpoolWatchThread::UpdateTotalPages(std::int32_t jobId) {
    if (JobEntry* entry = m_jobs.Find(jobId)) {
        Log(5003, 'D',
            Format("UpdateBuffer JobNo<%d> TotalCount<%d>", jobId, m_current.totalPages));
        entry->totalPages = m_current.totalPages;
    }
}

void SpoolWatchThread::UpdatePagesPrinted(std::int32_t jobId) {
    if (JobEntry* entry = m_jobs.Find(jobId)) {
        entry->pagesPrinted = m_current.pagesPrinted;
    }
}

void SpoolWatchThread::UpdateCopies(std::int32_t jobId) {
    if (JobEntry* entry = m_jobs.Find(jobId)) {
        entry->copies = m_current.copies;
    }
}

void SpoolWatchThread::FinishJob(std::int32_t jobId) {
    const std::string localMachine = LocalMachineName();
    JobEntry* entry = m_jobs.Find(jobId);
    if (entry == nullptr) {
        return;
    }
    Log(5002, 'D', Format("DelBuffer JobNo<%d> TotalCount<%d>", jobId, entry->totalPages));
    // A printer of this computer records every job; a connection to another computer's printer
    // only the jobs sent from here. A job whose owner the spooler keeps from us is left to a
    // monitor that may see it: a record without its computer or user would be a wrong one.
    const bool ownerHidden =
        entry->userName.empty() || entry->machineName.find_first_not_of('\\') == std::string::npos;
    // A job of a known format that the spooler counted no pages of (a raw queue, printer data
    // from a client's own driver) is counted from its document; a PostScript job may ask for
    // copies inside it that the spooler did not count. Both wait for the page counter.
    const bool countable = m_context.pageCounter != nullptr && !entry->dataType.empty();
    const bool needsCount = countable && entry->totalPages == 0;
    const bool needsCopies = countable && entry->totalPages > 0 && IsPostScript(entry->dataType);
    const bool ours = entry->machineName == localMachine || m_local;
    bool settled = true;
    if ((entry->totalPages != 0 || needsCount) && ours) {
        if (ownerHidden) {
            Log(5004, 'D', Format("JobNo<%d> owner not visible, not recorded", jobId));
            m_context.files.OwnerHidden(entry->printerName, jobId);
            m_context.files.Journal(JobName(*entry) + ": not recorded: its owner is hidden from us",
                                    false);
        } else if (needsCount || needsCopies) {
            m_context.pageCounter->Submit(*entry, needsCount ? PageCountThread::Work::CountPages
                                                             : PageCountThread::Work::ReadCopies);
            settled = false;  // the page counter settles it
        } else {
            HandOver(*entry);
        }
    } else if (ours && !ownerHidden) {
        // Without a format the job may have printed all the same: that one is worth a line.
        m_context.files.Journal(
            JobName(*entry) + ": not recorded: " +
                (entry->dataType.empty() ? "no pages printed, and no document format to count"
                                         : "no pages printed"),
            entry->dataType.empty());
    }
    if (settled) {
        m_context.spooler.JobSettled(m_slot->printerName, static_cast<std::uint32_t>(jobId));
    }
    m_jobs.Release(*entry);
}

void SpoolWatchThread::FinishAllJobs() {
    for (auto& entry : m_jobs) {
        if (entry.jobId != -1) {
            FinishJob(entry.jobId);
        }
    }
}

void SpoolWatchThread::HandOver(const JobEntry& entry) {
    HandOverJob(m_context.files, entry);
}
