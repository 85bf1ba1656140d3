#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Clock.h"

// Appends numbered, time-stamped diagnostic lines to a text file, one open and close per line.
// Two switches decide what is written; both start off.
class DiagnosticLog {
  public:
    explicit DiagnosticLog(const platform::Clock& clock = platform::SystemClock::Instance());

    // kind is 'D' for progress lines (written only with the debug switch on) or 'E' for failures.
    // Any thread may call it; a failure to write is not reported.
    void Write(std::int32_t number, char kind, const std::string& text = {});

    void SetFilePath(std::string path) { m_filePath = std::move(path); }
    void SetTag(std::string tag) { m_tag = std::move(tag); }
    void SetEnabled(bool on) { m_enabled = on; }
    void SetDebug(bool on) { m_debug = on; }

    const std::string& FilePath() const { return m_filePath; }

    // "yyyymmddhhmm" + kind + tag (four characters) + number (at least four digits) + " " + text.
    static std::string FormatLine(const platform::SystemTime& stamp, char kind,
                                  const std::string& tag, std::int32_t number,
                                  const std::string& text);

  private:
    const platform::Clock& m_clock;
    std::mutex m_lock;
    std::atomic<bool> m_enabled{false};
    std::atomic<bool> m_debug{false};
    std::string m_filePath;
    std::string m_tag;
};

// The global instance created at start-up; the program writes through the tray controller's own
// one.
extern DiagnosticLog* diagnosticLog;
