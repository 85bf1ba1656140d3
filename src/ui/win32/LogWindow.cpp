#include "ui/win32/LogWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <utility>

#include "reports/TableExport.h"
#include "ui/win32/WinUi.h"

namespace winui {

namespace {

constexpr wchar_t kClassName[] = L"TessarovenPrintLog";
constexpr wchar_t kEmptyText[] = L"印刷データがありません。";
constexpr int kListId = 100;
constexpr int kCloseId = IDOK;
constexpr int kSaveId = 101;
constexpr int kEmptyId = 102;
constexpr int kSaveMenuId = 103;
// Posted when a column width changed by other hands than ours (the list's own autosizing).
constexpr UINT kRefit = WM_APP + 10;

const wchar_t* const kHeadings[] = {L"",           L"日時", L"プリンタ名", L"コンピュータ名",
                                    L"ユーザー名", L"枚数"};
// At 96 DPI.
const int kWidths[] = {30, 110, 120, 120, 80, 40};
constexpr int kDesignedWidth = 541;
constexpr int kDesignedHeight = 574;

// The list view's own procedure, beneath this window's handling of it.
WNDPROC listDefault = nullptr;

UINT DpiOf(HWND window) {
    const UINT dpi = GetDpiForWindow(window);
    return dpi != 0 ? dpi : 96;
}

}  // namespace

LogWindow::LogWindow(const ReportContext& context) : m_context(context) {}

LogWindow::~LogWindow() {
    if (m_window != nullptr) {
        DestroyWindow(m_window);
    }
}

HWND LogWindow::Create(HWND owner) {
    if (m_window != nullptr) {
        return m_window;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    RegisterWindowClass(kClassName, &LogWindow::Procedure);
    CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"印刷ログの表示",
                    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_CLIPCHILDREN,
                    CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, owner, nullptr, GetModuleHandleW(nullptr),
                    this);
    if (m_window == nullptr) {
        return nullptr;
    }
    m_list = Control(m_window, WC_LISTVIEWW, L"",
                     WS_TABSTOP | WS_CLIPCHILDREN | LVS_REPORT | LVS_OWNERDATA | LVS_SINGLESEL |
                         LVS_SHOWSELALWAYS,
                     kListId, WS_EX_CLIENTEDGE);
    SendMessageW(m_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
    // Names give way to the numbers instead: the widths are this window's to set.
    if (HWND header = reinterpret_cast<HWND>(SendMessageW(m_list, LVM_GETHEADER, 0, 0))) {
        SetWindowLongPtrW(header, GWL_STYLE, GetWindowLongPtrW(header, GWL_STYLE) | HDS_NOSIZING);
    }
    SetWindowLongPtrW(m_list, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    listDefault = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        m_list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&LogWindow::ListProcedure)));
    // Without a record the list says so in its middle, under the headings.
    m_emptyLabel = CreateWindowExW(0, L"STATIC", kEmptyText, WS_CHILD | SS_CENTER | SS_NOPREFIX, 0,
                                   0, 0, 0, m_list, reinterpret_cast<HMENU>(kEmptyId),
                                   GetModuleHandleW(nullptr), nullptr);
    m_closeButton =
        Control(m_window, L"BUTTON", L"閉じる", WS_TABSTOP | BS_DEFPUSHBUTTON, kCloseId);
    m_saveButton = Control(m_window, L"BUTTON", L"CSV保存...", WS_TABSTOP | BS_PUSHBUTTON, kSaveId);
    EnableWindow(m_saveButton, FALSE);
    MakeColumns();

    m_tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                            WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, 0, 0, 0, 0, m_window, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = m_window;
    tool.uId = reinterpret_cast<UINT_PTR>(m_list);
    tool.lpszText = LPSTR_TEXTCALLBACKW;
    SendMessageW(m_tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));

    ApplyFont(m_window, UiFont(m_window));
    SetColumnWidths();
    // The designed size, at this DPI, widened where the columns need more, within the screen.
    RECT frame{0, 0, Scale(m_window, kDesignedWidth), Scale(m_window, kDesignedHeight)};
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromWindow(m_window, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
        frame.right = std::min(frame.right, monitor.rcWork.right - monitor.rcWork.left);
        frame.bottom = std::min(frame.bottom, monitor.rcWork.bottom - monitor.rcWork.top);
    }
    // (The window's least size applies here too.)
    SetWindowPos(m_window, nullptr, 0, 0, frame.right, frame.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Layout();
    return m_window;
}

