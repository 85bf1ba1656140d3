#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "spool/PrinterSlots.h"
#include "platform/Clock.h"
#include "platform/Spooler.h"
#include "platform/SystemTime.h"
#include "storage/DiagnosticLog.h"
#include "storage/PrintDataFiles.h"

// One job the watcher follows from the moment it was added until its printer's queue is empty.
struct JobEntry {
    std::int32_t jobId = -1;  // -1: the entry is free
    std::string printerName;
    std::string machineName;
    std::string userName;
    std::int32_t pagesPrinted = -1;
    std::int32_t totalPages = -1;
    std::int32_t copies = 1;
    platform::SystemTime timeAdded;
};

// What the program around the watchers gives them.
struct SpoolWatchContext {
    platform::Spooler& spooler;
    PrinterSlots& printerSlots;
    PrintDataFiles& files;  // names of this computer and user, the record lock and writer
    DiagnosticLog& log;
    const platform::Clock& clock;
};

// Watches the print queue of one printer slot on a thread of its own: follows every job the
// spooler reports and, when the queue runs empty, hands each qualifying job over for recording.
// The thread starts when the object is made; destroying the object waits for the thread to end.
class SpoolWatchThread {
  public:
    static constexpr int kJobTableSize = 200;
    static constexpr std::uint32_t kWaitMs = 500;

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

    void SetBuffer();
    void UpdateBuffer(std::int32_t jobId);
    void UpdatePagesPrinted(std::int32_t jobId);
    void UpdateCopies(std::int32_t jobId);
    void DelBuffer(std::int32_t jobId);
    void FlushBuffer();
    JobEntry* FindEntry(std::int32_t jobId);
    void HandOver(const JobEntry& entry);
    std::string LocalMachineName() const;
    void Log(std::int32_t number, char kind, const std::string& text);

    SpoolWatchContext m_context;
    PrinterSlot* m_slot = nullptr;
    bool m_local = false;
    std::uint32_t m_changeFlags = 0;
    // What the current cycle has gathered about the job it reports (its time is not used).
    JobEntry m_current;
    bool m_flush = false;
    std::array<JobEntry, kJobTableSize> m_jobs;

    platform::PrinterHandle m_printer = -1;
    platform::ChangeHandle m_change = platform::INVALID_HANDLE_VALUE;
    platform::NotifyOptions m_options;

    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};
