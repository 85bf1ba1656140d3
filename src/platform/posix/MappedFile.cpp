#include "platform/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace platform {

MappedFile::MappedFile(int fd) : m_fd(fd) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    m_size = static_cast<std::size_t>(st.st_size);
    if (m_size == 0) {
        m_ok = true;
        return;
    }
    void* p = mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        m_size = 0;
        return;
    }
    madvise(p, m_size, MADV_SEQUENTIAL);
    m_data = p;
    m_ok = true;
    if (m_size >= kDescriptorFrom) {
        // Opened anew rather than duplicated: a duplicate would let its reader write as well.
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        m_readOnly = open(self.c_str(), O_RDONLY | O_CLOEXEC);
    }
    // The mapping keeps the file: documents waiting to be counted hold no descriptor each.
    close(m_fd);
    m_fd = -1;
}

MappedFile::~MappedFile() {
    if (m_data != nullptr) {
        munmap(m_data, m_size);
    }
    if (m_fd >= 0) {
        close(m_fd);
    }
    if (m_readOnly >= 0) {
        close(m_readOnly);
    }
}

int AnonymousFile() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        return fd;
    }
    // A file system without unnamed files: a named one, removed at once.
    std::string path = dir + "/tessaroven-XXXXXX";
    fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) {
        unlink(path.c_str());
    }
    return fd;
}

}  // namespace platform
