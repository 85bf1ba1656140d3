#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A record on its way to a data file.
struct PendingRecord {
    std::string path;  // the data file it belongs to
    std::string line;  // the whole record line with its line end
};

// Appends lines to the end of the data file at path, holding its lock for at most lockWait.
// Lines the file already ends with (a copy written before a crash or a lost answer from the
// server) are not written again. False with errno when the file could not be written.
// end, when given, receives the file's size afterwards; start, its size when it was opened (0
// when this call made it); problem, what is wrong where errno alone would not say it.
bool AppendRecords(const std::string& path, const std::vector<std::string>& lines,
                   std::chrono::milliseconds lockWait, bool& waitedInVain,
                   std::int64_t* end = nullptr, std::int64_t* start = nullptr,
                   std::string* problem = nullptr);

// Records waiting to be written to their data files, in the order they were made. Every record
// is first kept in a file on this computer (when one is set), so that neither a data folder that
// cannot be reached nor a restart of the program loses it. A thread of its own writes them out,
// so that a share hanging in a system call holds up no one else.
class PendingRecords {
  public:
    PendingRecords();
    // Stops the writing thread; one stuck on a share is left to end with the process.
    ~PendingRecords();
    PendingRecords(const PendingRecords&) = delete;
    PendingRecords& operator=(const PendingRecords&) = delete;

    // The local file that keeps waiting records; those it already holds are taken up, in front
    // of any new one. False with errno when it cannot be opened (records are then kept in
    // memory only).
    bool SetStore(const std::string& path);

    // Keeps line for path and has the writing thread try it.
    void Add(const std::string& path, const std::string& line);
    // Waits at most wait until nothing waits; true when nothing does.
    bool WaitUntilWritten(std::chrono::milliseconds wait);
    // Has the writing thread try again now.
    void Retry();
    size_t Count() const;
    // Whether the last try failed (errno in LastError); cleared by the next success.
    bool Failing() const;
    int LastError() const;

    void SetLockWait(std::chrono::milliseconds wait);
    // How long the thread waits after a failed try before it tries again by itself.
    void SetRetryInterval(std::chrono::milliseconds interval);
    void SetDiagnostics(std::function<void(const std::string&)> out);

    struct State;

  private:
    void StartThread();
    std::shared_ptr<State> m_state;
};
