#include "reports/PrintLogData.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "reports/TextCells.h"

std::string GetCsvField(std::string_view line, int n) {
    size_t start = 0;
    for (int field = 0;; ++field) {
        const size_t comma = line.find(',', start);
        if (comma == std::string_view::npos) {
            return {};
        }
        if (field == n) {
            return std::string(line.substr(start, comma - start));
        }
        start = comma + 1;
    }
}

std::string FormatDisplayLine(const PrintRecord& r) {
    char time[40];
    std::snprintf(time, sizeof time, "%4d-%02d-%02d %02d:%02d:%02d,", r.time.wYear, r.time.wMonth,
                  r.time.wDay, r.time.wHour, r.time.wMinute, r.time.wSecond);
    return time + r.printerName + "," + r.machineName + "," + r.userName + "," +
           std::to_string(r.pagesPrintedTimesCopies) + ",";
}

PrintLogTable::LoadResult PrintLogTable::Load(PrintDataFiles& files) {
    m_text.clear();
    m_rows.clear();
    files.AcquireRecordLock();
    const auto paths = ListPrintDataFiles(files.DataDirectory(), &m_folderError);
    for (const auto& path : paths) {
        for (bool open = true; files.ReadPrintRecord(open, path); open = false) {
            const PrintRecord& r = files.LastRead();
            if (r.jobId == -1) {
                continue;
            }
            const std::string line = FormatDisplayLine(r);
            const std::int64_t time =
                ((((std::int64_t{r.time.wYear} * 100 + r.time.wMonth) * 100 + r.time.wDay) * 100 +
                  r.time.wHour) *
                     100 +
                 r.time.wMinute) *
                    100 +
                r.time.wSecond;
            m_rows.push_back({time, m_text.size(), static_cast<std::uint32_t>(line.size())});
            m_text.insert(m_text.end(), line.begin(), line.end());
        }
    }
    files.ReleaseRecordLock();
    if (m_folderError != 0) {
        return LoadResult::Unreachable;
    }
    if (paths.empty()) {
        return LoadResult::NoFiles;
    }
    if (m_rows.empty()) {
        return LoadResult::NoRecords;
    }
    Sort();
    return LoadResult::Loaded;
}

void PrintLogTable::Sort() {
    // The fixed-width date and time lead every line, so the time decides first; only lines of the
    // same second need the locale's collation of the rest.
    std::sort(m_rows.begin(), m_rows.end(),
              [](const Row& a, const Row& b) { return a.time < b.time; });
    for (size_t begin = 0; begin < m_rows.size();) {
        size_t end = begin + 1;
        while (end < m_rows.size() && m_rows[end].time == m_rows[begin].time) {
            ++end;
        }
        if (end - begin > 1) {
            // Printer, then computer, then user, each collated on its own: collating the joined
            // line lets a locale that ignores punctuation read across the commas, and a printer
            // whose name begins another's would sort after it. One member can fill a second with
            // any number of records: fold and collate each field once, not once per comparison.
            struct Keyed {
                std::wstring printer, machine, user;
                Row row;
            };
            std::vector<Keyed> keyed;
            keyed.reserve(end - begin);
            for (size_t i = begin; i < end; ++i) {
                const Row& row = m_rows[i];
                const std::string_view line(m_text.data() + row.offset, row.length);
                keyed.push_back({CollationKey(GetCsvField(line, 1)),
                                 CollationKey(GetCsvField(line, 2)),
                                 CollationKey(GetCsvField(line, 3)), row});
            }
            std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
                return std::tie(a.printer, a.machine, a.user) <
                       std::tie(b.printer, b.machine, b.user);
            });
            for (size_t i = begin; i < end; ++i) {
                m_rows[i] = keyed[i - begin].row;
            }
        }
        begin = end;
    }
}
