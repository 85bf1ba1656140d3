#include "ui/win32/TotalsWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>

#include "reports/ChartData.h"
#include "reports/MonthlyReport.h"
#include "reports/TableExport.h"
#include "ui/win32/WinUi.h"

namespace winui {

namespace {

constexpr wchar_t kClassName[] = L"TessarovenPrintTotals";
constexpr const char* kComboIndexValue = "PrinterComboIndex";

enum ControlId {
    kLabel = -1,
    kPrinterCombo = 1001,
    kPrevious,
    kNext,
    kByComputer,
    kByUser,
    kCalculate,
    kMemo,
    kChart,
    kClose,
    kChartToggle,
    kSaveCsv,
};

// Designed widths and distances, at 96 DPI.
constexpr int kMargin = 16;       // of the choices at the top
constexpr int kEdge = 8;          // of the memo, the chart and the buttons
constexpr int kChartWidth = 460;  // what opening the chart adds to the window

// Whether a font family is installed.
bool FaceInstalled(const wchar_t* face) {
    LOGFONTW wanted{};
    wanted.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(wanted.lfFaceName, face, LF_FACESIZE);
    bool found = false;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(
        dc, &wanted,
        [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) -> int {
            *reinterpret_cast<bool*>(found) = true;
            return 0;
        },
        reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, dc);
    return found;
}

bool Checked(HWND button) {
    return SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Check(HWND button, bool checked) {
    SendMessageW(button, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

}  // namespace

TotalsWindow::TotalsWindow(const ReportContext& context) : m_context(context) {}

TotalsWindow::~TotalsWindow() {
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
    if (m_memoFont != nullptr) {
        DeleteObject(m_memoFont);
    }
}

HWND TotalsWindow::Create(HWND owner) {
    if (m_window != nullptr) {
        return m_window;
    }
    RegisterWindowClass(kClassName, &TotalsWindow::Procedure);
    // Sizeable, with the system menu and no minimise or maximise box.
    CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"印刷情報の集計",
                    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_CLIPCHILDREN,
                    CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, owner, nullptr, GetModuleHandleW(nullptr),
                    this);
    HWND w = m_window;
    m_dpi = GetDpiForWindow(w);
    // Made in the order Tab walks them.
    m_printerLabel = Control(w, L"STATIC", L"プリンタの選択", SS_LEFT | SS_NOPREFIX, kLabel);
    m_printerCombo =
        Control(w, WC_COMBOBOXW, L"",
                CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP | WS_GROUP, kPrinterCombo);
    m_monthLabel = Control(w, L"STATIC", L"集計年月", SS_LEFT | SS_NOPREFIX, kLabel);
    m_previous = Control(w, L"BUTTON", L"", BS_OWNERDRAW | WS_TABSTOP, kPrevious);
    m_monthCaption = Control(w, L"STATIC", L"", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, kLabel,
                             WS_EX_STATICEDGE);
    m_next = Control(w, L"BUTTON", L"", BS_OWNERDRAW | WS_TABSTOP, kNext);
    m_byComputer = Control(w, L"BUTTON", L"コンピュータ別集計",
                           BS_AUTORADIOBUTTON | WS_TABSTOP | WS_GROUP, kByComputer);
    m_byUser = Control(w, L"BUTTON", L"ユーザー別集計", BS_AUTORADIOBUTTON, kByUser);
    m_calculate =
        Control(w, L"BUTTON", L"集計", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, kCalculate);
    // Names the printer, month and grouping of the figures below; empty while there are none.
    m_heading = Control(w, L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL, kLabel);
    // Read only; long lines wrap; a scroll bar when the lines do not fit.
    m_memo =
        Control(w, L"EDIT", L"",
                ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP | WS_GROUP,
                kMemo, WS_EX_CLIENTEDGE);
    SetWindowSubclass(m_memo, &TotalsWindow::MemoProcedure, 0, reinterpret_cast<DWORD_PTR>(this));
    m_chart.Create(w, kChart);
    m_closeButton = Control(w, L"BUTTON", L"閉じる", BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP, kClose);
    m_chartButton =
        Control(w, L"BUTTON", L"グラフ", BS_AUTOCHECKBOX | BS_PUSHLIKE | WS_TABSTOP, kChartToggle);
    m_saveCsvButton = Control(w, L"BUTTON", L"CSV保存...", BS_PUSHBUTTON | WS_TABSTOP, kSaveCsv);
    EnableWindow(m_saveCsvButton, FALSE);
    Check(m_byComputer, true);
    SetFonts();

    // As designed, or larger where the font needs it; centred once.
    const Sizes z = Measure();
    RECT frame{0, 0, z.minClientWidth, z.minClientHeight};
    AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongW(w, GWL_STYLE)), FALSE,
                             static_cast<DWORD>(GetWindowLongW(w, GWL_EXSTYLE)), m_dpi);
    SetWindowPos(w, nullptr, 0, 0,
                 std::max(Scale(w, 522), static_cast<int>(frame.right - frame.left)),
                 std::max(Scale(w, 574), static_cast<int>(frame.bottom - frame.top)),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Layout();
    CenterOnScreen(w);
    return w;
}

int TotalsWindow::Run(HWND owner) {
    Create(owner);
    Refresh();
    return RunModal(m_window);
}

LRESULT CALLBACK TotalsWindow::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<TotalsWindow*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
        self->m_window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<TotalsWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(window, message, w, l);
    }
    return self->Handle(message, w, l);
}

