#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

InstanceLock::~InstanceLock() {
    Release();
}

namespace {

// The folder the lock lives in without a runtime folder: one of our own in the temp folder.
std::string FallbackFolder() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = (tmp != nullptr && *tmp) ? tmp : "/tmp";
    return dir + "/tessaroven-" + std::to_string(getuid());
}

// In a folder everyone may write to, anyone could have made the folder first, or plant the lock
// file: only a folder that is ours alone, and no link, will do.
bool MakePrivateFolder(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0) {
        errno = EPERM;
        return false;
    }
    return true;
}

}  // namespace

std::string InstanceLock::PathFor(const std::string& name) {
    // The runtime folder belongs to the logon session and to us alone.
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        return std::string(runtime) + "/" + name;
    }
    return FallbackFolder() + "/" + name;
}

bool InstanceLock::Acquire(const std::string& name) {
    Release();
    m_error = 0;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if ((runtime == nullptr || *runtime == '\0') && !MakePrivateFolder(FallbackFolder())) {
        m_error = errno;
        return false;
    }
    return LockFile(PathFor(name), 0600);
}

bool InstanceLock::AcquireMachineWide(const std::string& path) {
    Release();
    m_error = 0;
    return LockFile(path, 0644);
}

bool InstanceLock::LockFile(const std::string& path, int mode) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        m_error = errno;
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_error = errno == EWOULDBLOCK ? 0 : errno;
        close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

std::string InstanceLock::PrivateRuntimeFolder() {
    return MakePrivateFolder(FallbackFolder()) ? FallbackFolder() : std::string();
}

InstanceLock::Holder InstanceLock::Probe(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') {
        // Only a folder of our own counts; one someone else made first proves nothing.
        struct stat st {};
        if (lstat(FallbackFolder().c_str(), &st) != 0) {
            return errno == ENOENT ? Holder::Nobody : Holder::Unknown;
        }
        if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0) {
            return Holder::Unknown;
        }
    }
    return ProbePath(PathFor(name));
}

InstanceLock::Holder InstanceLock::ProbePath(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? Holder::Nobody : Holder::Unknown;
    }
    Holder holder = Holder::Nobody;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        holder = errno == EWOULDBLOCK ? Holder::Someone : Holder::Unknown;
    }
    close(fd);  // also lets go of the lock
    return holder;
}

void InstanceLock::Release() {
    if (m_fd >= 0) {
        flock(static_cast<int>(m_fd), LOCK_UN);
        close(static_cast<int>(m_fd));
        m_fd = -1;
    }
}

}  // namespace platform