int LogWindow::Run(HWND owner) {
    if (Create(owner) == nullptr) {
        return 0;
    }
    CenterOnScreen(m_window);
    // Shown before the files are read, so that a message stands over the window it is about.
    ShowWindow(m_window, SW_SHOW);
    SetForegroundWindow(m_window);
    UpdateWindow(m_window);
    Load();
    SetFocus(m_list);
    return RunModal(m_window);
}

void LogWindow::Load() {
    const HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    PrintLogTable table;
    const auto result = table.Load(m_context.files);
    const int folderError = table.FolderError();
    // The old rows' selection goes with them.
    LVITEMW none{};
    none.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(m_list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(&none));
    m_table = std::move(table);
    const size_t rows = m_table.Size();
    SendMessageW(m_list, LVM_SETITEMCOUNT, rows, 0);
    SetColumnWidths();
    Layout();
    ShowWindow(m_emptyLabel, rows == 0 ? SW_SHOW : SW_HIDE);
    // Grid lines only under rows: the empty text stands alone.
    SendMessageW(m_list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES,
                 rows > 0 ? LVS_EX_GRIDLINES : 0);
    EnableWindow(m_saveButton, rows > 0);
    InvalidateRect(m_list, nullptr, TRUE);
    SetCursor(previous);
    if (result == PrintLogTable::LoadResult::Unreachable) {
        m_context.sink.Show(UnreachableFolderMessage(m_context.files.DataDirectory(), folderError),
                            "Tessaroven Error", platform::kIconStop);
    } else if (result == PrintLogTable::LoadResult::NoRecords) {
        m_context.sink.Show("印刷データがありません。", "Tessaroven", platform::kIconStop);
    }
    if (rows > 0) {
        // The newest record is the current row, scrolled into view.
        const int last = static_cast<int>(rows - 1);
        LVITEMW newest{};
        newest.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        newest.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(m_list, LVM_SETITEMSTATE, static_cast<WPARAM>(last),
                     reinterpret_cast<LPARAM>(&newest));
        SendMessageW(m_list, LVM_SETSELECTIONMARK, 0, last);
        SendMessageW(m_list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(last), FALSE);
    }
}

void LogWindow::SaveCsvAs() {
    if (m_table.Size() == 0) {
        return;
    }
    const std::wstring path = AskCsvPath(m_window, L"印刷ログ.csv");
    if (!path.empty()) {
        SaveCsv(path);
    }
}

bool LogWindow::SaveCsv(const std::wstring& path) {
    return WriteCsvFile(path, LogCsvPieces(m_table, kWindowCsvStyle), m_context.sink);
}

void LogWindow::MakeColumns() {
    // The first column of a list is always drawn left-aligned; the row numbers are not: they go
    // in after a placeholder, which then leaves.
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH;
    SendMessageW(m_list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
    for (int c = 0; c < 6; ++c) {
        column.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.fmt = c == 0 || c == 5 ? LVCFMT_RIGHT : LVCFMT_LEFT;
        column.pszText = const_cast<wchar_t*>(kHeadings[c]);
        column.cx = kWidths[c];
        column.iSubItem = c + 1;
        SendMessageW(m_list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c + 1),
                     reinterpret_cast<LPARAM>(&column));
    }
    SendMessageW(m_list, LVM_DELETECOLUMN, 0, 0);
}

int LogWindow::FixedRoom() const {
    return GetSystemMetricsForDpi(SM_CXVSCROLL, DpiOf(m_list));
}

