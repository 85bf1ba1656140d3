#include "ui/win32/ChartView.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ui/win32/WinUi.h"

namespace winui {

namespace {

constexpr wchar_t kClassName[] = L"TessarovenTotalsChart";
constexpr int kViewComboId = 100;

const COLORREF kPanel = RGB(0xff, 0xff, 0xff);
const COLORREF kPanelEdge = RGB(0xc8, 0xc8, 0xc8);
const COLORREF kGrid = RGB(0xe4, 0xe4, 0xe4);
const COLORREF kAxis = RGB(0x80, 0x80, 0x80);
const COLORREF kBar = RGB(0x20, 0x9f, 0xdf);
const COLORREF kChosenBar = RGB(0x1f, 0x4e, 0x9a);  // the memo's month among the twelve
const COLORREF kText = RGB(0x00, 0x00, 0x00);

// The fonts, as designed at 96 DPI for a 12 pixel desktop font.
HFONT LabelFont(HWND w) {
    return UiFontSized(w, 11);
}
HFONT NumberFont(HWND w) {
    return UiFontSized(w, 10);
}
HFONT TitleFont(HWND w) {
    return UiFontSized(w, 13, true);
}

int LineHeight(HWND w, HFONT font) {
    return TextExtent(w, font, L"").cy;
}

std::wstring Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f", value);
    return Wide(text);
}

// A value axis from lo to hi in steps of 1, 2 or 5 times a power of ten, whole numbers only, with
// at most about `ticks` steps.
struct Axis {
    double low = 0;
    double high = 1;
    double step = 1;
};
Axis NiceAxis(double low, double high, int ticks) {
    Axis axis;
    const double span = high > low ? high - low : 1;
    const double raw = span / std::max(ticks, 1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / magnitude;
    axis.step = std::max(1.0, (f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10) * magnitude);
    axis.low = std::floor(low / axis.step) * axis.step;
    axis.high = std::ceil(high / axis.step) * axis.step;
    if (axis.high <= axis.low) {
        axis.high = axis.low + axis.step;
    }
    return axis;
}

void FillColor(HDC dc, const RECT& r, COLORREF color) {
    SetDCBrushColor(dc, color);
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

void Text(HDC dc, HFONT font, const std::wstring& text, RECT r, UINT format) {
    SelectObject(dc, font);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
              format | DT_NOPREFIX | DT_SINGLELINE);
}

}  // namespace

ChartView::~ChartView() {
    if (m_tip != nullptr) {
        DestroyWindow(m_tip);
    }
}

HWND ChartView::Create(HWND parent, int id) {
    if (m_window != nullptr) {
        return m_window;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    RegisterWindowClass(kClassName, &ChartView::Procedure);
    // Tab reaches the list inside.
    CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"", WS_CHILD | WS_CLIPCHILDREN, 0, 0, 0, 0,
                    parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                    GetModuleHandleW(nullptr), this);
    m_viewCombo = Control(m_window, WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_TABSTOP | WS_VSCROLL,
                          kViewComboId);
    SendMessageW(m_viewCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"集計月の内訳"));
    SendMessageW(m_viewCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"12か月の推移"));
    SendMessageW(m_viewCombo, CB_SETCURSEL, MonthByGroup, 0);
    SendMessageW(m_viewCombo, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont(m_window)), FALSE);
    m_tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                            WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, m_window, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    // Line breaks in a tip need a width to wrap at; the pages stay long enough on screen to read.
    SendMessageW(m_tip, TTM_SETMAXTIPWIDTH, 0, Scale(m_window, 520));
    SendMessageW(m_tip, TTM_SETDELAYTIME, TTDT_AUTOPOP, 30000);
    return m_window;
}

LRESULT CALLBACK ChartView::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<ChartView*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
        self->m_window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<ChartView*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(window, message, w, l);
    }
    return self->Handle(message, w, l);
}

