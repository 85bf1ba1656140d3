#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/SystemTime.h"

// One job the watcher follows from the moment it was added until its printer's queue is empty.
struct JobEntry {
    std::int32_t jobId = -1;  // -1: the entry is free
    std::string printerName;
    std::string machineName;
    std::string userName;
    std::int32_t pagesPrinted = -1;
    std::int32_t totalPages = -1;
    std::int32_t copies = 1;
    std::string dataType;  // the document's format as the spooler names it; empty: not told
    platform::SystemTime timeAdded;
    bool ended = false;  // the spooler reported its end
    std::int64_t endedAt =
        0;  // when, by the spooler's clock (seconds since the epoch); 0: not told
};

// The jobs one watcher follows. It has a fixed number of entries: a job added while all are
// taken is not followed.
class JobTable {
  public:
    static constexpr int kCapacity = 200;

    // Frees every entry.
    void Clear();
    // The first entry that follows the job; nullptr when none does.
    JobEntry* Find(std::int32_t jobId);
    // The first free entry; nullptr when the table is full.
    JobEntry* FreeEntry() { return Find(-1); }
    void Release(JobEntry& entry) { entry.jobId = -1; }

    auto begin() { return m_entries.begin(); }
    auto end() { return m_entries.end(); }

  private:
    std::array<JobEntry, kCapacity> m_entries;
};
