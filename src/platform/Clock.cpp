#include "platform/Clock.h"

namespace platform {

SystemClock& SystemClock::Instance() {
    static SystemClock clock;
    return clock;
}

SystemTime ManualClock::Now() const {
    std::lock_guard lock(m_mutex);
    return m_now;
}

void ManualClock::Set(const SystemTime& t) {
    std::lock_guard lock(m_mutex);
    m_now = t;
}

}  // namespace platform
