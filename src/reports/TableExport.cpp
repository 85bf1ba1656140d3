#include "reports/TableExport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reports/PrintLogData.h"

namespace {

std::string Join(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += fields[i];
    }
    return out + "\r\n";
}

// A page count from a display line: digits with an optional sign, as the reader writes them.
std::string NumberText(std::string_view s) {
    size_t i = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i >= s.size()) {
        return "0";
    }
    for (size_t k = i; k < s.size(); ++k) {
        if (s[k] < '0' || s[k] > '9') {
            return "0";
        }
    }
    return std::string(s[0] == '+' ? s.substr(1) : s);
}

// Appends every part in turn (which, unlike a chain of +, builds no temporary strings).
template <typename... Parts>
void Append(std::string& out, const Parts&... parts) {
    (out.append(parts), ...);
}

std::string JsonNumbers(const std::vector<std::int64_t>& numbers) {
    std::string out = "[";
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += std::to_string(numbers[i]);
    }
    out += ']';
    return out;
}

}  // namespace

std::string CsvField(std::string_view text, const CsvStyle& style, bool isName) {
    std::string field = isName ? ToUtf8(text) : std::string(text);
    if (style.excel && isName && !field.empty() && std::strchr("=+-@\t\r", field[0]) != nullptr) {
        field.insert(0, 1, '\'');
    }
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (char c : field) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string CsvStart(const CsvStyle& style) {
    return style.excel ? "\xEF\xBB\xBF" : "";
}

std::string JsonString(std::string_view text) {
    const std::string utf8 = ToUtf8(text);
    std::string out = "\"";
    for (char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", b);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string TotalsCsv(const TotalsQuery& query, const TotalsResult& result, const CsvStyle& style) {
    const bool ja = style.japanese;
    const char* by =
        query.byComputer ? (ja ? "コンピュータ名" : "computer") : (ja ? "ユーザー名" : "user");
    std::string out = CsvStart(style) + (ja ? Join({"プリンタ名", "年月", by, "枚数"})
                                            : Join({"printer", "month", by, "pages"}));
    const std::string printer = CsvField(query.printerText, style);
    const int selected = SelectedMonth(query.year, query.month);
    char shown[40];
    std::snprintf(shown, sizeof shown, "%04d年%02d月", YearOf(selected), MonthOf(selected));
    const std::string month = ja ? std::string(shown) : MonthLabel(selected);
    for (const auto& [name, pages] : result.groups) {
        out += Join({printer, month, CsvField(name, style), std::to_string(pages)});
    }
    return out;
}

std::string TotalsJson(const TotalsQuery& query, const TotalsResult& result) {
    std::string out;
    Append(out, "{\"printer\":", JsonString(query.printerText), ",\"month\":\"",
           MonthLabel(SelectedMonth(query.year, query.month)), "\",\"by\":\"",
           query.byComputer ? "computer" : "user",
           "\",\"total\":", std::to_string(result.grandTotal), ",\"groups\":[");
    for (size_t i = 0; i < result.groups.size(); ++i) {
        Append(out, i > 0 ? ",\n" : "\n", "{\"name\":", JsonString(result.groups[i].first),
               ",\"pages\":", std::to_string(result.groups[i].second), "}");
    }
    out += "]}\n";
    return out;
}

std::string ReportCsv(const MonthlyReport& report, const CsvStyle& style) {
    std::vector<std::string> fields{GroupingName(report.by)};
    for (int m = report.fromMonth; m <= report.toMonth; ++m) {
        fields.push_back(MonthLabel(m));
    }
    fields.push_back("total");
    std::string out = CsvStart(style) + Join(fields);
    for (const auto& row : report.rows) {
        fields.assign(1, CsvField(row.name, style));
        for (std::int64_t n : row.pages) {
            fields.push_back(std::to_string(n));
        }
        fields.push_back(std::to_string(row.total));
        out += Join(fields);
    }
    fields.assign(1, "total");
    for (std::int64_t n : report.monthTotals) {
        fields.push_back(std::to_string(n));
    }
    fields.push_back(std::to_string(report.grandTotal));
    return out + Join(fields);
}

std::string ReportJson(const MonthlyReport& report) {
    std::string out;
    Append(out, "{\"printer\":", report.everyPrinter ? "null" : JsonString(report.printerText),
           ",\"by\":\"", GroupingName(report.by), "\",\"from\":\"", MonthLabel(report.fromMonth),
           "\",\"to\":\"", MonthLabel(report.toMonth), "\",\n\"months\":[");
    for (int m = report.fromMonth; m <= report.toMonth; ++m) {
        Append(out, m > report.fromMonth ? ",\"" : "\"", MonthLabel(m), "\"");
    }
    out += "],\n\"rows\":[";
    for (size_t i = 0; i < report.rows.size(); ++i) {
        const auto& row = report.rows[i];
        Append(out, i > 0 ? ",\n" : "\n", "{\"name\":", JsonString(row.name),
               ",\"pages\":", JsonNumbers(row.pages), ",\"total\":", std::to_string(row.total),
               "}");
    }
    Append(out, "],\n\"monthTotals\":", JsonNumbers(report.monthTotals),
           ",\"total\":", std::to_string(report.grandTotal), "}\n");
    return out;
}

std::string LogCsvHeading(const CsvStyle& style) {
    if (style.japanese) {
        return CsvStart(style) +
               Join({"日時", "プリンタ名", "コンピュータ名", "ユーザー名", "枚数"});
    }
    return CsvStart(style) + Join({"time", "printer", "computer", "user", "pages"});
}

std::string LogCsvRow(std::string_view displayLine, const CsvStyle& style) {
    return Join({GetCsvField(displayLine, 0), CsvField(GetCsvField(displayLine, 1), style),
                 CsvField(GetCsvField(displayLine, 2), style),
                 CsvField(GetCsvField(displayLine, 3), style),
                 NumberText(GetCsvField(displayLine, 4))});
}

std::string LogJsonObject(std::string_view displayLine) {
    std::string out;
    Append(out, "{\"time\":", JsonString(GetCsvField(displayLine, 0)),
           ",\"printer\":", JsonString(GetCsvField(displayLine, 1)),
           ",\"computer\":", JsonString(GetCsvField(displayLine, 2)),
           ",\"user\":", JsonString(GetCsvField(displayLine, 3)),
           ",\"pages\":", NumberText(GetCsvField(displayLine, 4)), "}");
    return out;
}

std::function<bool(std::string&)> LogCsvPieces(const PrintLogTable& table, const CsvStyle& style) {
    return [&table, style, next = size_t{0}, headingGiven = false](std::string& piece) mutable {
        if (!headingGiven) {
            headingGiven = true;
            piece = LogCsvHeading(style);
            return true;
        }
        for (const size_t end = std::min(table.Size(), next + 4096); next < end; ++next) {
            piece += LogCsvRow(table.Line(next), style);
        }
        return !piece.empty();
    };
}

std::string TotalsCsvFileName(const TotalsQuery& query) {
    char month[16];
    std::snprintf(month, sizeof month, "%04d-%02d", query.year, query.month);
    return std::string("集計_") + query.printerText + "_" + month + ".csv";
}
