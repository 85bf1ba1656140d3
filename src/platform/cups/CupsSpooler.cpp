#include "platform/cups/CupsSpooler.h"

#include <cups/cups.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/AddressNames.h"

namespace platform {

using cups::CupsClient;
using cups::Status;

namespace {

thread_local int t_lastError = 0;

// How long a queue stays watched after its last change handle closed: a watcher that re-opens
// its printer must not miss what happens meanwhile.
constexpr auto kWatchGrace = std::chrono::seconds(5);
// Ended jobs remembered per queue, so that late events for them are not taken for new jobs.
constexpr size_t kEndedJobsKept = 10000;
// Polls without any event after which the scheduler is asked less often.
constexpr int kQuietPollsBeforeSlowing = 8;
// The lost-events signal: job change bits that come without an info block.
constexpr std::uint32_t kLostEvents =
    kPrinterChangeAddJob | kPrinterChangeSetJob | kPrinterChangeDeleteJob | kPrinterChangeWriteJob;
constexpr std::uint32_t kPrinterChanged = kPrinterChangeSetPrinter;
// The print server's own watch; no queue has an empty name.
const std::string kServer;

bool HasEnded(int state) {
    return state == IPP_JSTATE_CANCELED || state == IPP_JSTATE_ABORTED ||
           state == IPP_JSTATE_COMPLETED;
}

NotifyInfoData JobField(int jobId, std::uint16_t field) {
    NotifyInfoData d;
    d.type = kJobNotifyType;
    d.field = field;
    d.id = static_cast<std::uint32_t>(jobId);
    return d;
}

NotifyInfoData JobText(int jobId, std::uint16_t field, const std::string& text) {
    NotifyInfoData d = JobField(jobId, field);
    d.text = text;
    return d;
}

NotifyInfoData JobNumber(int jobId, std::uint16_t field, int number) {
    NotifyInfoData d = JobField(jobId, field);
    d.number = static_cast<std::uint32_t>(number);
    return d;
}

std::unique_ptr<NotifyInfo> Block(std::vector<NotifyInfoData> entries) {
    auto info = std::make_unique<NotifyInfo>();
    info->entries = std::move(entries);
    return info;
}

// The printer's job count, which the watcher hands its jobs over on when it reaches 0.
std::unique_ptr<NotifyInfo> QueueLengthBlock(int count) {
    NotifyInfoData d;
    d.type = kPrinterNotifyType;
    d.field = kPrinterNotifyFieldCjobs;
    d.number = static_cast<std::uint32_t>(count);
    return Block({d});
}

// "\\host\queue" names a queue of another server; a plain name one of ours.
std::string QueueOf(const std::string& printerName) {
    if (printerName.rfind("\\\\", 0) == 0) {
        const auto sep = printerName.find('\\', 2);
        return sep == std::string::npos ? std::string() : printerName.substr(sep + 1);
    }
    return printerName;
}

}  // namespace

CupsSpooler::CupsSpooler(std::string computerName)
    : CupsSpooler(std::move(computerName), Options{}) {}

CupsSpooler::CupsSpooler(std::string computerName, Options options)
    : m_computerName(std::move(computerName)),
      m_options(std::move(options)),
      m_created(static_cast<long>(std::time(nullptr))),
      m_scheduler(CupsClient::ServerName()) {
    if (!m_options.settledJobsFile.empty()) {
        m_hadHistory = m_settled.Load(m_options.settledJobsFile, m_scheduler);
    }
    m_poller = std::thread([this] { Poll(); });
}

CupsSpooler::~CupsSpooler() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_poller.join();
    SaveSettled();
}

int CupsSpooler::LastError() const {
    return t_lastError;
}

int CupsSpooler::SubscriptionId() const {
    return m_publishedSubscription.load();
}

bool CupsSpooler::EnumPrinters(std::vector<PrinterInfo>& printers) {
    printers.clear();
    CupsClient client;
    std::vector<std::string> queues;
    if (client.ListQueues(queues) != Status::Ok) {
        t_lastError = client.LastError();
        return false;
    }
    const std::string host = CupsClient::ServerHost();
    for (const auto& queue : queues) {
        if (host.empty()) {
            printers.push_back({queue, ""});
        } else {
            printers.push_back({"\\\\" + host + "\\" + queue, "\\\\" + host});
        }
    }
    return true;
}

bool CupsSpooler::OpenPrinter(const std::string& printerName, PrinterHandle& printer) {
    const std::string queue = QueueOf(printerName);
    if (queue.empty()) {
        t_lastError = IPP_STATUS_ERROR_NOT_FOUND;
        return false;
    }
    CupsClient client;
    const Status status = client.QueueExists(queue);
    // A scheduler that is down (restarting, say) does not end the watch: we wait for it.
    if (status == Status::NotFound || status == Status::Failed) {
        t_lastError = client.LastError();
        return false;
    }
    std::lock_guard lock(m_mutex);
    printer = m_nextHandle++;
    m_printers[printer] = queue;
    return true;
}

