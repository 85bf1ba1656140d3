#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/PrintDataFiles.h"

// When the system service counted this computer's jobs, so that it and the desktop programs
// decide every finished job alike, by when the scheduler says it ended: a job that ended while
// the service ran is the service's, any other the desktop's. A service that stops and starts
// again within the restart window counts on as if it had never stopped (it takes the jobs
// that ended in between from the scheduler); until that window has passed, a desktop program
// holds such jobs back.
//
// Times are whole seconds (the scheduler's): a job that ends in the second a service starts or
// stops could be either's. At its stop the service therefore ends its span two seconds before the
// stop began and names the jobs it recorded that ended after that; once a service has run since
// the computer started, a desktop program holds a job that ended in the last two seconds back, in
// case the service is starting again at that very moment.
//
// The service writes its spans to a file everyone may read (beside its lock) and to a copy of
// its own that outlives a reboot.
class ServiceHandoff {
  public:
    static constexpr std::int64_t kRestartWindow = 30;  // seconds
    static constexpr std::int64_t kSettleSeconds = 2;
    static constexpr std::size_t kSpansKept = 16;

    struct Span {
        std::int64_t from = 0;
        // Every job that ended by then is the service's: two seconds before its stop began, or
        // its last sign of life while it runs (or was killed).
        std::int64_t to = 0;
        bool running = false;
        std::vector<std::int32_t> alsoRecorded;  // jobs it recorded that ended after `to`
    };

    // The spans the file holds, oldest first; none when it is missing or unreadable.
    static std::vector<Span> Read(const std::string& path);
    // Who records a job that ended at endedAt (0: not known, taken as now), with the service's
    // lock held or not at this moment.
    static RecordOwner Owner(const std::vector<Span>& spans, std::int32_t jobId,
                             std::int64_t endedAt, std::int64_t now, bool serviceRuns);

    ServiceHandoff(std::string publicPath, std::string privatePath);

    // The service has taken its lock at now: it goes on with the last span or starts a new one.
    // The function tells whether a job that ended at a time is the service's.
    std::function<bool(long)> Begin(std::int64_t now);
    // A sign of life, every few seconds.
    void Alive(std::int64_t now);
    // Every job the service will record is recorded; its stop began at stopStarted, and these
    // jobs that ended later than two seconds before were recorded.
    void End(std::int64_t stopStarted, const std::vector<std::int32_t>& recorded);

  private:
    void Write(bool both);

    std::string m_publicPath;
    std::string m_privatePath;
    std::vector<Span> m_spans;
    int m_aliveCount = 0;
};
