#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdlib>

#include "reports/ChartData.h"
#include "reports/PrintLogData.h"
#include "reports/PrintTotals.h"
#include "reports/TableExport.h"
#include "reports/TextCells.h"
#include "storage/PrintDataFixture.h"

using namespace testsupport;

namespace {

struct ReportWorld : PrintDataFixture {
    ReportWorld() { std::setlocale(LC_ALL, "C.UTF-8"); }
    void File(const std::string& user, const std::string& lines) {
        WriteFile(data / ("PrintData_" + user + ".dat"), lines);
    }
    std::vector<std::string> LogLines() {
        PrintLogTable table;
        table.Load(files);
        std::vector<std::string> lines;
        for (size_t i = 0; i < table.Size(); ++i) {
            lines.emplace_back(table.Line(i));
        }
        return lines;
    }
    std::vector<std::string> Totals(const std::string& printer, int year, int month,
                                    bool byComputer = true, const std::string& server = "") {
        TotalsQuery q{printer, server, year, month, byComputer};
        files.AcquireRecordLock();
        const auto result = SumPrintedPages(files, q);
        files.ReleaseRecordLock();
        return result.groups.empty() ? std::vector<std::string>{} : FormatTotals(printer, result);
    }
};

}  // namespace

TEST(CsvField, ReturnsOnlyClosedFields) {
    const std::string line = "2006-10-15 12:34:56,P,,u,-6,";
    EXPECT_EQ(GetCsvField(line, 0), "2006-10-15 12:34:56");
    EXPECT_EQ(GetCsvField(line, 1), "P");
    EXPECT_EQ(GetCsvField(line, 2), "");
    EXPECT_EQ(GetCsvField(line, 4), "-6");
    EXPECT_EQ(GetCsvField(line, 5), "");
    EXPECT_EQ(GetCsvField("a,b,tail", 2), "");
    EXPECT_EQ(GetCsvField("事務室,山田,", 1), "山田");
}

TEST(PrintLog, MergesEveryUsersFileOldestFirst) {
    ReportWorld w;
    w.File("zed",
           "3,20061015120000,P,\\\\PC1,zed,1,1\r\r\n1,20050101000000,P,\\\\PC1,zed,2,2\r\r\n");
    w.File("amy", "\r\r\n9,20061015115959,Q,\\\\PC2,amy,3,-3\r\r\nbroken,line\r\r\n");
    EXPECT_EQ(w.LogLines(), (std::vector<std::string>{
                                "2005-01-01 00:00:00,P,\\\\PC1,zed,2,",
                                "2006-10-15 11:59:59,Q,\\\\PC2,amy,-3,",
                                "2006-10-15 12:00:00,P,\\\\PC1,zed,1,",
                            }));
}

// Lines of one second follow printer, machine and user, without regard to case.
TEST(PrintLog, SameSecondRecordsByPrinterIgnoringCase) {
    ReportWorld w;
    w.File("a",
           "1,20061015120000,beta,\\\\PC1,u,1,1\r\r\n"
           "2,20061015120000,Alpha,\\\\PC9,u,1,1\r\r\n"
           "3,20061015120000,alpha,\\\\PC2,u,1,1\r\r\n"
           "4,20061015120000,,\\\\PC1,,1,1\r\r\n");
    const auto lines = w.LogLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(GetCsvField(lines[0], 1), "");
    EXPECT_EQ(GetCsvField(lines[0], 3), "");  // an empty user keeps the pages in place
    EXPECT_EQ(GetCsvField(lines[0], 4), "1");
    EXPECT_EQ(GetCsvField(lines[1], 2), "\\\\PC2");  // "alpha" and "Alpha" compare equal
    EXPECT_EQ(GetCsvField(lines[2], 2), "\\\\PC9");
    EXPECT_EQ(GetCsvField(lines[3], 1), "beta");
}