bool CupsSpooler::OpenPrintServer(PrinterHandle& server) {
    std::lock_guard lock(m_mutex);
    server = m_nextHandle++;
    m_printers[server] = kServer;
    return true;
}

void CupsSpooler::ClosePrinter(PrinterHandle printer) {
    std::lock_guard lock(m_mutex);
    m_printers.erase(printer);
}

ChangeHandle CupsSpooler::FindFirstPrinterChangeNotification(
    PrinterHandle printer, std::uint32_t /*filter*/, std::uint32_t /*options*/,
    const NotifyOptions& /*notifyOptions*/) {
    std::lock_guard lock(m_mutex);
    const auto it = m_printers.find(printer);
    if (it == m_printers.end()) {
        t_lastError = EBADF;
        return kInvalidChangeHandle;
    }
    const ChangeHandle change = m_nextHandle++;
    m_changes[change] = it->second;
    Watch& watch = m_watches[it->second];
    if (it->second != kServer && !IsWatched(watch)) {
        m_newWatches.insert(it->second);
    }
    ++watch.changeHandles;
    m_pollNow = true;
    m_changed.notify_all();
    return change;
}

bool CupsSpooler::FindNextPrinterChangeNotification(ChangeHandle change, std::uint32_t& changeWord,
                                                    const NotifyOptions& /*notifyOptions*/,
                                                    std::unique_ptr<NotifyInfo>& info) {
    std::unique_lock lock(m_mutex);
    changeWord = 0;
    info.reset();
    const auto it = m_changes.find(change);
    if (it == m_changes.end()) {
        t_lastError = EBADF;
        return false;
    }
    Watch& watch = m_watches[it->second];
    if (!watch.cycles.empty()) {
        changeWord = watch.cycles.front().change;
        info = std::move(watch.cycles.front().info);
        watch.cycles.pop_front();
    }
    lock.unlock();
    // A client's address is named here, on the watcher's own thread and outside our lock: a
    // silent name server delays this queue's record by the lookup's short limit at most, never
    // the poller or other queues. The lookup began when the poller first saw the job.
    if (info != nullptr) {
        for (auto& entry : info->entries) {
            if (entry.type == kJobNotifyType && entry.field == kJobNotifyFieldMachineName &&
                entry.text) {
                entry.text =
                    cups::MachineNameForHost(*entry.text, m_computerName, CupsClient::ServerHost());
            }
        }
    }
    return true;
}

void CupsSpooler::FindClosePrinterChangeNotification(ChangeHandle change) {
    std::lock_guard lock(m_mutex);
    const auto it = m_changes.find(change);
    if (it == m_changes.end()) {
        return;
    }
    Watch& watch = m_watches[it->second];
    --watch.changeHandles;
    watch.lastClosed = std::chrono::steady_clock::now();
    m_changes.erase(it);
}

WaitResult CupsSpooler::WaitForChange(ChangeHandle change, std::uint32_t timeoutMs) {
    std::uint64_t wakeCount = 0;
    {
        std::lock_guard lock(m_mutex);
        wakeCount = m_wakeCount;
    }
    return WaitForChangeOrWake(change, timeoutMs, wakeCount);
}

WaitResult CupsSpooler::WaitForChangeOrWake(ChangeHandle change, std::uint32_t timeoutMs,
                                            std::uint64_t wakeCount) {
    std::unique_lock lock(m_mutex);
    const auto it = m_changes.find(change);
    if (it == m_changes.end()) {
        t_lastError = EBADF;
        return WaitResult::Failed;
    }
    Watch& watch = m_watches[it->second];
    const bool ready = m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return !watch.cycles.empty() || m_stopping || m_wakeCount != wakeCount;
    });
    return ready && !watch.cycles.empty() ? WaitResult::Signalled : WaitResult::TimedOut;
}

std::uint64_t CupsSpooler::WakeCount() const {
    std::lock_guard lock(m_mutex);
    return m_wakeCount;
}

void CupsSpooler::WakeWaiters() {
    {
        std::lock_guard lock(m_mutex);
        ++m_wakeCount;
    }
    m_changed.notify_all();
}

bool CupsSpooler::IsWatched(const Watch& watch) const {
    return watch.changeHandles > 0 ||
           std::chrono::steady_clock::now() - watch.lastClosed < kWatchGrace;
}

bool CupsSpooler::AnyWatched() const {
    return std::any_of(m_watches.begin(), m_watches.end(),
                       [&](const auto& w) { return IsWatched(w.second); });
}

