// Child processes for the tests on Windows, which has no fork: the test program is started again
// for the running test only, and that second run, replaying the test up to the same call, does the
// child's part there. It works in the folders the first run made (TempDir hands them over), so
// what the test did before that call must be safe to do twice.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "platform/win32/Wide.h"
#include "support/TestSupport.h"

namespace testsupport {

namespace {

constexpr wchar_t kChildVariable[] = L"TESSAROVEN_TEST_CHILD";
constexpr wchar_t kFoldersVariable[] = L"TESSAROVEN_TEST_FOLDERS";
// The exit code of a child that DieAbruptly ended.
constexpr UINT kDiedAbruptly = 0xDEAD;

std::string CurrentTest() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info == nullptr ? std::string()
                           : std::string(info->test_suite_name()) + "." + info->name();
}

// The child calls of the running test so far, counted alike in both runs.
int NextChildCall() {
    static std::string test;
    static int calls = 0;
    if (test != CurrentTest()) {
        test = CurrentTest();
        calls = 0;
    }
    return ++calls;
}

// In a run started for a child: which call of the test is its part, and the event that says the
// part is ready; else call 0.
struct ChildRole {
    int call = 0;
    std::wstring readyEvent;
};

const ChildRole& Role() {
    static const ChildRole role = [] {
        ChildRole r;
        wchar_t value[512];
        const DWORD n = GetEnvironmentVariableW(kChildVariable, value, 512);
        if (n > 0 && n < 512) {
            const std::wstring text(value, n);
            const size_t bar = text.find(L'|');
            r.call = _wtoi(text.substr(0, bar).c_str());
            r.readyEvent = bar == std::wstring::npos ? std::wstring() : text.substr(bar + 1);
        }
        return r;
    }();
    return role;
}

// Starts this program again for the running test, as the child of call; its output goes nowhere
// (the first run reports what the test found).
HANDLE StartAgain(int call, const std::wstring& readyEvent) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine =
        L"\"" + std::wstring(self) + L"\" --gtest_filter=" + platform::win32::Wide(CurrentTest());
    SetEnvironmentVariableW(kChildVariable, (std::to_wstring(call) + L"|" + readyEvent).c_str());
    std::string folders;
    for (const auto& folder : detail::RunningTestFolders()) {
        folders += folder + "\n";
    }
    SetEnvironmentVariableW(kFoldersVariable, platform::win32::Wide(folders).c_str());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableW(kChildVariable, nullptr);
    SetEnvironmentVariableW(kFoldersVariable, nullptr);
    CloseHandle(nul);
    if (!started) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

}  // namespace

const std::vector<std::string>& detail::InheritedFolders() {
    static const std::vector<std::string> folders = [] {
        std::vector<std::string> list;
        const DWORD n = GetEnvironmentVariableW(kFoldersVariable, nullptr, 0);
        if (n == 0) {
            return list;
        }
        std::wstring value(n, L'\0');
        value.resize(GetEnvironmentVariableW(kFoldersVariable, value.data(), n));
        const std::string text = platform::win32::Utf8(value);
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            list.push_back(text.substr(start, end - start));
        }
        return list;
    }();
    return folders;
}

int RunInChild(const std::function<int()>& fn, bool asNobody) {
    const int call = NextChildCall();
    if (Role().call == call) {
        const int code = fn();
        std::fflush(nullptr);
        std::_Exit(code);
    }
    // Everyone is an administrator here (under Wine): there is no one to drop to.
    if (asNobody || Role().call != 0) {
        return 99;
    }
    HANDLE process = StartAgain(call, {});
    if (process == nullptr) {
        return -1;
    }
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code == kDiedAbruptly ? -1 : static_cast<int>(code);
}

void DieAbruptly() {
    TerminateProcess(GetCurrentProcess(), kDiedAbruptly);
    std::_Exit(static_cast<int>(kDiedAbruptly));
}

int RunInChildAs(unsigned, unsigned, const std::vector<unsigned>&, const std::function<int()>&) {
    return 99;
}

