#include "ui/win32/AboutWindow.h"

#include <shellapi.h>

#include <algorithm>
#include <array>
#include <vector>

#include "admin/OptionsTexts.h"
#include "ui/win32/WinUi.h"

namespace winui {

namespace {

// Posted to itself when shown.
constexpr wchar_t kClassName[] = L"TessarovenAbout";
constexpr wchar_t kCommentsText[] = L"印刷スプールの状態を監視して印刷枚数を取り出し集計します。";
constexpr COLORREF kLinkColour = RGB(0, 0, 255);
constexpr COLORREF kVisitedColour = RGB(128, 0, 128);

int Width(HWND window, HFONT font, const std::wstring& text) {
    return static_cast<int>(TextExtent(window, font, text).cx);
}

int Height(HWND window, HFONT font) {
    return static_cast<int>(TextExtent(window, font, L"").cy);
}

// How high text is when broken into lines of width, as a static control breaks it.
int WrappedHeight(HWND window, HFONT font, const std::wstring& text, int width) {
    RECT box{0, 0, width, 0};
    HDC dc = GetDC(window);
    HGDIOBJ old = SelectObject(dc, font);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box,
              DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    return static_cast<int>(box.bottom);
}

std::wstring ExecutablePath() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n < path.size() ? n : 0);
    return path;
}

}  // namespace

std::string BuildContactAddress() {
#if defined(TESSAROVEN_CONTACT_ADDRESS)
    return TESSAROVEN_CONTACT_ADDRESS;
#else
    return {};
#endif
}

std::string AboutWindow::FileVersionOf(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    // A resource without the fixed block tells no version either.
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) ||
        info == nullptr || length < sizeof *info || info->dwSignature != VS_FFI_SIGNATURE) {
        return FileVersionText(std::nullopt);
    }
    return FileVersionText(
        std::array<int, 4>{HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                           HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS)});
}

AboutWindow::AboutWindow(std::string address)
    : openLink([](HWND owner, const std::string& address) {
          return reinterpret_cast<INT_PTR>(ShellExecuteW(owner, L"open", Wide(address).c_str(),
                                                         nullptr, nullptr, SW_SHOW)) > 32;
      }),
      m_address(std::move(address)) {}

AboutWindow::~AboutWindow() {
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
    if (m_linkFont != nullptr) {
        DeleteObject(m_linkFont);
    }
    if (m_icon != nullptr) {
        DestroyIcon(m_icon);
    }
}

HWND AboutWindow::Create(HWND owner) {
    if (m_window != nullptr) {
        return m_window;
    }
    RegisterWindowClass(kClassName, &AboutWindow::Procedure);
    // A dialog frame without system menu or close box: OK (or Enter) closes it.
    CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kClassName, L"バージョン情報",
                    WS_POPUP | WS_CAPTION, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, owner, nullptr,
                    GetModuleHandleW(nullptr), this);
    if (m_window == nullptr) {
        return nullptr;
    }
    auto text = [this](const std::wstring& t, int id, DWORD style = SS_LEFT) {
        return Control(m_window, L"STATIC", t, style | SS_NOPREFIX, id);
    };
    Control(m_window, L"STATIC", L"", SS_ICON, kIcon);
    text(L"Tessaroven", kProductName);
    text(L"Version", kVersionCaption);
    text(L"1.0.0", kVersion);
    text(kCommentsText, kComments, SS_LEFT | SS_EDITCONTROL);
    const bool contact = !m_address.empty();
    text(L"御問い合わせ", kContactCaption);
    text(Wide(m_address), kLink, SS_LEFT | SS_NOTIFY);
    ShowWindow(Item(kContactCaption), contact ? SW_SHOWNA : SW_HIDE);
    ShowWindow(Item(kLink), contact ? SW_SHOWNA : SW_HIDE);
    text(Wide(kRightsNotice), kRights);
    Control(m_window, L"BUTTON", L"OK", WS_TABSTOP | BS_DEFPUSHBUTTON, kOk);
    Control(m_window, L"STATIC", L"", SS_ETCHEDFRAME, kPanel);
    Layout();
    return m_window;
}