// The memo lets Tab, Enter and Esc go to the window, as a read-only text should.
LRESULT CALLBACK TotalsWindow::MemoProcedure(HWND memo, UINT message, WPARAM w, LPARAM l, UINT_PTR,
                                             DWORD_PTR) {
    if (message == WM_GETDLGCODE) {
        return DefSubclassProc(memo, message, w, l) &
               ~static_cast<LRESULT>(DLGC_WANTALLKEYS | DLGC_WANTTAB | DLGC_HASSETSEL);
    }
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(memo, &TotalsWindow::MemoProcedure, 0);
    }
    return DefSubclassProc(memo, message, w, l);
}

LRESULT TotalsWindow::Handle(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_COMMAND:
            Command(LOWORD(w), HIWORD(w));
            return 0;
        case DM_GETDEFID:
            return MAKELRESULT(kCalculate, DC_HASDEFID);
        case WM_CLOSE:
            Close(IDCANCEL);
            return 0;
        case WM_SIZE:
            Layout();
            return 0;
        case WM_GETMINMAXINFO:
            if (m_calculate != nullptr) {
                const Sizes z = Measure();
                RECT frame{0, 0, z.minClientWidth, z.minClientHeight};
                AdjustWindowRectExForDpi(
                    &frame, static_cast<DWORD>(GetWindowLongW(m_window, GWL_STYLE)), FALSE,
                    static_cast<DWORD>(GetWindowLongW(m_window, GWL_EXSTYLE)),
                    GetDpiForWindow(m_window));
                auto* info = reinterpret_cast<MINMAXINFO*>(l);
                info->ptMinTrackSize = {frame.right - frame.left, frame.bottom - frame.top};
            }
            return 0;
        case WM_DPICHANGED: {
            const UINT dpi = HIWORD(w);
            m_memoWidth = MulDiv(m_memoWidth, static_cast<int>(dpi), static_cast<int>(m_dpi));
            m_dpi = dpi;
            SetFonts();
            const RECT* r = reinterpret_cast<const RECT*>(l);
            SetWindowPos(m_window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            KeepMinimumSize();
            Layout();
            return 0;
        }
        case WM_DRAWITEM:
            DrawArrow(*reinterpret_cast<const DRAWITEMSTRUCT*>(l));
            return TRUE;
        case WM_CTLCOLORSTATIC:
            // The read-only memo on white, as text to read.
            if (reinterpret_cast<HWND>(l) == m_memo) {
                HDC dc = reinterpret_cast<HDC>(w);
                SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
                SetBkColor(dc, GetSysColor(COLOR_WINDOW));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
            }
            return DefWindowProcW(m_window, message, w, l);
        case WM_NCDESTROY: {
            HWND window = m_window;
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            m_window = nullptr;
            return DefWindowProcW(window, message, w, l);
        }
        default:
            return DefWindowProcW(m_window, message, w, l);
    }
}