ChildHolding::ChildHolding(const std::function<void()>& setup) {
    const int call = NextChildCall();
    if (Role().call == call) {
        setup();
        if (HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, Role().readyEvent.c_str())) {
            SetEvent(ready);
        }
        Sleep(INFINITE);
    }
    if (Role().call != 0) {
        return;
    }
    const std::wstring name = L"Local\\tessaroven-test-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(call);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    HANDLE process = StartAgain(call, name);
    if (process == nullptr) {
        CloseHandle(ready);
        throw std::runtime_error("the test program could not be started again");
    }
    HANDLE both[2] = {ready, process};
    const DWORD woken = WaitForMultipleObjects(2, both, FALSE, 60000);
    CloseHandle(ready);
    if (woken != WAIT_OBJECT_0) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, INFINITE);
        CloseHandle(process);
        throw std::runtime_error("the child ended or hung before it held what it was to hold");
    }
    m_pid = static_cast<int>(GetProcessId(process));
    CloseHandle(process);
}

ChildHolding::~ChildHolding() {
    if (m_pid <= 0) {
        return;
    }
    if (HANDLE process =
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(m_pid))) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, INFINITE);
        CloseHandle(process);
    }
}

bool CanTestRefusals() {
    return false;
}

// The commands tests run are Linux programs (Ghostscript, Debian's printer drivers), which Wine
// starts from a Windows program: through a shell script, as Wine neither waits for them nor
// passes on their exit code. Arguments that are Windows paths become the Linux paths of the
// same files. Elsewhere there is nothing to run them.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         bool asNobody) {
    CommandResult result;
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (unixName == nullptr || asNobody || argv.empty()) {
        result.err = "Linux programs run only under Wine";
        return result;
    }
    auto onLinux = [&](const std::string& path) {
        char* name = unixName(platform::win32::Wide(path).c_str());
        std::string linux = name != nullptr ? name : path;
        HeapFree(GetProcessHeap(), 0, name);
        return linux;
    };
    auto quoted = [](const std::string& text) {
        std::string q = "'";
        for (char c : text) {
            q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        return q + "'";
    };
    // "C:\\..." whole, or after the '=' of an option such as -sOutputFile=C:\\...
    auto translated = [&](const std::string& arg) {
        const size_t drive = arg.find(":\\");
        if (drive == 1) {
            return onLinux(arg);
        }
        if (drive != std::string::npos && drive >= 2 && arg[drive - 2] == '=') {
            return arg.substr(0, drive - 1) + onLinux(arg.substr(drive - 1));
        }
        return arg;
    };
    TempDir dir;
    std::string script = "exec <" + quoted("/dev/null") + " >" + quoted(onLinux(dir / "out")) +
                         " 2>" + quoted(onLinux(dir / "err")) + "\n";
    for (const auto& variable : env) {
        script += "export " + quoted(variable) + "\n";
    }
    for (const auto& arg : argv) {
        script += quoted(translated(arg)) + " ";
    }
    const std::string code = onLinux(dir / "code");
    script += "\necho $? >" + quoted(code + ".part") + " && mv " + quoted(code + ".part") + " " +
              quoted(code) + "\n";
    WriteFile(dir / "run.sh", script);
    std::wstring commandLine = L"/bin/sh " + platform::win32::Wide(onLinux(dir / "run.sh"));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        result.err = "the shell could not be started";
        return result;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int waited = 0; !Exists(dir / "code") && waited < 300000; waited += 20) {
        Sleep(20);
    }
    if (!Exists(dir / "code")) {
        result.err = "the command did not end within five minutes";
        return result;
    }
    result.exitCode = std::atoi(ReadFile(dir / "code").c_str());
    result.out = ReadFile(dir / "out");
    result.err = ReadFile(dir / "err");
    return result;
}

void PumpMessages(int milliseconds) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
    MSG msg;
    while (GetTickCount64() < end) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(10);
    }
}

}  // namespace testsupport
