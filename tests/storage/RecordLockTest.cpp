#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/EventPump.h"
#include "storage/PrintDataFiles.h"

// The interface thread keeps serving its events while a watcher holds the lock; a watcher just
// waits.
TEST(RecordLock, TheInterfaceThreadProcessesEventsWhileItWaits) {
    RecordLock lock;
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread watcher([&] {
        lock.Acquire();
        held = true;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        lock.Release();
    });
    while (!held) {
        std::this_thread::yield();
    }

    int pumped = 0;
    platform::SetThreadEventPump([&] {
        // The events of a waiting interface thread: after a few, the watcher finishes its record.
        if (++pumped == 5) {
            release = true;
        }
    });
    EXPECT_TRUE(lock.Acquire());
    platform::SetThreadEventPump({});
    EXPECT_GE(pumped, 5);
    watcher.join();

    // Now the interface thread holds it and a second watcher has to wait for it.
    std::atomic<bool> secondGotIt{false};
    std::thread second([&] {
        lock.Acquire();
        secondGotIt = true;
        lock.Release();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(secondGotIt);
    lock.Release();
    second.join();
    EXPECT_TRUE(secondGotIt);
}
