#pragma once

#include <windows.h>

#include <functional>

#include "monitor/Monitor.h"

namespace winui {

// The windows the tray menu opens; each shows its window until it is closed.
struct TrayCommands {
    std::function<void()> printTotals;
    std::function<void()> printLog;
    std::function<void()> options;
    std::function<void()> version;
    std::function<bool(int mode, PasswordEntries& entries)> askPassword;
};

// The program's hub on Windows: a hidden window that owns the notification-area icon and its
// popup menu, runs the monitor's status timer every second and ends the message loop once the
// monitor has shut down. Logging off, or WM_CLOSE from another program, stops it as a stop
// request does.
class TrayWindow final : private MonitorWindows {
  public:
    // The menu's command identifiers.
    enum Command {
        kPrintTotals = 101,
        kPrintLog,
        kOptions,
        kSetPassword,
        kChangePassword,
        kDeletePassword,
        kVersion,
    };
    static constexpr const wchar_t* kClassName = L"TessarovenTray";

    explicit TrayWindow(const MonitorServices& services);
    ~TrayWindow() override;
    TrayWindow(const TrayWindow&) = delete;
    TrayWindow& operator=(const TrayWindow&) = delete;

    void SetCommands(TrayCommands commands) { m_commands = std::move(commands); }
    Monitor& Core() { return m_monitor; }
    HWND Window() const { return m_window; }
    HMENU Menu() const { return m_menu; }

    // Adds the icon, starts the status timer and the monitor (a watcher per printer).
    void Start();
    // Runs the program's messages until the monitor has shut down.
    void RunMessageLoop();
    // Runs a menu command as a click on the menu would.
    void RunCommand(int command);

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);
    void AddIcon();
    void ShowMenu();

    void OpenPrintTotals() override;
    void OpenPrintLog() override;
    void OpenOptions() override;
    void OpenVersion() override;
    bool AskPassword(int mode, PasswordEntries& entries) override;
    void OfferPasswordCommands(bool passwordSet) override;
    void StopPolling() override;
    void HideTrayIcon() override;
    void MonitorClosed() override;

    HWND m_window = nullptr;
    HMENU m_menu = nullptr;
    HICON m_icon = nullptr;
    bool m_iconShown = false;
    bool m_closed = false;
    UINT m_taskbarCreated = 0;
    TrayCommands m_commands;
    Monitor m_monitor;
};

}  // namespace winui