void LogWindow::SetColumnWidths() {
    // The designed widths, widened where this font needs more room for the row numbers, the
    // date and time and the widest page count: numbers are never cut. The three name columns
    // share what is left, never narrower than their headings, so that the page count always
    // shows without scrolling sideways.
    const HFONT font = reinterpret_cast<HFONT>(SendMessageW(m_list, WM_GETFONT, 0, 0));
    auto width = [&](std::wstring_view text) -> int { return TextExtent(m_list, font, text).cx; };
    // The list's cells and headings keep a margin on either side of their text.
    const int padding = 2 * width(L" ") + Scale(m_list, 12);
    const int headingPadding = Scale(m_list, 16);
    size_t widestPages = 5;
    for (size_t i = 0; i < m_table.Size(); ++i) {
        const std::string_view line = m_table.Line(i);
        // The pages are the last closed field: between the last two commas.
        const size_t last = line.size() - 1;
        widestPages = std::max(widestPages, last - line.rfind(',', last - 1) - 1);
    }
    int minimum[6] = {
        width(std::to_wstring(m_table.Size())) + padding,
        width(L"0000-00-00 00:00:00") + padding,
        0,
        0,
        0,
        width(std::wstring(widestPages, L'0')) + padding,
    };
    for (int c = 1; c < 6; ++c) {
        minimum[c] = std::max(minimum[c], width(kHeadings[c]) + headingPadding);
    }
    int total = FixedRoom();
    for (int c = 0; c < 6; ++c) {
        m_widths[c] = std::max(Scale(m_list, kWidths[c]), minimum[c]);
        if (c >= 2 && c <= 4) {
            m_nameMinimum[c - 2] = minimum[c];
            total += minimum[c];
        } else {
            total += m_widths[c];
        }
    }
    m_minimumListWidth = total;
    FitNameColumns();
}

void LogWindow::FitNameColumns() {
    RECT client;
    GetClientRect(m_list, &client);
    // Room for the vertical scroll bar is kept whether it shows or not: it comes and goes with
    // the rows, and a width taken then would bring a sideways one.
    const bool scrolling = (GetWindowLongPtrW(m_list, GWL_STYLE) & WS_VSCROLL) != 0;
    const int room = client.right + (scrolling ? FixedRoom() : 0) - FixedRoom();
    const int fixed = m_widths[0] + m_widths[1] + m_widths[5];
    const int designed = kWidths[2] + kWidths[3] + kWidths[4];
    const int least = m_nameMinimum[0] + m_nameMinimum[1] + m_nameMinimum[2];
    const int spare = std::max(0, room - fixed - least);
    // Each is as wide as its heading, and what is left over is shared in proportion to their
    // designed widths; the last takes the rounding.
    int widths[6] = {m_widths[0], m_widths[1], 0, 0, 0, m_widths[5]};
    int given = 0;
    for (int c = 2; c <= 3; ++c) {
        widths[c] = m_nameMinimum[c - 2] + spare * kWidths[c] / designed;
        given += widths[c];
    }
    widths[4] = least + spare - given;
    m_fitting = true;
    for (int c = 0; c < 6; ++c) {
        if (SendMessageW(m_list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(c), 0) != widths[c]) {
            SendMessageW(m_list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(c), widths[c]);
        }
    }
    m_fitting = false;
}

int LogWindow::ButtonWidth() const {
    const HFONT font = UiFont(m_window);
    int width = Scale(m_window, 97);
    for (const wchar_t* text : {L"閉じる", L"CSV保存..."}) {
        width = std::max<int>(width, TextExtent(m_window, font, text).cx + Scale(m_window, 20));
    }
    return width;
}

int LogWindow::PanelHeight() const {
    const int text = TextExtent(m_window, UiFont(m_window), L"").cy;
    return Scale(m_window, 6) + std::max(Scale(m_window, 25), text + Scale(m_window, 10)) +
           Scale(m_window, 5);
}

void LogWindow::Layout() {
    if (m_list == nullptr) {
        return;
    }
    RECT client;
    GetClientRect(m_window, &client);
    const int panel = PanelHeight();
    Place(m_list, 0, 0, client.right, std::max(0L, client.bottom - panel));
    const int top = client.bottom - panel + Scale(m_window, 6);
    const int buttonWidth = ButtonWidth();
    const int buttonHeight = panel - Scale(m_window, 11);
    Place(m_closeButton, Scale(m_window, 8), top, buttonWidth, buttonHeight);
    Place(m_saveButton, Scale(m_window, 16) + buttonWidth, top, buttonWidth, buttonHeight);

    RECT listClient;
    GetClientRect(m_list, &listClient);
    RECT header{};
    if (HWND h = reinterpret_cast<HWND>(SendMessageW(m_list, LVM_GETHEADER, 0, 0))) {
        GetWindowRect(h, &header);
    }
    const SIZE text = TextExtent(
        m_list, reinterpret_cast<HFONT>(SendMessageW(m_list, WM_GETFONT, 0, 0)), kEmptyText);
    const int headerHeight = header.bottom - header.top;
    const int width = std::min<int>(listClient.right, text.cx + Scale(m_window, 8));
    Place(m_emptyLabel, (listClient.right - width) / 2,
          headerHeight + std::max(0, (static_cast<int>(listClient.bottom) - headerHeight -
                                      static_cast<int>(text.cy)) /
                                         2),
          width, text.cy);
    FitNameColumns();
}

