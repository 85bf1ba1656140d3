#include "ui/win32/WinUi.h"

#include <commdlg.h>
#include <shlobj.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <utility>

namespace winui {

namespace {

struct ModalState {
    bool done = false;
    int result = 0;
};

// The windows whose modal loop runs, innermost last; only the interface thread uses it.
std::map<HWND, ModalState>& ModalStates() {
    static std::map<HWND, ModalState> states;
    return states;
}

UINT DpiOf(HWND window) {
    const UINT dpi = window != nullptr ? GetDpiForWindow(window) : 0;
    return dpi != 0 ? dpi : 96;
}

std::wstring SystemText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n != 0 ? std::wstring(buffer, n) : L"error " + std::to_wstring(error);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    return text;
}

std::wstring& LastCsvFolder() {
    static std::wstring folder;
    return folder;
}

constexpr UINT kQueuedMessage = WM_APP + 1;

struct QueuedMessage {
    std::string text;
    std::string caption;
    int flag;
};

}  // namespace

int Scale(HWND window, int designed) {
    return MulDiv(designed, static_cast<int>(DpiOf(window)), 96);
}

HFONT UiFontSized(HWND window, int designedPixels, bool bold) {
    static std::mutex lock;
    static std::map<std::tuple<UINT, int, bool>, HFONT> fonts;
    const UINT dpi = DpiOf(window);
    std::lock_guard<std::mutex> hold(lock);
    HFONT& font = fonts[{dpi, designedPixels, bold}];
    if (font == nullptr) {
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof metrics;
        if (!SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0,
                                        dpi)) {
            SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        }
        LOGFONTW face = metrics.lfMessageFont;
        if (designedPixels > 0) {
            face.lfHeight = -MulDiv(designedPixels, static_cast<int>(dpi), 96);
        }
        if (bold) {
            face.lfWeight = FW_BOLD;
        }
        font = CreateFontIndirectW(&face);
    }
    return font;
}

HFONT UiFont(HWND window) {
    return UiFontSized(window, 0);
}

void ApplyFont(HWND window, HFONT font) {
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    EnumChildWindows(
        window,
        [](HWND child, LPARAM f) -> BOOL {
            SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(f), TRUE);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(font));
}

SIZE TextExtent(HWND window, HFONT font, std::wstring_view text) {
    SIZE size{0, 0};
    HDC dc = GetDC(window);
    HGDIOBJ old = SelectObject(dc, font);
    if (text.empty()) {
        TEXTMETRICW metrics{};
        GetTextMetricsW(dc, &metrics);
        size.cy = metrics.tmHeight;
    } else {
        GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size);
    }
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    return size;
}

