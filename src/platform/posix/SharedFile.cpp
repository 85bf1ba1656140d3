#include "platform/SharedFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/SharedFileNames.h"

namespace platform {

namespace {

// A planted link, FIFO or device must neither be followed nor block us, and must not get the
// chance to do anything on open: it is turned away before it is opened where we can tell, and
// the open itself follows nothing and does not wait.
int OpenRegular(const std::string& path, int flags) {
    struct stat named {};
    if (lstat(path.c_str(), &named) != 0) {
        return -1;
    }
    if (!S_ISREG(named.st_mode)) {
        errno = S_ISLNK(named.st_mode) ? ELOOP : S_ISDIR(named.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    const int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool SameFile(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
           opened.st_ino == named.st_ino && opened.st_dev == named.st_dev;
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + (dir.ends_with('/') ? "" : "/") + name;
}

bool TryLock(int fd, int& error) {
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    for (;;) {
        if (fcntl(fd, F_OFD_SETLK, &range) == 0) {
            return true;
        }
        if (errno != EINTR) {
            error = errno;
            return false;
        }
    }
}

}  // namespace

bool SharedFile::OpenForReading(const std::string& path) {
    Close();
    m_fd = OpenRegular(path, O_RDONLY);
    return m_fd >= 0;
}

bool SharedFile::OpenForUpdate(const std::string& path) {
    Close();
    m_fd = OpenRegular(path, O_RDWR);
    return m_fd >= 0;
}

bool SharedFile::OpenForAppending(const std::string& path, bool& created) {
    Close();
    created = false;
    // Some userspace network clients refuse O_APPEND outright (EIO, EOPNOTSUPP): then every
    // write seeks to the end first.
    auto refused = [](int error) {
        return error == EIO || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
    };
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int append = m_seekToEnd ? 0 : O_APPEND;
        if (append != 0 && detail::RefusesAppending(path)) {
            m_fd = -1;
            errno = EIO;
        } else {
            m_fd = OpenRegular(path, O_RDWR | append);
        }
        if (m_fd < 0 && errno == EACCES) {
            m_fd = OpenRegular(path, O_WRONLY | append);
        }
        if (m_fd >= 0) {
            return true;
        }
        if (append != 0 && refused(errno)) {
            m_seekToEnd = true;
            continue;
        }
        if (errno != ENOENT) {
            return false;
        }
        // O_EXCL follows no link, so a name planted meanwhile fails and is looked at again.
        m_fd =
            open(path.c_str(), O_RDWR | append | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            created = true;
            return true;
        }
        if (append != 0 && refused(errno)) {
            m_seekToEnd = true;
            continue;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    errno = EAGAIN;
    return false;
}

bool SharedFile::CreateNew(const std::string& path) {
    Close();
    m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return m_fd >= 0;
}

void SharedFile::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    m_seekToEnd = false;
}

long SharedFile::ReadAt(std::int64_t offset, char* buffer, size_t size) const {
    size_t done = 0;
    while (done < size) {
        const ssize_t n =
            pread(m_fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

long SharedFile::Read(char* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(m_fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return static_cast<long>(n);
        }
    }
}

bool SharedFile::WriteAll(std::string_view bytes) {
    if (m_seekToEnd && lseek(m_fd, 0, SEEK_END) < 0) {
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SharedFile::Sync() {
    return fsync(m_fd) == 0;
}

std::int64_t SharedFile::Size() const {
    struct stat st {};
    return fstat(m_fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

bool SharedFile::LastByte(char& byte) const {
    const std::int64_t size = Size();
    return size > 0 && pread(m_fd, &byte, 1, static_cast<off_t>(size - 1)) == 1;
}

bool SharedFile::Truncate(std::int64_t size) {
    return ftruncate(m_fd, static_cast<off_t>(size)) == 0;
}

SharedFile::LockResult SharedFile::Lock(std::chrono::milliseconds wait) {
    // A lock owned by the open file, not the process: closing some other descriptor of the same
    // file elsewhere in the program cannot drop it. It works on network file systems too.
    return detail::RetryLock(wait, [this] {
        int error = 0;
        if (TryLock(m_fd, error)) {
            return detail::LockTry::Locked;
        }
        errno = error;
        return error == EAGAIN || error == EACCES ? detail::LockTry::Busy : detail::LockTry::Failed;
    });
}

bool SharedFile::IsAt(const std::string& path) const {
    return m_fd >= 0 && SameFile(m_fd, path);
}

bool SharedFile::Ownership(FileOwnership& out) const {
    struct stat st {};
    if (fstat(m_fd, &st) != 0) {
        return false;
    }
    out.owner = st.st_uid;
    out.group = st.st_gid;
    out.mode = st.st_mode & 07777;
    return true;
}

bool SharedFile::SetOwner(std::uint32_t owner, std::uint32_t group) {
    return fchown(m_fd, owner, group) == 0;
}

bool SharedFile::SetGroup(std::uint32_t group) {
    return fchown(m_fd, static_cast<uid_t>(-1), group) == 0;
}

bool SharedFile::SetMode(std::uint32_t mode) {
    return fchmod(m_fd, mode) == 0;
}

bool ReplacementFile::Create(const std::string& dir) {
    Close();
    m_dir = dir.empty() ? "." : dir;
    m_tempName.clear();
    // Without a name, a killed purge leaves nothing behind; naming it later goes through /proc.
    if (access("/proc/self/fd", X_OK) == 0) {
        m_fd = open(m_dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }
    if (m_fd < 0) {
        for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
            const std::string name = detail::RandomReplacementName();
            m_fd = open(Join(m_dir, name).c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (m_fd < 0 && errno == EOPNOTSUPP) {
                // Userspace SMB clients open files for reading or for writing, not both.
                m_fd = open(Join(m_dir, name).c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            }
            if (m_fd >= 0) {
                m_tempName = name;
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (m_fd < 0) {
            return false;
        }
    }
    // Held until the file is closed: it tells a stale-file cleanup that we are still at work.
    Lock(std::chrono::milliseconds(0));
    return true;
}

bool ReplacementFile::Replace(const std::string& target) {
    if (m_tempName.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
        for (int attempt = 0; attempt < 100 && m_tempName.empty(); ++attempt) {
            const std::string name = detail::RandomReplacementName();
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, Join(m_dir, name).c_str(),
                       AT_SYMLINK_FOLLOW) == 0) {
                m_tempName = name;
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (m_tempName.empty()) {
            return false;
        }
    }
    if (rename(Join(m_dir, m_tempName).c_str(), target.c_str()) != 0) {
        return false;
    }
    m_tempName.clear();
    return true;
}

std::string ReplacementFile::TemporaryPath() const {
    return m_tempName.empty() ? std::string() : Join(m_dir, m_tempName);
}

void ReplacementFile::Discard() {
    if (!m_tempName.empty()) {
        unlink(Join(m_dir, m_tempName).c_str());
        m_tempName.clear();
    }
}

void RemoveStaleReplacements(const std::string& dir) {
    for (const auto& name : RegularFilesIn(dir)) {
        if (!detail::IsReplacementName(name)) {
            continue;
        }
        const std::string path = Join(dir, name);
        SharedFile file;
        if (!file.OpenForUpdate(path)) {
            continue;  // another user's, which only they can clear
        }
        if (file.Lock(std::chrono::milliseconds(0)) == SharedFile::LockResult::Locked &&
            file.IsAt(path)) {
            unlink(path.c_str());
        }
    }
}

std::vector<std::string> RegularFilesIn(const std::string& dir, int* error) {
    std::vector<std::string> names;
    if (error != nullptr) {
        *error = 0;
    }
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) {
        if (error != nullptr) {
            *error = errno;
        }
        return names;
    }
    // A share that fails midway must not pass for a folder with fewer files.
    for (;;) {
        errno = 0;
        const dirent* e = readdir(d);
        if (e == nullptr) {
            if (errno != 0 && error != nullptr) {
                *error = errno;
                names.clear();
            }
            break;
        }
        bool regular = e->d_type == DT_REG;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st {};
            regular =
                fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
        }
        if (regular) {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    return names;
}

std::int64_t SizeAt(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<std::int64_t>(st.st_size);
}

std::string UserStateFolder() {
    if (const char* state = getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        return std::string(state) + "/tessaroven";
    }
    const char* home = getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/state/tessaroven";
}

bool IsGroupSharedFolder(const std::string& dir) {
    struct stat st {};
    return stat(dir.empty() ? "." : dir.c_str(), &st) == 0 && (st.st_mode & S_IWGRP) != 0;
}

bool IsProtectedSharedFolder(const std::string& dir) {
    struct stat st {};
    return stat(dir.empty() ? "." : dir.c_str(), &st) == 0 && (st.st_mode & S_IWGRP) != 0 &&
           (st.st_mode & S_ISVTX) != 0;
}

bool IsCallersOwn(const FileOwnership& ownership) {
    return ownership.owner == geteuid();
}

std::string OwnerName(std::uint32_t owner) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(owner, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(owner);
}

void SyncFolder(const std::string& dir) {
    const int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool ReplacesOpenFilesInOneStep(const std::string& dir) {
    constexpr decltype(statfs::f_type) kFuseMagic = 0x65735546;
    struct statfs fs {};
    return statfs(dir.empty() ? "." : dir.c_str(), &fs) != 0 || fs.f_type != kFuseMagic;
}

}  // namespace platform