void LogWindow::ShowContextMenu(LPARAM at) {
    POINT point{static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at))};
    if (point.x == -1 && point.y == -1) {
        // From the keyboard: at the current row, or the list's corner.
        RECT place{};
        const int row = static_cast<int>(
            SendMessageW(m_list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
        place.left = LVIR_BOUNDS;
        if (row < 0 || !SendMessageW(m_list, LVM_GETITEMRECT, static_cast<WPARAM>(row),
                                     reinterpret_cast<LPARAM>(&place))) {
            place = RECT{};
        }
        point = POINT{place.left + Scale(m_window, 8), place.bottom};
        ClientToScreen(m_list, &point);
    }
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING | (m_table.Size() > 0 ? MF_ENABLED : MF_GRAYED), kSaveMenuId,
                L"CSV形式で保存...");
    const int chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, point.x, point.y, 0,
                                      m_window, nullptr);
    DestroyMenu(menu);
    if (chosen == kSaveMenuId) {
        SaveCsvAs();
    }
}

void LogWindow::Close(int result) {
    if (IsModalRunning(m_window)) {
        EndModal(m_window, result);
    } else {
        ShowWindow(m_window, SW_HIDE);
    }
}

std::wstring LogWindow::Cell(size_t row, int column) const {
    if (row >= m_table.Size()) {
        return {};
    }
    if (column == 0) {
        return std::to_wstring(row + 1);
    }
    return Wide(GetCsvField(m_table.Line(row), column - 1));
}

LRESULT LogWindow::Notify(const NMHDR& header, LPARAM l) {
    if (header.hwndFrom == m_list && header.code == LVN_GETDISPINFOW) {
        LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(l)->item;
        if ((item.mask & LVIF_TEXT) != 0 && item.pszText != nullptr && item.cchTextMax > 0) {
            // Cut from the row's line only now that it is drawn.
            const std::wstring text = item.iItem >= 0
                                          ? Cell(static_cast<size_t>(item.iItem), item.iSubItem)
                                          : std::wstring();
            size_t n = std::min(text.size(), static_cast<size_t>(item.cchTextMax - 1));
            if (n > 0 && n < text.size() && IS_HIGH_SURROGATE(text[n - 1])) {
                --n;
            }
            text.copy(item.pszText, n);
            item.pszText[n] = L'\0';
        }
        return 0;
    }
    if (header.hwndFrom == m_list && header.code == LVN_ODFINDITEMW) {
        return -1;  // no search by typing: the keys move the selection only
    }
    if (header.hwndFrom == m_tip && header.code == TTN_GETDISPINFOW) {
        auto& info = *reinterpret_cast<NMTTDISPINFOW*>(l);
        // The names, whole, for the cell under the mouse.
        m_tipText.clear();
        if (m_tipRow >= 0 && m_tipColumn >= 2 && m_tipColumn <= 4) {
            m_tipText = Cell(static_cast<size_t>(m_tipRow), m_tipColumn);
        }
        info.lpszText = m_tipText.data();
        SendMessageW(m_tip, TTM_SETMAXTIPWIDTH, 0, Scale(m_window, 600));
        return 0;
    }
    return 0;
}

