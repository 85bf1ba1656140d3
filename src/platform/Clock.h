#pragma once

#include <mutex>

#include "platform/SystemTime.h"

namespace platform {

// Source of the local time. Everything that stamps a job, a record or a log line asks a Clock,
// so tests can stand still in time or step across a minute on purpose.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual SystemTime Now() const = 0;
};

class SystemClock final : public Clock {
  public:
    SystemTime Now() const override;
    static SystemClock& Instance();
};

// A clock that shows whatever a test sets; safe to read from any thread.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(const SystemTime& start = {}) : m_now(start) {}
    SystemTime Now() const override;
    void Set(const SystemTime& t);

  private:
    mutable std::mutex m_mutex;
    SystemTime m_now;
};

}  // namespace platform