void TotalsWindow::Command(int id, int code) {
    // Quick clicks on the arrows and the groupings come as double clicks.
    const bool clicked = code == BN_CLICKED || code == BN_DOUBLECLICKED;
    switch (id) {
        case kPrevious:
            if (clicked) {
                PreviousMonth();
            }
            break;
        case kNext:
            if (clicked) {
                NextMonth();
            }
            break;
        case kByComputer:
        case kByUser:
            if (clicked && ByComputer() != m_choiceByComputer) {
                m_choiceByComputer = ByComputer();
                ChoiceChanged();
            }
            break;
        case kPrinterCombo:
            if (code == CBN_SELCHANGE) {
                // Chosen from the list: the field shows the item only after this message.
                const int index =
                    static_cast<int>(SendMessageW(m_printerCombo, CB_GETCURSEL, 0, 0));
                if (index >= 0) {
                    m_settingText = true;
                    SetWindowTextW(m_printerCombo, ItemText(index).c_str());
                    m_settingText = false;
                }
                ChoiceChanged();
            } else if (code == CBN_EDITCHANGE && !m_settingText) {
                ChoiceChanged();
            }
            break;
        case IDOK:  // Enter where no button has the focus
        case kCalculate:
            Calculate();
            break;
        case kClose:
            Close(IDOK);
            break;
        case IDCANCEL:  // Esc
            Close(IDCANCEL);
            break;
        case kChartToggle:
            if (clicked) {
                ShowChart(Checked(m_chartButton));
            }
            break;
        case kSaveCsv:
            SaveCsvAs();
            break;
        default:
            break;
    }
}

void TotalsWindow::DrawArrow(const DRAWITEMSTRUCT& item) {
    UINT state = item.CtlID == kPrevious ? DFCS_SCROLLLEFT : DFCS_SCROLLRIGHT;
    if ((item.itemState & ODS_SELECTED) != 0) {
        state |= DFCS_PUSHED;
    }
    if ((item.itemState & ODS_DISABLED) != 0) {
        state |= DFCS_INACTIVE;
    }
    RECT r = item.rcItem;
    DrawFrameControl(item.hDC, &r, DFC_SCROLL, state);
    if ((item.itemState & ODS_FOCUS) != 0) {
        const int inset = Scale(m_window, 3);
        InflateRect(&r, -inset, -inset);
        DrawFocusRect(item.hDC, &r);
    }
}

HFONT TotalsWindow::MemoFont() {
    const UINT dpi = GetDpiForWindow(m_window);
    if (m_memoFont != nullptr && m_memoFontDpi == dpi) {
        return m_memoFont;
    }
    // Fixed pitch with Japanese: 12 pixels at 96 DPI, or the desktop font's size when larger,
    // even, so that a half-width character is a whole number of pixels and the brackets line up.
    LOGFONTW ui{};
    GetObjectW(UiFont(m_window), sizeof ui, &ui);
    int height = std::max(Scale(m_window, 12), static_cast<int>(std::abs(ui.lfHeight)));
    height += height % 2;
    LOGFONTW face{};
    face.lfHeight = -height;
    face.lfWeight = FW_NORMAL;
    face.lfCharSet = DEFAULT_CHARSET;
    face.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    bool named = false;
    for (const wchar_t* name : {L"MS Gothic", L"ＭＳ ゴシック", L"Noto Sans Mono CJK JP"}) {
        if (FaceInstalled(name)) {
            lstrcpynW(face.lfFaceName, name, LF_FACESIZE);
            named = true;
            break;
        }
    }
    if (!named) {
        // The system's own choice of a fixed-pitch font that has Japanese.
        face.lfCharSet = SHIFTJIS_CHARSET;
    }
    if (m_memoFont != nullptr) {
        DeleteObject(m_memoFont);
    }
    m_memoFont = CreateFontIndirectW(&face);
    m_memoFontDpi = dpi;
    return m_memoFont;
}

void TotalsWindow::SetFonts() {
    ApplyFont(m_window, UiFont(m_window));
    SendMessageW(m_memo, WM_SETFONT, reinterpret_cast<WPARAM>(MemoFont()), TRUE);
}