LRESULT LogWindow::Handle(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_SIZE:
            Layout();
            return 0;
        case WM_GETMINMAXINFO: {
            if (m_list == nullptr) {
                break;
            }
            // Never so narrow that a heading or a number would be cut.
            RECT outer, client, listOuter, listClient;
            GetWindowRect(m_window, &outer);
            GetClientRect(m_window, &client);
            GetWindowRect(m_list, &listOuter);
            GetClientRect(m_list, &listClient);
            const bool scrolling = (GetWindowLongPtrW(m_list, GWL_STYLE) & WS_VSCROLL) != 0;
            const int listFrame = (listOuter.right - listOuter.left) - listClient.right -
                                  (scrolling ? FixedRoom() : 0);
            const int frameWidth = (outer.right - outer.left) - client.right;
            const int frameHeight = (outer.bottom - outer.top) - client.bottom;
            const int buttons = Scale(m_window, 24) + 2 * ButtonWidth();
            auto& info = *reinterpret_cast<MINMAXINFO*>(l);
            info.ptMinTrackSize.x = frameWidth + std::max(m_minimumListWidth + listFrame, buttons);
            const int text = TextExtent(m_window, UiFont(m_window), L"").cy;
            info.ptMinTrackSize.y = frameHeight + PanelHeight() + 6 * (text + Scale(m_window, 4));
            return 0;
        }
        case WM_DPICHANGED: {
            // The same layout at the new DPI: fonts, widths and the suggested frame.
            ApplyFont(m_window, UiFont(m_window));
            SetColumnWidths();
            const RECT& suggested = *reinterpret_cast<const RECT*>(l);
            SetWindowPos(m_window, nullptr, suggested.left, suggested.top,
                         suggested.right - suggested.left, suggested.bottom - suggested.top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            Layout();
            return 0;
        }
        case DM_GETDEFID:
            return MAKELRESULT(kCloseId, DC_HASDEFID);
        case WM_COMMAND:
            switch (LOWORD(w)) {
                case kCloseId:
                    Close(IDOK);
                    return 0;
                case IDCANCEL:
                    Close(IDCANCEL);
                    return 0;
                case kSaveId:
                    SaveCsvAs();
                    return 0;
                default:
                    break;
            }
            break;
        case WM_CONTEXTMENU:
            if (reinterpret_cast<HWND>(w) == m_list) {
                ShowContextMenu(l);
                return 0;
            }
            break;
        case WM_NOTIFY:
            return Notify(*reinterpret_cast<const NMHDR*>(l), l);
        case kRefit:
            FitNameColumns();
            return 0;
        case WM_CLOSE:
            Close(IDCANCEL);
            return 0;
        case WM_NCDESTROY:
            m_window = m_list = m_closeButton = m_saveButton = m_emptyLabel = m_tip = nullptr;
            break;
        default:
            break;
    }
    return DefWindowProcW(m_window, message, w, l);
}

LRESULT LogWindow::HandleList(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_NOTIFY: {
            const auto& header = *reinterpret_cast<const NMHDR*>(l);
            switch (header.code) {
                case HDN_BEGINTRACKW:
                case HDN_BEGINTRACKA:
                    return TRUE;  // the widths are the window's
                case HDN_DIVIDERDBLCLICKW:
                case HDN_DIVIDERDBLCLICKA:
                    return 0;
                case HDN_ITEMCHANGEDW:
                case HDN_ITEMCHANGEDA:
                    // The list's own sizing (Ctrl and +) would bring a sideways scroll bar.
                    if (!m_fitting) {
                        PostMessageW(m_window, kRefit, 0, 0);
                    }
                    break;
                default:
                    break;
            }
            break;
        }
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(l) == m_emptyLabel) {
                HDC dc = reinterpret_cast<HDC>(w);
                SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
                SetBkColor(dc, GetSysColor(COLOR_WINDOW));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
            }
            break;
        case WM_SIZE: {
            const LRESULT r = CallWindowProcW(listDefault, m_list, message, w, l);
            PostMessageW(m_window, kRefit, 0, 0);
            return r;
        }
        case WM_MOUSEMOVE: {
            LVHITTESTINFO hit{};
            hit.pt = POINT{static_cast<short>(LOWORD(l)), static_cast<short>(HIWORD(l))};
            SendMessageW(m_list, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit));
            if (hit.iItem != m_tipRow || hit.iSubItem != m_tipColumn) {
                // Another cell: its own tip, or none.
                m_tipRow = hit.iItem;
                m_tipColumn = hit.iSubItem;
                SendMessageW(m_tip, TTM_POP, 0, 0);
            }
            break;
        }
        default:
            break;
    }
    return CallWindowProcW(listDefault, m_list, message, w, l);
}

LRESULT CALLBACK LogWindow::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<LogWindow*>(reinterpret_cast<const CREATESTRUCTW*>(l)->lpCreateParams);
        self->m_window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<LogWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr || self->m_window != window) {
        return DefWindowProcW(window, message, w, l);
    }
    return self->Handle(message, w, l);
}

LRESULT CALLBACK LogWindow::ListProcedure(HWND list, UINT message, WPARAM w, LPARAM l) {
    auto* self = reinterpret_cast<LogWindow*>(GetWindowLongPtrW(list, GWLP_USERDATA));
    if (self == nullptr || self->m_list != list) {
        return CallWindowProcW(listDefault, list, message, w, l);
    }
    return self->HandleList(message, w, l);
}

}  // namespace winui