LRESULT ChartView::Handle(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(w) == kViewComboId && HIWORD(w) == CBN_SELCHANGE) {
                Refit();
                InvalidateRect(m_window, nullptr, FALSE);
            }
            return 0;
        case WM_SETFONT:
            PlaceCombo();
            Refit();
            return 0;
        case WM_SIZE:
            PlaceCombo();
            Refit();
            InvalidateRect(m_window, nullptr, FALSE);
            return 0;
        case WM_WINDOWPOSCHANGED: {
            const LRESULT result = DefWindowProcW(m_window, message, w, l);
            // Shown, it fits the bars into its room; hidden, it holds them all.
            if ((reinterpret_cast<WINDOWPOS*>(l)->flags & (SWP_SHOWWINDOW | SWP_HIDEWINDOW)) != 0) {
                Refit();
            }
            return result;
        }
        case WM_DPICHANGED_AFTERPARENT:
            SendMessageW(m_tip, TTM_SETMAXTIPWIDTH, 0, Scale(m_window, 520));
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(m_window, &ps);
            RECT client;
            GetClientRect(m_window, &client);
            // Drawn off screen first, so that resizing does not flicker.
            HDC memory = CreateCompatibleDC(dc);
            HBITMAP bitmap =
                CreateCompatibleBitmap(dc, std::max(1L, client.right), std::max(1L, client.bottom));
            HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
            HGDIOBJ oldFont = SelectObject(memory, LabelFont(m_window));
            Paint(memory, client);
            BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
            SelectObject(memory, oldFont);
            SelectObject(memory, oldBitmap);
            DeleteObject(bitmap);
            DeleteDC(memory);
            EndPaint(m_window, &ps);
            return 0;
        }
        case WM_DESTROY:
            if (m_tip != nullptr) {
                DestroyWindow(m_tip);
                m_tip = nullptr;
            }
            m_tools = 0;
            return 0;
        case WM_NCDESTROY: {
            HWND window = m_window;
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            m_window = nullptr;
            m_viewCombo = nullptr;
            return DefWindowProcW(window, message, w, l);
        }
        default:
            return DefWindowProcW(m_window, message, w, l);
    }
}

void ChartView::SetMonthTotals(const std::string& printerText, int selectedMonth,
                               const TotalsResult& result, bool byComputer) {
    m_month = MonthChartData(printerText, selectedMonth, result, byComputer);
    Redraw();
}

void ChartView::SetTrend(const std::string& printerText, const MonthlyReport& trend) {
    m_trend = TrendChartData(printerText, trend);
    Redraw();
}

void ChartView::Clear() {
    m_month = ChartData{};
    m_trend = ChartData{};
    Redraw();
}

ChartView::View ChartView::CurrentView() const {
    return SendMessageW(m_viewCombo, CB_GETCURSEL, 0, 0) == TwelveMonths ? TwelveMonths
                                                                         : MonthByGroup;
}

void ChartView::SetView(View view) {
    SendMessageW(m_viewCombo, CB_SETCURSEL, static_cast<WPARAM>(view), 0);
    Redraw();
}

void ChartView::Redraw() {
    Refit();
    if (m_window != nullptr) {
        InvalidateRect(m_window, nullptr, FALSE);
    }
}

const ChartData& ChartView::Shown() const {
    return CurrentView() == TwelveMonths ? m_trend : m_month;
}

const std::string& ChartView::Title() const {
    return Shown().title;
}

SIZE ChartView::MinimumSize() const {
    return {Scale(m_window, 300), Scale(m_window, 240)};
}

void ChartView::PlaceCombo() {
    if (m_viewCombo == nullptr) {
        return;
    }
    HFONT font = UiFont(m_window);
    int widest = 0;
    for (const wchar_t* item : {L"集計月の内訳", L"12か月の推移"}) {
        widest = std::max(widest, static_cast<int>(TextExtent(m_window, font, item).cx));
    }
    const int pad = Scale(m_window, 4);
    // The height a combo box is given is its list's; it sizes its field by its font.
    Place(m_viewCombo, pad, pad,
          widest + GetSystemMetricsForDpi(SM_CXVSCROLL, GetDpiForWindow(m_window)) +
              Scale(m_window, 16),
          Scale(m_window, 120));
}