std::wstring TotalsWindow::ItemText(int index) const {
    const LRESULT length = SendMessageW(m_printerCombo, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) {
        return {};
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT got =
        SendMessageW(m_printerCombo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(got == CB_ERR ? 0 : static_cast<size_t>(got));
    return text;
}

int TotalsWindow::PrinterIndex() const {
    // The item chosen, while the field still shows it; else the first item spelt exactly as the
    // field (case counts), so that a typed-out name finds its printer's server too.
    const std::wstring text = WindowText(m_printerCombo);
    const int chosen = static_cast<int>(SendMessageW(m_printerCombo, CB_GETCURSEL, 0, 0));
    if (chosen >= 0 && ItemText(chosen) == text) {
        return chosen;
    }
    const int count = static_cast<int>(SendMessageW(m_printerCombo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        if (ItemText(i) == text) {
            return i;
        }
    }
    return -1;
}

bool TotalsWindow::ByComputer() const {
    return !Checked(m_byUser);
}

TotalsWindow::Sizes TotalsWindow::Measure() const {
    auto s = [this](int designed) { return Scale(m_window, designed); };
    HFONT font = UiFont(m_window);
    auto width = [&](const std::wstring& text) {
        return static_cast<int>(TextExtent(m_window, font, text).cx);
    };
    const UINT dpi = GetDpiForWindow(m_window);
    Sizes z;
    z.textHeight = TextExtent(m_window, font, L"").cy;
    // As wide as the longest printer name, within reason, and at least as designed.
    int widest = 0;
    const int count = static_cast<int>(SendMessageW(m_printerCombo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        widest = std::max(widest, width(ItemText(i)));
    }
    z.comboWidth =
        std::clamp(widest + GetSystemMetricsForDpi(SM_CXVSCROLL, dpi) + s(12), s(225), s(420));
    RECT combo{};
    GetWindowRect(m_printerCombo, &combo);
    z.comboHeight = std::max(static_cast<int>(combo.bottom - combo.top), z.textHeight + s(6));
    z.arrow = z.comboHeight;
    // Room for any month, so that stepping through them never moves the arrows.
    z.caption = std::max(s(91), width(Wide(::MonthCaption(SelectedMonth(2000, 12)))) + s(6));
    const int check = GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi) + s(6);
    z.radioComputer = check + width(L"コンピュータ別集計") + s(4);
    z.radioUser = check + width(L"ユーザー別集計") + s(4);
    z.buttonHeight = std::max(s(25), z.textHeight + s(10));
    z.calculateWidth = std::max(s(65), width(L"集計") + s(24));
    z.bottomButton = s(97);
    for (const wchar_t* text : {L"閉じる", L"グラフ", L"CSV保存..."}) {
        z.bottomButton = std::max(z.bottomButton, width(text) + s(24));
    }
    const int monthRight = s(kMargin) + z.comboWidth + s(7) + 2 * z.arrow + z.caption;
    const int choiceRight =
        s(kMargin) + z.radioComputer + s(16) + z.radioUser + s(12) + z.calculateWidth;
    z.topHeight = s(8) + z.textHeight + s(3) + z.comboHeight + s(6) + z.buttonHeight + s(5);
    z.bottomHeight = s(5) + z.buttonHeight + s(4);
    z.minClientWidth = std::max(std::max(monthRight, choiceRight) + s(kMargin),
                                2 * s(kEdge) + 3 * z.bottomButton + 2 * s(8));
    z.minClientHeight = z.topHeight + z.textHeight + s(4) + s(80) + z.bottomHeight;
    if ((GetWindowLongW(m_chart.Window(), GWL_STYLE) & WS_VISIBLE) != 0) {
        const SIZE chart = m_chart.MinimumSize();
        z.minClientWidth += chart.cx + s(4);
        z.minClientHeight =
            std::max(z.minClientHeight, z.topHeight + z.textHeight + s(4) +
                                            static_cast<int>(chart.cy) + z.bottomHeight);
    }
    return z;
}

void TotalsWindow::Layout() {
    if (m_saveCsvButton == nullptr) {
        return;  // still being made
    }
    auto s = [this](int designed) { return Scale(m_window, designed); };
    const Sizes z = Measure();
    RECT client;
    GetClientRect(m_window, &client);

    // The printer, the month, the grouping and 集計.
    const int x0 = s(kMargin);
    const int x1 = x0 + z.comboWidth + s(7);
    const int monthWidth = 2 * z.arrow + z.caption;
    int y = s(8);
    Place(m_printerLabel, x0, y, z.comboWidth, z.textHeight);
    Place(m_monthLabel, x1, y, monthWidth, z.textHeight);
    y += z.textHeight + s(3);
    // A combo box is given its list's height; it sizes its field by its font.
    Place(m_printerCombo, x0, y, z.comboWidth, z.comboHeight + s(200));
    Place(m_previous, x1, y, z.arrow, z.arrow);
    Place(m_monthCaption, x1 + z.arrow, y, z.caption, z.arrow);
    Place(m_next, x1 + z.arrow + z.caption, y, z.arrow, z.arrow);
    y += z.comboHeight + s(6);
    const int radioHeight = z.textHeight + s(6);
    const int radioTop = y + (z.buttonHeight - radioHeight) / 2;
    Place(m_byComputer, x0, radioTop, z.radioComputer, radioHeight);
    const int userLeft = x0 + z.radioComputer + s(16);
    Place(m_byUser, userLeft, radioTop, z.radioUser, radioHeight);
    const int calculateRight =
        std::max(x1 + monthWidth, userLeft + z.radioUser + s(12) + z.calculateWidth);
    Place(m_calculate, calculateRight - z.calculateWidth, y, z.calculateWidth, z.buttonHeight);

    // The heading, on a second line when a long printer name needs one.
    const int textWidth = std::max(1, static_cast<int>(client.right) - 2 * s(kEdge));
    int headingHeight = z.textHeight;
    const std::wstring heading = WindowText(m_heading);
    if (!heading.empty()) {
        RECT r{0, 0, textWidth, 0};
        HDC dc = GetDC(m_window);
        HGDIOBJ old = SelectObject(dc, UiFont(m_window));
        DrawTextW(dc, heading.c_str(), static_cast<int>(heading.size()), &r,
                  DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
        SelectObject(dc, old);
        ReleaseDC(m_window, dc);
        headingHeight = std::max(headingHeight, static_cast<int>(r.bottom));
    }
    Place(m_heading, s(kEdge), z.topHeight + s(2), textWidth, headingHeight);

    // The memo, and the chart to its right when open; then the buttons.
    const int middleTop = z.topHeight + headingHeight + s(4);
    const int middleHeight =
        std::max(1, static_cast<int>(client.bottom) - z.bottomHeight - middleTop);
    const bool chartOpen = (GetWindowLongW(m_chart.Window(), GWL_STYLE) & WS_VISIBLE) != 0;
    int memoWidth = textWidth;
    if (chartOpen) {
        const int gap = s(4);
        const int most = textWidth - gap - static_cast<int>(m_chart.MinimumSize().cx);
        memoWidth = std::max(s(120), std::min(m_memoWidth, most));
        Place(m_chart.Window(), s(kEdge) + memoWidth + gap, middleTop,
              std::max(1, textWidth - memoWidth - gap), middleHeight);
    }
    Place(m_memo, s(kEdge), middleTop, memoWidth, middleHeight);
    const int buttonTop = static_cast<int>(client.bottom) - s(4) - z.buttonHeight;
    int x = s(kEdge);
    for (HWND button : {m_closeButton, m_chartButton, m_saveCsvButton}) {
        Place(button, x, buttonTop, z.bottomButton, z.buttonHeight);
        x += z.bottomButton + s(8);
    }
    InvalidateRect(m_window, nullptr, TRUE);
}

void TotalsWindow::ResizeClient(int width, int height) {
    RECT frame{0, 0, width, height};
    AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongW(m_window, GWL_STYLE)), FALSE,
                             static_cast<DWORD>(GetWindowLongW(m_window, GWL_EXSTYLE)),
                             GetDpiForWindow(m_window));
    SetWindowPos(m_window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TotalsWindow::KeepMinimumSize() {
    const Sizes z = Measure();
    RECT client;
    GetClientRect(m_window, &client);
    if (client.right < z.minClientWidth || client.bottom < z.minClientHeight) {
        ResizeClient(std::max(static_cast<int>(client.right), z.minClientWidth),
                     std::max(static_cast<int>(client.bottom), z.minClientHeight));
    }
}

void TotalsWindow::Refresh() {
    m_following = false;
    ClearTotals();
    // The printers as they are now: queues come and go while the program runs.
    std::vector<int> listed;
    const PrinterSlots& printers = m_context.printerSlots;
    for (int i = 0; i < printers.Count(); ++i) {
        if (printers.At(i).listed) {
            listed.push_back(i);
        }
    }
    const int count = static_cast<int>(SendMessageW(m_printerCombo, CB_GETCOUNT, 0, 0));
    if (count == 0 || listed != m_itemSlots) {
        m_itemSlots = listed;
        m_settingText = true;
        SendMessageW(m_printerCombo, CB_RESETCONTENT, 0, 0);
        HFONT font = UiFont(m_window);
        int widest = 0;
        for (int i : m_itemSlots) {
            const std::wstring name = Wide(printers.At(i).printerName);
            SendMessageW(m_printerCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
            widest = std::max(widest, static_cast<int>(TextExtent(m_window, font, name).cx));
        }
        // The open list shows whole names even where the field is narrower.
        SendMessageW(m_printerCombo, CB_SETDROPPEDWIDTH,
                     static_cast<WPARAM>(widest + Scale(m_window, 32)), 0);
        const int index =
            m_context.registry.GetRegInteger(kHkeyLocalMachine, kSettingsKey, kComboIndexValue);
        // An index outside the list selects nothing and leaves the text empty.
        const bool valid = index >= 0 && index < static_cast<int>(m_itemSlots.size());
        SendMessageW(m_printerCombo, CB_SETCURSEL, valid ? static_cast<WPARAM>(index) : -1, 0);
        SetWindowTextW(m_printerCombo, valid ? ItemText(index).c_str() : L"");
        m_settingText = false;
        // The list sets the field's width: the window grows where the names need it.
        KeepMinimumSize();
        Layout();
    }
    if (m_selectedMonth == 0) {
        const auto now = m_context.clock.Now();
        m_selectedMonth = SelectedMonth(now.wYear, now.wMonth);
    }
    ShowYearMonth();
    // Each showing starts with totals by computer.
    Check(m_byComputer, true);
    Check(m_byUser, false);
    m_choiceByComputer = true;
}

void TotalsWindow::ShowYearMonth() {
    SetWindowTextW(m_monthCaption, Wide(::MonthCaption(m_selectedMonth)).c_str());
}

void TotalsWindow::PreviousMonth() {
    --m_selectedMonth;
    ShowYearMonth();
    ChoiceChanged();
}

void TotalsWindow::NextMonth() {
    ++m_selectedMonth;
    ShowYearMonth();
    ChoiceChanged();
}

void TotalsWindow::ClearTotals() {
    SetWindowTextW(m_memo, L"");
    const bool hadHeading = GetWindowTextLengthW(m_heading) != 0;
    SetWindowTextW(m_heading, L"");
    m_hasTotals = false;
    EnableWindow(m_saveCsvButton, FALSE);
    m_chart.Clear();
    m_trendStale = false;
    if (hadHeading) {
        Layout();
    }
}

void TotalsWindow::ChoiceChanged() {
    // Figures of another month or printer must never stand under the new choice.
    ClearTotals();
    if (!m_following) {
        return;
    }
    // Once counted, the window follows the choice; a half-typed printer name waits until it
    // names a printer of the list.
    if (PrinterIndex() < 0) {
        return;
    }
    Count(false);
}

void TotalsWindow::Calculate() {
    Count(true);
}

void TotalsWindow::Count(bool asked) {
    ClearTotals();
    TotalsQuery query;
    query.printerText = Utf8(WindowText(m_printerCombo));
    const int index = PrinterIndex();
    if (index >= 0 && static_cast<size_t>(index) < m_itemSlots.size()) {
        query.serverName =
            m_context.printerSlots.At(m_itemSlots[static_cast<size_t>(index)]).serverName;
    }
    query.year = YearOf(m_selectedMonth);
    query.month = MonthOf(m_selectedMonth);
    query.byComputer = ByComputer();
    m_choiceByComputer = query.byComputer;

    const TotalsResult result = SumChosenTotals(m_context.files, m_context.log, query, index);

    if (result.folderError != 0) {
        m_following = false;
        m_context.sink.Show(
            UnreachableFolderMessage(m_context.files.DataDirectory(), result.folderError),
            "Tessaroven Error", platform::kIconStop);
        return;
    }
    m_following = true;
    // The chart shows what the memo shows, and nothing when it shows nothing.
    m_shownQuery = query;
    m_shownTotals = result;
    m_chart.SetMonthTotals(query.printerText, m_selectedMonth, result, query.byComputer);
    m_trendStale = true;
    if ((GetWindowLongW(m_chart.Window(), GWL_STYLE) & WS_VISIBLE) != 0) {
        UpdateTrend();
    }
    SetWindowTextW(m_heading, Wide(TotalsHeading(query.printerText, m_selectedMonth,
                                                 query.byComputer, result.groups.empty()))
                                  .c_str());
    Layout();
    if (result.groups.empty()) {
        if (asked) {
            m_context.sink.Show("印刷データがありません。", "Tessaroven", platform::kIconStop);
        }
        return;
    }
    m_hasTotals = true;
    EnableWindow(m_saveCsvButton, TRUE);
    std::string text;
    for (const auto& line : FormatTotals(query.printerText, result)) {
        if (!text.empty()) {
            text += "\r\n";
        }
        text += line;
    }
    SetWindowTextW(m_memo, Wide(text).c_str());
    // Start reading at the grand total.
    SendMessageW(m_memo, EM_SETSEL, 0, 0);
    SendMessageW(m_memo, EM_SCROLLCARET, 0, 0);
}

void TotalsWindow::UpdateTrend() {
    if (!m_trendStale) {
        return;
    }
    m_trendStale = false;
    const MonthlyReport trend = SumTwelveMonths(m_context.files, m_shownQuery);
    if (trend.folderError != 0) {
        return;
    }
    m_chart.SetTrend(m_shownQuery.printerText, trend);
}

void TotalsWindow::ShowChart(bool shown) {
    Check(m_chartButton, shown);
    HWND chart = m_chart.Window();
    if (shown == ((GetWindowLongW(chart, GWL_STYLE) & WS_VISIBLE) != 0)) {
        return;
    }
    RECT client;
    GetClientRect(m_window, &client);
    RECT memo;
    GetWindowRect(m_memo, &memo);
    const int memoWidth = memo.right - memo.left;
    // The memo keeps its place and size; the chart opens to its right and widens the window.
    if (shown) {
        UpdateTrend();
        m_memoWidth = memoWidth;
        ShowWindow(chart, SW_SHOWNA);
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(m_window, MONITOR_DEFAULTTONEAREST), &monitor);
        const RECT& room = monitor.rcWork;
        RECT frame;
        GetWindowRect(m_window, &frame);
        // Wider by the chart, yet never wider than the screen: there the chart takes what is
        // left beside the memo.
        const int border = (frame.right - frame.left) - client.right;
        const int wanted = client.right + Scale(m_window, kChartWidth) + Scale(m_window, 4);
        ResizeClient(std::max(Measure().minClientWidth,
                              std::min(wanted, static_cast<int>(room.right - room.left) - border)),
                     client.bottom);
        // Widened to the right, the window may now reach past the screen's edge.
        GetWindowRect(m_window, &frame);
        if (frame.right > room.right) {
            SetWindowPos(m_window, nullptr,
                         std::max(room.left, frame.left - (frame.right - room.right)), frame.top, 0,
                         0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    } else {
        ShowWindow(chart, SW_HIDE);
        ResizeClient(std::max(Measure().minClientWidth, memoWidth + 2 * Scale(m_window, kEdge)),
                     client.bottom);
    }
    Layout();
}

void TotalsWindow::SaveCsvAs() {
    if (!m_hasTotals) {
        return;
    }
    const std::wstring path =
        AskCsvPath(m_window, SafeFileName(Wide(TotalsCsvFileName(m_shownQuery))));
    if (!path.empty()) {
        SaveCsv(path);
    }
}

bool TotalsWindow::SaveCsv(const std::wstring& path) {
    if (!m_hasTotals) {
        return false;
    }
    std::string text = TotalsCsv(m_shownQuery, m_shownTotals, kWindowCsvStyle);
    return WriteCsvFile(
        path,
        [&](std::string& piece) {
            piece.swap(text);
            return !piece.empty();
        },
        m_context.sink);
}

void TotalsWindow::Close(int result) {
    // Every way of closing keeps the printer chosen for the next start.
    m_context.registry.SetRegInteger(kHkeyLocalMachine, kSettingsKey, kComboIndexValue,
                                     PrinterIndex());
    if (IsModalRunning(m_window)) {
        EndModal(m_window, result);
    } else {
        ShowWindow(m_window, SW_HIDE);
    }
}

}  // namespace winui