void CupsSpooler::Push(const std::string& queue, Cycle cycle) {
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_watches.find(queue);
        if (it == m_watches.end() || !IsWatched(it->second)) {
            return;
        }
        it->second.cycles.push_back(std::move(cycle));
    }
    m_changed.notify_all();
}

void CupsSpooler::Sleep() {
    // A scheduler with nothing to tell is asked half as often: most of the time nothing prints,
    // and the first event of a job still comes within two intervals.
    const auto interval = m_quietPolls >= kQuietPollsBeforeSlowing ? 2 * m_options.pollInterval
                                                                   : m_options.pollInterval;
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, interval, [&] { return m_stopping || m_pollNow; });
    m_pollNow = false;
}

void CupsSpooler::Poll() {
    CupsClient client;
    for (;;) {
        const auto pollStart = std::chrono::steady_clock::now();
        bool watched = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) {
                break;
            }
            watched = AnyWatched();
        }
        if (!watched) {
            if (m_subscription != 0) {
                client.Cancel(m_subscription);
                m_subscription = 0;
                m_publishedSubscription = 0;
            }
            MarkDelivered(pollStart);
            Sleep();
            continue;
        }
        if (m_lost && m_subscription != 0) {
            // Subscribe afresh: after a restart the scheduler may number events from 1 again.
            client.Cancel(m_subscription);
            m_subscription = 0;
        }
        // A scheduler that does not answer has nothing more to deliver: a stop waiting for it
        // goes on (what ends meanwhile is taken at the next start, or by whoever watches).
        const auto unreachable = [&] { MarkDelivered(pollStart); };
        if (!EnsureSubscription(client)) {
            unreachable();
            if (!m_away) {
                m_away = true;
                Note("the scheduler at " + m_scheduler + " does not answer (" +
                     ippErrorString(static_cast<ipp_status_t>(client.LastError())) +
                     "); waiting for it");
            }
            Sleep();
            continue;
        }
        if (!m_caughtUp) {
            // Subscribed first, listed then: whatever happens in between is in both, never in
            // neither.
            if (!CatchUp(client, "", false)) {
                Sleep();
                continue;
            }
            m_caughtUp = true;
        }
        std::set<std::string> fresh;
        {
            std::lock_guard lock(m_mutex);
            fresh.swap(m_newWatches);
        }
        bool failed = false;
        for (const auto& queue : fresh) {
            if (failed || !CatchUp(client, queue, false)) {
                failed = true;
                std::lock_guard lock(m_mutex);
                m_newWatches.insert(queue);  // again at the next poll
            }
        }
        if (std::chrono::steady_clock::now() >= m_renewAt) {
            if (client.Renew(m_subscription, m_options.leaseSeconds) == Status::Ok) {
                m_renewAt = std::chrono::steady_clock::now() +
                            std::chrono::seconds(m_options.leaseSeconds / 2);
            }
        }
        std::vector<cups::Event> events;
        const Status status = client.Notifications(m_subscription, m_nextSequence, events);
        if (status == Status::NotFound) {
            // The subscription expired or the scheduler forgot it.
            Note("the scheduler forgot our subscription; subscribing again");
            m_subscription = 0;
            m_lost = true;
            continue;
        }
        if (status != Status::Ok) {
            m_lost = true;
            if (status == Status::Unavailable) {
                unreachable();
            }
            Sleep();
            continue;
        }
        if (!events.empty() && events.front().sequence > m_nextSequence) {
            // A gap: the scheduler dropped events we never read.
            Note("events " + std::to_string(m_nextSequence) + " to " +
                 std::to_string(events.front().sequence - 1) +
                 " were dropped by the scheduler before we read them; catching up from its job "
                 "list");
            m_lost = true;
        }
        if (m_lost) {
            m_lost = false;
            ReportLost();
            Reconcile(client);
        }
        m_quietPolls = events.empty() ? m_quietPolls + 1 : 0;
        std::set<int> jobs;
        std::set<std::string> queues;
        std::set<std::string> deleted;
        bool added = false;
        for (const auto& e : events) {
            if (e.name == "printer-added") {
                added = true;
            } else if (e.name == "printer-deleted") {
                deleted.insert(e.printer);
            } else if (e.jobId > 0) {
                jobs.insert(e.jobId);
            } else if (!e.printer.empty()) {
                queues.insert(e.printer);
            }
            m_nextSequence = std::max(m_nextSequence, e.sequence + 1);
        }
        for (int id : jobs) {
            Examine(client, id, queues);
        }
        for (const auto& queue : queues) {
            if (deleted.count(queue) == 0) {
                ReportQueueLength(client, queue);
            }
        }
        for (const auto& queue : deleted) {
            ReportDeleted(client, queue);
        }
        if (added || !deleted.empty()) {
            PushServerChange((added ? kPrinterChangeAddPrinter : 0) |
                             (deleted.empty() ? 0 : kPrinterChangeDeletePrinter));
        }
        SaveSettled();
        if (!m_lost) {
            MarkDelivered(pollStart);
        }
        Sleep();
    }
    if (m_subscription != 0) {
        client.Cancel(m_subscription);
    }
}

