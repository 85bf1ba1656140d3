#include "platform/Host.h"

// windows.h first: the other system headers rely on it.
#include <windows.h>

#include <lmcons.h>
#include <shellapi.h>
#include <shlobj.h>
#include <winnetwk.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/win32/Wide.h"

namespace platform {

namespace win32 {

namespace {

// Win32 errors the logic tells apart, and the errno values it knows them by.
constexpr std::pair<DWORD, int> kErrors[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_ACCESS_DENIED, EACCES},     {ERROR_SHARING_VIOLATION, EBUSY},
    {ERROR_LOCK_VIOLATION, EAGAIN},    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_ALREADY_EXISTS, EEXIST},    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},  {ERROR_INVALID_NAME, EINVAL},
    {ERROR_INVALID_PARAMETER, EINVAL}, {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_OUTOFMEMORY, ENOMEM},       {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},  {ERROR_NOT_SUPPORTED, ENOTSUP},
    {ERROR_CANT_ACCESS_FILE, ELOOP},   {ERROR_CANT_RESOLVE_FILENAME, ELOOP},
    {ERROR_TIMEOUT, ETIMEDOUT},        {ERROR_BAD_NETPATH, ENOENT},
    {ERROR_NETNAME_DELETED, EIO},      {ERROR_UNEXP_NET_ERR, EIO},
    {ERROR_WRITE_PROTECT, EROFS},      {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
};

}  // namespace

int ErrnoOf(DWORD error) {
    for (const auto& [win, posix] : kErrors) {
        if (win == error) {
            return posix;
        }
    }
    return EIO;
}

DWORD Win32ErrorOf(int error) {
    for (const auto& [win, posix] : kErrors) {
        if (posix == error) {
            return win;
        }
    }
    return 0;
}

bool FailWithLastError() {
    errno = ErrnoOf(GetLastError());
    return false;
}

}  // namespace win32

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const wchar_t* v = _wgetenv(win32::Wide(name).c_str());
    return (v != nullptr && *v != L'\0') ? win32::Utf8(v) : fallback;
}

std::string KnownFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
        return {};
    }
    return win32::Utf8(path);
}

}  // namespace

std::string ServiceLockPath() {
    return EnvOr("TESSAROVEN_SERVICE_LOCK",
                 KnownFolder(CSIDL_COMMON_APPDATA) + "\\Tessaroven\\service.lock");
}

std::string ComputerName() {
    wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(buf, &size) ? win32::Utf8({buf, size}) : std::string();
}

std::string UserName() {
    // The network provider's name first, as the logon name a file server knows.
    wchar_t buf[UNLEN + 1] = {};
    DWORD size = UNLEN + 1;
    if (WNetGetUserW(nullptr, buf, &size) == NO_ERROR) {
        return win32::Utf8(buf);
    }
    size = UNLEN + 1;
    return GetUserNameW(buf, &size) ? win32::Utf8(buf) : std::string();
}

std::string CommonAppDataFolder() {
    return EnvOr("TESSAROVEN_COMMON_APPDATA", KnownFolder(CSIDL_COMMON_APPDATA));
}

std::string ExecutableFolder() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::string(".") : win32::Utf8(path.substr(0, slash));
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide == nullptr) {
        return {argv, argv + argc};
    }
    std::vector<std::string> args;
    for (int i = 0; i < n; ++i) {
        args.push_back(win32::Utf8(wide[i]));
    }
    LocalFree(wide);
    return args;
}

void UseBinaryStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::string SystemErrorText(int error) {
    const DWORD code = win32::Win32ErrorOf(error);
    if (code == 0) {
        // An error of the C library's own (a folder where a file was expected): its text.
        const char* text = std::strerror(error);
        return text != nullptr ? std::string(text) : "error " + std::to_string(error);
    }
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    LocalFree(text);
    while (!message.empty() &&
           (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
            message.back() == L'.' || message.back() == L'\x3002')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(code) : win32::Utf8(message);
}

bool IsDirectory(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(win32::Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeDirectoryPath(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    size_t pos = 0;
    // A UNC path's server and share are never made: start after them.
    if (path.rfind("\\\\", 0) == 0 || path.rfind("//", 0) == 0) {
        pos = path.find_first_of("\\/", 2);
        pos = pos == std::string::npos ? path.size() : path.find_first_of("\\/", pos + 1);
        if (pos == std::string::npos) {
            return IsDirectory(path);
        }
        ++pos;
    }
    while (pos <= path.size()) {
        const size_t next = path.find_first_of("\\/", pos);
        const size_t end = next == std::string::npos ? path.size() : next;
        const std::string partial = path.substr(0, end);
        // "C:" is a drive, not a folder to make.
        if (!partial.empty() && partial.back() != ':' && !IsDirectory(partial) &&
            !CreateDirectoryW(win32::Wide(partial).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            return win32::FailWithLastError();
        }
        if (next == std::string::npos) {
            break;
        }
        pos = next + 1;
    }
    return IsDirectory(path);
}

// On Windows the settings live in the registry itself; these name the files of the portable
// store, which the command line can still be pointed at.
std::string MachineRegistryPath() {
    return EnvOr("TESSAROVEN_MACHINE_REGISTRY", "");
}

std::string UserRegistryPath() {
    return EnvOr("TESSAROVEN_USER_REGISTRY", "");
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return _wfopen(win32::Wide(path).c_str(), win32::Wide(mode).c_str());
}

}  // namespace platform
