#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MessageSink.h"
#include "platform/SharedFile.h"
#include "platform/SystemTime.h"
#include "storage/PendingRecords.h"
#include "storage/Registry.h"

// One finished job as a watcher hands it over for recording.
struct CompletedJob {
    std::int32_t jobId = 0;
    platform::SystemTime time;
    std::string printerName;
    std::string machineName;
    std::string userName;
    std::int32_t totalPages = 0;
    std::int32_t pagesPrinted = 0;
    std::int32_t copies = 0;
    // When the spooler says the job ended (seconds since the epoch); 0 when it did not say.
    std::int64_t endedAt = 0;
};

// Who records a finished job on this computer: this program, another one (the system service),
// or not known yet (the service has just stopped and may be back in a moment).
enum class RecordOwner { Here, Elsewhere, Undecided };

// One line of a print data file as the reader gives it back; the page figures are the stored
// products (pages x copies). jobId is -1 when the line held no complete record.
struct PrintRecord {
    std::int32_t jobId = -1;
    platform::SystemTime time;
    std::string printerName;
    std::string machineName;
    std::string userName;
    std::int32_t totalPagesTimesCopies = 0;
    std::int32_t pagesPrintedTimesCopies = 0;
};

// Serialises the completed-job fields, the writer, the reader cursor and the last-read record.
// Watch threads block on it; the interface thread keeps processing its events while it waits.
class RecordLock {
  public:
    bool Acquire();
    void Release();

  private:
    std::mutex m_mutex;
};

// The line a record is stored as, ending in CR CR LF. Commas and line breaks inside the names
// become '_' so that one job can never split or forge a record; the products are computed in 64
// bits and kept within the 32-bit range; names too long for the 255 bytes the reader takes as
// one line are cut on a character boundary, the longest first.
std::string FormatPrintRecord(const CompletedJob& job);

// A record read back, written again in the same format (its page figures are already products).
std::string FormatStoredRecord(const PrintRecord& record);

// The records a reader wants: one printer's (the name as stored) of one month. A line whose
// record is not one of them is given up as soon as that shows, like a line without a record:
// a report over a million lines then parses only the few it counts.
struct RecordFilter {
    std::string_view printerName;
    int year = 0;
    int month = 0;
    // A range of months (year * 12 + month, both ends included) instead of year and month, when
    // firstMonth is not 0.
    int firstMonth = 0;
    int lastMonth = 0;
    bool anyPrinter = false;  // every printer's records instead of printerName's
    // The printer as a line in the legacy code page names it (LegacyRecordForm), when that
    // differs: such lines pass too, and are told apart once decoded.
    std::string legacyPrinterName;
};

// Parses one line (or one piece of an over-long line) into rec exactly as the reader does: rec
// keeps whatever a failed step did not reach, and its jobId is -1 unless the record is complete
// (and passes the filter, when there is one).
void ParsePrintRecordLine(std::string_view line, PrintRecord& rec,
                          const RecordFilter* filter = nullptr);

// Reads a file in the pieces the record reader works on: a line including its LF, or at most 255
// bytes of a longer one.
class RecordCursor {
  public:
    static constexpr size_t kMaxPiece = 255;

    ~RecordCursor();
    bool Open(const std::string& path);  // errno tells why it failed
    void Open(platform::SharedFile file);
    void Close();
    bool IsOpen() const { return m_file.IsOpen(); }
    const platform::SharedFile& File() const { return m_file; }
    // False at the end of the file, or when reading failed (see Error).
    bool Next(std::string_view& piece);
    // The errno of a failed read, 0 when the file was read to its end.
    int Error() const { return m_error; }
    // Lets reading fail with EIO once this many bytes were read, as a failing disk or share
    // would (for tests of what relies on Error).
    void FailReadsAfter(std::int64_t bytes) { m_failAfter = bytes; }

  private:
    bool Fill();

