#include "admin/PrintDataMaintenance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/Host.h"

namespace {

int MonthOf(const platform::SystemTime& t) {
    return t.wYear * 12 + t.wMonth;
}

// Writes everything or reports why not.
bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void SyncDirectory(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

int CompareRecordDates(const platform::SystemTime& a, const platform::SystemTime& b) {
    auto key = [](const platform::SystemTime& t) {
        return (std::uint64_t{t.wYear} << 32) | (std::uint64_t{t.wMonth} << 16) | t.wDay;
    };
    return key(a) < key(b) ? -1 : key(a) > key(b) ? 1 : 0;
}

DataStatistics ScanDataStatistics(PrintDataFiles& files, const std::string& dir) {
    DataStatistics stats;
    for (const auto& path : ListPrintDataFiles(dir)) {
        ++stats.fileCount;
        struct stat st {};
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;  // counted, but neither sized nor read
        }
        if (fstat(fd, &st) == 0) {
            stats.totalBytes += static_cast<std::uint64_t>(st.st_size);
        }
        close(fd);
        for (bool open = true; files.ReadPrintRecord(open, path); open = false) {
            const PrintRecord& r = files.LastRead();
            if (r.jobId == -1) {
                continue;
            }
            if (!stats.hasRecords) {
                stats.earliest = stats.latest = r.time;
                stats.hasRecords = true;
            } else if (CompareRecordDates(r.time, stats.earliest) < 0) {
                stats.earliest = r.time;
            } else if (CompareRecordDates(r.time, stats.latest) > 0) {
                stats.latest = r.time;
            }
        }
    }
    // Files without a single complete record offer nothing to delete.
    if (stats.totalBytes == 0) {
        stats.hasRecords = false;
    }
    stats.firstMonth = stats.hasRecords ? MonthOf(stats.earliest) : 0;
    return stats;
}

std::string FormatRecordDay(const platform::SystemTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%4d/%02d/%02d", t.wYear, t.wMonth, t.wDay);
    return buf;
}

std::string FormatPurgeMonth(int selectedMonth) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%4d年%02d月", (selectedMonth - 1) / 12,
                  (selectedMonth - 1) % 12 + 1);
    return buf;
}

PurgeReport PurgePrintData(PrintDataFiles& files, const std::string& dir, int selectedMonth,
                           platform::MessageSink& sink, const PurgeFaults* faults) {
    PurgeReport report;
    for (const auto& path : ListPrintDataFiles(dir)) {
        PurgedFile& result = report.files.emplace_back();
        result.path = path;

        // Holding the file's lock keeps other processes' appends out until the new file is in
        // place; they then find it under the same name.
        const int original = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (original < 0) {
            result.error = platform::SystemErrorText(errno);
            sink.Show(result.error, "Tessaroven Error", platform::MB_ICONSTOP);
            continue;
        }
        flock(original, LOCK_EX);
        struct stat st {};
        fstat(original, &st);

        std::string temp = dir + (dir.ends_with('/') ? "" : "/") + "prnXXXXXX";
        const int out = mkostemp(temp.data(), O_CLOEXEC);
        if (out < 0) {
            close(original);
            result.error = platform::SystemErrorText(errno);
            sink.Show("DATA File open error", "error", platform::MB_ICONSTOP);
            report.stopped = true;
            break;
        }

        std::string kept;
        bool readable = false;
        for (bool open = true; files.ReadPrintRecord(open, path); open = false) {
            readable = true;
            const PrintRecord& r = files.LastRead();
            if (r.jobId == -1 || MonthOf(r.time) <= selectedMonth) {
                ++result.removed;
                continue;
            }
            kept += FormatStoredRecord(r);
            ++result.kept;
        }
        // An empty file reads nothing either; one that cannot be read at all stays as it is.
        if (!readable && st.st_size > 0) {
            close(out);
            unlink(temp.c_str());
            close(original);
            result.error = "cannot be read";
            continue;
        }

        // Same owner and rights as before, so that its user's monitor can go on appending.
        fchmod(out, st.st_mode & 07777);
        if (fchown(out, st.st_uid, st.st_gid) != 0) {
            // Only an administrator may give a file away; the rights above still apply.
        }
        const bool written = WriteAll(out, kept) && fsync(out) == 0;
        const int writeError = errno;
        close(out);
        if (!written) {
            unlink(temp.c_str());
            close(original);
            result.error = platform::SystemErrorText(writeError);
            sink.Show("DATA File open error", "error", platform::MB_ICONSTOP);
            report.stopped = true;
            break;
        }
        if (faults != nullptr && faults->reached) {
            faults->reached("written");
        }
        const bool renamed =
            !(faults != nullptr && faults->failRename) && rename(temp.c_str(), path.c_str()) == 0;
        if (!renamed) {
            result.error =
                platform::SystemErrorText(faults != nullptr && faults->failRename ? EPERM : errno);
            unlink(temp.c_str());
            close(original);
            continue;
        }
        SyncDirectory(dir);
        if (faults != nullptr && faults->reached) {
            faults->reached("renamed");
        }
        result.rewritten = true;
        close(original);
    }
    return report;
}
