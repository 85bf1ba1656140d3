#pragma once

#include <cstdint>
#include <string>

namespace platform {

// A per-session named lock that at most one process holds; the kernel releases it when the
// holder ends, however it ends.
class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // False when another process holds the lock or it cannot be had at all; Error tells which.
    bool Acquire(const std::string& name);
    void Release();
    // After a failed Acquire: 0 when another process holds the lock, else the errno of why the
    // lock could not be opened (then no one may hold it at all).
    int Error() const { return m_error; }

    // The machine-wide lock of the system service at path: made readable by everyone, so that a
    // desktop session can tell that the service runs (ProbePath). Same errors as Acquire.
    bool AcquireMachineWide(const std::string& path);

    // Where the lock of this name lives for the current session.
    static std::string PathFor(const std::string& name);

    // Without XDG_RUNTIME_DIR: the folder of this user's own that stands in for it (made when
    // missing), where the lock lives too; empty when no such folder can be had.
    static std::string PrivateRuntimeFolder();

    enum class Holder { Nobody, Someone, Unknown };
    // Whether a process of this session holds the lock, found by trying it without creating
    // anything. For the moment of the try the lock is taken: a start at that very moment fails.
    static Holder Probe(const std::string& name);
    // The same for a lock file at a fixed path.
    static Holder ProbePath(const std::string& path);

  private:
    // Opens (creating it with MODE) and locks PATH without waiting; m_error as for Acquire.
    bool LockFile(const std::string& path, int mode);
    // The lock file's descriptor here, the mutex's or lock file's handle on Windows.
    std::intptr_t m_fd = -1;
    int m_error = 0;
};

}  // namespace platform
