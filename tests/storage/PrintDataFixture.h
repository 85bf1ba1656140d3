#pragma once

#include <string>
#include <vector>

#include "storage/PrintDataFiles.h"
#include "support/TestSupport.h"

namespace testsupport {

// A user "alice" on computer PC1 with real stores and a private data directory.
struct PrintDataFixture {
    Stores stores;
    Registry reg{stores.machine, stores.user};
    CapturingSink sink;
    PrintDataFiles files{reg, sink};
    TempDir data;

    PrintDataFixture() {
        files.SetNames("PC1", "alice");
        files.SetDataDirectory(data.Path());
    }

    // Hands one job over as a watcher does.
    void Write(const CompletedJob& job) {
        files.AcquireRecordLock();
        files.completedJob = job;
        files.WritePrintRecord();
        files.ReleaseRecordLock();
    }

    // The last-read record after every reader call over the file that consumed a line.
    std::vector<PrintRecord> ReadAll(const std::string& path) {
        std::vector<PrintRecord> out;
        files.AcquireRecordLock();
        for (bool open = true; files.ReadPrintRecord(open, path); open = false) {
            out.push_back(files.LastRead());
        }
        files.ReleaseRecordLock();
        return out;
    }
};

// The job ids of records, in their order.
inline std::vector<std::int32_t> Ids(const std::vector<PrintRecord>& records) {
    std::vector<std::int32_t> ids;
    for (const auto& r : records) {
        ids.push_back(r.jobId);
    }
    return ids;
}

}  // namespace testsupport
