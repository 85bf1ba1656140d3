#include "platform/InstanceLock.h"

#include <shlobj.h>

#include <cerrno>

#include "platform/win32/Wide.h"

namespace platform {

namespace {

HANDLE AsHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

// A lock file opened so that others may open it too (to probe it); LockFileEx holds it.
HANDLE OpenLockFile(const std::string& path, DWORD disposition) {
    return CreateFileW(win32::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

InstanceLock::~InstanceLock() {
    Release();
}

// A named mutex in the session's own namespace: one per logon session, as on the desktop.
std::string InstanceLock::PathFor(const std::string& name) {
    return "Local\\" + name;
}

bool InstanceLock::Acquire(const std::string& name) {
    Release();
    m_error = 0;
    HANDLE mutex = CreateMutexW(nullptr, TRUE, win32::Wide(PathFor(name)).c_str());
    if (mutex == nullptr) {
        win32::FailWithLastError();
        m_error = errno;
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);  // another process of this session has it
        return false;
    }
    m_fd = reinterpret_cast<std::intptr_t>(mutex);
    return true;
}

bool InstanceLock::AcquireMachineWide(const std::string& path) {
    Release();
    m_error = 0;
    HANDLE file = OpenLockFile(path, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        win32::FailWithLastError();
        m_error = errno;
        return false;
    }
    OVERLAPPED at{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD error = GetLastError();
        m_error = error == ERROR_LOCK_VIOLATION ? 0 : win32::ErrnoOf(error);
        CloseHandle(file);
        return false;
    }
    m_fd = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool InstanceLock::LockFile(const std::string& path, int) {
    return AcquireMachineWide(path);
}

std::string InstanceLock::PrivateRuntimeFolder() {
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                         SHGFP_TYPE_CURRENT, path) != S_OK) {
        return {};
    }
    const std::string folder = win32::Utf8(path) + "\\Tessaroven";
    if (!CreateDirectoryW(win32::Wide(folder).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        return {};
    }
    return folder;
}

InstanceLock::Holder InstanceLock::Probe(const std::string& name) {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, win32::Wide(PathFor(name)).c_str());
    if (mutex != nullptr) {
        CloseHandle(mutex);
        return Holder::Someone;
    }
    return GetLastError() == ERROR_FILE_NOT_FOUND ? Holder::Nobody : Holder::Unknown;
}

InstanceLock::Holder InstanceLock::ProbePath(const std::string& path) {
    HANDLE file = OpenLockFile(path, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Holder::Nobody
                                                                              : Holder::Unknown;
    }
    OVERLAPPED at{};
    Holder holder = Holder::Nobody;
    if (!LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        holder = GetLastError() == ERROR_LOCK_VIOLATION ? Holder::Someone : Holder::Unknown;
    }
    CloseHandle(file);  // also lets go of the lock
    return holder;
}

void InstanceLock::Release() {
    if (m_fd != -1) {
        // A mutex this thread owns is released before its handle goes; a lock file's lock goes
        // with its handle.
        ReleaseMutex(AsHandle(m_fd));
        CloseHandle(AsHandle(m_fd));
        m_fd = -1;
    }
}

}  // namespace platform