#ifndef _WIN32
// Where punctuation is ignored in collation (en_US), the fields must still be compared one by
// one: a printer whose name begins another's comes first, whatever follows it on the line.
TEST(PrintLog, SameSecondOrderHoldsWhereTheLocaleIgnoresPunctuation) {
    TempDir locales;
    if (std::setlocale(LC_ALL, "en_US.UTF-8") == nullptr) {
        const auto made = RunCommand(
            {"/usr/bin/localedef", "-i", "en_US", "-f", "UTF-8", locales / "en_US.UTF-8"});
        setenv("LOCPATH", locales.Path().c_str(), 1);
        ASSERT_NE(std::setlocale(LC_ALL, "en_US.UTF-8"), nullptr) << made.err;
    }
    ReportWorld w;
    std::setlocale(LC_ALL, "en_US.UTF-8");
    w.File("a",
           "1,20061015120000,Laser2,\\\\PC1,u,1,1\r\r\n"
           "2,20061015120000,Laser,\\\\PC9,u,2,2\r\r\n"
           "3,20061015120000,laser,\\\\PC1,u,3,3\r\r\n"
           "4,20061015120000,Laser,\\\\PC,zed,4,4\r\r\n"
           "5,20061015120000,Laser,\\\\PC1,Amy,5,5\r\r\n");
    std::string pages;
    for (const auto& line : w.LogLines()) {
        pages += GetCsvField(line, 4);
    }
    unsetenv("LOCPATH");
    std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_EQ(pages, "45321");
}
#endif

// Anyone can fill one second with records; the log must still come up at once, in the order a
// pairwise comparison gives. (Comparing by folding both lines every time took seconds here.)
TEST(PrintLog, ManyRecordsOfOneSecondSortQuickly) {
    ReportWorld w;
    const char* printers[] = {"Laser", "laser-2F", "事務室プリンタ", "Color", "ｶﾗｰ", ""};
    std::string lines;
    for (std::int64_t i = 1; i <= 200000; ++i) {
        lines += std::to_string(i) + ",20261101101010," + printers[i * 7919 % 6] + ",\\\\PC" +
                 std::to_string(i * 104729 % 97) + ",U" + std::to_string(i % 13) + ",1,1\r\r\n";
    }
    w.File("a", lines);
    const auto start = std::chrono::steady_clock::now();
    const auto log = w.LogLines();
    // (Wine's collation takes some 20 s for this: how long Windows takes is for Windows to show.)
#ifndef _WIN32
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
#else
    (void)start;
#endif
    ASSERT_EQ(log.size(), 200000u);
    EXPECT_TRUE(std::is_sorted(log.begin(), log.end(), [](const auto& a, const auto& b) {
        return CompareIgnoringCase(a, b) < 0;
    }));
}

TEST(PrintLog, TellsNoFilesFromNoRecords) {
    ReportWorld w;
    PrintLogTable table;
    EXPECT_EQ(table.Load(w.files), PrintLogTable::LoadResult::NoFiles);
    w.File("a", "\r\r\n0,20061015120000,P,M,u,1,1\r\r\n");
    EXPECT_EQ(table.Load(w.files), PrintLogTable::LoadResult::NoRecords);
    EXPECT_EQ(table.Size(), 0u);
    w.File("b", "5,20061015120000,P,M,u,1,1\r\r\n");
    EXPECT_EQ(table.Load(w.files), PrintLogTable::LoadResult::Loaded);
    EXPECT_EQ(table.Size(), 1u);
}

TEST(PrintTotals, ByComputerOrByUserInOrderOfFirstAppearance) {
    ReportWorld w;
    w.File("a",
           "1,20261103090000,Laser,\\\\PC2,amy,5,5\r\r\n"
           "2,20261104090000,Laser,\\\\PC1,amy,4,4\r\r\n"
           "3,20261031235959,Laser,\\\\PC1,amy,100,100\r\r\n"  // October
           "4,20261105090000,laser,\\\\PC1,amy,100,100\r\r\n"  // another printer by case
           "5,20261106090000,Other,\\\\PC1,amy,100,100\r\r\n");
    w.File("b",
           "1,20261101090000,Laser,\\\\PC1,bob,3,-3\r\r\n"
           "2,20261130235959,Laser,,bob,7,7\r\r\n");
    EXPECT_EQ(w.Totals("Laser", 2026, 11),
              (std::vector<std::string>{
                  "Laser [   13枚]",
                  "",
                  "  \\\\PC2                                    [    5枚]",
                  "  \\\\PC1                                    [    1枚]",
                  "                                           [    7枚]",
              }));
    EXPECT_EQ(w.Totals("Laser", 2026, 11, false),
              (std::vector<std::string>{"Laser [   13枚]", "",
                                        "  amy                                      [    9枚]",
                                        "  bob                                      [    4枚]"}));
    EXPECT_TRUE(w.Totals("Laser", 2026, 12).empty());
    EXPECT_TRUE(w.Totals("LASER", 2026, 11).empty());
}

