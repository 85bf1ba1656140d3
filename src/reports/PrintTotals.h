#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/DiagnosticLog.h"
#include "storage/PrintDataFiles.h"

// A month as one number, year * 12 + month (1 to 12), stepped by one without bounds.
inline int SelectedMonth(int year, int month) {
    return year * 12 + month;
}
inline int YearOf(int selected) {
    return (selected - 1) / 12;
}
inline int MonthOf(int selected) {
    return (selected - 1) % 12 + 1;
}

struct TotalsQuery {
    std::string printerText;  // the printer as chosen, e.g. "Laser" or "\\server\Laser"
    std::string serverName;   // "\\server" of the chosen network printer, empty otherwise
    int year = 0;
    int month = 0;
    bool byComputer = true;
};

struct TotalsResult {
    // In the order of their first record; sums are 64-bit, so no total ever wraps.
    std::vector<std::pair<std::string, std::int64_t>> groups;
    std::int64_t grandTotal = 0;
    int folderError = 0;  // errno when the data directory could not be listed
};

// Sums pages printed x copies of the month's records of the printer, by computer or by user. The
// caller holds the record lock.
TotalsResult SumPrintedPages(PrintDataFiles& files, const TotalsQuery& query);
// The totals as the totals window counts a choice: under the record lock, with the chosen item
// of its printer list noted in the diagnostic log.
TotalsResult SumChosenTotals(PrintDataFiles& files, DiagnosticLog& log, const TotalsQuery& query,
                             int itemIndex);

// "printer [%5d枚]", an empty line, then "  group (padded to 40 cells) [%5d枚]" per group.
std::vector<std::string> FormatTotals(const std::string& printerText, const TotalsResult& result);

// The server part of a printer name of the form "\\server\printer"; empty for other names.
std::string ServerOfPrinterName(const std::string& printerName);
