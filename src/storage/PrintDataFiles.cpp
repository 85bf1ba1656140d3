#include "storage/PrintDataFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/EventPump.h"
#include "platform/Host.h"
#include "storage/DiagnosticLog.h"
#include "storage/RecordText.h"

namespace {

constexpr const char* kErrorCaption = "Tessaroven Error";
constexpr size_t kCursorBuffer = 1 << 20;

std::int32_t ClampedProduct(std::int32_t a, std::int32_t b) {
    const std::int64_t p = std::int64_t{a} * std::int64_t{b};
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        p, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

std::string FieldText(const std::string& name) {
    std::string out = name;
    std::replace_if(
        out.begin(), out.end(), [](char c) { return c == ',' || c == '\r' || c == '\n'; }, '_');
    return out;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number as "%d" reads one: blanks, an optional sign, at least one digit. Values
// beyond the 32-bit range are held at its ends.
bool ReadNumber(std::string_view s, size_t pos, std::int32_t& out) {
    while (pos < s.size() && IsBlank(s[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        negative = s[pos] == '-';
        ++pos;
    }
    if (pos >= s.size() || !IsDigit(s[pos])) {
        return false;
    }
    std::int64_t v = 0;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    for (; pos < s.size() && IsDigit(s[pos]); ++pos) {
        v = std::min<std::int64_t>(v * 10 + (s[pos] - '0'), kLimit);
    }
    v = negative ? -v : v;
    out = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
    return true;
}

// Up to width digits at a fixed position; nothing there leaves the field as it was.
void ReadTimePart(std::string_view s, size_t pos, size_t width, std::uint16_t& out) {
    unsigned v = 0;
    size_t n = 0;
    for (; n < width && pos + n < s.size() && IsDigit(s[pos + n]); ++n) {
        v = v * 10 + static_cast<unsigned>(s[pos + n] - '0');
    }
    if (n > 0) {
        out = static_cast<std::uint16_t>(v);
    }
}

// Fields are a few bytes long: a plain loop beats a call to memchr for each of them.
size_t FindComma(std::string_view s, size_t from) {
    for (size_t i = from; i < s.size(); ++i) {
        if (s[i] == ',') {
            return i;
        }
    }
    return std::string_view::npos;
}

}  // namespace

bool RecordLock::Acquire() {
    platform::LockProcessingEvents(m_mutex);
    return true;
}

void RecordLock::Release() {
    m_mutex.unlock();
}

namespace {

// The reader takes at most 255 bytes as one line: longer names are cut, the longest first, so
// that the whole record with its line end fits and reads back as written.
void FitNames(size_t fixedBytes, std::string* names[3]) {
    const size_t budget =
        RecordCursor::kMaxPiece > fixedBytes ? RecordCursor::kMaxPiece - fixedBytes : 0;
    auto total = [&](size_t cap) {
        size_t sum = 0;
        for (int i = 0; i < 3; ++i) {
            sum += std::min(names[i]->size(), cap);
        }
        return sum;
    };
    size_t longest = 0;
    for (int i = 0; i < 3; ++i) {
        longest = std::max(longest, names[i]->size());
    }
    if (total(longest) <= budget) {
        return;
    }
    size_t low = 0;
    size_t high = longest;
    while (low < high) {
        const size_t mid = (low + high + 1) / 2;
        if (total(mid) <= budget) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    for (int i = 0; i < 3; ++i) {
        names[i]->resize(CutOnCharacter(*names[i], low));
    }
}

// A new record's names are written as this system writes records (encoded); a stored one's
// bytes stay as they are, whoever wrote them.
std::string FormatRecordLine(std::int32_t jobId, const platform::SystemTime& t,
                             const std::string& printer, const std::string& machine,
                             const std::string& user, std::int32_t total, std::int32_t printed,
                             bool encode) {
    // Four year digits always: the reader takes the time from fixed positions.
    char head[64];
    std::snprintf(head, sizeof head, "%d,%04d%02d%02d%02d%02d%02d,", jobId, t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond);
    char tail[32];
    std::snprintf(tail, sizeof tail, ",%d,%d\r\r\n", total, printed);
    std::string p = FieldText(printer);
    std::string m = FieldText(machine);
    std::string u = FieldText(user);
    std::string* names[3] = {&p, &m, &u};
    FitNames(std::strlen(head) + std::strlen(tail) + 2, names);
    if (encode) {
        EncodeRecordNames(names);
    }
    return head + p + "," + m + "," + u + tail;
}

}  // namespace

std::string FormatPrintRecord(const CompletedJob& job) {
    return FormatRecordLine(job.jobId, job.time, job.printerName, job.machineName, job.userName,
                            ClampedProduct(job.totalPages, job.copies),
                            ClampedProduct(job.pagesPrinted, job.copies), true);
}

std::string FormatStoredRecord(const PrintRecord& r) {
    return FormatRecordLine(r.jobId, r.time, r.printerName, r.machineName, r.userName,
                            r.totalPagesTimesCopies, r.pagesPrintedTimesCopies, false);
}

void ParsePrintRecordLine(std::string_view line, PrintRecord& rec, const RecordFilter* filter) {
    // The line ends at a NUL byte, as it would for any C string routine.
    if (const auto nul = line.find('\0'); nul != std::string_view::npos) {
        line = line.substr(0, nul);
    }
    rec.jobId = -1;
    std::int32_t jobId = 0;
    if (!ReadNumber(line, 0, jobId) || jobId <= 0) {
        return;
    }
    const size_t c1 = FindComma(line, 0);
    if (c1 == std::string_view::npos) {
        return;
    }
    ReadTimePart(line, c1 + 1, 4, rec.time.wYear);
    ReadTimePart(line, c1 + 5, 2, rec.time.wMonth);
    ReadTimePart(line, c1 + 7, 2, rec.time.wDay);
    ReadTimePart(line, c1 + 9, 2, rec.time.wHour);
    ReadTimePart(line, c1 + 11, 2, rec.time.wMinute);
    ReadTimePart(line, c1 + 13, 2, rec.time.wSecond);
    rec.time.wDayOfWeek = 0;
    rec.time.wMilliseconds = 0;
    if (filter != nullptr) {
        if (filter->firstMonth != 0) {
            // A month outside 1 to 12 must not pass as one of the next or the previous year.
            const int month = rec.time.wYear * 12 + rec.time.wMonth;
            if (rec.time.wMonth < 1 || rec.time.wMonth > 12 || month < filter->firstMonth ||
                month > filter->lastMonth) {
                return;
            }
        } else if (rec.time.wYear != filter->year || rec.time.wMonth != filter->month) {
            return;
        }
    }
    const size_t c2 = FindComma(line, c1 + 16);
    if (c2 == std::string_view::npos) {
        return;
    }
    const std::string_view printer = line.substr(c1 + 16, c2 - (c1 + 16));
    if (filter != nullptr && !filter->anyPrinter && printer != filter->printerName &&
        (filter->legacyPrinterName.empty() || printer != filter->legacyPrinterName)) {
        return;
    }
    rec.printerName.assign(printer);
    const size_t c3 = FindComma(line, c2 + 1);
    if (c3 == std::string_view::npos) {
        return;
    }
    rec.machineName.assign(line.substr(c2 + 1, c3 - c2 - 1));
    const size_t c4 = FindComma(line, c3 + 1);
    if (c4 == std::string_view::npos) {
        return;
    }
    rec.userName.assign(line.substr(c3 + 1, c4 - c3 - 1));
    ReadNumber(line, c4 + 1, rec.totalPagesTimesCopies);
    const size_t c5 = FindComma(line, c4 + 1);
    if (c5 == std::string_view::npos) {
        return;
    }
    // A line cut inside its last field would otherwise carry the previous record's pages.
    if (!ReadNumber(line, c5 + 1, rec.pagesPrintedTimesCopies)) {
        return;
    }
    rec.jobId = jobId;
}

RecordCursor::~RecordCursor() {
    Close();
}

bool RecordCursor::Open(const std::string& path) {
    platform::SharedFile file;
    if (!file.OpenForReading(path)) {
        return false;
    }
    Open(std::move(file));
    return true;
}

void RecordCursor::Open(platform::SharedFile file) {
    Close();
    m_file = std::move(file);
    m_eof = false;
    m_error = 0;
    m_read = 0;
    m_begin = m_end = 0;
    if (m_buf.size() != kCursorBuffer) {
        m_buf.resize(kCursorBuffer);
    }
}

void RecordCursor::Close() {
    m_file.Close();
    m_begin = m_end = 0;
}

bool RecordCursor::Fill() {
    if (m_begin > 0) {
        std::memmove(m_buf.data(), m_buf.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (m_end == m_buf.size()) {
        return true;
    }
    long n = -1;
    if (m_failAfter >= 0 && m_read >= m_failAfter) {
        errno = EIO;
    } else {
        n = m_file.Read(m_buf.data() + m_end, m_buf.size() - m_end);
    }
    if (n <= 0) {
        // A failed read is no end of file: whoever rewrites the file must know the difference.
        m_error = n < 0 ? errno : 0;
        m_eof = true;
        return false;
    }
    m_end += static_cast<size_t>(n);
    m_read += n;
    return true;
}

bool RecordCursor::Next(std::string_view& piece) {
    if (!m_file.IsOpen()) {
        return false;
    }
    for (;;) {
        const size_t avail = m_end - m_begin;
        const size_t span = std::min(avail, kMaxPiece);
        const char* start = m_buf.data() + m_begin;
        if (const void* nl = std::memchr(start, '\n', span)) {
            const size_t len = static_cast<size_t>(static_cast<const char*>(nl) - start) + 1;
            piece = std::string_view(start, len);
            m_begin += len;
            return true;
        }
        if (avail >= kMaxPiece || (m_eof && avail > 0 && m_error == 0)) {
            piece = std::string_view(start, span);
            m_begin += span;
            return true;
        }
        if (m_eof) {
            return false;
        }
        Fill();
    }
}

namespace {

// Names from another system may differ in case; ASCII folding is all a file name pattern needs.
bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

std::vector<std::string> ListPrintDataFiles(const std::string& dir, int* error) {
    std::vector<std::string> files;
    const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    for (const auto& name : platform::RegularFilesIn(dir, error)) {
        if (name.size() < 13 || !EqualIgnoringAsciiCase(name.substr(0, 9), "PrintData") ||
            !EqualIgnoringAsciiCase(name.substr(name.size() - 4), ".dat")) {
            continue;
        }
        files.push_back(prefix + name);
    }
    std::sort(files.begin(), files.end());
    return files;
}

namespace {

std::string FileNamePart(const std::string& name, size_t max) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f || std::strchr("@%/\\:*?\"<>|", ch) != nullptr) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    if (out.size() <= max) {
        return out;
    }
    // Cut names still have to differ: the cut is followed by a digest of the whole name.
    std::uint32_t hash = 2166136261u;
    for (char ch : name) {
        hash = (hash ^ static_cast<unsigned char>(ch)) * 16777619u;
    }
    char digest[16];
    std::snprintf(digest, sizeof digest, "%%%08X", hash);
    std::string cut = out.substr(0, CutOnCharacter(out, max - std::strlen(digest)));
    // Never end inside an %XX.
    if (const auto pct = cut.rfind('%'); pct != std::string::npos && pct + 3 > cut.size()) {
        cut.resize(pct);
    }
    return cut + digest;
}

}  // namespace

std::string UnreachableFolderText(const std::string& dir, int error) {
    return "The data folder " + dir + " cannot be reached: " + platform::SystemErrorText(error);
}

std::string UnreachableFolderMessage(const std::string& dir, int error) {
    return std::string("データファイル格納ディレクトリ ") + dir + " にアクセスできません。\n" +
           platform::SystemErrorText(error);
}

std::string PrintDataFileName(const std::string& userName, const std::string& computerName) {
    // 255 bytes make a file name on every file system we meet.
    return "PrintData_" + FileNamePart(userName, 120) + "@" + FileNamePart(computerName, 100) +
           ".dat";
}

std::string KeptCopyPath(const std::string& dataFile, int n) {
    const std::string stem =
        dataFile.ends_with(".dat") ? dataFile.substr(0, dataFile.size() - 4) : dataFile;
    return stem + "-kept" + std::to_string(n) + ".dat";
}

bool IsKeptCopyOf(const std::string& name, const std::string& dataFileName) {
    const std::string stem = dataFileName.ends_with(".dat")
                                 ? dataFileName.substr(0, dataFileName.size() - 4)
                                 : dataFileName;
    const std::string_view rest =
        std::string_view(name).substr(std::min(name.size(), stem.size() + std::strlen("-kept")));
    return name.starts_with(stem + "-kept") && rest.ends_with(".dat") && rest.size() > 4 &&
           std::all_of(rest.begin(), rest.end() - 4, [](char c) { return c >= '0' && c <= '9'; });
}

bool OpenForAppending(const std::string& path, platform::SharedFile& file,
                      std::chrono::milliseconds lockWait, bool& waitedInVain,
                      std::string* problem) {
    waitedInVain = false;
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    // Another process (a purge) may be rewriting the file: its lock keeps us out meanwhile, and
    // once it has renamed the new file into place we must append to that one, not the old.
    // Purges in a loop may replace the file again and again: the whole wait is bounded, not
    // the number of files waited for.
    const auto deadline = std::chrono::steady_clock::now() + lockWait;
    for (int late = 0; late < 100;) {
        const auto now = std::chrono::steady_clock::now();
        const auto wait =
            now < deadline ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                           : std::chrono::milliseconds(0);
        bool created = false;
        if (!file.OpenForAppending(path, created)) {
            return false;
        }
        platform::FileOwnership own;
        if (platform::IsProtectedSharedFolder(folder) && file.Ownership(own)) {
            // Each writer's file is its own: the members read it, and only its owner (or an
            // administrator) writes, renames or removes it. A file someone else made or put
            // under our name is not written to: its owner could change our records.
            if (!platform::IsCallersOwn(own)) {
                if (problem != nullptr) {
                    *problem = "it belongs to " + platform::OwnerName(own.owner) +
                               ", not to this program's user: someone else made or replaced it; "
                               "an administrator must give it back or remove it";
                }
                file.Close();
                errno = EPERM;
                return false;
            }
            if ((own.mode & 0022) != 0 || (own.mode & 0040) == 0) {
                file.SetMode((own.mode & ~0022u) | 0040);
            }
        } else if (created && platform::IsGroupSharedFolder(folder) && file.Ownership(own)) {
            // Every member's monitor and purge must be able to write every file of a shared
            // folder, whatever this user's umask.
            file.SetMode(own.mode | 0060);
        }
        switch (file.Lock(wait)) {
            case platform::SharedFile::LockResult::Unsupported:
                return true;  // no locks on this file system: append as before
            case platform::SharedFile::LockResult::TimedOut:
                // Someone holds the lock far longer than any rewrite takes: the record matters
                // more than the lock.
                waitedInVain = true;
                break;
            case platform::SharedFile::LockResult::Locked:
                break;
        }
        if (file.IsAt(path)) {
            return true;
        }
        file.Close();
        late += waitedInVain ? 1 : 0;
    }
    errno = EAGAIN;
    return false;
}

PrintDataFiles::PrintDataFiles(Registry& registry, platform::MessageSink& sink)
    : m_registry(registry), m_sink(sink) {
    m_pending.SetDiagnostics([](const std::string& text) {
        std::fprintf(stderr, "tessaroven: %s\n", text.c_str());
        if (diagnosticLog != nullptr) {
            diagnosticLog->Write(0, 'E', text);
        }
    });
}

void PrintDataFiles::SetNames(std::string computerName, std::string userName) {
    m_computerName = std::move(computerName);
    m_userName = std::move(userName);
}

void PrintDataFiles::EstablishDataDirectory(const std::string& commonAppData) {
    const std::string fallback =
        commonAppData + (commonAppData.ends_with('/') ? "" : "/") + "Tessaroven";
    // Each read already waits for a busy store; a store busy for longer than a few of those is
    // not waited for at start, but neither is its setting overwritten.
    std::optional<std::string> stored;
    for (int attempt = 0; attempt < 3 && !stored; ++attempt) {
        stored = m_registry.TryGetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory");
    }
    std::string dir = stored.value_or(std::string());
    if (!stored) {
        dir = fallback;
        m_sink.Show(
            std::string("設定 DataFileDirectory を読み取れませんでした (設定の保存先が使用中か"
                        "壊れています)。プログラムを次に起動するまで、印刷データは ") +
                dir + " に記録します。",
            kErrorCaption, platform::kIconWarning);
    } else if (dir.empty()) {
        dir = fallback;
        m_registry.SetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory", dir);
    }
    platform::MakeDirectoryPath(dir);
    SetDataDirectory(std::move(dir));
}

void PrintDataFiles::SetDataDirectory(std::string dir) {
    std::lock_guard lock(m_dirMutex);
    m_dataDirectory = std::move(dir);
}

std::string PrintDataFiles::DataDirectory() const {
    std::lock_guard lock(m_dirMutex);
    return m_dataDirectory;
}

std::string PrintDataFiles::DataFilePath() const {
    const std::string dir = DataDirectory();
    return dir + (dir.ends_with('/') ? "" : "/") + PrintDataFileName(m_userName, m_computerName);
}

void PrintDataFiles::SetPendingStore(const std::string& path) {
    if (!m_pending.SetStore(path)) {
        Diagnose("cannot keep waiting records in " + path + " (" +
                 platform::SystemErrorText(errno) + "); they are kept in memory only");
    }
}

void PrintDataFiles::RetryPendingRecords() {
    DecideWaitingJobs(false);
    if (m_pending.Count() > 0) {
        m_pending.Retry();
    } else {
        m_waitingAnnounced = false;
    }
}

void PrintDataFiles::FinishUndecided() {
    DecideWaitingJobs(true);
}

void PrintDataFiles::DecideWaitingJobs(bool finally) {
    std::vector<CompletedJob> waiting;
    {
        std::lock_guard lock(m_undecidedMutex);
        if (m_undecided.empty()) {
            return;
        }
        waiting.swap(m_undecided);
    }
    std::vector<CompletedJob> still;
    for (auto& job : waiting) {
        const RecordOwner owner =
            m_recordOwner ? m_recordOwner(job.jobId, job.endedAt) : RecordOwner::Here;
        if (owner == RecordOwner::Elsewhere) {
            continue;
        }
        if (owner == RecordOwner::Undecided && !finally) {
            still.push_back(std::move(job));
            continue;
        }
        // Better a job counted by both programs than by neither.
        AcquireRecordLock();
        completedJob = job;
        WriteRecordNow();
        ReleaseRecordLock();
    }
    std::lock_guard lock(m_undecidedMutex);
    m_undecided.insert(m_undecided.end(), still.begin(), still.end());
}

void PrintDataFiles::Journal(const std::string& text, bool problem) {
    if (m_journalAll || problem) {
        std::fprintf(stderr, "tessaroven: %s\n", text.c_str());
    }
}

void PrintDataFiles::WritePrintRecord() {
    // Asked at the moment of writing, not when the job came: a service started meanwhile has
    // taken over the jobs still in the queues, one stopped meanwhile has left them to us.
    const RecordOwner owner =
        m_recordOwner ? m_recordOwner(completedJob.jobId, completedJob.endedAt) : RecordOwner::Here;
    if (owner == RecordOwner::Elsewhere) {
        return;
    }
    if (owner == RecordOwner::Undecided) {
        std::lock_guard lock(m_undecidedMutex);
        m_undecided.push_back(completedJob);
        return;
    }
    WriteRecordNow();
}

std::vector<std::int32_t> PrintDataFiles::RecordedEndingAfter(std::int64_t after) const {
    std::lock_guard lock(m_undecidedMutex);
    std::vector<std::int32_t> ids;
    for (const auto& [id, endedAt] : m_recent) {
        if (endedAt > after) {
            ids.push_back(id);
        }
    }
    return ids;
}

void PrintDataFiles::WriteRecordNow() {
    ++m_recordsWritten;
    {
        std::lock_guard lock(m_undecidedMutex);
        m_recent.emplace_back(completedJob.jobId, completedJob.endedAt);
        if (m_recent.size() > kRecentKept) {
            m_recent.pop_front();
        }
    }
    if (!DataDirectory().empty()) {
        // The record is safe on this computer before anything touches the share; the share is
        // written by a thread of its own, so a hung one holds up neither this watcher, nor the
        // others waiting for the record lock, nor the program's exit for long.
        const bool behind = m_pending.Failing();
        m_pending.Add(DataFilePath(), FormatPrintRecord(completedJob));
        if (m_pending.WaitUntilWritten(behind ? std::chrono::milliseconds(0) : m_writeWait)) {
            m_waitingAnnounced = false;
        } else {
            AnnounceWaitingRecords();
        }
    }
    if (completedJob.machineName == "\\\\" + m_computerName) {
        UpdateCounters();
    }
}

void PrintDataFiles::OwnerHidden(const std::string& printerName, std::int32_t jobId) {
    if (!m_recordJobOwners || m_hiddenOwnerAnnounced.exchange(true)) {
        return;
    }
    Diagnose("the scheduler hides the owner of job " + std::to_string(jobId) + " on " +
             printerName +
             ", which is not recorded. The service records only jobs whose owner it sees: run "
             "it as root with root in the scheduler's SystemGroup, or allow it with "
             "JobPrivateAccess in cupsd.conf.");
}

void PrintDataFiles::AnnounceWaitingRecords() {
    if (m_waitingAnnounced.exchange(true)) {
        return;
    }
    const int error = m_pending.LastError();
    m_sink.Show(std::string("データファイル格納ディレクトリ ") + DataDirectory() +
                    " に書き込めません" +
                    (error != 0 ? " (" + platform::SystemErrorText(error) + ")" : "") +
                    "。印刷データはこのコンピュータに保管し、書き込めるようになりしだい"
                    "書き込みます。",
                kErrorCaption, platform::kIconWarning);
}

void PrintDataFiles::Diagnose(const std::string& text) {
    if (m_diagnostics) {
        m_diagnostics(text);
        return;
    }
    std::fprintf(stderr, "tessaroven: %s\n", text.c_str());
    if (diagnosticLog != nullptr) {
        diagnosticLog->Write(0, 'E', text);
    }
}

void PrintDataFiles::UpdateCounters() {
    const std::int32_t pages = ClampedProduct(completedJob.pagesPrinted, completedJob.copies);
    // Two monitors of one user (two sessions) add to the same counters: read and write them in
    // one step of the store.
    m_registry.UpdateRegValues(
        kHkeyCurrentUser, kPerUserKey, {"PagesPrinted"},
        [&](const std::vector<std::optional<platform::StoredValue>>& current) {
            const std::int32_t base = current[0] && current[0]->type == platform::ValueType::Dword
                                          ? current[0]->dword
                                          : 0;
            const auto sum = static_cast<std::int32_t>(std::clamp<std::int64_t>(
                std::int64_t{base} + pages, std::numeric_limits<std::int32_t>::min(),
                std::numeric_limits<std::int32_t>::max()));
            return platform::SettingsStore::NamedValues{
                {"PagesPrinted", platform::StoredValue::Dw(sum)},
                {"SheetsPrinted", platform::StoredValue::Dw(sum)},
                {"PrinterName", platform::StoredValue::Sz(completedJob.printerName)}};
        });
}

bool PrintDataFiles::ReadPrintRecord(bool openFirst, const std::string& path,
                                     const RecordFilter* filter) {
    m_readError = 0;
    if (openFirst && !m_cursor.Open(path)) {
        m_sink.Show(platform::SystemErrorText(errno), kErrorCaption, platform::kIconStop);
        return false;
    }
    std::string_view piece;
    if (!m_cursor.Next(piece)) {
        m_readError = m_cursor.Error();
        m_cursor.Close();
        return false;
    }
    ParsePrintRecordLine(piece, m_lastRead, filter);
    if (m_lastRead.jobId != -1) {
        DecodeRecordNames(m_lastRead);
    }
    return true;
}