// A network printer's records carry the printer's name on its server.
TEST(PrintTotals, NetworkPrintersMatchThroughTheirServer) {
    ReportWorld w;
    w.File("a",
           "1,20261103090000,Hall,\\\\PC1,amy,5,5\r\r\n"
           "2,20261103090000,\\\\srv\\Hall,\\\\PC1,amy,7,7\r\r\n");
    EXPECT_EQ(w.Totals("\\\\srv\\Hall", 2026, 11, true, "\\\\srv")[0], "\\\\srv\\Hall [    5枚]");
    EXPECT_EQ(ServerOfPrinterName("\\\\srv\\Hall"), "\\\\srv");
    EXPECT_EQ(ServerOfPrinterName("Hall"), "");
    EXPECT_EQ(ServerOfPrinterName("\\\\srv"), "");
}

TEST(PrintTotals, WideNamesLineUpAndBigTotalsWiden) {
    ReportWorld w;
    w.File("a",
           "1,20261103090000,事務室,\\\\経理部,amy,99999,99999\r\r\n"
           "2,20261103090000,事務室,\\\\PC1,amy,100000,100000\r\r\n");
    const auto lines = w.Totals("事務室", 2026, 11);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "事務室 [199999枚]");
    EXPECT_EQ(lines[2], "  \\\\経理部" + std::string(32, ' ') + " [99999枚]");
    EXPECT_EQ(lines[3], "  \\\\PC1" + std::string(35, ' ') + " [100000枚]");
    EXPECT_EQ(DisplayCells("\\\\経理部"), 8);
    // Characters a CJK font draws double width though Unicode leaves them ambiguous.
    EXPECT_EQ(DisplayCells("①Ω→※Жα"), 12);
    EXPECT_EQ(DisplayCells("é-Ａ"), 4);
    EXPECT_EQ(PadToCells(std::string(45, 'x'), 40), std::string(45, 'x'));
}

TEST(PrintTotals, MoreThanAHundredAndTwentyEightGroupsAllCount) {
    ReportWorld w;
    std::string lines;
    for (int i = 0; i < 300; ++i) {
        lines +=
            std::to_string(i + 1) + ",20261103090000,P,\\\\PC" + std::to_string(i) + ",u,1,1\r\r\n";
    }
    w.File("a", lines);
    const auto totals = w.Totals("P", 2026, 11);
    ASSERT_EQ(totals.size(), 302u);
    EXPECT_EQ(totals[0], "P [  300枚]");
    EXPECT_EQ(totals.back().substr(0, 9), "  \\\\PC299");
}

TEST(SelectedMonth, StepsAcrossYears) {
    const int december = SelectedMonth(2026, 12);
    EXPECT_EQ(YearOf(december + 1), 2027);
    EXPECT_EQ(MonthOf(december + 1), 1);
    const int january = SelectedMonth(2026, 1);
    EXPECT_EQ(YearOf(january - 1), 2025);
    EXPECT_EQ(MonthOf(january - 1), 12);
}

// One shared folder: a Linux computer writes UTF-8, a Japanese Windows computer code page 932.
// A printer and a person are one whoever wrote the line. The line decides as a whole: code-page
// bytes of a printer that happen to be valid UTF-8 ("ﾃｽ" is "ý" in UTF-8) are read in the code
// page when the rest of the line is not UTF-8.
TEST(PrintTotals, UsersAndPrintersMeetWhicheverEncodingWroteThem) {
    SetEnvironment("TESSAROVEN_LEGACY_CODEPAGE", "CP932");  // whatever this system's page is
    ReportWorld w;
    const std::string keiri = "\x8c\x6f\x97\x9d";   // 経理
    const std::string yamada = "\x8e\x52\x93\x63";  // 山田
    w.File("linux", "1,20261101080000,経理,\\\\LX,山田,3,3\r\r\n");
    w.File("windows", "2,20261102080000," + keiri + ",\\\\WIN," + yamada + ",4,4\r\r\n" +
                          "3,20261103080000,\xc3\xbd,\\\\WIN," + yamada + ",5,5\r\r\n");
    const auto byUser = w.Totals("経理", 2026, 11, false);
    ASSERT_EQ(byUser.size(), 3u);
    EXPECT_EQ(byUser[0], "経理 [    7枚]");
    EXPECT_EQ(byUser[2], "  " + PadToCells("山田", 40) + " [    7枚]");
    EXPECT_EQ(w.Totals("ﾃｽ", 2026, 11, false).size(), 3u);
    EXPECT_TRUE(w.Totals("ý", 2026, 11, false).empty());
    EXPECT_EQ(w.LogLines().back(), "2026-11-03 08:00:00,ﾃｽ,\\\\WIN,山田,5,");
    SetEnvironment("TESSAROVEN_LEGACY_CODEPAGE", nullptr);
}