HWND Control(HWND parent, const wchar_t* className, const std::wstring& text, DWORD style, int id,
             DWORD exStyle) {
    return CreateWindowExW(exStyle, className, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0,
                           0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
}

std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

void Place(HWND control, int x, int y, int width, int height) {
    SetWindowPos(control, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool KeepDialogFocus(HWND window, HWND& focus, UINT message, WPARAM w) {
    switch (message) {
        case WM_ACTIVATE:
            if (LOWORD(w) == WA_INACTIVE) {
                const HWND now = GetFocus();
                if (now != nullptr && IsChild(window, now)) {
                    focus = now;
                }
            } else if (focus != nullptr) {
                SetFocus(focus);
            }
            return true;
        case WM_SHOWWINDOW:
            // Once the window is up, whether or not it was active before.
            if (w != FALSE) {
                PostMessageW(window, kRestoreFocusMessage, 0, 0);
            }
            return false;
        case kRestoreFocusMessage:
            if (focus != nullptr) {
                SetFocus(focus);
            }
            return true;
        default:
            return false;
    }
}

void RegisterWindowClass(const wchar_t* name, WNDPROC procedure, HBRUSH background) {
    WNDCLASSEXW c{};
    c.cbSize = sizeof c;
    if (GetClassInfoExW(GetModuleHandleW(nullptr), name, &c)) {
        return;
    }
    c.lpfnWndProc = procedure;
    c.hInstance = GetModuleHandleW(nullptr);
    c.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    c.hbrBackground = background != nullptr ? background : GetSysColorBrush(COLOR_BTNFACE);
    c.lpszClassName = name;
    // The program's icon (resource 1) when the executable has one.
    c.hIcon = LoadIconW(c.hInstance, MAKEINTRESOURCEW(1));
    RegisterClassExW(&c);
}

void MoveToSuggested(HWND window, LPARAM suggested) {
    const RECT* r = reinterpret_cast<const RECT*>(suggested);
    SetWindowPos(window, nullptr, r->left, r->top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CenterOnScreen(HWND window) {
    RECT frame;
    GetWindowRect(window, &frame);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& area = monitor.rcWork;
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = area.left + std::max(0L, (area.right - area.left - width) / 2);
    const int y = area.top + std::max(0L, (area.bottom - area.top - height) / 2);
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int RunModal(HWND window) {
    auto& states = ModalStates();
    states[window] = ModalState{};
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    MSG msg;
    while (!states[window].done) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            // The program is ending: the loop below ours gets the quit message too.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!IsDialogMessageW(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    const int result = states[window].result;
    states.erase(window);
    if (IsWindow(window)) {
        ShowWindow(window, SW_HIDE);
    }
    return result;
}

void EndModal(HWND window, int result) {
    auto& states = ModalStates();
    const auto it = states.find(window);
    if (it != states.end()) {
        it->second.done = true;
        it->second.result = result;
        // Wakes the loop should nothing else be queued.
        PostMessageW(window, WM_NULL, 0, 0);
    }
}

bool IsModalRunning(HWND window) {
    return ModalStates().count(window) != 0;
}

void PumpPendingMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

std::wstring SafeFileName(std::wstring name) {
    for (wchar_t& c : name) {
        if (c < 0x20 || std::wstring_view(L"/\\:*?\"<>|").find(c) != std::wstring_view::npos) {
            c = L'_';
        }
    }
    return name;
}

std::wstring AskCsvPath(HWND owner, const std::wstring& suggestedName) {
    std::wstring folder = LastCsvFolder();
    if (folder.empty()) {
        wchar_t documents[MAX_PATH] = {};
        if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, documents))) {
            folder = documents;
        }
    }
    std::wstring file = SafeFileName(suggestedName);
    file.resize(std::max<size_t>(file.size() + 1, 32768), L'\0');
    static const wchar_t kFilter[] = L"CSVファイル (*.csv)\0*.csv\0すべてのファイル (*.*)\0*.*\0";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = kFilter;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    ofn.lpstrTitle = L"CSVファイルに保存";
    ofn.lpstrDefExt = L"csv";
    ofn.Flags =
        OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER | OFN_HIDEREADONLY;
    if (!GetSaveFileNameW(&ofn)) {
        return {};
    }
    file.resize(wcslen(file.c_str()));
    const size_t slash = file.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        LastCsvFolder() = file.substr(0, slash);
    }
    return file;
}

bool WriteCsvFile(const std::wstring& path, const std::function<bool(std::string&)>& nextPiece,
                  platform::MessageSink& sink) {
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    // Written beside the file under another name, then put in its place in one step.
    const std::wstring partial = path + L".partial";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    std::string piece;
    while (error == ERROR_SUCCESS && nextPiece(piece)) {
        size_t done = 0;
        while (done < piece.size() && error == ERROR_SUCCESS) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(piece.size() - done, 1 << 20));
            DWORD written = 0;
            if (!WriteFile(file, piece.data() + done, chunk, &written, nullptr) || written == 0) {
                error = GetLastError();
            }
            done += written;
        }
        piece.clear();
    }
    if (file != INVALID_HANDLE_VALUE) {
        if (error == ERROR_SUCCESS && !FlushFileBuffers(file)) {
            error = GetLastError();
        }
        CloseHandle(file);
        if (error == ERROR_SUCCESS &&
            !MoveFileExW(partial.c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            error = GetLastError();
        }
        if (error != ERROR_SUCCESS) {
            DeleteFileW(partial.c_str());
        }
    }
    SetCursor(previous);
    if (error != ERROR_SUCCESS) {
        sink.Show(std::string("CSVファイルを保存できませんでした。\n") + Utf8(path) + "\n" +
                      Utf8(SystemText(error)),
                  "Tessaroven Error", platform::kIconStop);
    }
    return error == ERROR_SUCCESS;
}

Win32MessageSink::Win32MessageSink() : m_thread(GetCurrentThreadId()) {
    RegisterWindowClass(L"TessarovenMessages", &Win32MessageSink::Procedure);
    m_window = CreateWindowExW(0, L"TessarovenMessages", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
}

Win32MessageSink::~Win32MessageSink() {
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
}

LRESULT CALLBACK Win32MessageSink::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == kQueuedMessage) {
        std::unique_ptr<QueuedMessage> queued(reinterpret_cast<QueuedMessage*>(l));
        MessageBoxW(GetActiveWindow(), Wide(queued->text).c_str(), Wide(queued->caption).c_str(),
                    static_cast<UINT>(queued->flag) | MB_SETFOREGROUND);
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

void Win32MessageSink::Show(const std::string& text, const std::string& caption, int flag) {
    if (GetCurrentThreadId() != m_thread && m_window != nullptr) {
        auto queued = std::make_unique<QueuedMessage>(QueuedMessage{text, caption, flag});
        if (PostMessageW(m_window, kQueuedMessage, 0, reinterpret_cast<LPARAM>(queued.get()))) {
            queued.release();
        }
        return;
    }
    MessageBoxW(GetActiveWindow(), Wide(text).c_str(), Wide(caption).c_str(),
                static_cast<UINT>(flag) | MB_SETFOREGROUND);
}

bool Win32MessageSink::AskYesNo(HWND owner, const std::string& text, const std::string& caption,
                                int flag) {
    return MessageBoxW(owner, Wide(text).c_str(), Wide(caption).c_str(),
                       static_cast<UINT>(flag) | MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

}  // namespace winui
