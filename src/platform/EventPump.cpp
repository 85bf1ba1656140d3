#include "platform/EventPump.h"

#include <chrono>

namespace platform {

namespace {
thread_local EventPumpFn t_pump;
}

void SetThreadEventPump(EventPumpFn pump) {
    t_pump = std::move(pump);
}

bool ThreadHasEventPump() {
    return static_cast<bool>(t_pump);
}

void PumpThreadEvents() {
    if (t_pump) {
        t_pump();
    }
}

void LockProcessingEvents(std::timed_mutex& mutex) {
    if (!t_pump) {
        mutex.lock();
        return;
    }
    // A short timed try keeps the interface thread from spinning while a watcher writes.
    while (!mutex.try_lock_for(std::chrono::milliseconds(5))) {
        t_pump();
    }
}

}  // namespace platform
