#include "ui/win32/PasswordWindow.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "ui/win32/WinUi.h"

namespace winui {

namespace {

// Posted to itself when shown.
constexpr wchar_t kClassName[] = L"TessarovenPassword";

// Per mode: title and which of the current and the two new-password rows show.
struct ModeLayout {
    const wchar_t* title;
    bool current;
    bool fresh;
};
constexpr ModeLayout kModes[] = {
    {L"パスワードを入力してください。", true, false},
    {L"パスワードの変更", true, true},
    {L"パスワードの設定", false, true},
};

}  // namespace

PasswordWindow::~PasswordWindow() {
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
}

HWND PasswordWindow::Create(HWND owner) {
    if (m_window != nullptr) {
        return m_window;
    }
    RegisterWindowClass(kClassName, &PasswordWindow::Procedure);
    // A dialog frame without system menu or close box: OK, キャンセル, Enter or Esc close it.
    CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kClassName, kModes[1].title,
                    WS_POPUP | WS_CAPTION, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, owner, nullptr,
                    GetModuleHandleW(nullptr), this);
    if (m_window == nullptr) {
        return nullptr;
    }
    auto row = [this](const wchar_t* caption, int id) {
        Control(m_window, L"STATIC", caption, SS_RIGHT | SS_CENTERIMAGE | SS_NOPREFIX, id);
        // Masked, and no length limit.
        const HWND edit = Control(m_window, L"EDIT", L"", WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL,
                                  id + 1, WS_EX_CLIENTEDGE);
        SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
    };
    row(L"パスワードの入力 :", kPasswordCaption);
    row(L"新パスワードの入力 :", kNewPasswordCaption);
    row(L"新パスワードの再入力 :", kRepeatPasswordCaption);
    Control(m_window, L"BUTTON", L"OK", WS_TABSTOP | BS_DEFPUSHBUTTON, kOk);
    Control(m_window, L"BUTTON", L"キャンセル", WS_TABSTOP | BS_PUSHBUTTON, kCancel);
    m_focus = Item(kPassword);
    Layout();
    return m_window;
}

bool PasswordWindow::Ask(HWND owner, int mode, PasswordEntries& entries) {
    if (Create(owner) == nullptr) {
        return false;
    }
    Prepare(mode);
    CenterOnScreen(m_window);
    const bool ok = RunModal(m_window) == IDOK;
    if (ok) {
        entries.current = Utf8(WindowText(Item(kPassword)));
        entries.first = Utf8(WindowText(Item(kNewPassword)));
        entries.second = Utf8(WindowText(Item(kRepeatPassword)));
    }
    // Nothing typed stays behind in the hidden window.
    Clear();
    return ok;
}

void PasswordWindow::Clear() {
    for (int id : {kPassword, kNewPassword, kRepeatPassword}) {
        SetWindowTextW(Item(id), L"");
    }
}

void PasswordWindow::Prepare(int mode) {
    Clear();
    if (mode < MonitorWindows::kEnter || mode > MonitorWindows::kSet) {
        return;
    }
    const ModeLayout& m = kModes[mode - MonitorWindows::kEnter];
    SetWindowTextW(m_window, m.title);
    m_current = m.current;
    m_fresh = m.fresh;
    for (int id : {kPasswordCaption, kPassword}) {
        ShowWindow(Item(id), m_current ? SW_SHOWNA : SW_HIDE);
    }
    for (int id : {kNewPasswordCaption, kNewPassword, kRepeatPasswordCaption, kRepeatPassword}) {
        ShowWindow(Item(id), m_fresh ? SW_SHOWNA : SW_HIDE);
    }
    Layout();
    m_focus = Item(m_current ? kPassword : kNewPassword);
    if (GetActiveWindow() == m_window) {
        SetFocus(m_focus);
    }
}

void PasswordWindow::Layout() {
    const HWND w = m_window;
    const HFONT font = UiFont(w);
    ApplyFont(w, font);
    auto s = [w](int designed) { return Scale(w, designed); };
    auto width = [w, font](const std::wstring& text) {
        return static_cast<int>(TextExtent(w, font, text).cx);
    };
    const int line = static_cast<int>(TextExtent(w, font, L"").cy);
    const int edge = GetSystemMetricsForDpi(SM_CXEDGE, GetDpiForWindow(w));
    const int editHeight = std::max(s(21), line + 2 * edge + s(4));
    const int buttonHeight = std::max(s(25), line + s(10));
    // The rows shown, and no more: hidden rows take no room.
    std::vector<int> shown;
    if (m_current) {
        shown.push_back(kPasswordCaption);
    }
    if (m_fresh) {
        shown.push_back(kNewPasswordCaption);
        shown.push_back(kRepeatPasswordCaption);
    }
    int captionWidth = 0;
    for (int id : shown) {
        captionWidth = std::max(captionWidth, width(WindowText(Item(id))));
    }
    const int left = s(8);
    const int editX = left + captionWidth + s(6);
    const int editWidth = s(201);
    int y = s(11);
    for (int id : shown) {
        Place(Item(id), left, y, captionWidth, editHeight);
        Place(Item(id + 1), editX, y, editWidth, editHeight);
        y += editHeight + s(3);
    }
    y += s(14) - s(3);
    const int clientWidth = editX + editWidth + s(8);
    const int okWidth = std::max(s(75), width(L"OK") + s(20));
    const int cancelWidth = std::max(s(75), width(L"キャンセル") + s(20));
    const int buttonsX = (clientWidth - okWidth - s(6) - cancelWidth) / 2;
    Place(Item(kOk), buttonsX, y, okWidth, buttonHeight);
    Place(Item(kCancel), buttonsX + okWidth + s(6), y, cancelWidth, buttonHeight);
    y += buttonHeight + s(14);
    RECT frame{0, 0, clientWidth, y};
    AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(w, GWL_STYLE)), FALSE,
                             static_cast<DWORD>(GetWindowLongPtrW(w, GWL_EXSTYLE)),
                             GetDpiForWindow(w));
    SetWindowPos(w, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK PasswordWindow::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    PasswordWindow* self = WindowOwner(window, message, l, &PasswordWindow::m_window);
    return self != nullptr ? self->Handle(message, w, l) : DefWindowProcW(window, message, w, l);
}

LRESULT PasswordWindow::Handle(UINT message, WPARAM w, LPARAM l) {
    // The control that had the focus gets it back, as in a dialog.
    if (KeepDialogFocus(m_window, m_focus, message, w)) {
        return 0;
    }
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(w) == BN_CLICKED && (LOWORD(w) == kOk || LOWORD(w) == kCancel)) {
                EndModal(m_window, LOWORD(w));
            }
            return 0;
        case WM_CLOSE:
            EndModal(m_window, IDCANCEL);
            return 0;
        case DM_GETDEFID:
            return MAKELRESULT(kOk, DC_HASDEFID);
        case WM_DPICHANGED:
            MoveToSuggested(m_window, l);
            Layout();
            return 0;
        default:
            return DefWindowProcW(m_window, message, w, l);
    }
}

}  // namespace winui
