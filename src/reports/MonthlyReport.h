#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/PrintDataFiles.h"

enum class ReportGrouping { Computer, User, Printer };

struct ReportQuery {
    int fromMonth = 0;  // year * 12 + month, both ends included
    int toMonth = 0;
    bool everyPrinter = true;
    // The printer as chosen when not every printer counts, e.g. "Laser" or "\\server\Laser".
    std::string printerText;
    std::string serverName;  // "\\server" of the chosen network printer, empty otherwise
    ReportGrouping by = ReportGrouping::Computer;
};

// Pages printed x copies per group and month. Sums are 64-bit.
struct MonthlyReport {
    struct Row {
        std::string name;
        std::vector<std::int64_t> pages;  // one per month, from the first
        std::int64_t total = 0;
    };
    ReportGrouping by = ReportGrouping::Computer;
    bool everyPrinter = true;
    std::string printerText;
    int fromMonth = 0;
    int toMonth = 0;
    std::vector<Row> rows;  // largest total first; equal totals in name order (the locale's)
    std::vector<std::int64_t> monthTotals;
    std::int64_t grandTotal = 0;
    int folderError = 0;  // errno when the data directory could not be listed

    int MonthCount() const { return toMonth - fromMonth + 1; }
};

// The longest range a report covers; longer ones are refused by the callers.
constexpr int kMaxReportMonths = 600;

// Adds up the records of the months from query.fromMonth to query.toMonth (which must not be
// before it) as SumPrintedPages does for one month: a group with no pages in the range still has
// its row when it has records there. The caller holds the record lock.
MonthlyReport SumMonthlyPages(PrintDataFiles& files, const ReportQuery& query);

// The grouping's name in the program's own words: "computer", "user" or "printer".
const char* GroupingName(ReportGrouping by);

// "YYYY-MM" of a month value.
std::string MonthLabel(int selectedMonth);

// Parses "YYYY-MM" (month 01 to 12, year 0001 to 9999) into a month value; 0 when malformed.
int ParseMonthLabel(const std::string& text);

// The report as an aligned table: a heading line, one line per group, the totals line. Names are
// padded by display cells, numbers right-aligned.
std::vector<std::string> FormatReportTable(const MonthlyReport& report);
