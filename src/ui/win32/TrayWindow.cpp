#include "ui/win32/TrayWindow.h"

#include <shellapi.h>

#include <stdexcept>

#include "platform/EventPump.h"
#include "ui/win32/WinUi.h"

namespace winui {

namespace {

constexpr UINT kIconMessage = WM_APP + 20;
constexpr UINT kIconId = 1;
constexpr UINT_PTR kStatusTimer = 1;

}  // namespace

TrayWindow::TrayWindow(const MonitorServices& services) : m_monitor(services, *this) {
    RegisterWindowClass(kClassName, &TrayWindow::Procedure);
    // A top-level window that is never shown (a message-only window gets no broadcasts: neither
    // the end of the session nor a restarted task bar).
    m_window = CreateWindowExW(0, kClassName, L"Tessaroven", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               GetModuleHandleW(nullptr), this);
    if (m_window == nullptr) {
        // Without its window the program has no menu and no status timer: it could not stop.
        throw std::runtime_error("ウィンドウを作成できませんでした。");
    }
    m_taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

    m_menu = CreatePopupMenu();
    auto item = [this](int id, const wchar_t* text) {
        AppendMenuW(m_menu, MF_STRING, static_cast<UINT_PTR>(id), text);
    };
    item(kPrintTotals, L"印刷情報の集計(&C)...");
    item(kPrintLog, L"印刷ログの表示(&L)...");
    item(kOptions, L"オプション(&O)...");
    AppendMenuW(m_menu, MF_SEPARATOR, 0, nullptr);
    item(kSetPassword, L"パスワードの設定(&P)...");
    item(kChangePassword, L"パスワードの変更(&G)...");
    item(kDeletePassword, L"パスワードの削除(&D)...");
    AppendMenuW(m_menu, MF_SEPARATOR, 0, nullptr);
    item(kVersion, L"バージョン情報(&V)...");
    // Users cannot end the monitor from the menu: it has no exit command.
    OfferPasswordCommands(m_monitor.PasswordSet());

    m_icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1),
                                           IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                           GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    if (m_icon == nullptr) {
        m_icon = LoadIconW(nullptr, IDI_APPLICATION);
    }
}

TrayWindow::~TrayWindow() {
    m_monitor.Shutdown();
    HideTrayIcon();
    if (m_menu != nullptr) {
        DestroyMenu(m_menu);
    }
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
}

void TrayWindow::AddIcon() {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = m_window;
    data.uID = kIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kIconMessage;
    data.hIcon = m_icon;
    wcscpy_s(data.szTip, L"Tessaroven");
    m_iconShown = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void TrayWindow::Start() {
    AddIcon();
    SetTimer(m_window, kStatusTimer, 1000, nullptr);
    m_monitor.Start();
}

void TrayWindow::RunMessageLoop() {
    MSG msg;
    while (!m_closed) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void TrayWindow::ShowMenu() {
    POINT at;
    GetCursorPos(&at);
    // The menu closes when the user clicks elsewhere only while our window is in front.
    SetForegroundWindow(m_window);
    const int command = static_cast<int>(TrackPopupMenuEx(
        m_menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, m_window, nullptr));
    PostMessageW(m_window, WM_NULL, 0, 0);
    if (command != 0) {
        RunCommand(command);
    }
}

void TrayWindow::RunCommand(int command) {
    switch (command) {
        case kPrintTotals:
            m_monitor.ShowPrintTotals();
            break;
        case kPrintLog:
            m_monitor.ShowPrintLog();
            break;
        case kOptions:
            m_monitor.ShowOptions();
            break;
        case kSetPassword:
            m_monitor.SetPassword();
            break;
        case kChangePassword:
            m_monitor.ChangePassword();
            break;
        case kDeletePassword:
            m_monitor.DeletePassword();
            break;
        case kVersion:
            m_monitor.ShowVersion();
            break;
        default:
            break;
    }
}

LRESULT CALLBACK TrayWindow::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(l);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TrayWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr || self->m_window == nullptr) {
        return DefWindowProcW(window, message, w, l);
    }
    return self->Handle(message, w, l);
}

LRESULT TrayWindow::Handle(UINT message, WPARAM w, LPARAM l) {
    if (message == m_taskbarCreated && m_taskbarCreated != 0) {
        // The task bar came back (Explorer restarted): the icon is added again.
        if (m_iconShown && !m_closed) {
            AddIcon();
        }
        return 0;
    }
    switch (message) {
        case kIconMessage:
            // Only the right button opens the menu; clicks and double clicks do nothing.
            if (LOWORD(l) == WM_RBUTTONUP || LOWORD(l) == WM_CONTEXTMENU) {
                ShowMenu();
            }
            return 0;
        case WM_TIMER:
            if (w == kStatusTimer) {
                KillTimer(m_window, kStatusTimer);
                if (m_monitor.PollStatus()) {
                    SetTimer(m_window, kStatusTimer, 1000, nullptr);
                }
            }
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            // The session ends: the jobs being followed are recorded and the status ends at 2
            // before the system ends the process.
            if (w != FALSE) {
                m_monitor.Shutdown();
            }
            return 0;
        case WM_CLOSE:
            m_monitor.Shutdown();
            return 0;
        default:
            break;
    }
    return DefWindowProcW(m_window, message, w, l);
}

void TrayWindow::OpenPrintTotals() {
    if (m_commands.printTotals) {
        m_commands.printTotals();
    }
}

void TrayWindow::OpenPrintLog() {
    if (m_commands.printLog) {
        m_commands.printLog();
    }
}

void TrayWindow::OpenOptions() {
    if (m_commands.options) {
        m_commands.options();
    }
}

void TrayWindow::OpenVersion() {
    if (m_commands.version) {
        m_commands.version();
    }
}

bool TrayWindow::AskPassword(int mode, PasswordEntries& entries) {
    return m_commands.askPassword && m_commands.askPassword(mode, entries);
}

void TrayWindow::OfferPasswordCommands(bool passwordSet) {
    EnableMenuItem(m_menu, kSetPassword, MF_BYCOMMAND | (passwordSet ? MF_GRAYED : MF_ENABLED));
    EnableMenuItem(m_menu, kChangePassword, MF_BYCOMMAND | (passwordSet ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(m_menu, kDeletePassword, MF_BYCOMMAND | (passwordSet ? MF_ENABLED : MF_GRAYED));
}

void TrayWindow::StopPolling() {
    KillTimer(m_window, kStatusTimer);
}

void TrayWindow::HideTrayIcon() {
    if (!m_iconShown) {
        return;
    }
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = m_window;
    data.uID = kIconId;
    Shell_NotifyIconW(NIM_DELETE, &data);
    m_iconShown = false;
}

void TrayWindow::MonitorClosed() {
    m_closed = true;
    // Ends the message loop, and the loop of a window still open (it closes with the program).
    PostQuitMessage(0);
}

}  // namespace winui