    platform::SharedFile m_file;
    bool m_eof = false;
    int m_error = 0;
    std::int64_t m_read = 0;
    std::int64_t m_failAfter = -1;
    std::vector<char> m_buf;
    size_t m_begin = 0;
    size_t m_end = 0;
};

// Opens a print data file for one append, holding its lock (released by closing the file) and
// making sure the file is the one now at that path. The lock is waited for at most lockWait;
// after that the file is opened without it and waitedInVain is set. False with errno on failure;
// problem, when given, then says what is wrong where errno alone would not (a file in a
// protected shared folder that belongs to someone else).
bool OpenForAppending(const std::string& path, platform::SharedFile& file,
                      std::chrono::milliseconds lockWait, bool& waitedInVain,
                      std::string* problem = nullptr);

// The files "PrintData*.dat" (name matched without case, as the shared folder may come from
// another system) directly in dir, sorted by name. Only regular files: whatever else someone
// put there under such a name (a link, a FIFO, a device, a folder) is left out. A folder that
// cannot be listed gives no files and its errno in error.
std::vector<std::string> ListPrintDataFiles(const std::string& dir, int* error = nullptr);

// Where a purge keeps the records of dataFile it could not put back under that name (the nth
// such copy): "<name>-kept<n>.dat", which every reader lists.
std::string KeptCopyPath(const std::string& dataFile, int n);
// Whether name (without folder) is such a copy of the data file named dataFileName.
bool IsKeptCopyOf(const std::string& name, const std::string& dataFileName);

// What the command line says when the data directory cannot be listed.
std::string UnreachableFolderText(const std::string& dir, int error);
// The same in the windows' words, for their message boxes.
std::string UnreachableFolderMessage(const std::string& dir, int error);

// The name of the data file that only this user's program on this computer writes:
// "PrintData_<user>@<computer>.dat". Characters that a file name cannot hold, or that would
// make two pairs of names meet in one file ('@', '%', '/', '\\', control characters and the
// few a Windows server refuses), are written as %XX; the name stays within what a file system
// takes.
std::string PrintDataFileName(const std::string& userName, const std::string& computerName);

// The print data files of this program: where they are, the record writer and reader, and the lock
// around both.
class PrintDataFiles {
  public:
    PrintDataFiles(Registry& registry, platform::MessageSink& sink);

    // The computer and user names are set once, before any watcher starts.
    void SetNames(std::string computerName, std::string userName);
    const std::string& ComputerName() const { return m_computerName; }
    const std::string& UserName() const { return m_userName; }
    // Jobs from this computer go under the logged-on user unless this is set (the system
    // service: nobody is logged on, each job keeps its owner).
    void SetRecordJobOwners(bool record) { m_recordJobOwners = record; }
    bool RecordsJobOwners() const { return m_recordJobOwners; }
    // Asked for every job at the moment it would be written, by when the job ended: a job that
    // another program of this computer (the system service) records is neither written nor
    // counted here; one whose owner is not known yet waits and is asked about again with the
    // waiting records (RetryPendingRecords), and is written at the latest when this program
    // stops (FinishUndecided).
    void SetRecordOwner(
        std::function<RecordOwner(std::int32_t jobId, std::int64_t endedAt)> owner) {
        m_recordOwner = std::move(owner);
    }
    // Writes the jobs still waiting for their owner to be known: nothing is lost at a stop.
    void FinishUndecided();
    // What happened to the jobs, for the system's journal (standard error): with all set (the
    // system service) everything, else only what went wrong.
    void SetJournalAll(bool all) { m_journalAll = all; }
    void Journal(const std::string& text, bool problem);
    // Records written by this program since it started.
    long RecordsWritten() const { return m_recordsWritten.load(); }
    // The jobs among the last few thousand written whose end came after a time: at its stop the
    // system service names those, whose end is too close to the stop to tell by time alone.
    std::vector<std::int32_t> RecordedEndingAfter(std::int64_t after) const;
    // A job left unrecorded because the spooler hid its owner. Where nobody else records it (the
    // system service), that is a loss: said once, with what would let the service see owners.
    void OwnerHidden(const std::string& printerName, std::int32_t jobId);

