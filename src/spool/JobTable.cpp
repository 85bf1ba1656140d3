#include "spool/JobTable.h"

void JobTable::Clear() {
    for (auto& entry : m_entries) {
        entry.jobId = -1;
    }
}

JobEntry* JobTable::Find(std::int32_t jobId) {
    for (auto& entry : m_entries) {
        if (entry.jobId == jobId) {
            return &entry;
        }
    }
    return nullptr;
}
