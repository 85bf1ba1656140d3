#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

InstanceLock::~InstanceLock() {
    Release();
}

std::string InstanceLock::PathFor(const std::string& name) {
    // The runtime folder belongs to the logon session; without one, the temp folder with the
    // user id keeps two users on one machine apart.
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        return std::string(runtime) + "/" + name;
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = (tmp != nullptr && *tmp) ? tmp : "/tmp";
    return dir + "/" + name + "-" + std::to_string(getuid());
}

bool InstanceLock::Acquire(const std::string& name) {
    Release();
    const int fd = open(PathFor(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void InstanceLock::Release() {
    if (m_fd >= 0) {
        flock(m_fd, LOCK_UN);
        close(m_fd);
        m_fd = -1;
    }
}

}  // namespace platform