bool CupsSpooler::EnsureSubscription(CupsClient& client) {
    if (m_subscription != 0) {
        return true;
    }
    int id = 0;
    if (client.Subscribe(m_options.leaseSeconds, id) != Status::Ok) {
        return false;
    }
    if (m_away) {
        m_away = false;
        Note("the scheduler at " + m_scheduler + " answers again");
    }
    m_subscription = id;
    m_publishedSubscription = id;
    m_nextSequence = 1;
    m_renewAt = std::chrono::steady_clock::now() + std::chrono::seconds(m_options.leaseSeconds / 2);
    // The scheduler has just come (back), or was asked afresh: its queues may not be the ones
    // the program knows.
    PushServerChange(kPrinterChangeAddPrinter | kPrinterChangeDeletePrinter);
    return true;
}

void CupsSpooler::PushServerChange(std::uint32_t change) {
    Push(kServer, Cycle{change, nullptr});
}

void CupsSpooler::ReportLost() {
    {
        std::lock_guard lock(m_mutex);
        for (auto& [queue, watch] : m_watches) {
            // A watcher that follows nothing has nothing to lose (and a thousand of them
            // opening their printers again at once would only slow the catching up).
            if (queue == kServer || !IsWatched(watch) || watch.jobs.empty()) {
                continue;
            }
            // What is queued stays valid: the watcher keeps its jobs across the re-open, and
            // what it has not been told yet is told only once.
            watch.cycles.push_back(Cycle{kLostEvents, nullptr});
        }
    }
    m_changed.notify_all();
}

void CupsSpooler::Reconcile(CupsClient& client) {
    std::vector<std::string> existing;
    if (client.ListQueues(existing) != Status::Ok) {
        m_lost = true;  // try again at the next poll
        return;
    }
    std::vector<std::string> watched;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [queue, watch] : m_watches) {
            if (queue != kServer && IsWatched(watch)) {
                watched.push_back(queue);
            }
        }
    }
    for (const auto& queue : watched) {
        if (std::find(existing.begin(), existing.end(), queue) == existing.end()) {
            ReportDeleted(client, queue);  // deleted while we could not hear of it
        }
    }
    if (!CatchUp(client, "", true)) {
        m_lost = true;
        return;
    }
    PushServerChange(kPrinterChangeAddPrinter | kPrinterChangeDeletePrinter);
}

bool CupsSpooler::TakesEndedJob(long endedAt) const {
    return m_options.takesEndedJob ? m_options.takesEndedJob(endedAt) : endedAt >= m_created;
}

bool CupsSpooler::IsTracked(int jobId) const {
    return std::any_of(m_watches.begin(), m_watches.end(),
                       [&](const auto& w) { return w.second.jobs.count(jobId) != 0; });
}

CupsSpooler::Tracking CupsSpooler::TrackingOf(int jobId) const {
    for (const auto& [name, watch] : m_watches) {
        const auto it = watch.jobs.find(jobId);
        if (it != watch.jobs.end()) {
            return it->second.ended ? Tracking::Ended : Tracking::Open;
        }
    }
    return Tracking::None;
}

bool CupsSpooler::CheckHistory(CupsClient& client, const Listing& listed) {
    int lastId = 0;
    std::string lastUuid;
    {
        std::lock_guard lock(m_mutex);
        lastId = m_settled.LastId();
        lastUuid = m_settled.LastUuid();
    }
    if (lastId == 0) {
        return true;
    }
    cups::JobState last;
    const Status status = client.Job(lastId, last);
    std::string why;
    if (status == Status::Ok) {
        if (lastUuid.empty() || last.uuid == lastUuid) {
            return true;
        }
        why = "job " + std::to_string(lastId) + " is another job now";
    } else if (status == Status::NotFound) {
        if (!listed.empty() && listed.back().id > lastId) {
            return true;  // purged from the history, which has gone on
        }
        // A history purged oldest first keeps nothing older than a job it dropped.
        Listing all;
        if (client.Jobs("", 1, all) != Status::Ok) {
            return false;
        }
        if (!all.empty() && all.back().id > lastId) {
            return true;
        }
        why = "job " + std::to_string(lastId) + " is gone and no later one exists";
    } else {
        // Refused (a policy that hides jobs): nothing tells a new history, so none is assumed.
        return status != Status::Unavailable;
    }
    Note("the scheduler numbers its jobs afresh (" + why + "): its jobs are taken from the first");
    std::lock_guard lock(m_mutex);
    m_settled.Clear();
    m_settledChanged = true;
    for (auto& [queue, watch] : m_watches) {
        for (auto it = watch.jobs.begin(); it != watch.jobs.end();) {
            it = it->second.ended ? watch.jobs.erase(it) : std::next(it);
        }
    }
    return true;
}

