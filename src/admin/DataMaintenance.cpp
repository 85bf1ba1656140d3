#include "admin/DataMaintenance.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unordered_set>

#include "platform/Host.h"
#include "platform/SharedFile.h"

namespace {

int MonthOf(const platform::SystemTime& t) {
    return t.wYear * 12 + t.wMonth;
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
    for (const auto& path : ListPrintDataFiles(dir, &stats.folderError)) {
        ++stats.fileCount;
        platform::SharedFile file;
        if (!file.OpenForReading(path)) {
            continue;  // counted, but neither sized nor read
        }
        stats.totalBytes += static_cast<std::uint64_t>(std::max<std::int64_t>(file.Size(), 0));
        file.Close();
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

std::int64_t CountPurgeableRecords(PrintDataFiles& files, const std::string& dir,
                                   int selectedMonth) {
    std::int64_t count = 0;
    for (const auto& path : ListPrintDataFiles(dir)) {
        for (bool open = true; files.ReadPrintRecord(open, path); open = false) {
            const PrintRecord& r = files.LastRead();
            if (r.jobId != -1 && MonthOf(r.time) <= selectedMonth) {
                ++count;
            }
        }
    }
    return count;
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

namespace {

// Opens the data file at path and takes its lock, making sure that path still names the file
// locked: a purge running at the same time may have put a new file there meanwhile.
bool OpenLocked(const std::string& path, std::chrono::milliseconds wait, platform::SharedFile& file,
                PurgedFile& result) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (!file.OpenForUpdate(path)) {
            // A client that opens files for reading or writing only has no locks to offer
            // either: the file is read without one.
            if (errno == EOPNOTSUPP && file.OpenForReading(path)) {
                return true;
            }
            // Without write access the lock cannot be had, and without it appends get lost.
            result.error = platform::SystemErrorText(errno);
            result.trouble = PurgedFile::Trouble::kSystem;
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        const auto locked = file.Lock(
            now < deadline ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                           : std::chrono::milliseconds(0));
        if (locked == platform::SharedFile::LockResult::Unsupported ||
            (locked == platform::SharedFile::LockResult::Locked && file.IsAt(path))) {
            return true;
        }
        file.Close();
        if (locked == platform::SharedFile::LockResult::TimedOut ||
            std::chrono::steady_clock::now() >= deadline) {
            result.error = "in use by another process";
            result.trouble = PurgedFile::Trouble::kInUse;
            return false;
        }
    }
}

// Gives the new file the old one's owner and rights, so that its user's monitor can go on
// appending. Only an administrator may give a file away; otherwise the owner must still reach
// it through its group (or through everyone's rights). False when that cannot be made so.
bool TakeOverOwnership(platform::SharedFile& out, const platform::FileOwnership& old) {
    if (out.SetOwner(old.owner, old.group)) {
        return out.SetMode(old.mode);
    }
    // A network client without owners and rights of its own: the server decides.
    if (errno == EOPNOTSUPP || errno == ENOSYS) {
        return true;
    }
    if (platform::FileOwnership now; out.Ownership(now) && now.owner == old.owner) {
        out.SetGroup(old.group);
        return out.SetMode(old.mode);
    }
    const bool groupKept = out.SetGroup(old.group);
    if (groupKept) {
        return out.SetMode(old.mode | 0060);
    }
    return (old.mode & 0006) == 0006 && out.SetMode(old.mode);
}

// Whether every line of kept is in the file at path.
bool HoldsEveryLine(const std::string& path, const std::string& kept) {
    RecordCursor cursor;
    if (!cursor.Open(path)) {
        return false;
    }
    std::unordered_set<std::string> present;
    std::string_view piece;
    PrintRecord record;
    while (cursor.Next(piece)) {
        ParsePrintRecordLine(piece, record);
        if (record.jobId != -1) {
            present.insert(FormatStoredRecord(record));
        }
    }
    if (cursor.Error() != 0) {
        return false;
    }
    for (size_t begin = 0, end; (end = kept.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        if (!present.contains(kept.substr(begin, end + 1 - begin))) {
            return false;
        }
    }
    return true;
}

bool WriteNewFile(const std::string& path, const std::string& bytes,
                  const platform::FileOwnership& ownership) {
    platform::SharedFile file;
    if (!file.CreateNew(path)) {
        return false;
    }
    TakeOverOwnership(file, ownership);
    return file.WriteAll(bytes) && file.Sync();
}

// The original vanished under a failed replacement: the kept records go back under its name
// when that is free, stay put when what is there now holds them, and otherwise get a name of
// their own that every reader lists. Only when all of that fails does the copy stay under its
// temporary name, and the report says where.
void KeepOrphanedRecords(platform::ReplacementFile& out, const std::string& path,
                         const std::string& kept, const platform::FileOwnership& ownership,
                         PurgedFile& result) {
    result.orphaned = true;
    if (WriteNewFile(path, kept, ownership)) {
        result.rewritten = true;
        result.error = "it vanished during the rewrite; the records kept were put back";
        result.trouble = PurgedFile::Trouble::kPutBack;
        return;
    }
    if (errno == EEXIST && HoldsEveryLine(path, kept)) {
        result.error =
            "another process replaced it meanwhile; its new file holds every record "
            "kept";
        result.trouble = PurgedFile::Trouble::kReplacedWhole;
        return;
    }
    for (int n = 1; n < 100; ++n) {
        const std::string other = KeptCopyPath(path, n);
        if (WriteNewFile(other, kept, ownership)) {
            result.error =
                "another process replaced it meanwhile; the records kept are in " + other;
            result.trouble = PurgedFile::Trouble::kReplacedKeptIn;
            result.keptIn = other;
            return;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    const std::string temp = out.TemporaryPath();
    if (!temp.empty()) {
        out.Keep();
        result.error = "it vanished during the rewrite; the records kept are in " + temp;
        result.trouble = PurgedFile::Trouble::kVanishedKeptIn;
        result.keptIn = temp;
    } else {
        result.error =
            "it vanished during the rewrite, and the records kept could not be "
            "stored anywhere";
        result.trouble = PurgedFile::Trouble::kLost;
    }
}

}  // namespace

PurgeReport PurgePrintData(PrintDataFiles& files, const std::string& dir, int selectedMonth,
                           platform::MessageSink& sink, const PurgeFaults* faults) {
    PurgeReport report;
    platform::RemoveStaleReplacements(dir);
    for (const auto& path : ListPrintDataFiles(dir, &report.folderError)) {
        PurgedFile& result = report.files.emplace_back();
        result.path = path;

        // Holding the file's lock keeps other processes' appends out until the new file is in
        // place; they then find it under the same name.
        platform::SharedFile original;
        if (!OpenLocked(path, files.LockWait(), original, result)) {
            sink.Show(result.error, "Tessaroven Error", platform::kIconStop);
            continue;
        }
        platform::FileOwnership ownership;
        original.Ownership(ownership);

        platform::ReplacementFile out;
        if (!out.Create(dir)) {
            result.error = platform::SystemErrorText(errno);
            result.trouble = PurgedFile::Trouble::kSystem;
            sink.Show("DATA File open error", "error", platform::kIconStop);
            report.stopped = true;
            break;
        }

        std::string kept;
        RecordCursor cursor;
        cursor.Open(std::move(original));
        if (faults != nullptr) {
            cursor.FailReadsAfter(faults->failReadAfter);
        }
        PrintRecord record;
        std::string_view piece;
        while (cursor.Next(piece)) {
            ParsePrintRecordLine(piece, record);
            if (record.jobId == -1 || MonthOf(record.time) <= selectedMonth) {
                ++result.removed;
                result.removedRecords += record.jobId != -1 ? 1 : 0;
                continue;
            }
            kept += FormatStoredRecord(record);
            ++result.kept;
        }
        // Cutting the file short at a failed read would lose everything after it.
        if (cursor.Error() != 0) {
            result.error = platform::SystemErrorText(cursor.Error());
            result.trouble = PurgedFile::Trouble::kSystem;
            sink.Show(result.error, "Tessaroven Error", platform::kIconStop);
            continue;
        }
        if (!TakeOverOwnership(out, ownership)) {
            result.error = "its owner could no longer write to a rewritten copy";
            result.trouble = PurgedFile::Trouble::kOwnerCannotWrite;
            sink.Show(path + ": " + result.error, "Tessaroven Error", platform::kIconStop);
            continue;
        }
        if (!out.WriteAll(kept) || !out.Sync()) {
            result.error = platform::SystemErrorText(errno);
            result.trouble = PurgedFile::Trouble::kSystem;
            sink.Show("DATA File open error", "error", platform::kIconStop);
            report.stopped = true;
            break;
        }
        if (faults != nullptr && faults->reached) {
            faults->reached("written");
        }
        // Where an open file cannot be replaced in one step, the original is closed first (and
        // its lock with it): appends made on this computer meanwhile may reach the old file, and
        // their writer puts them into the new one, as it does for another computer's.
        const bool closeFirst = (faults != nullptr && faults->closeBeforeReplacing) ||
                                !platform::ReplacesOpenFilesInOneStep(dir);
        if (closeFirst) {
            cursor.Close();
        }
        const bool failRename = faults != nullptr && faults->failRename;
        if (failRename || !out.Replace(path)) {
            const std::string why = platform::SystemErrorText(failRename ? EPERM : errno);
            // Without the original open, only its contents can tell that it is still there.
            if (closeFirst ? HoldsEveryLine(path, kept) : cursor.File().IsAt(path)) {
                result.error = why;  // the original is still there, whole: nothing was lost
                result.trouble = PurgedFile::Trouble::kSystem;
                continue;
            }
            // Someone removed or replaced the original meanwhile (another computer's purge, on
            // a share): our copy may be the only one of the records kept.
            KeepOrphanedRecords(out, path, kept, ownership, result);
            sink.Show(path + ": " + result.error, "Tessaroven Error", platform::kIconStop);
            continue;
        }
        platform::SyncFolder(dir);
        if (faults != nullptr && faults->reached) {
            faults->reached("renamed");
        }
        result.rewritten = true;
    }
    return report;
}
