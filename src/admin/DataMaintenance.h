#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/MessageSink.h"
#include "platform/SystemTime.h"
#include "storage/PrintDataFiles.h"

// -1, 0 or 1 by year, then month, then day; the time of day is ignored.
int CompareRecordDates(const platform::SystemTime& a, const platform::SystemTime& b);

struct DataStatistics {
    int fileCount = 0;
    std::uint64_t totalBytes = 0;
    bool hasRecords = false;  // earliest, latest and firstMonth are set
    platform::SystemTime earliest;
    platform::SystemTime latest;
    int firstMonth = 0;   // year * 12 + month of the earliest record; 0 without records
    int folderError = 0;  // errno when dir could not be listed
};

// Counts, sizes and reads every print data file of dir. The caller holds the record lock.
DataStatistics ScanDataStatistics(PrintDataFiles& files, const std::string& dir);

std::string FormatRecordDay(const platform::SystemTime& t);  // "%4d/%02d/%02d"
std::string FormatPurgeMonth(int selectedMonth);             // "%4d年%02d月"

struct PurgedFile {
    std::string path;
    long removed = 0;         // records of the chosen months and lines that were no complete record
    long removedRecords = 0;  // of those, the complete records
    long kept = 0;
    bool rewritten = false;
    bool orphaned = false;  // the original vanished midway: error says where its records are
    std::string error;      // why the file was left as it was
    // What error says, for those who word it themselves.
    enum class Trouble {
        kNone,
        kSystem,            // error is the system's text for the failure
        kInUse,             // its lock was not had in time
        kOwnerCannotWrite,  // a rewritten copy would have shut its owner out
        kPutBack,           // it vanished midway; the records kept went back under its name
        kReplacedWhole,     // replaced by another process; the new file holds every record kept
        kReplacedKeptIn,    // replaced by another process; the records kept are in keptIn
        kVanishedKeptIn,    // it vanished midway; the records kept are in keptIn
        kLost,              // it vanished midway; the records kept could not be stored
    };
    Trouble trouble = Trouble::kNone;
    std::string keptIn;
};

struct PurgeReport {
    std::vector<PurgedFile> files;
    bool stopped = false;  // a temporary file could not be written: later files untouched
    int folderError = 0;   // errno when dir could not be listed
};

// The complete records of selectedMonth (year * 12 + month) and all earlier months in the print
// data files of dir: the records a purge up to that month removes. The caller holds the record
// lock.
std::int64_t CountPurgeableRecords(PrintDataFiles& files, const std::string& dir,
                                   int selectedMonth);

// Points where a test can stop or break a purge.
struct PurgeFaults {
    std::function<void(const char* step)> reached;  // "written" (before the rename), "renamed"
    bool failRename = false;
    // Acts as on a file system that cannot replace a file held open in one step.
    bool closeBeforeReplacing = false;
    std::int64_t failReadAfter = -1;  // bytes of a data file read before reading fails
};

// Removes from every print data file of dir the records of selectedMonth (year * 12 + month) and
// all earlier months, and every line that is no complete record; the rest is rewritten in the
// record format. Each file is replaced in one step by a completed, flushed copy: at any moment the
// data file is either the old file or the new one, whole. Appends by other processes wait for
// the rewrite and then go to the new file. The caller holds the record lock.
PurgeReport PurgePrintData(PrintDataFiles& files, const std::string& dir, int selectedMonth,
                           platform::MessageSink& sink, const PurgeFaults* faults = nullptr);
