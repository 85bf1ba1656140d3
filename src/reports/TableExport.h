#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "reports/MonthlyReport.h"
#include "reports/PrintLogData.h"
#include "reports/PrintTotals.h"
#include "storage/RecordText.h"

// CSV as RFC 4180 has it (fields quoted when they hold a comma, a quote or a line break; CRLF
// after every row), always in UTF-8. For spreadsheet programs (excel) the file starts with a
// UTF-8 byte order mark, by which they tell UTF-8 from the Windows code page, and a name that
// would start a formula (=, +, -, @, tab, CR) gets a leading apostrophe, so that opening the
// file never runs what another user put into a name.
// Files saved from the windows (japanese) carry the windows' column headings and months, so that
// they read as the window did; the command line keeps its English keys.
struct CsvStyle {
    bool excel = false;
    bool japanese = false;
};
// What the windows save: for spreadsheet programs, with Japanese headings.
inline constexpr CsvStyle kWindowCsvStyle{true, true};

// One field; text fields are names, the others numbers or labels of the program's own.
std::string CsvField(std::string_view text, const CsvStyle& style, bool isName = true);
// What a file or output starts with: the byte order mark for spreadsheet programs.
std::string CsvStart(const CsvStyle& style);

// A JSON string, quoted, in UTF-8.
std::string JsonString(std::string_view text);

// The print totals of one printer and month: "printer,month,<group>,pages" and one row per
// group, in the order of the memo.
std::string TotalsCsv(const TotalsQuery& query, const TotalsResult& result, const CsvStyle& style);
std::string TotalsJson(const TotalsQuery& query, const TotalsResult& result);
// The name the totals windows suggest for that file: "集計_<printer>_YYYY-MM.csv" (the printer's
// name as it is: each window makes it safe for a file name).
std::string TotalsCsvFileName(const TotalsQuery& query);

// The report table: "<group>,YYYY-MM,...,total", one row per group, and a last row "total".
std::string ReportCsv(const MonthlyReport& report, const CsvStyle& style);
// The printer is null when every printer counts.
std::string ReportJson(const MonthlyReport& report);

// The print log: the heading "time,printer,computer,user,pages" and one row per display line
// ("YYYY-MM-DD hh:mm:ss,printer,machine,user,pages,").
std::string LogCsvHeading(const CsvStyle& style);
std::string LogCsvRow(std::string_view displayLine, const CsvStyle& style);
// The whole log table as CSV, in pieces for a file writer: the heading, then the rows a few
// thousand at a time (a million lines never stand in memory twice); false once all were given.
// The table must outlive the function.
std::function<bool(std::string&)> LogCsvPieces(const PrintLogTable& table, const CsvStyle& style);
// One element of the log's JSON array, without separator.
std::string LogJsonObject(std::string_view displayLine);