    // Reads "DataFileDirectory"; when it is missing or empty, uses "<commonAppData>/Tessaroven"
    // and stores that. Creates the folder with its parents.
    void EstablishDataDirectory(const std::string& commonAppData);
    void SetDataDirectory(std::string dir);
    std::string DataDirectory() const;

    // The file this user's program on this computer writes, in the current data directory.
    std::string DataFilePath() const;

    // Keeps records that cannot be written yet in path (on this computer) until they can.
    // Without it they wait in memory only.
    void SetPendingStore(const std::string& path);
    // Tries records that wait again now (the program calls this from time to time).
    void RetryPendingRecords();
    size_t PendingRecordCount() const { return m_pending.Count(); }
    // How long a record's writer waits for it to reach the data file before leaving it waiting.
    void SetWriteWait(std::chrono::milliseconds wait) { m_writeWait = wait; }

    bool AcquireRecordLock() { return m_lock.Acquire(); }
    void ReleaseRecordLock() { m_lock.Release(); }

    // Filled by a watcher under the record lock, then written by WritePrintRecord.
    CompletedJob completedJob;

    // Appends completedJob to this user's file and, for a job from this computer, updates the
    // per-user counters. The caller holds the record lock. A record that cannot be written now
    // waits on this computer and is written when the folder can be reached again.
    void WritePrintRecord();

    // openFirst opens path (closing a cursor still open); otherwise reading goes on where the last
    // call stopped. True when a line was consumed (see LastRead().jobId); false when the file could
    // not be opened or has ended. The caller holds the record lock for the whole pass. A complete
    // record's names come back in UTF-8 (DecodeRecordNames).
    bool ReadPrintRecord(bool openFirst, const std::string& path,
                         const RecordFilter* filter = nullptr);
    const PrintRecord& LastRead() const { return m_lastRead; }
    // After ReadPrintRecord returned false past the open: the errno of a failed read, 0 when the
    // file was read to its end.
    int ReadError() const { return m_readError; }

    // How long the writer waits for a data file's lock before it writes without it.
    void SetLockWait(std::chrono::milliseconds wait) {
        m_lockWait = wait;
        m_pending.SetLockWait(wait);
    }
    std::chrono::milliseconds LockWait() const { return m_lockWait; }
    // Where notes on such waits go (default: standard error and the diagnostic log).
    void SetDiagnostics(std::function<void(const std::string&)> out) {
        m_diagnostics = out;
        m_pending.SetDiagnostics(std::move(out));
    }
    PendingRecords& Pending() { return m_pending; }

  private:
    bool m_recordJobOwners = false;
    std::atomic<bool> m_hiddenOwnerAnnounced{false};
    std::function<RecordOwner(std::int32_t, std::int64_t)> m_recordOwner;
    static constexpr size_t kRecentKept = 4096;
    std::deque<std::pair<std::int32_t, std::int64_t>> m_recent;
    mutable std::mutex m_undecidedMutex;
    std::vector<CompletedJob> m_undecided;
    bool m_journalAll = false;
    std::atomic<long> m_recordsWritten{0};
    void WriteRecordNow();
    void DecideWaitingJobs(bool finally);

    void UpdateCounters();
    void Diagnose(const std::string& text);
    void AnnounceWaitingRecords();

    Registry& m_registry;
    platform::MessageSink& m_sink;
    RecordLock m_lock;
    std::string m_computerName;
    std::string m_userName;
    mutable std::mutex m_dirMutex;
    std::string m_dataDirectory;
    RecordCursor m_cursor;
    PrintRecord m_lastRead;
    int m_readError = 0;
    std::chrono::milliseconds m_lockWait{10000};
    std::function<void(const std::string&)> m_diagnostics;
    std::chrono::milliseconds m_writeWait{2000};
    std::atomic<bool> m_waitingAnnounced{false};
    // Last, so that its thread stops before the rest goes.
    PendingRecords m_pending;
};
