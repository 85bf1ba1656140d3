#pragma once

// What the print totals chart shows, whatever draws it: the bars with their names, titles and
// tooltips. The window toolkit only measures text and draws.

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "reports/MonthlyReport.h"
#include "reports/PrintTotals.h"

// A month held as year * 12 + month, as the windows show it: "2026年06月".
std::string MonthCaption(int selectedMonth);

// The line above the totals: "printer　2026年06月　コンピュータ別集計", with
// "　印刷データがありません。" after it when nothing was found.
std::string TotalsHeading(const std::string& printerText, int selectedMonth, bool byComputer,
                          bool noData);

// How a group's name reads in the chart: a nameless group gets a word for it.
std::string GroupLabel(const std::string& name);

// One chart's figures before they are fitted into a drawing.
struct ChartData {
    std::string title;
    std::string axisTitle;  // of the value axis
    struct Bar {
        std::string name;  // whole, as the tooltip gives it
        std::int64_t pages = 0;
    };
    std::vector<Bar> bars;      // top to bottom
    bool foldSmallest = false;  // the last ones may share one bar when not all fit
    std::string groupWord;      // what a group is, for the shared bar's tooltip
};

// The month's groups, largest first (equal ones in the memo's order), named by GroupLabel.
ChartData MonthChartData(const std::string& printerText, int selectedMonth,
                         const TotalsResult& result, bool byComputer);
// The months of a report over one printer, oldest first, each named by MonthCaption.
ChartData TrendChartData(const std::string& printerText, const MonthlyReport& trend);

// A bar as drawn: its label on the axis (shortened, and unique among the bars), its pages, and
// its tooltip.
struct DrawnBar {
    std::string label;
    std::int64_t pages = 0;
    std::string tip;
};

// How wide a text (UTF-8) is drawn, in whatever unit the caller's widths have.
using TextWidth = std::function<int(std::string_view)>;

// Room without a limit, for rows or width.
constexpr int kNoLimit = std::numeric_limits<int>::max();

// The text as it fits into width: whole when it fits, else its first and last characters around
// "…", as many of both as fit (one of each at least). Shortened in the middle because names of
// one office often differ only at their ends. Bytes that are no UTF-8 become U+FFFD.
std::string ShortenMiddle(std::string_view text, int width, const TextWidth& measure);

// The bars to draw, top to bottom, when `rows` of them fit (2 at least are assumed) and an axis
// label may be `labelWidth` wide: with foldSmallest and more bars than rows, the first rows - 1
// and one bar "その他" with the sum of the rest. Labels that read alike get " (2)", " (3)"...
std::vector<DrawnBar> FitChartBars(const ChartData& data, int rows, int labelWidth,
                                   const TextWidth& measure);

// The twelve months up to the month of what the memo shows, on its printer, for the chart's
// second view; counted under the record lock.
MonthlyReport SumTwelveMonths(PrintDataFiles& files, const TotalsQuery& shown);
