#include "platform/SharedFile.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Host.h"
#include "platform/SharedFileNames.h"
#include "platform/win32/Wide.h"

namespace platform {

namespace {

// Windows' locks are mandatory: a lock on the records themselves would refuse every reader on
// another computer. The lock is one byte far past any real end instead; Wine maps it onto the
// POSIX lock the Linux program takes on the whole file, so both meet.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

// Everyone may read, append, and rename or delete a shared file while we hold it open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE HandleOf(int fd) {
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// A descriptor over a handle (which it then owns); -1 with errno on failure.
int DescriptorOf(HANDLE file, int flags) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        errno = EMFILE;
    }
    return fd;
}

// Opens a regular file: a link (any reparse point), a folder or a device is refused like a
// missing file would be, with errno telling why, and nothing is followed.
int OpenRegular(const std::string& path, DWORD access, DWORD disposition, int flags) {
    HANDLE file = CreateFileW(win32::Wide(path).c_str(), access, kShareAll, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        win32::FailWithLastError();
        // A folder cannot be opened as a file at all: say what it is, as a plain refusal
        // would read as missing rights.
        const DWORD attributes = GetFileAttributesW(win32::Wide(path).c_str());
        if (errno == EACCES && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            errno = EISDIR;
        }
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        errno = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ELOOP
                : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? EISDIR
                                                                            : EINVAL;
        CloseHandle(file);
        return -1;
    }
    return DescriptorOf(file, flags);
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name
                       : dir + (dir.ends_with('/') || dir.ends_with('\\') ? "" : "\\") + name;
}

bool TryLock(HANDLE file, DWORD& error) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        return true;
    }
    error = GetLastError();
    return false;
}

}  // namespace

bool SharedFile::OpenForReading(const std::string& path) {
    Close();
    m_fd = OpenRegular(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY);
    return m_fd >= 0;
}

bool SharedFile::OpenForUpdate(const std::string& path) {
    Close();
    m_fd = OpenRegular(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, _O_RDWR);
    return m_fd >= 0;
}

bool SharedFile::OpenForAppending(const std::string& path, bool& created) {
    Close();
    created = false;
    // Append access without write access: the system puts every write at the end, also
    // between computers writing over a share.
    constexpr DWORD kAppend = FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES |
                              FILE_WRITE_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    const DWORD access = detail::RefusesAppending(path) ? GENERIC_READ | GENERIC_WRITE : kAppend;
    m_seekToEnd = access != kAppend;
    for (int attempt = 0; attempt < 100; ++attempt) {
        m_fd = OpenRegular(path, access, OPEN_EXISTING, _O_RDWR);
        if (m_fd >= 0) {
            return true;
        }
        if (errno != ENOENT) {
            return false;
        }
        // CREATE_NEW follows nothing: a name planted meanwhile fails and is looked at again.
        m_fd = OpenRegular(path, access, CREATE_NEW, _O_RDWR);
        if (m_fd >= 0) {
            created = true;
            return true;
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
    m_fd = OpenRegular(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, _O_RDWR);
    return m_fd >= 0;
}

void SharedFile::Close() {
    if (m_fd >= 0) {
        _close(m_fd);  // closes the handle, and with it its lock
        m_fd = -1;
    }
    m_seekToEnd = false;
}

long SharedFile::ReadAt(std::int64_t offset, char* buffer, size_t size) const {
    const HANDLE file = HandleOf(m_fd);
    // A read at an offset moves a synchronous handle's position: it is put back.
    LARGE_INTEGER position{};
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, &position, FILE_CURRENT)) {
        win32::FailWithLastError();
        return -1;
    }
    size_t done = 0;
    long result = 0;
    while (done < size) {
        OVERLAPPED at{};
        const auto where = static_cast<std::uint64_t>(offset) + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD got = 0;
        const auto want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        if (!ReadFile(file, buffer + done, want, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            win32::FailWithLastError();
            result = -1;
            break;
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
    return result < 0 ? -1 : static_cast<long>(done);
}

long SharedFile::Read(char* buffer, size_t size) {
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (!ReadFile(HandleOf(m_fd), buffer, want, &got, nullptr)) {
        if (GetLastError() == ERROR_HANDLE_EOF) {
            return 0;
        }
        win32::FailWithLastError();
        return -1;
    }
    return static_cast<long>(got);
}

bool SharedFile::WriteAll(std::string_view bytes) {
    const HANDLE file = HandleOf(m_fd);
    LARGE_INTEGER zero{};
    if (m_seekToEnd && !SetFilePointerEx(file, zero, nullptr, FILE_END)) {
        return win32::FailWithLastError();
    }
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        const auto want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        if (!WriteFile(file, bytes.data() + done, want, &wrote, nullptr)) {
            return win32::FailWithLastError();
        }
        if (wrote == 0) {
            errno = EIO;
            return false;
        }
        done += wrote;
    }
    return true;
}

bool SharedFile::Sync() {
    return FlushFileBuffers(HandleOf(m_fd)) || win32::FailWithLastError();
}

std::int64_t SharedFile::Size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(HandleOf(m_fd), &size)) {
        win32::FailWithLastError();
        return -1;
    }
    return size.QuadPart;
}

