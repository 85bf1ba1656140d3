#pragma once

#include <windows.h>

#include <string>

#include "monitor/Monitor.h"

namespace winui {

// Asks for the current password, a new one twice, or both. It only collects what is typed: the
// command that opened it decides whether the entries will do.
class PasswordWindow {
  public:
    // The controls' command identifiers (GetDlgItem finds them).
    enum Id : int {
        kOk = IDOK,
        kCancel = IDCANCEL,
        kPasswordCaption = 100,
        kPassword,
        kNewPasswordCaption,
        kNewPassword,
        kRepeatPasswordCaption,
        kRepeatPassword,
    };

    PasswordWindow() = default;
    ~PasswordWindow();
    PasswordWindow(const PasswordWindow&) = delete;
    PasswordWindow& operator=(const PasswordWindow&) = delete;

    // Makes the window, hidden; the same window on later calls.
    HWND Create(HWND owner);
    // Shows the rows of a mode (MonitorWindows::PasswordMode), all empty, until OK or キャンセル;
    // after OK entries holds what was typed (nothing for rows not shown). False when cancelled.
    bool Ask(HWND owner, int mode, PasswordEntries& entries);
    // What every showing begins with: the entries emptied, the rows, title and focus of the mode.
    // An unknown mode leaves the rows as they were.
    void Prepare(int mode);

    HWND Window() const { return m_window; }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);
    void Layout();
    void Clear();
    HWND Item(int id) const { return GetDlgItem(m_window, id); }

    HWND m_window = nullptr;
    HWND m_focus = nullptr;  // the control that had the focus when the window was left
    bool m_current = true;   // the row of the current password shows
    bool m_fresh = true;     // the two rows of the new password show
};

}  // namespace winui
