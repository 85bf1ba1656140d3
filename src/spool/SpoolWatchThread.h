#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/Spooler.h"
#include "platform/SystemTime.h"
#include "spool/JobTable.h"
#include "spool/PageCountThread.h"
#include "spool/PrinterSlots.h"
#include "storage/DiagnosticLog.h"
#include "storage/PrintDataFiles.h"

// What the program around the watchers gives them.
struct SpoolWatchContext {
    platform::Spooler& spooler;
    PrinterSlots& printerSlots;
    PrintDataFiles& files;  // names of this computer and user, the record lock and writer
    DiagnosticLog& log;
    const platform::Clock& clock;
    // Counts what the spooler could not; none: such jobs are not recorded.
    PageCountThread* pageCounter = nullptr;
};

// Watches the print queue of one printer slot on a thread of its own: follows every job the
// spooler reports and, when the queue runs empty, hands each qualifying job over for recording.
// The thread starts when the object is made; destroying the object waits for the thread to end.
class SpoolWatchThread {
  public:
    // How long an idle watcher waits before it looks at its stop request by itself: a stop wakes
    // it (WakeWaiters), so this only bounds a spooler that cannot be woken. Idle watchers of a
    // thousand queues then cost nothing.
    static constexpr std::uint32_t kWaitMs = 60'000;

    explicit SpoolWatchThread(const SpoolWatchContext& context);
    ~SpoolWatchThread();
    SpoolWatchThread(const SpoolWatchThread&) = delete;
    SpoolWatchThread& operator=(const SpoolWatchThread&) = delete;

    // True once the thread body has returned, however it ended.
    bool Finished() const { return m_finished.load(); }

    // The notification options every watcher asks for.
    static platform::NotifyOptions WatchOptions();

  private:
    void Execute();
    bool OpenPrinterAndWatch(int openFailLine, int openedLine, const char* openedText,
                             int firstFailLine);
    void ClosePrinterAndWatch();
    // One round after the change handle was signalled; false when the watch has ended: the
    // printer had to be opened again and could not be, or the spooler deleted it.
    bool RunCycle();
    void ProcessEntry(const platform::NotifyInfoData& entry);

    // Follows the job the current cycle reported as added, unless the table is full.
    void FollowCurrentJob();
    void UpdateTotalPages(std::int32_t jobId);
    void UpdatePagesPrinted(std::int32_t jobId);
    void UpdateCopies(std::int32_t jobId);
    // Stops following a job: hands it over for recording when it qualifies, then frees its entry.
    void FinishJob(std::int32_t jobId);
    // The queue ran empty (or the printer is gone): every followed job is finished.
    void FinishAllJobs();
    void HandOver(const JobEntry& entry);
    std::string LocalMachineName() const;
    void Log(std::int32_t number, char kind, const std::string& text);

    SpoolWatchContext m_context;
    PrinterSlot* m_slot = nullptr;
    bool m_local = false;
    std::uint32_t m_changeFlags = 0;
    // What the current cycle has gathered about the job it reports (its time is not used).
    JobEntry m_current;
    bool m_queueEmptied = false;
    JobTable m_jobs;

    platform::PrinterHandle m_printer = -1;
    platform::ChangeHandle m_change = platform::kInvalidChangeHandle;
    platform::NotifyOptions m_options;

    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};
