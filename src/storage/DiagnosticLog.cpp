#include "storage/DiagnosticLog.h"

#include <cstdio>

#include "platform/EventPump.h"
#include "platform/Host.h"

DiagnosticLog* diagnosticLog = nullptr;

DiagnosticLog::DiagnosticLog(const platform::Clock& clock) : m_clock(clock) {}

std::string DiagnosticLog::FormatLine(const platform::SystemTime& stamp, char kind,
                                      const std::string& tag, std::int32_t number,
                                      const std::string& text) {
    char head[64];
    const std::string shortTag = tag.substr(0, 4);
    std::snprintf(head, sizeof head, "%04u%02u%02u%02u%02u%c%4s%04d ", unsigned{stamp.wYear},
                  unsigned{stamp.wMonth}, unsigned{stamp.wDay}, unsigned{stamp.wHour},
                  unsigned{stamp.wMinute}, kind, shortTag.c_str(), number);
    return std::string(head) + text + "\n";
}

void DiagnosticLog::Write(std::int32_t number, char kind, const std::string& text) {
    // The stamp is that of the call: a line that waits for the lock keeps the minute it was asked
    // for.
    const platform::SystemTime stamp = m_clock.Now();
    if (!m_enabled) {
        return;
    }
    if (!m_debug && kind == 'D') {
        return;
    }
    platform::LockProcessingEvents(m_lock);
    std::lock_guard held(m_lock, std::adopt_lock);
    // Text mode: lines end as this system's text files do (CR LF on Windows).
    FILE* f = platform::OpenFile(m_filePath, "a");
    if (f == nullptr) {
        return;
    }
    const std::string line = FormatLine(stamp, kind, m_tag, number, text);
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
}