bool CupsSpooler::CatchUp(CupsClient& client, const std::string& queue, bool afterLoss) {
    int floor = 0;
    {
        std::lock_guard lock(m_mutex);
        floor = m_settled.Floor();
    }
    Listing listed;
    if (client.Jobs(queue, floor + 1, listed) != Status::Ok) {
        return false;
    }
    if (queue.empty()) {
        if (!CheckHistory(client, listed)) {
            return false;
        }
        bool forgotten = false;
        {
            std::lock_guard lock(m_mutex);
            forgotten = m_settled.Floor() < floor;
        }
        if (forgotten && client.Jobs("", 1, listed) != Status::Ok) {
            return false;
        }
    }
    // A job we never saw is reported when its queue is watched; one of a queue not watched yet
    // waits for its watcher (see m_newWatches). An ended one only when it ended in our time.
    std::vector<const cups::JobSummary*> take;
    std::set<std::string> touched;
    std::vector<std::pair<int, std::string>> notOurs;
    std::set<int> present;
    for (auto& job : listed) {
        present.insert(job.id);
        Tracking tracking = Tracking::None;
        bool watched = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_settled.Contains(job.id)) {
                continue;
            }
            tracking = TrackingOf(job.id);
            const auto w = m_watches.find(job.queue);
            watched = w != m_watches.end() && IsWatched(w->second);
        }
        if (tracking != Tracking::None) {
            // Its end may be the event we lost; one whose end we have is waiting for its watcher
            // (a busy queue hands its jobs over when it runs empty): nothing to ask again.
            if (tracking == Tracking::Open && HasEnded(job.state)) {
                take.push_back(&job);
            }
            continue;
        }
        if (HasEnded(job.state)) {
            long endedAt = job.completedAt;
            cups::JobState full;
            // A job the scheduler has put away is listed without its times until asked for.
            if (endedAt <= 0 && client.Job(job.id, full) == Status::Ok) {
                endedAt = full.completedAt;
                job.details = full;
            }
            if (!TakesEndedJob(endedAt)) {
                notOurs.emplace_back(job.id, job.uuid);
                continue;
            }
        }
        if (watched) {
            take.push_back(&job);
            touched.insert(job.queue);
        }
    }
    std::vector<int> gone;
    long goneCount = 0;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [id, uuid] : notOurs) {
            m_settled.Add(id, uuid);
        }
        // Ids the whole listing skips were removed before anyone could see them. Those below
        // its first (a history purged oldest first, perhaps of thousands) go in one step.
        if (queue.empty() && !listed.empty()) {
            const int first = listed.front().id;
            bool trackedBelow = false;
            for (const auto& [name, watch] : m_watches) {
                const auto it = watch.jobs.upper_bound(m_settled.Floor());
                trackedBelow = trackedBelow || (it != watch.jobs.end() && it->first < first);
            }
            if (!trackedBelow && first - 1 > m_settled.Floor()) {
                goneCount += first - 1 - m_settled.Floor();
                m_settled.RaiseFloor(first - 1);
            }
            for (int id = m_settled.Floor() + 1; id < listed.back().id; ++id) {
                if (present.count(id) == 0 && !m_settled.Contains(id) && !IsTracked(id)) {
                    gone.push_back(id);
                    m_settled.Add(id, "");
                }
            }
        }
        goneCount += static_cast<long>(gone.size());
        m_settledChanged = m_settledChanged || !notOurs.empty() || goneCount > 0;
        // The queues whose watchers follow jobs hear their length again after a loss.
        if (afterLoss) {
            for (const auto& [name, watch] : m_watches) {
                if (name != kServer && IsWatched(watch) && (queue.empty() || name == queue) &&
                    (!watch.jobs.empty() || !watch.deferred.empty())) {
                    touched.insert(name);
                }
            }
        }
    }
    if (goneCount > 0 && (m_caughtUp || m_hadHistory)) {
        std::string text = std::to_string(goneCount) +
                           " job(s) were removed by the scheduler before they could be seen, "
                           "not recorded";
        for (size_t i = 0; i < gone.size() && i < 20; ++i) {
            text += (i == 0 ? ": " : ", ") + std::to_string(gone[i]);
        }
        Note(text + (gone.size() > 20 ? ", ..." : ""));
    }
    if (afterLoss || !take.empty()) {
        Note(std::string(afterLoss ? "caught up after lost events: " : "") +
             std::to_string(take.size()) + " job(s) taken from the scheduler's job list" +
             (queue.empty() ? "" : " of " + queue));
    }
    std::set<std::string> endedOn;
    for (const cups::JobSummary* job : take) {
        // The listing told what a look would: a catch-up after a burst costs one request, not
        // one per job (while they are made, the events of the next burst are being dropped).
        // A job the scheduler has put away is listed without its times: that one is asked.
        const cups::JobState& known = job->details;
        const bool complete = !known.queue.empty() && !known.uuid.empty() &&
                              (!HasEnded(known.state) || known.completedAt > 0);
        Examine(client, job->id, endedOn, complete ? &known : nullptr);
    }
    touched.insert(endedOn.begin(), endedOn.end());
    for (const auto& name : touched) {
        ReportQueueLength(client, name);
    }
    return true;
}

