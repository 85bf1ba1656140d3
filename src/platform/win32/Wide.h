#pragma once

// Text crosses into Win32 as UTF-16 and comes back as UTF-8: every call goes to a …W entry point,
// and the program's own strings stay UTF-8.

#include <windows.h>

#include <string>
#include <string_view>

namespace platform::win32 {

inline std::wstring Wide(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

inline std::string Utf8(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

// The errno value that stands for a Win32 error in the logic (which speaks errno), and back:
// system error texts come from the system, in its language, for the Win32 error.
int ErrnoOf(DWORD error);
DWORD Win32ErrorOf(int error);
// Sets errno from GetLastError() and returns false, for a failed call's return.
bool FailWithLastError();

}  // namespace platform::win32
