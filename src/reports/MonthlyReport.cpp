#include "reports/MonthlyReport.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "reports/PrintTotals.h"
#include "reports/TextCells.h"
#include "storage/RecordText.h"

namespace {

// Looks groups up by the record's bytes without building a string for every record.
struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

const char* GroupHeading(ReportGrouping by) {
    switch (by) {
        case ReportGrouping::Computer:
            return "コンピュータ";
        case ReportGrouping::User:
            return "ユーザー";
        case ReportGrouping::Printer:
            return "プリンタ";
    }
    return "";
}

}  // namespace

MonthlyReport SumMonthlyPages(PrintDataFiles& files, const ReportQuery& query) {
    MonthlyReport report;
    report.by = query.by;
    report.everyPrinter = query.everyPrinter;
    report.printerText = query.printerText;
    report.fromMonth = query.fromMonth;
    report.toMonth = query.toMonth;
    const int months = std::max(0, report.MonthCount());
    report.monthTotals.assign(static_cast<size_t>(months), 0);

    // The printer as its records name it: a network printer's records name it as its server
    // knows it, and a text that does not start with the server matches no record (a NUL, which
    // ends every line read, is a name no record has).
    const bool anyPrinter = query.everyPrinter;
    std::string_view storedPrinter = query.printerText;
    const std::string serverPrefix = query.serverName + "\\";
    if (!anyPrinter && !query.serverName.empty()) {
        storedPrinter = query.printerText.rfind(serverPrefix, 0) == 0
                            ? std::string_view(query.printerText).substr(serverPrefix.size())
                            : std::string_view("\0", 1);
    }
    RecordFilter filter;
    filter.printerName = storedPrinter;
    filter.legacyPrinterName = anyPrinter ? std::string() : LegacyRecordForm(storedPrinter);
    filter.firstMonth = query.fromMonth;
    filter.lastMonth = query.toMonth;
    filter.anyPrinter = anyPrinter;

    std::unordered_map<std::string, size_t, NameHash, std::equal_to<>> index;
    for (const auto& path : ListPrintDataFiles(files.DataDirectory(), &report.folderError)) {
        for (bool open = true; files.ReadPrintRecord(open, path, &filter); open = false) {
            const PrintRecord& r = files.LastRead();
            if (r.jobId == -1) {
                continue;
            }
            const int month = SelectedMonth(r.time.wYear, r.time.wMonth);
            if (r.time.wMonth < 1 || r.time.wMonth > 12 || month < query.fromMonth ||
                month > query.toMonth || (!anyPrinter && r.printerName != storedPrinter)) {
                continue;
            }
            std::string_view group;
            switch (query.by) {
                case ReportGrouping::Computer:
                    group = r.machineName;
                    break;
                case ReportGrouping::User:
                    group = r.userName;
                    break;
                case ReportGrouping::Printer:
                    // One printer chosen: its row carries the name it was chosen by.
                    group = anyPrinter ? std::string_view(r.printerName)
                                       : std::string_view(query.printerText);
                    break;
            }
            auto it = index.find(group);
            if (it == index.end()) {
                it = index.emplace(std::string(group), report.rows.size()).first;
                report.rows.push_back({std::string(group),
                                       std::vector<std::int64_t>(static_cast<size_t>(months), 0),
                                       0});
            }
            const std::int64_t pages = r.pagesPrintedTimesCopies;
            const auto column = static_cast<size_t>(month - query.fromMonth);
            MonthlyReport::Row& row = report.rows[it->second];
            row.pages[column] += pages;
            row.total += pages;
            report.monthTotals[column] += pages;
            report.grandTotal += pages;
        }
    }

    std::vector<std::wstring> keys;
    keys.reserve(report.rows.size());
    std::vector<size_t> order(report.rows.size());
    for (size_t i = 0; i < report.rows.size(); ++i) {
        keys.push_back(CollationKey(report.rows[i].name));
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (report.rows[a].total != report.rows[b].total) {
            return report.rows[a].total > report.rows[b].total;
        }
        if (keys[a] != keys[b]) {
            return keys[a] < keys[b];
        }
        return report.rows[a].name < report.rows[b].name;
    });
    std::vector<MonthlyReport::Row> sorted;
    sorted.reserve(order.size());
    for (size_t i : order) {
        sorted.push_back(std::move(report.rows[i]));
    }
    report.rows = std::move(sorted);
    return report;
}

const char* GroupingName(ReportGrouping by) {
    switch (by) {
        case ReportGrouping::Computer:
            return "computer";
        case ReportGrouping::User:
            return "user";
        case ReportGrouping::Printer:
            return "printer";
    }
    return "";
}

std::string MonthLabel(int selectedMonth) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%04d-%02d", YearOf(selectedMonth), MonthOf(selectedMonth));
    return buf;
}

int ParseMonthLabel(const std::string& text) {
    if (text.size() != 7 || text[4] != '-') {
        return 0;
    }
    for (size_t i : {0, 1, 2, 3, 5, 6}) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
    }
    const int year = std::stoi(text.substr(0, 4));
    const int month = std::stoi(text.substr(5, 2));
    return month >= 1 && month <= 12 ? SelectedMonth(year, month) : 0;
}

std::vector<std::string> FormatReportTable(const MonthlyReport& report) {
    const char* const totalHeading = "合計";
    int nameCells = DisplayCells(GroupHeading(report.by));
    for (const auto& row : report.rows) {
        nameCells = std::max(nameCells, DisplayCells(row.name));
    }
    nameCells = std::max(nameCells, DisplayCells(totalHeading));
    // Every number column as wide as its widest figure, at least a month label.
    auto digits = [](std::int64_t n) { return static_cast<int>(std::to_string(n).size()); };
    const int months = report.MonthCount();
    std::vector<int> widths(static_cast<size_t>(months) + 1, 7);
    for (int m = 0; m < months; ++m) {
        widths[static_cast<size_t>(m)] =
            std::max(7, digits(report.monthTotals[static_cast<size_t>(m)]));
        for (const auto& row : report.rows) {
            widths[static_cast<size_t>(m)] =
                std::max(widths[static_cast<size_t>(m)], digits(row.pages[static_cast<size_t>(m)]));
        }
    }
    widths.back() = std::max({7, digits(report.grandTotal)});
    auto number = [](const std::string& text, int width) {
        return std::string(static_cast<size_t>(std::max(0, width - DisplayCells(text))), ' ') +
               text;
    };
    auto line = [&](const std::string& name, const std::vector<std::string>& cells) {
        std::string out = PadToCells(name, nameCells);
        for (size_t i = 0; i < cells.size(); ++i) {
            out += "  ";
            out += number(cells[i], widths[i]);
        }
        return out;
    };

    std::vector<std::string> lines;
    lines.reserve(report.rows.size() + 2);
    std::vector<std::string> cells;
    for (int m = 0; m < months; ++m) {
        cells.push_back(MonthLabel(report.fromMonth + m));
    }
    cells.push_back(totalHeading);
    lines.push_back(line(GroupHeading(report.by), cells));
    for (const auto& row : report.rows) {
        cells.clear();
        for (std::int64_t n : row.pages) {
            cells.push_back(std::to_string(n));
        }
        cells.push_back(std::to_string(row.total));
        lines.push_back(line(row.name, cells));
    }
    cells.clear();
    for (std::int64_t n : report.monthTotals) {
        cells.push_back(std::to_string(n));
    }
    cells.push_back(std::to_string(report.grandTotal));
    lines.push_back(line(totalHeading, cells));
    return lines;
}
