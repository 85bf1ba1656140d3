#include "storage/PrintDataFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/EventPump.h"
#include "platform/Host.h"

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

size_t FindComma(std::string_view s, size_t from) {
    return from >= s.size() ? std::string_view::npos : s.find(',', from);
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

std::string FormatRecordLine(std::int32_t jobId, const platform::SystemTime& t,
                             const std::string& printer, const std::string& machine,
                             const std::string& user, std::int32_t total, std::int32_t printed) {
    char head[64];
    std::snprintf(head, sizeof head, "%d,%02d%02d%02d%02d%02d%02d,", jobId, t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond);
    char tail[32];
    std::snprintf(tail, sizeof tail, ",%d,%d\r\r\n", total, printed);
    return head + FieldText(printer) + "," + FieldText(machine) + "," + FieldText(user) + tail;
}

}  // namespace

std::string FormatPrintRecord(const CompletedJob& job) {
    return FormatRecordLine(job.jobId, job.time, job.printerName, job.machineName, job.userName,
                            ClampedProduct(job.totalPages, job.copies),
                            ClampedProduct(job.pagesPrinted, job.copies));
}

std::string FormatStoredRecord(const PrintRecord& r) {
    return FormatRecordLine(r.jobId, r.time, r.printerName, r.machineName, r.userName,
                            r.totalPagesTimesCopies, r.pagesPrintedTimesCopies);
}

void ParsePrintRecordLine(std::string_view line, PrintRecord& rec) {
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
    const size_t c2 = FindComma(line, c1 + 16);
    if (c2 == std::string_view::npos) {
        return;
    }
    rec.printerName.assign(line.substr(c1 + 16, c2 - (c1 + 16)));
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
    ReadNumber(line, c5 + 1, rec.pagesPrintedTimesCopies);
    rec.jobId = jobId;
}

RecordCursor::~RecordCursor() {
    Close();
}

bool RecordCursor::Open(const std::string& path) {
    Close();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return false;
    }
    m_fd = fd;
    m_eof = false;
    m_begin = m_end = 0;
    if (m_buf.size() != kCursorBuffer) {
        m_buf.resize(kCursorBuffer);
    }
    return true;
}

void RecordCursor::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    m_begin = m_end = 0;
}

bool RecordCursor::Fill() {
    if (m_begin > 0) {
        std::memmove(m_buf.data(), m_buf.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    while (m_end < m_buf.size()) {
        const ssize_t n = read(m_fd, m_buf.data() + m_end, m_buf.size() - m_end);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            m_eof = true;
            return false;
        }
        m_end += static_cast<size_t>(n);
        return true;
    }
    return true;
}

bool RecordCursor::Next(std::string_view& piece) {
    if (m_fd < 0) {
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
        if (avail >= kMaxPiece || (m_eof && avail > 0)) {
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

std::vector<std::string> ListPrintDataFiles(const std::string& dir) {
    std::vector<std::string> files;
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) {
        return files;
    }
    const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    while (const dirent* e = readdir(d)) {
        const size_t len = std::strlen(e->d_name);
        if (len < 13 || strncasecmp(e->d_name, "PrintData", 9) != 0 ||
            strcasecmp(e->d_name + len - 4, ".dat") != 0) {
            continue;
        }
        std::string path = prefix + e->d_name;
        if (!platform::IsDirectory(path)) {
            files.push_back(std::move(path));
        }
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

int OpenForAppending(const std::string& path) {
    // Another process (a purge) may be rewriting the file: its lock keeps us out meanwhile, and
    // once it has renamed the new file into place we must append to that one, not the old.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            return -1;
        }
        if (flock(fd, LOCK_EX) != 0) {
            return fd;  // no locks on this file system: append as before
        }
        struct stat opened {};
        struct stat named {};
        if (fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
            opened.st_ino == named.st_ino && opened.st_dev == named.st_dev) {
            return fd;
        }
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

PrintDataFiles::PrintDataFiles(TdmRegistryCtl& registry, platform::MessageSink& sink)
    : m_registry(registry), m_sink(sink) {}

void PrintDataFiles::SetNames(std::string computerName, std::string userName) {
    m_computerName = std::move(computerName);
    m_userName = std::move(userName);
}

void PrintDataFiles::EstablishDataDirectory(const std::string& commonAppData) {
    std::string dir =
        m_registry.GetRegString(HKEY_LOCAL_MACHINE, kSettingsKey, "DataFileDirectory");
    if (dir.empty()) {
        dir = commonAppData + (commonAppData.ends_with('/') ? "" : "/") + "Tessaroven";
        m_registry.SetRegString(HKEY_LOCAL_MACHINE, kSettingsKey, "DataFileDirectory", dir);
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
    return dir + (dir.ends_with('/') ? "" : "/") + "PrintData_" + m_userName + ".dat";
}

void PrintDataFiles::WritePrintRecord() {
    if (!DataDirectory().empty()) {
        const int fd = OpenForAppending(DataFilePath());
        if (fd < 0) {
            m_sink.Show(platform::SystemErrorText(errno), kErrorCaption, platform::MB_ICONSTOP);
            return;
        }
        const std::string line = FormatPrintRecord(completedJob);
        const off_t before = lseek(fd, 0, SEEK_END);
        size_t done = 0;
        int error = 0;
        while (done < line.size()) {
            const ssize_t n = write(fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error = n < 0 ? errno : EIO;
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (error != 0) {
            // A torn line would swallow the next record appended after it: cut it off again.
            if (before >= 0) {
                (void)ftruncate(fd, before);
            }
            close(fd);
            m_sink.Show(platform::SystemErrorText(error), kErrorCaption, platform::MB_ICONSTOP);
            return;
        }
        close(fd);
    }
    if (completedJob.machineName == "\\\\" + m_computerName) {
        UpdateCounters();
    }
}

void PrintDataFiles::UpdateCounters() {
    const std::int32_t pages = ClampedProduct(completedJob.pagesPrinted, completedJob.copies);
    const std::int32_t base =
        m_registry.GetRegInteger(HKEY_CURRENT_USER, kPerUserKey, "PagesPrinted");
    const std::int32_t sum = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        std::int64_t{base} + pages, std::numeric_limits<std::int32_t>::min(),
        std::numeric_limits<std::int32_t>::max()));
    m_registry.SetRegInteger(HKEY_CURRENT_USER, kPerUserKey, "PagesPrinted", sum);
    m_registry.SetRegInteger(HKEY_CURRENT_USER, kPerUserKey, "SheetsPrinted", sum);
    m_registry.SetRegString(HKEY_CURRENT_USER, kPerUserKey, "PrinterName",
                            completedJob.printerName);
}

bool PrintDataFiles::ReadPrintRecord(bool openFirst, const std::string& path) {
    if (openFirst && !m_cursor.Open(path)) {
        m_sink.Show(platform::SystemErrorText(errno), kErrorCaption, platform::MB_ICONSTOP);
        return false;
    }
    std::string_view piece;
    if (!m_cursor.Next(piece)) {
        m_cursor.Close();
        return false;
    }
    ParsePrintRecordLine(piece, m_lastRead);
    return true;
}