int AboutWindow::Run(HWND owner) {
    if (Create(owner) == nullptr) {
        return IDCANCEL;
    }
    Refresh();
    // Centred on the screen at every showing.
    CenterOnScreen(m_window);
    return RunModal(m_window);
}

void AboutWindow::Refresh() {
    SetWindowTextW(Item(kVersion), Wide(FileVersionOf(ExecutablePath())).c_str());
    Layout();  // a longer version than room was made for widens the box
    // Enter closes the box, whatever had the focus at the last showing.
    SetFocus(Item(kOk));
}

HFONT AboutWindow::Relative(int designedPixels, bool bold) {
    LOGFONTW face{};
    GetObjectW(UiFont(m_window), sizeof face, &face);
    const int dpi = static_cast<int>(GetDpiForWindow(m_window));
    const int base = MulDiv(std::abs(static_cast<int>(face.lfHeight)), 96, dpi > 0 ? dpi : 96);
    return UiFontSized(m_window, MulDiv(designedPixels, base > 0 ? base : 12, 12), bold);
}

void AboutWindow::Layout() {
    const HWND w = m_window;
    auto s = [w](int designed) { return Scale(w, designed); };
    const HFONT font = UiFont(w);
    ApplyFont(w, font);
    const HFONT name = Relative(21, true);
    const HFONT small = Relative(13);
    const HFONT large = Relative(15);
    SendMessageW(Item(kProductName), WM_SETFONT, reinterpret_cast<WPARAM>(name), FALSE);
    for (int id : {kVersionCaption, kVersion}) {
        SendMessageW(Item(id), WM_SETFONT, reinterpret_cast<WPARAM>(small), FALSE);
    }
    for (int id : {kComments, kContactCaption}) {
        SendMessageW(Item(id), WM_SETFONT, reinterpret_cast<WPARAM>(large), FALSE);
    }
    LOGFONTW underlined{};
    GetObjectW(large, sizeof underlined, &underlined);
    underlined.lfUnderline = TRUE;
    if (m_linkFont != nullptr) {
        DeleteObject(m_linkFont);
    }
    m_linkFont = CreateFontIndirectW(&underlined);
    SendMessageW(Item(kLink), WM_SETFONT, reinterpret_cast<WPARAM>(m_linkFont), FALSE);
    const int iconSize = s(32);
    HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1),
                                               IMAGE_ICON, iconSize, iconSize, LR_DEFAULTCOLOR));
    SendMessageW(
        Item(kIcon), STM_SETICON,
        reinterpret_cast<WPARAM>(icon != nullptr ? icon : LoadIconW(nullptr, IDI_APPLICATION)), 0);
    if (m_icon != nullptr) {
        DestroyIcon(m_icon);
    }
    m_icon = icon;

    const std::wstring version = WindowText(Item(kVersion));
    // Room for a longer version than the design's without a new layout at every showing.
    const int versionWidth = std::max(Width(w, small, L"00.00.000.000"), Width(w, small, version));
    const int nameWidth = Width(w, name, L"Tessaroven");
    const int captionWidth = Width(w, small, L"Version");
    const int heading = iconSize + s(8) + nameWidth + s(16) + captionWidth + s(6) + versionWidth;
    const bool contact = !m_address.empty();
    const std::wstring address = Wide(m_address);
    int inner =
        std::max({s(297), heading, Width(w, font, Wide(kRightsNotice)),
                  contact ? Width(w, m_linkFont, address) : 0, Width(w, large, L"御問い合わせ")});
    const int outer = s(8);
    const int padding = s(8);
    const int x = outer + padding;
    int y = outer + padding;
    const int nameHeight = Height(w, name);
    const int smallHeight = Height(w, small);
    const int headingHeight = std::max(iconSize, nameHeight);
    Place(Item(kIcon), x, y, iconSize, iconSize);
    Place(Item(kProductName), x + iconSize + s(8), y, nameWidth, nameHeight);
    // The version sits at the heading's right end, on the product name's base.
    const int versionX = x + inner - versionWidth;
    const int versionY = y + nameHeight - smallHeight - s(2);
    Place(Item(kVersion), versionX, versionY, versionWidth, smallHeight);
    Place(Item(kVersionCaption), versionX - s(6) - captionWidth, versionY, captionWidth,
          smallHeight);
    y += headingHeight + s(8);
    const int commentsHeight = WrappedHeight(w, large, kCommentsText, inner);
    Place(Item(kComments), x, y, inner, commentsHeight);
    y += commentsHeight + s(16);
    if (contact) {
        const int largeHeight = Height(w, large);
        Place(Item(kContactCaption), x, y, inner, largeHeight);
        y += largeHeight + s(2);
        Place(Item(kLink), x, y, Width(w, m_linkFont, address), largeHeight);
        y += largeHeight + s(12);
    }
    const int line = Height(w, font);
    Place(Item(kRights), x, y, inner, line);
    y += line + padding;
    const int clientWidth = inner + 2 * (padding + outer);
    Place(Item(kPanel), outer, outer, clientWidth - 2 * outer, y - outer);
    y += s(14);
    const int okWidth = std::max(s(75), Width(w, font, L"OK") + s(20));
    const int okHeight = std::max(s(25), line + s(10));
    Place(Item(kOk), (clientWidth - okWidth) / 2, y, okWidth, okHeight);
    y += okHeight + s(11);
    RECT frame{0, 0, clientWidth, y};
    AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(w, GWL_STYLE)), FALSE,
                             static_cast<DWORD>(GetWindowLongPtrW(w, GWL_EXSTYLE)),
                             GetDpiForWindow(w));
    SetWindowPos(w, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(w, nullptr, TRUE);
}

