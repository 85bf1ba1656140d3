#include "storage/PendingRecords.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_set>

#include "platform/Host.h"
#include "platform/SharedFile.h"
#include "storage/PrintDataFiles.h"

namespace {

// The local file holds one entry a line: the data file's path (with '%', tab, CR and LF
// escaped), a tab, then the record line as it goes to the data file.
std::string EscapePath(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '%' || c == '\t' || c == '\r' || c == '\n') {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += '%';
            out += kHex[static_cast<unsigned char>(c) >> 4];
            out += kHex[static_cast<unsigned char>(c) & 15];
        } else {
            out += c;
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool UnescapePath(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        const int hi = HexValue(text[i + 1]);
        const int lo = HexValue(text[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

std::string Entry(const PendingRecord& r) {
    return EscapePath(r.path) + '\t' + r.line;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

}  // namespace

bool AppendRecords(const std::string& path, const std::vector<std::string>& lines,
                   std::chrono::milliseconds lockWait, bool& waitedInVain, std::int64_t* end,
                   std::int64_t* start, std::string* problem) {
    platform::SharedFile file;
    // While a purge on another computer puts its new file in place, the name can be missing for
    // a moment on a share.
    bool opened = false;
    for (int attempt = 0; attempt < 5 && !opened; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        opened = OpenForAppending(path, file, lockWait, waitedInVain, problem);
        if (!opened && errno != ENOENT) {
            return false;
        }
    }
    if (!opened) {
        return false;
    }
    std::string all;
    for (const auto& line : lines) {
        all += line;
    }
    // A copy that reached the file before we could note it must not be written twice: the
    // lines already at the file's end are skipped.
    size_t skip = 0;
    const std::int64_t size = file.Size();
    if (start != nullptr) {
        *start = size;
    }
    if (size > 0) {
        // One byte more than the lines: a match must begin a line, not end another one ("10101,"
        // ends in "101,").
        const size_t tailSize = static_cast<size_t>(std::min<std::int64_t>(size, all.size() + 1));
        std::string tail(tailSize, '\0');
        if (file.ReadAt(size - static_cast<std::int64_t>(tailSize), tail.data(), tailSize) ==
            static_cast<long>(tailSize)) {
            const bool fromStart = static_cast<std::int64_t>(tailSize) == size;
            size_t prefix = all.size();
            for (size_t k = lines.size(); k > 0; --k) {
                const std::string_view written(all.data(), prefix);
                if (tail.size() >= written.size() &&
                    std::string_view(tail).substr(tail.size() - written.size()) == written) {
                    const size_t at = tail.size() - written.size();
                    if ((at == 0 && fromStart) || (at > 0 && tail[at - 1] == '\n')) {
                        skip = k;
                        break;
                    }
                }
                prefix -= lines[k - 1].size();
            }
        }
    }
    if (skip == lines.size()) {
        if (end != nullptr) {
            *end = size;
        }
        return true;
    }
    std::string rest;
    // A last line left without its end would swallow the next record into a wrong one.
    if (char last = 0; file.LastByte(last) && last != '\n') {
        rest = "\r\r\n";
    }
    for (size_t i = skip; i < lines.size(); ++i) {
        rest += lines[i];
    }
    if (!file.WriteAll(rest) || !file.Sync()) {
        const int error = errno;
        // A torn line would swallow the next record appended after it: cut it off again.
        if (size >= 0) {
            file.Truncate(size);
        }
        errno = error;
        return false;
    }
    if (end != nullptr) {
        *end = file.Size();
    }
    return true;
}

namespace {

// Whether the file at path still has line ending at end, as it had when we wrote it there.
bool StillHolds(const std::string& path, std::int64_t end, const std::string& line) {
    // A network client may hand an open of the name the file it had open before, replaced
    // or not: the size the server gives for the name speaks first.
    if (platform::SizeAt(path) < end) {
        return false;
    }
    platform::SharedFile file;
    if (!file.OpenForReading(path) || file.Size() < end ||
        end < static_cast<std::int64_t>(line.size())) {
        return false;
    }
    std::string there(line.size(), '\0');
    return file.ReadAt(end - static_cast<std::int64_t>(line.size()), there.data(), there.size()) ==
               static_cast<long>(there.size()) &&
           there == line;
}

// The size of the file at path and its last whole line.
void LastLine(const std::string& path, std::int64_t& end, std::string& line) {
    platform::SharedFile file;
    end = file.OpenForReading(path) ? file.Size() : -1;
    if (end <= 0) {
        return;
    }
    std::string tail(static_cast<size_t>(std::min<std::int64_t>(end, 512)), '\0');
    if (file.ReadAt(end - static_cast<std::int64_t>(tail.size()), tail.data(), tail.size()) !=
            static_cast<long>(tail.size()) ||
        tail.back() != '\n') {
        return;
    }
    const auto before = tail.rfind('\n', tail.size() - 2);
    if (before != std::string::npos) {
        line = tail.substr(before + 1);
    } else if (static_cast<std::int64_t>(tail.size()) == end) {
        line = tail;
    }
}

// The lines of the file at path; false when it cannot be read whole.
bool LinesOf(const std::string& path, std::unordered_set<std::string>& lines) {
    platform::SharedFile file;
    if (!file.OpenForReading(path)) {
        return false;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        const long n = file.Read(buf, sizeof buf);
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    for (size_t begin = 0, nl; (nl = text.find('\n', begin)) != std::string::npos; begin = nl + 1) {
        lines.insert(text.substr(begin, nl + 1 - begin));
    }
    return true;
}

// Adds the lines of the copies a purge elsewhere kept of the data file at path when it could
// not put them back under its name: records there are not missing.
bool KeptCopiesLines(const std::string& path, std::unordered_set<std::string>& lines) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    int error = 0;
    for (const auto& other : platform::RegularFilesIn(dir, &error)) {
        if (IsKeptCopyOf(other, name) && !LinesOf(dir + "/" + other, lines)) {
            return false;
        }
    }
    return error == 0;
}

}  // namespace

struct PendingRecords::State {
    // Records written lately, watched for a while: a purge on another computer that read the
    // file before they reached it replaces it with a copy that lacks them. Locks do not reach
    // across computers on a share, so the writer is the one to notice and write them again.
    struct Written {
        std::string path;
        std::string line;
        std::chrono::steady_clock::time_point at;
    };
    std::deque<Written> recent;
    std::map<std::string, std::pair<std::int64_t, std::string>> lastWritten;  // end, line
    // The last time the whole file was compared with the records written lately.
    std::map<std::string, std::chrono::steady_clock::time_point> lastCompared;
    // Files found changed by someone else between two of our writes: a later write of ours
    // would hide that from a look at the file's end alone.
    std::set<std::string> changed;
    std::chrono::milliseconds watchFor{60000};
    std::chrono::milliseconds compareEvery{10000};

    mutable std::mutex mutex;
    std::condition_variable wake;     // the thread: something to write, or stop
    std::condition_variable written;  // waiters: the queue changed
    std::deque<PendingRecord> queue;
    std::string storePath;
    platform::SharedFile store;
    bool threadStarted = false;
    bool stop = false;
    bool exited = false;
    bool retryNow = false;
    bool failing = false;
    bool announcedFailure = false;
    int lastError = 0;
    std::uint64_t added = 0;           // records added so far
    std::uint64_t failedCovering = 0;  // the last failed try covered records up to this one
    std::chrono::milliseconds lockWait{10000};
    std::chrono::milliseconds retryInterval{5000};
    std::function<void(const std::string&)> diagnostics;

    // The local file again holds exactly the queue (the caller holds mutex).
    void Rewrite() {
        if (!store.IsOpen()) {
            return;
        }
        if (queue.empty()) {
            store.Truncate(0);
            store.Sync();
            return;
        }
        std::string all;
        for (const auto& r : queue) {
            all += Entry(r);
        }
        platform::ReplacementFile next;
        if (next.Create(FolderOf(storePath)) && next.WriteAll(all) && next.Sync() &&
            next.Replace(storePath)) {
            platform::SyncFolder(FolderOf(storePath));
            bool created = false;
            store.OpenForAppending(storePath, created);
        }
    }

    void Diagnose(const std::string& text) {
        if (diagnostics) {
            diagnostics(text);
        }
    }

    // Writes again what a replacement of a data file lacks of the records written lately. The
    // file is compared whole when someone else changed it between two of our writes, when its
    // end is no longer what we wrote last, at least every compareEvery, and always (always)
    // when the writer stops.
    void WatchRecent(std::unique_lock<std::mutex>& lock, bool always = false) {
        const auto now = std::chrono::steady_clock::now();
        std::map<std::string, std::vector<std::string>> byPath;
        for (const auto& w : recent) {
            byPath[w.path].push_back(w.line);
        }
        const auto marks = lastWritten;
        std::set<std::string> due;
        for (const auto& [path, lines] : byPath) {
            const auto compared = lastCompared.find(path);
            if (always || changed.contains(path) || compared == lastCompared.end() ||
                now - compared->second >= compareEvery) {
                due.insert(path);
            }
        }
        lock.unlock();
        std::map<std::string, std::pair<std::int64_t, std::string>> ends;
        std::set<std::string> compared;
        for (const auto& [path, lines] : byPath) {
            const auto mark = marks.find(path);
            if (!due.contains(path) && mark != marks.end() &&
                StillHolds(path, mark->second.first, mark->second.second)) {
                continue;
            }
            std::unordered_set<std::string> present;
            if (!LinesOf(path, present) || !KeptCopiesLines(path, present)) {
                continue;  // away for now: tried again later
            }
            std::vector<std::string> missing;
            for (const auto& line : lines) {
                if (!present.contains(line)) {
                    missing.push_back(line);
                }
            }
            bool waitedInVain = false;
            std::int64_t end = -1;
            std::string last;
            if (missing.empty()) {
                LastLine(path, end, last);
            } else if (!AppendRecords(path, missing, lockWait, waitedInVain, &end)) {
                continue;
            } else {
                last = missing.back();
                Diagnose(path + " was replaced while records were written to it; " +
                         std::to_string(missing.size()) + " written again");
            }
            compared.insert(path);
            if (end >= 0 && !last.empty()) {
                ends[path] = {end, last};
            }
        }
        lock.lock();
        for (const auto& [path, mark] : ends) {
            lastWritten[path] = mark;
        }
        for (const auto& path : compared) {
            lastCompared[path] = now;
            changed.erase(path);
        }
        // A record is let go only once a comparison after its time was up found it there, or
        // when its file has stayed out of reach far longer than that.
        while (!recent.empty() && now - recent.front().at > watchFor &&
               (lastCompared[recent.front().path] - recent.front().at > watchFor ||
                now - recent.front().at > 10 * watchFor)) {
            recent.pop_front();
        }
    }

    void Run() {
        std::unique_lock lock(mutex);
        while (!stop) {
            if (queue.empty() || (failing && !retryNow)) {
                retryNow = false;
                if (!recent.empty() && !failing) {
                    wake.wait_for(lock, std::chrono::seconds(1));
                    WatchRecent(lock);
                } else {
                    wake.wait_for(lock, failing ? retryInterval : std::chrono::hours(1));
                }
                continue;
            }
            retryNow = false;
            const std::uint64_t covers = added;
            // One data file at a time, in order; a long backlog in bounded pieces.
            const std::string path = queue.front().path;
            std::vector<std::string> lines;
            for (const auto& r : queue) {
                if (r.path != path || lines.size() >= 500) {
                    break;
                }
                lines.push_back(r.line);
            }
            const auto wait = lockWait;
            lock.unlock();
            bool waitedInVain = false;
            std::int64_t end = -1;
            std::int64_t start = -1;
            std::string problem;
            const bool ok = AppendRecords(path, lines, wait, waitedInVain, &end, &start, &problem);
            const int error = errno;
            lock.lock();
            if (waitedInVain) {
                std::string jobs;
                for (const auto& line : lines) {
                    jobs += (jobs.empty() ? "job " : ", job ") + line.substr(0, line.find(','));
                }
                Diagnose("the lock of " + path + " was still held after " +
                         std::to_string(wait.count()) + " ms; record of " + jobs +
                         " written without it");
            }
            if (ok) {
                const auto now = std::chrono::steady_clock::now();
                for (const auto& line : lines) {
                    recent.push_back({path, line, now});
                }
                // The file no longer ends where our last write left it: someone else rewrote
                // it (a purge on another computer) and may have dropped records of ours.
                if (const auto mark = lastWritten.find(path);
                    mark != lastWritten.end() && mark->second.first != start) {
                    changed.insert(path);
                }
                lastWritten[path] = {end, lines.back()};
                queue.erase(queue.begin(), queue.begin() + static_cast<long>(lines.size()));
                Rewrite();
                if (failing) {
                    Diagnose("the data folder is reachable again; " + std::to_string(queue.size()) +
                             " records still waiting");
                }
                failing = false;
                lastError = 0;
            } else {
                if (!failing) {
                    Diagnose("cannot write to " + path + " (" +
                             (problem.empty() ? std::string(std::strerror(error)) : problem) +
                             "); " + std::to_string(queue.size()) +
                             " records kept on this computer");
                }
                failing = true;
                lastError = error;
                failedCovering = covers;
            }
            written.notify_all();
        }
        // A purge elsewhere may just have replaced the file: one last look before leaving.
        if (!recent.empty() && !failing) {
            WatchRecent(lock, true);
        }
        exited = true;
        written.notify_all();
    }
};

PendingRecords::PendingRecords() : m_state(std::make_shared<State>()) {}

PendingRecords::~PendingRecords() {
    std::unique_lock lock(m_state->mutex);
    if (!m_state->threadStarted) {
        return;
    }
    m_state->stop = true;
    m_state->wake.notify_all();
    // A write stuck on a share that hangs must not hold the program's exit: the thread keeps
    // the state alive and ends with the process; the local file keeps its records.
    m_state->written.wait_for(lock, std::chrono::seconds(2), [&] { return m_state->exited; });
}

bool PendingRecords::SetStore(const std::string& path) {
    std::lock_guard lock(m_state->mutex);
    m_state->storePath = path;
    platform::MakeDirectoryPath(FolderOf(path));
    platform::SharedFile file;
    bool created = false;
    if (!file.OpenForAppending(path, created)) {
        return false;
    }
    // Only this user's program, on this computer, writes here; still, a torn last entry (a crash
    // in the middle of one) or a damaged line is left out rather than written anywhere.
    std::string text;
    char buf[65536];
    for (std::int64_t at = 0;;) {
        const long n = file.ReadAt(at, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        text.append(buf, static_cast<size_t>(n));
        at += n;
    }
    std::deque<PendingRecord> loaded;
    size_t begin = 0;
    for (size_t nl; (nl = text.find('\n', begin)) != std::string::npos; begin = nl + 1) {
        const std::string_view entry(text.data() + begin, nl + 1 - begin);
        const auto tab = entry.find('\t');
        PendingRecord r;
        if (tab == std::string_view::npos || !UnescapePath(entry.substr(0, tab), r.path) ||
            r.path.empty()) {
            continue;
        }
        r.line.assign(entry.substr(tab + 1));
        loaded.push_back(std::move(r));
    }
    m_state->store = std::move(file);
    const bool damaged = begin != text.size();
    m_state->queue.insert(m_state->queue.begin(), loaded.begin(), loaded.end());
    m_state->added += loaded.size();
    if (damaged) {
        m_state->Rewrite();
    }
    if (!m_state->queue.empty()) {
        StartThread();
        m_state->wake.notify_all();
    }
    return true;
}

void PendingRecords::StartThread() {
    if (m_state->threadStarted) {
        return;
    }
    m_state->threadStarted = true;
    std::thread([state = m_state] { state->Run(); }).detach();
}

void PendingRecords::Add(const std::string& path, const std::string& line) {
    std::lock_guard lock(m_state->mutex);
    PendingRecord r{path, line};
    if (m_state->store.IsOpen() && !(m_state->store.WriteAll(Entry(r)) && m_state->store.Sync())) {
        m_state->Diagnose("cannot keep a record in " + m_state->storePath + " (" +
                          std::strerror(errno) + ")");
    }
    m_state->queue.push_back(std::move(r));
    ++m_state->added;
    m_state->retryNow = true;
    StartThread();
    m_state->wake.notify_all();
}

bool PendingRecords::WaitUntilWritten(std::chrono::milliseconds wait) {
    std::unique_lock lock(m_state->mutex);
    // A try that failed after everything waiting was added answers as well as the time-out.
    const std::uint64_t added = m_state->added;
    m_state->written.wait_for(lock, wait, [&] {
        return m_state->queue.empty() || m_state->failedCovering >= added || m_state->exited;
    });
    return m_state->queue.empty();
}

void PendingRecords::Retry() {
    std::lock_guard lock(m_state->mutex);
    m_state->retryNow = true;
    m_state->wake.notify_all();
}

size_t PendingRecords::Count() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->queue.size();
}

bool PendingRecords::Failing() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->failing;
}

int PendingRecords::LastError() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->lastError;
}

void PendingRecords::SetLockWait(std::chrono::milliseconds wait) {
    std::lock_guard lock(m_state->mutex);
    m_state->lockWait = wait;
}

void PendingRecords::SetRetryInterval(std::chrono::milliseconds interval) {
    std::lock_guard lock(m_state->mutex);
    m_state->retryInterval = interval;
}

void PendingRecords::SetDiagnostics(std::function<void(const std::string&)> out) {
    std::lock_guard lock(m_state->mutex);
    m_state->diagnostics = std::move(out);
}