// What goes into CSV and JSON is valid UTF-8 whatever bytes the data files hold, one field stays
// one field, and a name never becomes a formula in a spreadsheet program; a page count stays a
// number.
TEST(TableExport, FieldsAreValidUtf8AndStayWhole) {
    std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_EQ(JsonString("a\"b\\c\x01\t"), "\"a\\\"b\\\\c\\u0001\\u0009\"");
    const std::string bad = "\xEF\xBF\xBD";
    // UTF-8 stays; a name a Windows computer wrote in its code page (932 here) reads right;
    // bytes that are a character in neither become U+FFFD.
    SetEnvironment("TESSAROVEN_LEGACY_CODEPAGE", "CP932");
    EXPECT_EQ(ToUtf8("山田"), "山田");
    EXPECT_EQ(JsonString("\x8e\x52\x93\x63"), "\"山田\"");
#ifdef _WIN32
    // Windows' code page 932 gives 0xFF a private-use character.
    EXPECT_EQ(ToUtf8("\x8e\x52\x93\x63 \xff"), "山田 \xEF\xA3\xB3");
#else
    EXPECT_EQ(ToUtf8("\x8e\x52\x93\x63 \xff"), std::string("山田 ") + bad);
#endif
    SetEnvironment("TESSAROVEN_LEGACY_CODEPAGE", "CP936");
    EXPECT_EQ(ToUtf8("\xc9\xbd\xcc\xef"), "山田");
    SetEnvironment("TESSAROVEN_LEGACY_CODEPAGE", nullptr);

    const CsvStyle plain;
    CsvStyle excel;
    excel.excel = true;
    EXPECT_EQ(CsvField("o\"neil", plain), "\"o\"\"neil\"");
    EXPECT_EQ(CsvField("a\rb", plain), "\"a\rb\"");
    EXPECT_EQ(CsvField("=1+1", plain), "=1+1");
    EXPECT_EQ(CsvField("=1+1", excel), "'=1+1");
    EXPECT_EQ(CsvField("@x\"", excel), "\"'@x\"\"\"");
    EXPECT_EQ(CsvStart(excel), "\xEF\xBB\xBF");
    EXPECT_EQ(LogCsvRow("2026-11-01 08:00:00,=P,\\\\PC1,-u,-5,", excel),
              "2026-11-01 08:00:00,'=P,\\\\PC1,'-u,-5\r\n");
    EXPECT_EQ(LogJsonObject("2026-11-01 08:00:00,P,,山田,12,"),
              "{\"time\":\"2026-11-01 08:00:00\",\"printer\":\"P\",\"computer\":\"\","
              "\"user\":\"山田\",\"pages\":12}");

#ifndef _WIN32
    // Names in a locale of another codeset are converted, not passed on as they are.
    TempDir locales;
    if (std::setlocale(LC_ALL, "ja_JP.EUC-JP") == nullptr) {
        const auto made = RunCommand(
            {"/usr/bin/localedef", "-i", "ja_JP", "-f", "EUC-JP", locales / "ja_JP.EUC-JP"});
        setenv("LOCPATH", locales.Path().c_str(), 1);
        ASSERT_NE(std::setlocale(LC_ALL, "ja_JP.EUC-JP"), nullptr) << made.err;
    }
    const std::string converted = ToUtf8("\xbb\xb3\xc5\xc4 \xff");
    const std::string json = JsonString("\xbb\xb3\xc5\xc4");
    unsetenv("LOCPATH");
    std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_EQ(converted, "山田 " + bad);
    EXPECT_EQ(json, "\"山田\"");
#endif
}