void AboutWindow::OpenLink() {
    if (m_address.empty()) {
        return;
    }
    // Visited: purple for the rest of the run, repainted before the shell is asked.
    m_visited = true;
    InvalidateRect(Item(kLink), nullptr, TRUE);
    UpdateWindow(Item(kLink));
    if (!openLink(m_window, m_address)) {
        MessageBoxW(m_window, Wide(std::string("リンクを開けませんでした。\n") + m_address).c_str(),
                    L"Tessaroven", MB_OK | MB_ICONWARNING);
    }
}

LRESULT CALLBACK AboutWindow::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    AboutWindow* self = WindowOwner(window, message, l, &AboutWindow::m_window);
    return self != nullptr ? self->Handle(message, w, l) : DefWindowProcW(window, message, w, l);
}

LRESULT AboutWindow::Handle(UINT message, WPARAM w, LPARAM l) {
    // OK has the focus whenever the box is up.
    HWND ok = Item(kOk);
    if (message == WM_ACTIVATE && LOWORD(w) == WA_INACTIVE) {
        return 0;
    }
    if (KeepDialogFocus(m_window, ok, message, w)) {
        return 0;
    }
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(w) == kLink && HIWORD(w) == STN_CLICKED) {
                OpenLink();
            } else if (LOWORD(w) == IDOK || LOWORD(w) == IDCANCEL) {
                EndModal(m_window, LOWORD(w));
            }
            return 0;
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(l) == Item(kLink)) {
                const HDC dc = reinterpret_cast<HDC>(w);
                SetTextColor(dc, m_visited ? kVisitedColour : kLinkColour);
                SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
            }
            return DefWindowProcW(m_window, message, w, l);
        case WM_SETCURSOR:
            if (reinterpret_cast<HWND>(w) == Item(kLink)) {
                SetCursor(LoadCursorW(nullptr, IDC_HAND));
                return TRUE;
            }
            return DefWindowProcW(m_window, message, w, l);
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