ChartView::Geometry ChartView::Measure() const {
    auto s = [this](int designed) { return Scale(m_window, designed); };
    Geometry g;
    RECT client;
    GetClientRect(m_window, &client);
    RECT combo{};
    GetWindowRect(m_viewCombo, &combo);
    const LONG pad = s(4);
    g.area = {pad, pad + (combo.bottom - combo.top) + pad, std::max(pad, client.right - pad),
              std::max(pad + (combo.bottom - combo.top) + pad, client.bottom - pad)};
    const int label = LineHeight(m_window, LabelFont(m_window));
    const int number = LineHeight(m_window, NumberFont(m_window));
    g.title = {g.area.left + s(10), g.area.top + s(8), g.area.right - s(10),
               g.area.top + s(8) + LineHeight(m_window, TitleFont(m_window))};
    g.plotTop = g.title.bottom + s(10);
    // Below the bars: the axis' numbers and its title.
    g.plotBottom =
        std::max(g.plotTop, static_cast<int>(g.area.bottom) - s(8) - label - s(4) - number - s(6));
    // A bar's row: its label with some room above and below.
    g.rows = std::max(2, (g.plotBottom - g.plotTop) / (label + s(10)));
    TEXTMETRICW metrics{};
    HDC dc = GetDC(m_window);
    HGDIOBJ old = SelectObject(dc, LabelFont(m_window));
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(m_window, dc);
    // Steps of a few pixels, so that not every pixel of a resize shortens the names anew.
    g.labelWidth = std::max(static_cast<int>(g.area.right - g.area.left) * 2 / 5,
                            6 * static_cast<int>(metrics.tmAveCharWidth)) /
                   8 * 8;
    return g;
}

void ChartView::Refit() {
    if (m_window == nullptr || m_viewCombo == nullptr) {
        return;
    }
    const Geometry g = Measure();
    // Hidden, it has no room yet: every bar, named whole.
    const bool shown = (GetWindowLongW(m_window, GWL_STYLE) & WS_VISIBLE) != 0;
    HDC dc = GetDC(m_window);
    HGDIOBJ old = SelectObject(dc, LabelFont(m_window));
    m_drawn = FitChartBars(Shown(), shown ? g.rows : kNoLimit, shown ? g.labelWidth : kNoLimit,
                           [dc](std::string_view text) {
                               const std::wstring wide = Wide(text);
                               SIZE size{0, 0};
                               GetTextExtentPoint32W(dc, wide.data(), static_cast<int>(wide.size()),
                                                     &size);
                               return static_cast<int>(size.cx);
                           });
    SelectObject(dc, old);
    ReleaseDC(m_window, dc);
    SetTools(g);
}

