#include "platform/MappedFile.h"

#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <string>

#include "platform/win32/Wide.h"

namespace platform {

// fd is a C runtime descriptor over the file's handle, as the shared files hand them out.
MappedFile::MappedFile(int fd) : m_fd(fd) {
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    LARGE_INTEGER size{};
    if (fd < 0 || file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK ||
        !GetFileSizeEx(file, &size) || static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX) {
        return;
    }
    m_size = static_cast<std::size_t>(size.QuadPart);
    if (m_size > 0) {
        HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping == nullptr) {
            m_size = 0;
            return;
        }
        m_data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, m_size);
        CloseHandle(mapping);  // the view keeps the mapping
        if (m_data == nullptr) {
            m_size = 0;
            return;
        }
    }
    m_ok = true;
    // Counting in a child process is a Linux feature: no descriptor is kept for one here. The
    // view keeps the file.
    _close(m_fd);
    m_fd = -1;
}

MappedFile::~MappedFile() {
    if (m_data != nullptr) {
        UnmapViewOfFile(m_data);
    }
    if (m_fd >= 0) {
        _close(m_fd);
    }
    if (m_readOnly >= 0) {
        _close(m_readOnly);
    }
}

int AnonymousFile() {
    wchar_t dir[MAX_PATH + 1] = {};
    wchar_t path[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, dir) == 0 || GetTempFileNameW(dir, L"tsv", 0, path) == 0) {
        return -1;
    }
    // Deleted by the system when the last handle closes; no one else may open it meanwhile.
    HANDLE file =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(path);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
    }
    return fd;
}

}  // namespace platform
