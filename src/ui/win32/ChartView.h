#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "reports/ChartData.h"
#include "reports/MonthlyReport.h"
#include "reports/PrintTotals.h"

namespace winui {

// The print totals as horizontal bars with their numbers, drawn with GDI: the month's pages per
// group, largest first, or the printer's pages of each of the last twelve months up to the chosen
// one, oldest first, as the list at its top chooses. Where the month has more groups than rows
// fit, the smallest share one bar "その他"; long names are shortened in the middle, and each
// bar's tooltip gives the whole name and its pages.
class ChartView {
  public:
    enum View { MonthByGroup = 0, TwelveMonths = 1 };

    ChartView() = default;
    ~ChartView();
    ChartView(const ChartView&) = delete;
    ChartView& operator=(const ChartView&) = delete;

    // Makes the view as a hidden child window of parent.
    HWND Create(HWND parent, int id);

    // The month's groups as the memo lists them; byComputer names the groups.
    void SetMonthTotals(const std::string& printerText, int selectedMonth,
                        const TotalsResult& result, bool byComputer);
    // The twelve months' totals (a report over them).
    void SetTrend(const std::string& printerText, const MonthlyReport& trend);
    void Clear();

    View CurrentView() const;
    // Chooses a view as the list does.
    void SetView(View view);

    // The bars as they are drawn, top to bottom: label, pages and tooltip.
    const std::vector<DrawnBar>& Bars() const { return m_drawn; }
    // The texts the tooltip control holds, one per bar in the same order.
    std::vector<std::wstring> ToolTexts() const;
    // The title drawn above the bars.
    const std::string& Title() const;

    // The narrowest and lowest the view is still readable at.
    SIZE MinimumSize() const;

    HWND Window() const { return m_window; }
    HWND ViewCombo() const { return m_viewCombo; }
    HWND ToolTip() const { return m_tip; }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);

    // Where things go at the present size.
    struct Geometry {
        RECT area{};   // the white panel below the list
        RECT title{};  // its title line
        int plotTop = 0;
        int plotBottom = 0;
        int rows = 0;        // bars that fit above each other
        int labelWidth = 0;  // the widest an axis label may be
    };
    Geometry Measure() const;
    // Fits the chosen view's bars into the present room and gives each its tooltip.
    void Refit();
    void Redraw();
    void SetTools(const Geometry& g);
    void Paint(HDC dc, const RECT& client);
    void PlaceCombo();
    const ChartData& Shown() const;

    HWND m_window = nullptr;
    HWND m_viewCombo = nullptr;
    HWND m_tip = nullptr;
    ChartData m_month;
    ChartData m_trend;
    std::vector<DrawnBar> m_drawn;
    std::vector<RECT> m_rows;  // of the drawn bars, for their tooltips
    size_t m_tools = 0;        // tools the tooltip control holds
};

}  // namespace winui