void ChartView::SetTools(const Geometry& g) {
    m_rows.clear();
    const int n = static_cast<int>(m_drawn.size());
    const int height = g.plotBottom - g.plotTop;
    for (int i = 0; i < n; ++i) {
        m_rows.push_back({g.area.left, g.plotTop + height * i / n, g.area.right,
                          g.plotTop + height * (i + 1) / n});
    }
    if (m_tip == nullptr) {
        return;
    }
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = m_window;
    for (size_t i = 0; i < m_tools; ++i) {
        tool.uId = i + 1;
        SendMessageW(m_tip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    m_tools = 0;
    for (size_t i = 0; i < m_drawn.size(); ++i) {
        std::wstring text = Wide(m_drawn[i].tip);
        tool.uFlags = TTF_SUBCLASS;
        tool.uId = i + 1;
        tool.rect = m_rows[i];
        tool.lpszText = text.data();  // the control keeps a copy
        if (SendMessageW(m_tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool)) != 0) {
            m_tools = i + 1;
        }
    }
}

std::vector<std::wstring> ChartView::ToolTexts() const {
    std::vector<std::wstring> texts;
    const auto count = static_cast<size_t>(SendMessageW(m_tip, TTM_GETTOOLCOUNT, 0, 0));
    for (size_t i = 0; i < count; ++i) {
        std::wstring text(8192, L'\0');
        TOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.hwnd = m_window;
        tool.uId = i + 1;
        tool.lpszText = text.data();
        SendMessageW(m_tip, TTM_GETTEXTW, text.size(), reinterpret_cast<LPARAM>(&tool));
        text.resize(wcsnlen(text.c_str(), text.size()));
        texts.push_back(text);
    }
    return texts;
}

void ChartView::Paint(HDC dc, const RECT& client) {
    auto s = [this](int designed) { return Scale(m_window, designed); };
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
    const Geometry g = Measure();
    FillColor(dc, g.area, kPanelEdge);
    const RECT inside = {g.area.left + 1, g.area.top + 1, g.area.right - 1, g.area.bottom - 1};
    FillColor(dc, inside, kPanel);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kText);
    const ChartData& data = Shown();
    Text(dc, TitleFont(m_window), Wide(data.title), g.title, DT_CENTER | DT_END_ELLIPSIS);
    if (m_drawn.empty()) {
        return;
    }

    // The labels' column: as wide as the widest label drawn, within its limit.
    HFONT label = LabelFont(m_window);
    HFONT number = NumberFont(m_window);
    int labels = 0;
    double low = 0;
    double high = 0;
    for (const DrawnBar& bar : m_drawn) {
        labels =
            std::max(labels, static_cast<int>(TextExtent(m_window, label, Wide(bar.label)).cx));
        low = std::min(low, static_cast<double>(bar.pages));
        high = std::max(high, static_cast<double>(bar.pages));
    }
    labels = std::min(labels, g.labelWidth);
    const int left = g.area.left + s(10) + labels + s(8);
    const int right = std::max(left + 1, static_cast<int>(g.area.right) - s(16));
    // Room past the longest bar for its number; steps far enough apart for theirs.
    const double axisLow = low < 0 ? low * 1.25 : 0;
    const double axisHigh = high > 0 ? high * 1.25 : 1;
    const int numberWidth = std::max(TextExtent(m_window, number, Number(axisHigh)).cx,
                                     TextExtent(m_window, number, Number(axisLow)).cx);
    const Axis axis = NiceAxis(axisLow, axisHigh, (right - left) / (numberWidth + s(24)));
    auto x = [&](double value) {
        return left + static_cast<int>(std::lround((value - axis.low) / (axis.high - axis.low) *
                                                   (right - left)));
    };

    // Grid and the axis' numbers and title below.
    const int numberTop = g.plotBottom + s(6);
    const int numberHeight = LineHeight(m_window, number);
    for (int i = 0;; ++i) {
        const double value = axis.low + i * axis.step;
        if (value > axis.high + axis.step / 2 || i > 100) {
            break;
        }
        const int at = x(value);
        FillColor(dc, {at, g.plotTop, at + 1, g.plotBottom}, kGrid);
        Text(dc, number, Number(value),
             {at - s(60), numberTop, at + s(60), numberTop + numberHeight}, DT_CENTER);
    }
    const int zero = x(0);
    FillColor(dc, {left, g.plotBottom, right + 1, g.plotBottom + 1}, kAxis);
    FillColor(dc, {zero, g.plotTop, zero + 1, g.plotBottom}, kAxis);
    const int titleTop = numberTop + numberHeight + s(4);
    Text(dc, label, Wide(data.axisTitle),
         {left, titleTop, right, titleTop + LineHeight(m_window, label)}, DT_CENTER);

    // The bars, top to bottom, each with its label to the left and its pages at its end.
    const bool months = CurrentView() == TwelveMonths;
    for (size_t i = 0; i < m_drawn.size() && i < m_rows.size(); ++i) {
        const DrawnBar& bar = m_drawn[i];
        const RECT& row = m_rows[i];
        const int middle = (row.top + row.bottom) / 2;
        const int thickness =
            std::max(2, std::min(static_cast<int>(row.bottom - row.top) * 3 / 5, s(28)));
        const int end = x(static_cast<double>(bar.pages));
        const bool chosen = months && i + 1 == m_drawn.size();
        FillColor(dc,
                  {std::min(zero, end), middle - thickness / 2, std::max(zero, end) + 1,
                   middle - thickness / 2 + thickness},
                  chosen ? kChosenBar : kBar);
        Text(dc, label, Wide(bar.label), {g.area.left + s(10), row.top, left - s(8), row.bottom},
             DT_RIGHT | DT_VCENTER);
        const std::wstring pages = Number(static_cast<double>(bar.pages));
        const int width = TextExtent(m_window, label, pages).cx;
        RECT at = bar.pages < 0 ? RECT{end - s(4) - width, row.top, end - s(4), row.bottom}
                                : RECT{end + s(4), row.top, end + s(4) + width, row.bottom};
        Text(dc, label, pages, at, DT_LEFT | DT_VCENTER);
    }
}

}  // namespace winui
