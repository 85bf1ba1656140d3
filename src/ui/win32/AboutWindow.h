#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace winui {

// The address the build gives for enquiries; empty when it gives none.
std::string BuildContactAddress();

// The version information box.
class AboutWindow {
  public:
    // The controls' command identifiers (GetDlgItem finds them).
    enum Id : int {
        kOk = IDOK,
        kIcon = 100,
        kProductName,
        kVersionCaption,  // "Version"
        kVersion,
        kComments,
        kContactCaption,  // "御問い合わせ"
        kLink,
        kRights,
        kPanel,
    };
    static constexpr const char* kRightsNotice = "Copyright (C) 2026 The Tessaroven developers";

    // Without an address the enquiry line and its link are left out.
    explicit AboutWindow(std::string address = BuildContactAddress());
    ~AboutWindow();
    AboutWindow(const AboutWindow&) = delete;
    AboutWindow& operator=(const AboutWindow&) = delete;

    // Makes the window, hidden; the same window on later calls.
    HWND Create(HWND owner);
    // Shows the box with the version read again until OK (or Enter, or Esc) closes it.
    int Run(HWND owner);
    // What every showing begins with: the running program's version, the focus on OK.
    void Refresh();

    HWND Window() const { return m_window; }
    bool LinkVisited() const { return m_visited; }

    // The file version in a program file's version resource, "%d.%d.%d.%d"; "(未定義)" when it
    // has none.
    static std::string FileVersionOf(const std::wstring& path);

    // Opens the address; false when it could not be. The shell's "open" unless replaced.
    std::function<bool(HWND, const std::string&)> openLink;

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);
    void Layout();
    void OpenLink();
    HWND Item(int id) const { return GetDlgItem(m_window, id); }
    // A font of designedPixels where the desktop's font has 12.
    HFONT Relative(int designedPixels, bool bold = false);

    std::string m_address;
    HWND m_window = nullptr;
    HFONT m_linkFont = nullptr;  // underlined, the window's own
    HICON m_icon = nullptr;      // the program's, at this DPI; the window's own
    bool m_visited = false;      // purple for the rest of the run
};

}  // namespace winui