namespace {

// Width as a count of characters (code points): "…" is one.
int Characters(std::string_view text) {
    return static_cast<int>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::vector<std::pair<std::string, std::int64_t>> Drawn(const std::vector<DrawnBar>& bars) {
    std::vector<std::pair<std::string, std::int64_t>> out;
    for (const auto& b : bars) {
        out.emplace_back(b.label, b.pages);
    }
    return out;
}

}  // namespace

// The month's groups largest first (ties as the memo lists them); the rest share "その他" only
// when more groups than rows are there, and its tooltip says what it holds.
TEST(ChartData, TheSmallestGroupsShareOneBarOnlyWhenTheyDoNotFit) {
    TotalsResult r;
    r.groups = {{"\\\\PC1", 5}, {"", 9}, {"\\\\PC3", 5}, {"\\\\PC4", 2}, {"\\\\PC5", 1}};
    const ChartData month = MonthChartData("Laser", SelectedMonth(2026, 6), r, true);
    EXPECT_EQ(month.title, "Laser　2026年06月　コンピュータ別");
    EXPECT_EQ(
        Drawn(FitChartBars(month, 5, kNoLimit, Characters)),
        (std::vector<std::pair<std::string, std::int64_t>>{
            {"(名前なし)", 9}, {"\\\\PC1", 5}, {"\\\\PC3", 5}, {"\\\\PC4", 2}, {"\\\\PC5", 1}}));
    const auto folded = FitChartBars(month, 4, kNoLimit, Characters);
    EXPECT_EQ(Drawn(folded),
              (std::vector<std::pair<std::string, std::int64_t>>{
                  {"(名前なし)", 9}, {"\\\\PC1", 5}, {"\\\\PC3", 5}, {"その他", 3}}));
    EXPECT_EQ(folded[0].tip, "(名前なし)\n9枚");
    EXPECT_EQ(folded[3].tip, "その他: 2台のコンピュータの合計 3枚\n  \\\\PC4  2枚\n  \\\\PC5  1枚");

    r.groups.clear();
    for (int i = 0; i < 13; ++i) {
        r.groups.emplace_back(std::string("u") + std::to_string(i), 100 - i);
    }
    const auto few = FitChartBars(MonthChartData("P", 1, r, false), 2, kNoLimit, Characters);
    ASSERT_EQ(few.size(), 2u);
    EXPECT_EQ(few[1].pages, 1200 - 78);
    EXPECT_EQ(few[1].tip.rfind("その他: 12人のユーザーの合計 1122枚\n  u1  99枚\n", 0), 0u);
    const std::string more = "\n  u10  90枚\n  ほか2件";
    EXPECT_EQ(few[1].tip.substr(few[1].tip.size() - more.size()), more);

    // The twelve months never fold: oldest first, every one.
    MonthlyReport trend;
    trend.fromMonth = SelectedMonth(2025, 7);
    trend.toMonth = SelectedMonth(2026, 6);
    trend.monthTotals.assign(12, 4);
    const ChartData months = TrendChartData("P", trend);
    EXPECT_EQ(months.title, "P　2025年07月〜2026年06月");
    const auto bars = FitChartBars(months, 3, kNoLimit, Characters);
    ASSERT_EQ(bars.size(), 12u);
    EXPECT_EQ(bars.front().label, "2025年07月");
    EXPECT_EQ(bars.back().label, "2026年06月");
    EXPECT_EQ(TotalsHeading("P", SelectedMonth(2026, 1), false, true),
              "P　2026年01月　ユーザー別集計　印刷データがありません。");
}

// Long names lose their middle, never their ends, and stay within the width; names that then
// read alike still get bars of their own.
TEST(ChartData, LongNamesAreShortenedInTheMiddle) {
    const std::string name = "\\\\経理部第二課の共用ノートパソコン17";
    EXPECT_EQ(ShortenMiddle(name, 100, Characters), name);
    EXPECT_EQ(ShortenMiddle(name, 8, Characters), "\\\\経理…ン17");
    EXPECT_EQ(ShortenMiddle(name, 2, Characters), "\\…7");  // both ends even when too narrow
    EXPECT_EQ(ShortenMiddle("ab\xff", 100, Characters), "ab\xEF\xBF\xBD");

    TotalsResult r;
    r.groups = {{"\\\\経理部第二課のノート17", 3}, {"\\\\経理部第一課のノート17", 2}};
    const auto bars = FitChartBars(MonthChartData("P", 1, r, true), 10, 8, Characters);
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[0].label, "\\\\経理…ト17");
    EXPECT_EQ(bars[1].label, "\\\\経理…ト17 (2)");
    EXPECT_EQ(bars[1].tip, "\\\\経理部第一課のノート17\n2枚");
}