void CupsSpooler::Examine(CupsClient& client, int jobId, std::set<std::string>& endedOn,
                          const cups::JobState* known) {
    {
        std::lock_guard lock(m_mutex);
        if (m_settled.Contains(jobId) && !IsTracked(jobId)) {
            return;  // a late event of a job that is done with
        }
    }
    cups::JobState job;
    const Status status = known != nullptr ? Status::Ok : client.Job(jobId, job);
    if (known != nullptr) {
        job = *known;
    }
    if (status == Status::NotFound) {
        // Purged before we saw its end: close it with the last count we had.
        std::string queue;
        int impressions = 0;
        {
            std::lock_guard lock(m_mutex);
            for (auto& [name, watch] : m_watches) {
                const auto it = watch.jobs.find(jobId);
                if (it != watch.jobs.end() && !it->second.ended) {
                    it->second.ended = true;
                    queue = name;
                    impressions = it->second.impressions;
                }
            }
        }
        if (!queue.empty()) {
            Push(queue, {kPrinterChangeWriteJob | kPrinterChangeDeleteJob,
                         Block({JobNumber(jobId, kJobNotifyFieldTotalPages, impressions),
                                JobNumber(jobId, kJobNotifyFieldPagesPrinted, impressions)})});
            endedOn.insert(queue);
        }
        return;
    }
    if (status != Status::Ok) {
        m_lost = true;
        return;
    }
    bool seen = false;
    {
        std::lock_guard lock(m_mutex);
        seen = IsTracked(jobId);
    }
    if (!seen && CupsClient::ServerHost().empty()) {
        // Its client's name is looked up from now on, while the job prints (a name, not an
        // address, returns at once); the watcher names the machine.
        ComputerNameOfAddress(job.host, std::chrono::milliseconds(0));
    }
    std::vector<Cycle> cycles;
    {
        std::lock_guard lock(m_mutex);
        const auto w = m_watches.find(job.queue);
        if (w == m_watches.end() || !IsWatched(w->second)) {
            return;
        }
        Watch& watch = w->second;
        // A job moved to another queue ends on the old one without pages: the new one counts it.
        for (auto& [name, other] : m_watches) {
            const auto old = other.jobs.find(jobId);
            if (name != job.queue && old != other.jobs.end() && !old->second.ended &&
                old->second.uuid == job.uuid) {
                old->second.ended = true;
                endedOn.insert(name);
                if (IsWatched(other)) {
                    other.cycles.push_back(
                        {kPrinterChangeWriteJob | kPrinterChangeDeleteJob,
                         Block({JobNumber(jobId, kJobNotifyFieldTotalPages, 0),
                                JobNumber(jobId, kJobNotifyFieldPagesPrinted, 0)})});
                }
            }
        }
        auto tracked = watch.jobs.find(jobId);
        if (tracked != watch.jobs.end() && tracked->second.uuid != job.uuid) {
            // The scheduler lost its history and counts ids from 1 again: a new job.
            watch.jobs.erase(tracked);
            tracked = watch.jobs.end();
        }
        if (tracked == watch.jobs.end()) {
            if (m_settled.Contains(jobId)) {
                return;  // settled (by another thread) while we asked the scheduler about it
            }
            if (watch.deferred.count(jobId) != 0 || watch.openJobs >= m_options.maxOpenJobs) {
                watch.deferred.insert(jobId);
                // Held back, it is reported once the queue has run empty: its end may be the
                // one that empties it.
                if (HasEnded(job.state)) {
                    endedOn.insert(job.queue);
                }
                return;
            }
            ++watch.openJobs;
            // One new job per block: the watcher keeps only the last values of a block.
            cycles.push_back(
                {kPrinterChangeAddJob,
                 Block({JobText(jobId, kJobNotifyFieldPrinterName, job.queue),
                        // The host as the scheduler has it: the watcher names it (see
                        // FindNextPrinterChangeNotification).
                        JobText(jobId, kJobNotifyFieldMachineName, job.host),
                        JobText(jobId, kJobNotifyFieldUserName, job.user),
                        JobText(jobId, kJobNotifyFieldDatatype, job.format),
                        JobNumber(jobId, kJobNotifyFieldPagesPrinted, job.impressions)})});
            tracked = watch.jobs.emplace(jobId, TrackedJob{job.impressions, false, job.uuid}).first;
        } else if (tracked->second.ended) {
            return;
        } else if (tracked->second.impressions != job.impressions) {
            cycles.push_back(
                {kPrinterChangeWriteJob,
                 Block({JobNumber(jobId, kJobNotifyFieldPagesPrinted, job.impressions)})});
            tracked->second.impressions = job.impressions;
        }
        if (HasEnded(job.state)) {
            // CUPS never knows the total in advance; its final count is the total.
            const long endedAt =
                job.completedAt > 0 ? job.completedAt : static_cast<long>(std::time(nullptr));
            cycles.push_back(
                {kPrinterChangeWriteJob | kPrinterChangeDeleteJob,
                 // Its format again: a job looked at the moment it was made may have none yet.
                 Block({JobText(jobId, kJobNotifyFieldDatatype, job.format),
                        JobNumber(jobId, kJobNotifyFieldTotalPages, job.impressions),
                        JobNumber(jobId, kJobNotifyFieldPagesPrinted, job.impressions),
                        JobNumber(jobId, kJobNotifyFieldEndedTime, static_cast<int>(endedAt))})});
            tracked->second.ended = true;
            endedOn.insert(job.queue);
            ForgetOldJobs(watch);
        }
        for (auto& c : cycles) {
            watch.cycles.push_back(std::move(c));
        }
    }
    m_changed.notify_all();
}

