#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "reports/PrintTotals.h"
#include "ui/ReportContext.h"
#include "ui/win32/ChartView.h"

namespace winui {

// Print totals: the pages printed on one printer in one month, by computer or by user, in a memo
// and, on demand, as bars beside it.
class TotalsWindow {
  public:
    explicit TotalsWindow(const ReportContext& context);
    ~TotalsWindow();
    TotalsWindow(const TotalsWindow&) = delete;
    TotalsWindow& operator=(const TotalsWindow&) = delete;

    // Makes the window, hidden, centred once; the same window on later calls.
    HWND Create(HWND owner);
    // Shows the window with the printers there are now, until it is closed.
    int Run(HWND owner);

    // What each showing starts with: the printer list as the queues are now, the month (the
    // present one the first time), totals by computer, nothing counted.
    void Refresh();
    void PreviousMonth();
    void NextMonth();
    // 集計: counts the chosen printer and month; says so when there is nothing.
    void Calculate();
    // Opens the chart to the right of the memo (widening the window) or closes it.
    void ShowChart(bool shown);
    // Writes the totals the memo shows as CSV (for spreadsheet programs); false after telling
    // the user why not.
    bool SaveCsv(const std::wstring& path);
    // Asks where, then saves; nothing without totals.
    void SaveCsvAs();

    // year * 12 + month; 0 until the window is first shown.
    int SelectedMonthValue() const { return m_selectedMonth; }
    // The item of the printer list the text names (-1 for none), as it is stored at closing.
    int PrinterIndex() const;

    HWND Window() const { return m_window; }
    HWND PrinterCombo() const { return m_printerCombo; }
    HWND PreviousButton() const { return m_previous; }
    HWND NextButton() const { return m_next; }
    HWND MonthCaption() const { return m_monthCaption; }
    HWND ByComputerRadio() const { return m_byComputer; }
    HWND ByUserRadio() const { return m_byUser; }
    HWND CalculateButton() const { return m_calculate; }
    HWND Heading() const { return m_heading; }
    HWND Memo() const { return m_memo; }
    HWND CloseButton() const { return m_closeButton; }
    HWND ChartButton() const { return m_chartButton; }
    HWND SaveCsvButton() const { return m_saveCsvButton; }
    ChartView& Chart() { return m_chart; }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    static LRESULT CALLBACK MemoProcedure(HWND memo, UINT message, WPARAM w, LPARAM l, UINT_PTR id,
                                          DWORD_PTR self);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);
    void Command(int id, int code);
    void DrawArrow(const DRAWITEMSTRUCT& item);

    // Sizes from the font's measured texts at the window's DPI.
    struct Sizes {
        int textHeight = 0;
        int comboWidth = 0;
        int comboHeight = 0;
        int arrow = 0;
        int caption = 0;
        int radioComputer = 0;
        int radioUser = 0;
        int calculateWidth = 0;
        int buttonHeight = 0;
        int bottomButton = 0;
        int topHeight = 0;
        int bottomHeight = 0;
        int minClientWidth = 0;
        int minClientHeight = 0;
    };
    Sizes Measure() const;
    void Layout();
    void SetFonts();
    HFONT MemoFont();
    void ResizeClient(int width, int height);
    // Grows the window where its texts need more room than it has.
    void KeepMinimumSize();

    void ShowYearMonth();
    void ChoiceChanged();
    void ClearTotals();
    // Counts for the current choice; the no-data message only when the user asked (集計).
    void Count(bool asked);
    void UpdateTrend();
    void Close(int result);
    bool ByComputer() const;
    std::wstring ItemText(int index) const;

    ReportContext m_context;
    HWND m_window = nullptr;
    HWND m_printerLabel = nullptr;
    HWND m_printerCombo = nullptr;
    HWND m_monthLabel = nullptr;
    HWND m_previous = nullptr;
    HWND m_monthCaption = nullptr;
    HWND m_next = nullptr;
    HWND m_byComputer = nullptr;
    HWND m_byUser = nullptr;
    HWND m_calculate = nullptr;
    HWND m_heading = nullptr;
    HWND m_memo = nullptr;
    HWND m_closeButton = nullptr;
    HWND m_chartButton = nullptr;
    HWND m_saveCsvButton = nullptr;
    ChartView m_chart;
    HFONT m_memoFont = nullptr;
    UINT m_memoFontDpi = 0;
    UINT m_dpi = 96;  // of the present layout

    int m_selectedMonth = 0;
    bool m_choiceByComputer = true;  // the grouping last acted on
    bool m_settingText = false;      // the program, not the user, sets the printer text
    // What the memo shows, for the chart and the CSV file.
    bool m_hasTotals = false;
    TotalsQuery m_shownQuery;
    TotalsResult m_shownTotals;
    bool m_trendStale = false;
    // Counted since the window was shown: a changed choice is counted again at once.
    bool m_following = false;
    // The slot behind each item of the printer list.
    std::vector<int> m_itemSlots;
    int m_memoWidth = 0;  // kept while the chart is open beside the memo
};

}  // namespace winui