bool SharedFile::LastByte(char& byte) const {
    const std::int64_t size = Size();
    return size > 0 && ReadAt(size - 1, &byte, 1) == 1;
}

bool SharedFile::Truncate(std::int64_t size) {
    const HANDLE file = HandleOf(m_fd);
    LARGE_INTEGER position{};
    LARGE_INTEGER zero{};
    LARGE_INTEGER end{};
    end.QuadPart = size;
    if (!SetFilePointerEx(file, zero, &position, FILE_CURRENT) ||
        !SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        return win32::FailWithLastError();
    }
    SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
    return true;
}

SharedFile::LockResult SharedFile::Lock(std::chrono::milliseconds wait) {
    return detail::RetryLock(wait, [this] {
        DWORD error = 0;
        if (TryLock(HandleOf(m_fd), error)) {
            return detail::LockTry::Locked;
        }
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
            errno = EAGAIN;
            return detail::LockTry::Busy;
        }
        errno = win32::ErrnoOf(error);
        return detail::LockTry::Failed;
    });
}

bool SharedFile::IsAt(const std::string& path) const {
    if (m_fd < 0) {
        return false;
    }
    HANDLE named = CreateFileW(win32::Wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool same = SameFile(HandleOf(m_fd), named);
    CloseHandle(named);
    return same;
}

// Windows keeps owners and rights in access control lists, which a file in the data folder
// inherits from the folder (the installer gives the Users group its rights there): there is
// nothing to carry over from a file to its replacement.
bool SharedFile::Ownership(FileOwnership& out) const {
    out = {};
    return m_fd >= 0;
}

bool SharedFile::SetOwner(std::uint32_t, std::uint32_t) {
    errno = EOPNOTSUPP;
    return false;
}

bool SharedFile::SetGroup(std::uint32_t) {
    errno = EOPNOTSUPP;
    return false;
}

bool SharedFile::SetMode(std::uint32_t) {
    return m_fd >= 0;
}

bool ReplacementFile::Create(const std::string& dir) {
    Close();
    m_dir = dir.empty() ? "." : dir;
    m_tempName.clear();
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        const std::string name = detail::RandomReplacementName();
        // DELETE access: the file renames itself into place through its own handle.
        HANDLE file = CreateFileW(win32::Wide(Join(m_dir, name)).c_str(),
                                  GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
                return win32::FailWithLastError();
            }
            continue;
        }
        m_fd = DescriptorOf(file, _O_RDWR);
        if (m_fd < 0) {
            DeleteFileW(win32::Wide(Join(m_dir, name)).c_str());
            return false;
        }
        m_tempName = name;
    }
    if (m_fd < 0) {
        errno = EEXIST;
        return false;
    }
    // Held until the file is closed: it tells a stale-file cleanup that we are still at work.
    Lock(std::chrono::milliseconds(0));
    return true;
}