void CupsSpooler::ForgetOldJobs(Watch& watch) {
    size_t ended = 0;
    for (const auto& [id, job] : watch.jobs) {
        ended += job.ended ? 1 : 0;
    }
    for (auto it = watch.jobs.begin(); ended > kEndedJobsKept && it != watch.jobs.end();) {
        if (it->second.ended) {
            it = watch.jobs.erase(it);
            --ended;
        } else {
            ++it;
        }
    }
}

void CupsSpooler::ReportQueueLength(CupsClient& client, const std::string& queue) {
    int count = 0;
    if (client.QueuedJobCount(queue, count) != Status::Ok) {
        return;
    }
    if (count != 0) {
        Push(queue, {kPrinterChanged, QueueLengthBlock(count)});
        return;
    }
    ReportEmpty(client, queue, false);
}

void CupsSpooler::ReportEmpty(CupsClient& client, const std::string& queue, bool deleted) {
    for (;;) {
        // A job may have ended between our last look at it and the queue running empty: the
        // watcher hands over what it holds at once, so it must hold the final counts by then.
        std::vector<int> open;
        {
            std::lock_guard lock(m_mutex);
            for (const auto& [id, job] : m_watches[queue].jobs) {
                if (!job.ended) {
                    open.push_back(id);
                }
            }
        }
        std::set<std::string> endedOn;
        for (int id : open) {
            Examine(client, id, endedOn);
        }
        std::vector<Cycle> cycles;
        {
            std::lock_guard lock(m_mutex);
            for (auto& [id, job] : m_watches[queue].jobs) {
                if (job.ended) {
                    continue;
                }
                if (!deleted) {
                    return;  // it runs again: its own end reports the queue
                }
                job.ended = true;
                cycles.push_back(
                    {kPrinterChangeWriteJob | kPrinterChangeDeleteJob,
                     Block({JobNumber(id, kJobNotifyFieldTotalPages, job.impressions),
                            JobNumber(id, kJobNotifyFieldPagesPrinted, job.impressions)})});
            }
        }
        cycles.push_back({kPrinterChanged, QueueLengthBlock(0)});
        for (auto& c : cycles) {
            Push(queue, std::move(c));
        }
        // The watcher hands over everything it follows now: make room for held-back jobs.
        std::vector<int> released;
        {
            std::lock_guard lock(m_mutex);
            Watch& watch = m_watches[queue];
            watch.openJobs = 0;
            while (!watch.deferred.empty() &&
                   static_cast<int>(released.size()) < m_options.maxOpenJobs) {
                released.push_back(*watch.deferred.begin());
                watch.deferred.erase(watch.deferred.begin());
            }
        }
        if (released.empty()) {
            break;
        }
        for (int id : released) {
            Examine(client, id, endedOn);
        }
    }
    if (deleted) {
        Push(queue, {kPrinterChangeDeletePrinter, nullptr});
    }
}

