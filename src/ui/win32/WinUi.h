#pragma once

// What every native Windows window of the program shares: sizes at the monitor's DPI, the
// desktop's font, a modal loop that leaves the tray icon working, the CSV save dialog and the
// message boxes.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "platform/MessageSink.h"
#include "platform/win32/Wide.h"

namespace winui {

using platform::win32::Utf8;
using platform::win32::Wide;

// A length designed at 96 dots per inch, in pixels at the window's DPI.
int Scale(HWND window, int designed);
// The desktop's message font at the window's DPI; kept for the program's life, never deleted by
// callers. The same font for the same DPI.
HFONT UiFont(HWND window);
// The same font in bold, or in another designed pixel height (at 96 DPI).
HFONT UiFontSized(HWND window, int designedPixels, bool bold = false);
// Sets a font on a window and every child window.
void ApplyFont(HWND window, HFONT font);
// How wide and high a text is drawn in a font.
SIZE TextExtent(HWND window, HFONT font, std::wstring_view text);

// Makes a child control; id is its command identifier.
HWND Control(HWND parent, const wchar_t* className, const std::wstring& text, DWORD style, int id,
             DWORD exStyle = 0);
std::wstring WindowText(HWND window);
// Moves a control in client pixels.
void Place(HWND control, int x, int y, int width, int height);

// The object a window belongs to, for its class's window procedure: the object comes with
// CreateWindowExW's last argument and is kept in the window's user data, its window member set at
// WM_NCCREATE and cleared at WM_NCDESTROY. Null before the first message and at the last one:
// the default handling then runs.
template <typename T>
T* WindowOwner(HWND window, UINT message, LPARAM l, HWND T::*windowMember) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<T*>(reinterpret_cast<const CREATESTRUCTW*>(l)->lpCreateParams);
        self->*windowMember = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        return self;
    }
    auto* self = reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && message == WM_NCDESTROY) {
        self->*windowMember = nullptr;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return nullptr;
    }
    return self;
}

// A dialog-like window's focus, given back where it was: `focus` keeps the control that had it
// when the window was left, and gets it again when the window is activated or shown. True when
// the message is done; WM_SHOWWINDOW goes on to the default handling.
inline constexpr UINT kRestoreFocusMessage = WM_APP + 1;
bool KeepDialogFocus(HWND window, HWND& focus, UINT message, WPARAM w);

// Registers a window class once (a no-op for a class already registered by this module).
void RegisterWindowClass(const wchar_t* name, WNDPROC procedure, HBRUSH background = nullptr);
// Moves a window of a fixed layout to where WM_DPICHANGED suggests (its size follows from laying
// it out again at the new DPI).
void MoveToSuggested(HWND window, LPARAM suggested);
// Centres a top-level window in the work area of the monitor it is on.
void CenterOnScreen(HWND window);

// Shows a window and runs its messages until EndModal is called for it; returns the result given
// there. Only the window itself is modal: the tray icon's window stays enabled (the program's
// guard keeps a second window from opening), so the menu still opens. Tab, Enter and Esc work as
// in a dialog.
int RunModal(HWND window);
void EndModal(HWND window, int result);
bool IsModalRunning(HWND window);

// Handles this thread's queued messages (for waits that must keep the windows answering); a quit
// message is left for the loop it is meant for.
void PumpPendingMessages();

// The name with the characters file systems or a Windows share refuse replaced by '_'.
std::wstring SafeFileName(std::wstring name);
// Asks where to save a CSV file, starting in the folder used last (Documents at first) with the
// suggested name. Empty when cancelled.
std::wstring AskCsvPath(HWND owner, const std::wstring& suggestedName);
// Writes the pieces nextPiece gives (until it returns false) to path as one new file: a file that
// was there stays as it was unless the whole new one was written. False after telling the user
// why.
bool WriteCsvFile(const std::wstring& path, const std::function<bool(std::string&)>& nextPiece,
                  platform::MessageSink& sink);

// Shows the program's messages as MessageBoxW: icon and caption as given, owned by the window of
// this thread that is active (so the box stands over the window it is about). A message raised
// on another thread is handed to the thread that made the sink and the caller goes on at once.
class Win32MessageSink final : public platform::MessageSink {
  public:
    Win32MessageSink();
    ~Win32MessageSink() override;
    void Show(const std::string& text, const std::string& caption, int flag) override;
    // Asks a question with Yes and No, No the default; true for Yes.
    static bool AskYesNo(HWND owner, const std::string& text, const std::string& caption, int flag);

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    DWORD m_thread;
    HWND m_window = nullptr;  // message-only, on the sink's thread
};

}  // namespace winui
