#include "reports/ChartData.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "storage/RecordText.h"

namespace {

// The most names the tooltip of "その他" lists.
constexpr size_t kRestNamesListed = 10;

const char kEllipsis[] = "…";
const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

std::string Pages(std::int64_t pages) {
    return std::to_string(pages) + "枚";
}

// The text split into its characters; a byte that starts none becomes U+FFFD, so that every
// toolkit reads the pieces alike and two labels that differ here still differ drawn.
std::vector<std::string> Characters(std::string_view text) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size();) {
        const size_t len = Utf8Length(text, i);
        if (len == 0) {
            out.emplace_back(kReplacement);
            ++i;
        } else {
            out.emplace_back(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string Join(const std::vector<std::string>& pieces, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
        out += pieces[i];
    }
    return out;
}

// The first `kept` characters' halves around the ellipsis, the larger half first.
std::string Middle(const std::vector<std::string>& chars, size_t kept) {
    const size_t head = (kept + 1) / 2;
    const size_t tail = kept - head;
    return Join(chars, 0, head) + kEllipsis + Join(chars, chars.size() - tail, chars.size());
}

}  // namespace

std::string MonthCaption(int selectedMonth) {
    const int n = selectedMonth - 1;
    char text[48];
    std::snprintf(text, sizeof text, "%d年%02d月", n / 12, n % 12 + 1);
    return text;
}

std::string TotalsHeading(const std::string& printerText, int selectedMonth, bool byComputer,
                          bool noData) {
    return printerText + "　" + MonthCaption(selectedMonth) + "　" +
           (byComputer ? "コンピュータ別集計" : "ユーザー別集計") +
           (noData ? "　印刷データがありません。" : "");
}

std::string GroupLabel(const std::string& name) {
    return name.empty() ? std::string("(名前なし)") : name;
}

ChartData MonthChartData(const std::string& printerText, int selectedMonth,
                         const TotalsResult& result, bool byComputer) {
    ChartData data;
    data.title = printerText + "　" + MonthCaption(selectedMonth) + "　" +
                 (byComputer ? "コンピュータ別" : "ユーザー別");
    data.axisTitle = "枚数";
    data.foldSmallest = true;
    data.groupWord = byComputer ? "台のコンピュータ" : "人のユーザー";
    for (const auto& [name, pages] : result.groups) {
        data.bars.push_back({GroupLabel(name), pages});
    }
    // Largest first; equal ones as the memo lists them.
    std::stable_sort(
        data.bars.begin(), data.bars.end(),
        [](const ChartData::Bar& a, const ChartData::Bar& b) { return a.pages > b.pages; });
    return data;
}

ChartData TrendChartData(const std::string& printerText, const MonthlyReport& trend) {
    ChartData data;
    data.title =
        printerText + "　" + MonthCaption(trend.fromMonth) + "〜" + MonthCaption(trend.toMonth);
    data.axisTitle = "枚数";
    for (int m = trend.fromMonth; m <= trend.toMonth; ++m) {
        const auto i = static_cast<size_t>(m - trend.fromMonth);
        data.bars.push_back(
            {MonthCaption(m), i < trend.monthTotals.size() ? trend.monthTotals[i] : 0});
    }
    return data;
}

std::string ShortenMiddle(std::string_view text, int width, const TextWidth& measure) {
    const std::vector<std::string> chars = Characters(text);
    std::string whole = Join(chars, 0, chars.size());
    if (width == kNoLimit || chars.size() <= 2 || measure(whole) <= width) {
        return whole;
    }
    // The most characters kept that fit; drawn widths grow with every character kept.
    size_t low = 2;  // kept even when it does not fit: the name's two ends
    size_t high = chars.size() - 1;
    while (low < high) {
        const size_t mid = (low + high + 1) / 2;
        if (measure(Middle(chars, mid)) <= width) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return Middle(chars, low);
}

std::vector<DrawnBar> FitChartBars(const ChartData& data, int rows, int labelWidth,
                                   const TextWidth& measure) {
    std::vector<DrawnBar> drawn;
    size_t whole = data.bars.size();
    const size_t room = static_cast<size_t>(std::max(rows, 2));
    if (data.foldSmallest && whole > room) {
        whole = room - 1;
    }
    for (size_t i = 0; i < whole; ++i) {
        const ChartData::Bar& bar = data.bars[i];
        drawn.push_back({ShortenMiddle(bar.name, labelWidth, measure), bar.pages,
                         bar.name + "\n" + Pages(bar.pages)});
    }
    if (whole < data.bars.size()) {
        std::int64_t rest = 0;
        std::string names;
        for (size_t i = whole; i < data.bars.size(); ++i) {
            rest += data.bars[i].pages;
            if (i - whole < kRestNamesListed) {
                names += std::string("\n  ") + data.bars[i].name + "  " + Pages(data.bars[i].pages);
            }
        }
        const size_t count = data.bars.size() - whole;
        if (count > kRestNamesListed) {
            names += std::string("\n  ほか") + std::to_string(count - kRestNamesListed) + "件";
        }
        drawn.push_back({"その他", rest,
                         std::string("その他: ") + std::to_string(count) + data.groupWord +
                             "の合計 " + Pages(rest) + names});
    }
    // An axis takes each label once: two names that read alike (bytes that are no character,
    // or ends kept of names that differ in the middle) must still each get a bar of their own.
    std::set<std::string> seen;
    for (DrawnBar& bar : drawn) {
        std::string unique = bar.label;
        for (int n = 2; seen.count(unique) != 0; ++n) {
            unique = bar.label + " (" + std::to_string(n) + ")";
        }
        seen.insert(unique);
        bar.label = unique;
    }
    return drawn;
}

MonthlyReport SumTwelveMonths(PrintDataFiles& files, const TotalsQuery& shown) {
    ReportQuery query;
    query.everyPrinter = false;
    query.printerText = shown.printerText;
    query.serverName = shown.serverName;
    const int month = SelectedMonth(shown.year, shown.month);
    query.fromMonth = month - 11;
    query.toMonth = month;
    files.AcquireRecordLock();
    MonthlyReport trend = SumMonthlyPages(files, query);
    files.ReleaseRecordLock();
    return trend;
}