FetchResult CupsSpooler::FetchJobDocuments(const std::string& printerName, std::uint32_t jobId,
                                           JobDocuments& out) {
    out = {};
    // libcups reconnects a kept connection that died (the scheduler restarted) by itself. A free
    // one is taken: a fetch the scheduler answers slowly holds up no other.
    std::unique_lock<std::mutex> lock;
    FetchConnection* connection = nullptr;
    for (auto& c : m_fetchConnections) {
        std::unique_lock<std::mutex> tried(c.mutex, std::try_to_lock);
        if (tried.owns_lock()) {
            lock = std::move(tried);
            connection = &c;
            break;
        }
    }
    if (connection == nullptr) {
        connection = &m_fetchConnections[jobId % m_fetchConnections.size()];
        lock = std::unique_lock<std::mutex>(connection->mutex);
    }
    CupsClient& client = connection->client;
    const auto failure = [&](Status status) {
        t_lastError = client.LastError();
        if (status == Status::NotFound) {
            return FetchResult::Gone;
        }
        return cups::IsForbidden(client.LastError()) ? FetchResult::Forbidden : FetchResult::Failed;
    };
    cups::JobState job;
    const int id = static_cast<int>(jobId);
    if (const Status s = client.Job(id, job); s != Status::Ok) {
        return failure(s);
    }
    if (job.queue != QueueOf(printerName)) {
        return FetchResult::Gone;  // the id names another job now
    }
    out.size = static_cast<std::uint64_t>(job.kOctets) * 1024;
    if (job.state != IPP_JSTATE_COMPLETED) {
        return FetchResult::NotPrinted;
    }
    out.copies = std::max(1, job.copies);
    // A job holds one document, as a rule; a few more are read, not thousands.
    const int count = std::clamp(job.documents, 1, 64);
    for (int n = 1; n <= count; ++n) {
        const int fd = AnonymousFile();
        if (fd < 0) {
            t_lastError = errno;
            return FetchResult::Failed;
        }
        bool tooLarge = false;
        const Status s = client.Document(id, n, fd, m_options.maxDocumentBytes, tooLarge);
        if (s != Status::Ok) {
            close(fd);
            return tooLarge ? FetchResult::TooLarge : failure(s);
        }
        auto file = std::make_unique<MappedFile>(fd);
        if (!file->Ok()) {
            t_lastError = errno;
            return FetchResult::Failed;
        }
        out.documents.push_back(std::move(file));
    }
    return FetchResult::Ok;
}

void CupsSpooler::JobSettled(const std::string& printerName, std::uint32_t jobId) {
    const int id = static_cast<int>(jobId);
    std::lock_guard lock(m_mutex);
    std::string uuid;
    const auto w = m_watches.find(QueueOf(printerName));
    if (w != m_watches.end()) {
        const auto tracked = w->second.jobs.find(id);
        if (tracked != w->second.jobs.end()) {
            uuid = tracked->second.uuid;
            // Its end was reported: from now on the settled ids keep late events away.
            if (tracked->second.ended) {
                w->second.jobs.erase(tracked);
            }
        }
    }
    m_settled.Add(id, uuid);
    m_settledChanged = true;
}

void CupsSpooler::MarkDelivered(std::chrono::steady_clock::time_point pollStart) {
    std::lock_guard lock(m_mutex);
    m_deliveredSince = pollStart;
}

bool CupsSpooler::ChangesDeliveredSince(std::chrono::steady_clock::time_point since) {
    {
        std::lock_guard lock(m_mutex);
        if (m_deliveredSince >= since) {
            return true;
        }
        m_pollNow = true;
    }
    m_changed.notify_all();
    return false;
}

void CupsSpooler::SaveSettled() {
    if (m_options.settledJobsFile.empty()) {
        return;
    }
    cups::SettledJobs copy;
    {
        std::lock_guard lock(m_mutex);
        if (!m_settledChanged) {
            return;
        }
        m_settledChanged = false;
        copy = m_settled;
    }
    if (!copy.Save(m_options.settledJobsFile, m_scheduler)) {
        const int error = errno;
        Note("cannot keep the settled jobs in " + m_options.settledJobsFile + ": " +
             std::strerror(error));
        std::lock_guard lock(m_mutex);
        m_settledChanged = true;  // again at the next poll
    }
}

void CupsSpooler::Note(const std::string& text) const {
    if (m_options.note) {
        m_options.note(text);
    }
}

void CupsSpooler::ReportDeleted(CupsClient& client, const std::string& queue) {
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_watches.find(queue);
        if (it == m_watches.end() || !IsWatched(it->second)) {
            return;
        }
    }
    ReportEmpty(client, queue, true);
}

}  // namespace platform
