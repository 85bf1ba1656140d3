#include "platform/EventPump.h"

#include <chrono>
#include <thread>

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

void LockProcessingEvents(std::mutex& mutex) {
    if (!t_pump) {
        mutex.lock();
        return;
    }
    while (!mutex.try_lock()) {
        t_pump();
        // A watcher holds the lock for one record: a short nap keeps us from spinning meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace platform
