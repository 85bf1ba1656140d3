#pragma once

#include <functional>
#include <mutex>

namespace platform {

// The interface thread registers how to process its pending events; waits on shared locks call
// it between tries so that windows stay responsive. Threads without a pump simply block.
using EventPumpFn = std::function<void()>;

// Installs (or, with an empty function, removes) the calling thread's pump.
void SetThreadEventPump(EventPumpFn pump);
bool ThreadHasEventPump();
void PumpThreadEvents();

// Takes the mutex: blocks on a thread without a pump; on a thread with one, tries the lock and
// processes events between tries. Never gives up.
void LockProcessingEvents(std::mutex& mutex);

}  // namespace platform