bool ReplacementFile::Replace(const std::string& target) {
    if (m_tempName.empty()) {
        errno = ENOENT;
        return false;
    }
    // Renamed by its own handle, in one step, over the target. The target cannot be replaced
    // while another process has it open without sharing its deletion (a reader of another
    // program, a backup tool): that passes, so a few short tries are made.
    const std::wstring wideTarget = win32::Wide(target);
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + wideTarget.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(wideTarget.size() * sizeof(wchar_t));
    std::copy(wideTarget.begin(), wideTarget.end(), rename->FileName);
    DWORD error = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (SetFileInformationByHandle(HandleOf(m_fd), FileRenameInfo, rename,
                                       static_cast<DWORD>(buffer.size()))) {
            m_tempName.clear();
            return true;
        }
        error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Where renaming by handle is not offered (some network redirectors), by name.
    if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED) {
        if (MoveFileExW(win32::Wide(Join(m_dir, m_tempName)).c_str(), wideTarget.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            m_tempName.clear();
            return true;
        }
        error = GetLastError();
    }
    errno = win32::ErrnoOf(error);
    return false;
}

std::string ReplacementFile::TemporaryPath() const {
    return m_tempName.empty() ? std::string() : Join(m_dir, m_tempName);
}

void ReplacementFile::Discard() {
    if (!m_tempName.empty()) {
        DeleteFileW(win32::Wide(Join(m_dir, m_tempName)).c_str());
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
            continue;
        }
        if (file.Lock(std::chrono::milliseconds(0)) == SharedFile::LockResult::Locked &&
            file.IsAt(path)) {
            file.Close();
            DeleteFileW(win32::Wide(path).c_str());
        }
    }
}

std::vector<std::string> RegularFilesIn(const std::string& dir, int* error) {
    std::vector<std::string> names;
    if (error != nullptr) {
        *error = 0;
    }
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileExW(win32::Wide(Join(dir.empty() ? "." : dir, "*")).c_str(),
                                     FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND && error != nullptr) {
            win32::FailWithLastError();
            *error = errno;
        }
        return names;
    }
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                       FILE_ATTRIBUTE_DEVICE)) == 0) {
            names.push_back(win32::Utf8(found.cFileName));
        }
    } while (FindNextFileW(search, &found));
    // A share that fails midway must not pass for a folder with fewer files.
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        if (error != nullptr) {
            win32::FailWithLastError();
            *error = errno;
        }
        names.clear();
    }
    FindClose(search);
    return names;
}

std::int64_t SizeAt(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(win32::Wide(path).c_str(), GetFileExInfoStandard, &data)) {
        win32::FailWithLastError();
        return -1;
    }
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        errno = EINVAL;
        return -1;
    }
    return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string UserStateFolder() {
    wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    return (local != nullptr && *local != L'\0' ? win32::Utf8(local) : ExecutableFolder()) +
           "\\Tessaroven";
}

// Sharing between users is a matter of the folder's access control list on Windows.
bool IsGroupSharedFolder(const std::string&) {
    return false;
}

bool IsProtectedSharedFolder(const std::string&) {
    return false;
}

bool IsCallersOwn(const FileOwnership&) {
    return true;
}

std::string OwnerName(std::uint32_t owner) {
    return std::to_string(owner);
}

void SyncFolder(const std::string&) {
    // NTFS journals renames itself; a folder cannot be flushed through a handle here.
}

// A file another process holds open cannot be replaced on Windows (its name stays taken until
// the last handle closes): the original is closed before its replacement is put in place.
bool ReplacesOpenFilesInOneStep(const std::string&) {
    return false;
}

}  // namespace platform
