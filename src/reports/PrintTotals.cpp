#include "reports/PrintTotals.h"

#include <unordered_map>

#include "reports/TextCells.h"
#include "storage/RecordText.h"

#include <cstdio>

TotalsResult SumPrintedPages(PrintDataFiles& files, const TotalsQuery& query) {
    TotalsResult result;
    std::unordered_map<std::string, size_t> index;
    std::string key;
    // Only records of the printer and month can count: the reader gives up on the others early.
    // A network printer's records name the printer as its server knows it; when the text does
    // not start with the server, no record can match: a NUL, which ends every line read, is
    // a name no record has.
    RecordFilter filter{query.printerText, query.year, query.month, 0, 0, false, {}};
    const std::string serverPrefix = query.serverName + "\\";
    if (!query.serverName.empty()) {
        filter.printerName = query.printerText.rfind(serverPrefix, 0) == 0
                                 ? std::string_view(query.printerText).substr(serverPrefix.size())
                                 : std::string_view("\0", 1);
    }
    filter.legacyPrinterName = LegacyRecordForm(filter.printerName);
    for (const auto& path : ListPrintDataFiles(files.DataDirectory(), &result.folderError)) {
        for (bool open = true; files.ReadPrintRecord(open, path, &filter); open = false) {
            const PrintRecord& r = files.LastRead();
            if (r.jobId == -1) {
                continue;
            }
            // A network printer's records name the printer as its server knows it.
            if (!query.serverName.empty()) {
                key = query.serverName + "\\" + r.printerName;
                if (key != query.printerText) {
                    continue;
                }
            } else if (r.printerName != query.printerText) {
                continue;
            }
            if (r.time.wYear != query.year || r.time.wMonth != query.month) {
                continue;
            }
            const std::string& group = query.byComputer ? r.machineName : r.userName;
            const auto [it, added] = index.try_emplace(group, result.groups.size());
            if (added) {
                result.groups.emplace_back(group, 0);
            }
            result.groups[it->second].second += r.pagesPrintedTimesCopies;
            result.grandTotal += r.pagesPrintedTimesCopies;
        }
    }
    return result;
}

std::vector<std::string> FormatTotals(const std::string& printerText, const TotalsResult& result) {
    auto bracket = [](std::int64_t n) {
        char buf[48];
        std::snprintf(buf, sizeof buf, " [%5lld枚]", static_cast<long long>(n));
        return std::string(buf);
    };
    std::vector<std::string> lines;
    lines.push_back(printerText + bracket(result.grandTotal));
    lines.emplace_back();
    for (const auto& [name, total] : result.groups) {
        lines.push_back("  " + PadToCells(name, 40) + bracket(total));
    }
    return lines;
}

std::string ServerOfPrinterName(const std::string& printerName) {
    if (printerName.rfind("\\\\", 0) != 0) {
        return {};
    }
    const auto sep = printerName.find('\\', 2);
    return sep == std::string::npos ? std::string() : printerName.substr(0, sep);
}

TotalsResult SumChosenTotals(PrintDataFiles& files, DiagnosticLog& log, const TotalsQuery& query,
                             int itemIndex) {
    files.AcquireRecordLock();
    log.Write(3003, 'D', std::string("ItemIndex = <") + std::to_string(itemIndex) + ">");
    TotalsResult result = SumPrintedPages(files, query);
    files.ReleaseRecordLock();
    return result;
}
