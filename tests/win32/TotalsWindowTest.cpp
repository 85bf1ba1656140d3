#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <numeric>
#include <set>
#include <string>

#include "platform/Clock.h"
#include "reports/TableExport.h"
#include "storage/PrintDataFixture.h"
#include "ui/win32/TotalsWindow.h"
#include "ui/win32/WinUi.h"

using namespace testsupport;
using winui::Utf8;
using winui::Wide;
using winui::WindowText;

namespace {

// The totals window over real files, with two printer slots (a local one and a connection).
struct TotalsWorld : PrintDataFixture {
    PrinterSlots printers;
    platform::ManualClock clock{{2026, 11, 0, 20, 9, 0, 0, 0}};
    DiagnosticLog log{clock};
    ReportContext context{files, printers, reg, log, sink, clock};

    TotalsWorld() {
        printers.entries.resize(2);
        printers.At(0).printerName = "Laser";
        printers.At(1).printerName = "\\\\srv\\Hall";
        printers.At(1).serverName = "\\\\srv";
    }
    void File(const std::string& user, const std::string& lines) {
        WriteFile(data / ("PrintData_" + user + ".dat"), lines);
    }
    // What the reports logic gives for a query, as the memo must show it.
    TotalsResult Sum(const TotalsQuery& query) {
        files.AcquireRecordLock();
        TotalsResult result = SumPrintedPages(files, query);
        files.ReleaseRecordLock();
        return result;
    }
};

// A control's notification to its window, as a click or an edit makes it.
void Notify(HWND control, int code = BN_CLICKED) {
    SendMessageW(GetParent(control), WM_COMMAND,
                 MAKEWPARAM(GetDlgCtrlID(control), static_cast<WORD>(code)),
                 reinterpret_cast<LPARAM>(control));
}

// Picks a radio button of a pair as a click does.
void Pick(HWND picked, HWND other) {
    SendMessageW(other, BM_SETCHECK, BST_UNCHECKED, 0);
    SendMessageW(picked, BM_SETCHECK, BST_CHECKED, 0);
    Notify(picked);
}

void ChoosePrinter(HWND combo, int index) {
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    Notify(combo, CBN_SELCHANGE);
}

void TypePrinter(HWND combo, const std::string& text) {
    SetWindowTextW(combo, Wide(text).c_str());
    Notify(combo, CBN_EDITCHANGE);
}

void ToggleChart(winui::TotalsWindow& window, bool open) {
    SendMessageW(window.ChartButton(), BM_SETCHECK, open ? BST_CHECKED : BST_UNCHECKED, 0);
    Notify(window.ChartButton());
}

std::vector<std::string> MemoLines(HWND memo) {
    const std::string text = Utf8(WindowText(memo));
    std::vector<std::string> lines;
    if (text.empty()) {
        return lines;
    }
    for (size_t at = 0;;) {
        const size_t end = text.find("\r\n", at);
        lines.push_back(text.substr(at, end - at));
        if (end == std::string::npos) {
            return lines;
        }
        at = end + 2;
    }
}

std::string Text(HWND window) {
    return Utf8(WindowText(window));
}

int Width(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    return r.right - r.left;
}

bool Visible(HWND window) {
    return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

}  // namespace

// 集計 fills the memo with the totals' lines, by computer, by user and for a connection through
// its server; a month without records says so in a box and in the heading. Closing keeps the
// printer chosen.
TEST(TotalsWindow, CountsTheChosenPrinterAndMonthIntoTheMemo) {
    TotalsWorld w;
    w.log.SetFilePath(w.data / "log.txt");
    w.log.SetTag("PMON");
    w.log.SetEnabled(true);
    w.log.SetDebug(true);
    w.File("amy",
           "1,20261103090000,Laser,\\\\経理PC,山田,5,5\r\r\n"
           "2,20261104090000,Hall,\\\\PC1,amy,4,4\r\r\n"
           "3,20261003090000,Laser,\\\\経理PC,山田,9,9\r\r\n");
    w.File("bob", "4,20261105090000,Laser,\\\\経理PC,bob,2,2\r\r\n");
    winui::TotalsWindow window(w.context);
    window.Create(nullptr);
    window.Refresh();
    EXPECT_EQ(Text(window.Window()), "印刷情報の集計");
    EXPECT_EQ(SendMessageW(window.PrinterCombo(), CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(Text(window.PrinterCombo()), "Laser");  // no stored index: the first
    EXPECT_EQ(Text(window.MonthCaption()), "2026年11月");
    EXPECT_TRUE(MemoLines(window.Memo()).empty());

    Notify(window.CalculateButton());
    const TotalsQuery byComputer{"Laser", "", 2026, 11, true};
    EXPECT_EQ(MemoLines(window.Memo()), FormatTotals("Laser", w.Sum(byComputer)));
    EXPECT_EQ(MemoLines(window.Memo())[2].rfind("  \\\\経理PC ", 0), 0u);
    EXPECT_EQ(Text(window.Heading()), "Laser　2026年11月　コンピュータ別集計");
    EXPECT_TRUE(IsWindowEnabled(window.SaveCsvButton()));

    Pick(window.ByUserRadio(), window.ByComputerRadio());
    Notify(window.CalculateButton());
    EXPECT_EQ(MemoLines(window.Memo()),
              FormatTotals("Laser", w.Sum({"Laser", "", 2026, 11, false})));
    ChoosePrinter(window.PrinterCombo(), 1);
    Notify(window.CalculateButton());
    const auto hall = MemoLines(window.Memo());
    ASSERT_EQ(hall.size(), 3u);
    EXPECT_EQ(hall[0], "\\\\srv\\Hall [    4枚]");
    EXPECT_NE(ReadFile(w.data / "log.txt").find("DPMON3003 ItemIndex = <1>"), std::string::npos);
    EXPECT_TRUE(w.sink.Messages().empty());

    // Nothing in September: the box, an empty memo, and the heading says so.
    ChoosePrinter(window.PrinterCombo(), 0);
    Notify(window.PreviousButton());
    Notify(window.PreviousButton());
    Notify(window.CalculateButton());
    EXPECT_TRUE(MemoLines(window.Memo()).empty());
    EXPECT_EQ(Text(window.Heading()),
              "Laser　2026年09月　ユーザー別集計　印刷データがありません。");
    EXPECT_FALSE(IsWindowEnabled(window.SaveCsvButton()));
    ASSERT_EQ(w.sink.Messages().size(), 1u);
    EXPECT_EQ(w.sink.Messages()[0].text, "印刷データがありません。");
    EXPECT_EQ(w.sink.Messages()[0].caption, "Tessaroven");
    EXPECT_EQ(w.sink.Messages()[0].flag, 16);

    ChoosePrinter(window.PrinterCombo(), 1);
    SendMessageW(window.Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(w.reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "PrinterComboIndex"), 1);
    // Shown again: the month stays, totals are by computer again, nothing is shown.
    window.Refresh();
    EXPECT_EQ(Text(window.MonthCaption()), "2026年09月");
    EXPECT_EQ(SendMessageW(window.ByComputerRadio(), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(window.ByUserRadio(), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    TypePrinter(window.PrinterCombo(), "nothing listed");
    SendMessageW(window.Window(), WM_COMMAND, IDCANCEL, 0);  // Esc
    EXPECT_EQ(w.reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "PrinterComboIndex"), -1);

    // From the tray: Enter in the memo counts, Esc there closes.
    ChoosePrinter(window.PrinterCombo(), 0);
    Notify(window.NextButton());
    Notify(window.NextButton());
    static HWND running = nullptr;
    running = window.Window();
    const UINT_PTR guard = SetTimer(
        nullptr, 0, 10000, [](HWND, UINT, UINT_PTR, DWORD) { winui::EndModal(running, -1); });
    PostMessageW(window.Memo(), WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(window.Memo(), WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_EQ(window.Run(nullptr), IDCANCEL);
    KillTimer(nullptr, guard);
    EXPECT_EQ(MemoLines(window.Memo()), FormatTotals("Laser", w.Sum(byComputer)));
    EXPECT_FALSE(IsWindowVisible(window.Window()));
    EXPECT_EQ(w.reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "PrinterComboIndex"), 0);
}

// Once counted, a changed choice never leaves the old figures: the month, the grouping and a
// printer typed out are counted again at once (without a box), a half-typed name clears; CSV保存
// writes exactly what is shown.
TEST(TotalsWindow, FollowsTheChoiceOnceCountedAndSavesWhatItShows) {
    TotalsWorld w;
    w.File("amy",
           "1,20261103090000,Laser,\\\\PC2,佐藤,5,5\r\r\n"
           "2,20261004090000,Laser,\\\\PC1,=bob,3,3\r\r\n");
    TempDir out;
    winui::TotalsWindow window(w.context);
    window.Create(nullptr);
    window.Refresh();
    Notify(window.NextButton());  // not counted yet: nothing to follow
    EXPECT_TRUE(MemoLines(window.Memo()).empty());
    EXPECT_EQ(Text(window.Heading()), "");
    Notify(window.PreviousButton());
    Notify(window.CalculateButton());
    Notify(window.PreviousButton());
    EXPECT_EQ(Text(window.Heading()), "Laser　2026年10月　コンピュータ別集計");
    const TotalsQuery october{"Laser", "", 2026, 10, true};
    EXPECT_EQ(MemoLines(window.Memo()), FormatTotals("Laser", w.Sum(october)));

    CsvStyle excel;
    excel.excel = true;
    excel.japanese = true;
    ASSERT_TRUE(window.SaveCsv(Wide(out / "october.csv")));
    EXPECT_EQ(ReadFile(out / "october.csv"), TotalsCsv(october, w.Sum(october), excel));

    Notify(window.PreviousButton());  // September: nothing, and no box while following
    EXPECT_TRUE(MemoLines(window.Memo()).empty());
    EXPECT_EQ(Text(window.Heading()),
              "Laser　2026年09月　コンピュータ別集計　印刷データがありません。");
    EXPECT_FALSE(window.SaveCsv(Wide(out / "empty.csv")));
    EXPECT_FALSE(Exists(out / "empty.csv"));
    Notify(window.NextButton());
    TypePrinter(window.PrinterCombo(), "Las");
    EXPECT_TRUE(MemoLines(window.Memo()).empty());
    EXPECT_EQ(Text(window.Heading()), "");
    TypePrinter(window.PrinterCombo(), "Laser");
    EXPECT_EQ(MemoLines(window.Memo()), FormatTotals("Laser", w.Sum(october)));
    Pick(window.ByUserRadio(), window.ByComputerRadio());
    EXPECT_EQ(Text(window.Heading()), "Laser　2026年10月　ユーザー別集計");
    const TotalsQuery byUser{"Laser", "", 2026, 10, false};
    EXPECT_EQ(MemoLines(window.Memo()), FormatTotals("Laser", w.Sum(byUser)));
    ASSERT_TRUE(window.SaveCsv(Wide(out / "users.csv")));
    EXPECT_EQ(ReadFile(out / "users.csv"), TotalsCsv(byUser, w.Sum(byUser), excel));
    EXPECT_TRUE(w.sink.Messages().empty());
}

// Forty-four computers whose long names differ only at their ends: the open chart draws the
// largest first and the smallest in one bar "その他" that adds up to the memo's total; names keep
// both ends; each bar's tooltip names it whole. The twelve months are the memo's totals of each.
TEST(TotalsWindow, TheChartDrawsTheGroupsAndFoldsTheSmallest) {
    TotalsWorld w;
    const std::string prefix = "\\\\経理部第二課の共用ノートパソコン";
    std::string lines;
    for (int i = 10; i < 54; ++i) {
        const std::string n = std::to_string(i);
        lines += n + ",20261103090000,Laser," + prefix + n + ",a,1,1" + n + "\r\n";
    }
    lines += "99,20260503090000,Laser,\\\\PC1,a,7,7\r\n";
    w.File("amy", lines);
    winui::TotalsWindow window(w.context);
    window.Create(nullptr);
    window.Refresh();
    Notify(window.CalculateButton());
    const TotalsResult result = w.Sum({"Laser", "", 2026, 11, true});
    EXPECT_FALSE(Visible(window.Chart().Window()));
    const int memoWidth = Width(window.Memo());
    const int windowWidth = Width(window.Window());
    ToggleChart(window, true);
    EXPECT_TRUE(Visible(window.Chart().Window()));
    EXPECT_EQ(Width(window.Memo()), memoWidth);
    EXPECT_GT(Width(window.Window()), windowWidth + winui::Scale(window.Window(), 400));
    EXPECT_EQ(window.Chart().Title(), "Laser　2026年11月　コンピュータ別");

    // The groups, largest first.
    auto groups = result.groups;
    std::stable_sort(groups.begin(), groups.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    const auto& bars = window.Chart().Bars();
    ASSERT_GE(bars.size(), 5u);
    ASSERT_LT(bars.size(), groups.size());
    const size_t whole = bars.size() - 1;
    std::set<std::string> labels;
    for (size_t i = 0; i < whole; ++i) {
        EXPECT_EQ(bars[i].pages, groups[i].second) << i;
        const std::string& name = groups[i].first;
        EXPECT_EQ(bars[i].label.substr(0, 8), name.substr(0, 8)) << bars[i].label;
        EXPECT_EQ(bars[i].label.substr(bars[i].label.size() - 2), name.substr(name.size() - 2));
        labels.insert(bars[i].label);
    }
    EXPECT_EQ(labels.size(), whole);
    EXPECT_EQ(bars.back().label, "その他");
    std::int64_t rest = 0;
    for (size_t i = whole; i < groups.size(); ++i) {
        rest += groups[i].second;
    }
    EXPECT_EQ(bars.back().pages, rest);
    EXPECT_EQ(std::accumulate(bars.begin(), bars.end(), std::int64_t{0},
                              [](std::int64_t sum, const DrawnBar& b) { return sum + b.pages; }),
              result.grandTotal);
    // The tooltips, as the tooltip control holds them.
    const auto tips = window.Chart().ToolTexts();
    ASSERT_EQ(tips.size(), bars.size());
    EXPECT_EQ(Utf8(tips[0]), groups[0].first + "\n" + std::to_string(groups[0].second) + "枚");
    EXPECT_EQ(Utf8(tips.back())
                  .rfind("その他: " + std::to_string(groups.size() - whole) +
                             "台のコンピュータの合計 " + std::to_string(rest) + "枚\n",
                         0),
              0u);

    // Twelve months, oldest first, the chosen one last.
    SendMessageW(window.Chart().ViewCombo(), CB_SETCURSEL, winui::ChartView::TwelveMonths, 0);
    Notify(window.Chart().ViewCombo(), CBN_SELCHANGE);
    const auto months = window.Chart().Bars();
    ASSERT_EQ(months.size(), 12u);
    EXPECT_EQ(months.front().label, "2025年12月");
    EXPECT_EQ(months.back().label, "2026年11月");
    EXPECT_EQ(months.back().pages, result.grandTotal);
    EXPECT_EQ(months[5].pages, 7);  // 2026-05
    EXPECT_EQ(months[6].pages, 0);

    ToggleChart(window, false);
    EXPECT_FALSE(Visible(window.Chart().Window()));
    EXPECT_EQ(Width(window.Window()), windowWidth);
    EXPECT_EQ(Width(window.Memo()), memoWidth);
}

// With WINUI_HOLD_SECONDS set, the window stays on screen that long, counted by user with the
// chart open, to be looked at.
TEST(TotalsWindow, HoldsOnScreen) {
    const char* hold = std::getenv("WINUI_HOLD_SECONDS");
    if (hold == nullptr) {
        GTEST_SKIP() << "WINUI_HOLD_SECONDS is not set";
    }
    TotalsWorld w;
    w.printers.At(0).printerName = "経理部カラーレーザー";
    w.printers.At(1).printerName = "\\\\営業サーバー\\営業部カラー複合機（2階東側・両面印刷専用）";
    w.printers.At(1).serverName = "\\\\営業サーバー";
    const char* machines[] = {"\\\\KEIRI-PC01", "\\\\営業PC", "\\\\JIMU-02", "\\\\受付"};
    const char* users[] = {"山田太郎", "佐藤花子", "suzuki",   "高橋一郎", "田中",
                           "渡辺美咲", "伊藤",     "小林健太", "kato",     "吉田"};
    std::string lines;
    int id = 1;
    for (int m = 1; m <= 11; ++m) {
        for (int i = 0; i < 20 + m * 3; ++i, ++id) {
            char line[200];
            std::snprintf(line, sizeof line,
                          "%d,2026%02d%02d0900%02d,経理部カラーレーザー,%s,%s,%d,%d\r\r\n", id, m,
                          1 + i % 28, i % 60, machines[i % 4], users[(i * 7 + m) % 10],
                          1 + i * 13 % 17, 1 + i * 13 % 17);
            lines += line;
        }
    }
    w.File("yamada", lines);
    winui::TotalsWindow window(w.context);
    HWND hwnd = window.Create(nullptr);
    window.Refresh();
    ShowWindow(hwnd, SW_SHOW);
    Pick(window.ByUserRadio(), window.ByComputerRadio());
    Notify(window.CalculateButton());
    ToggleChart(window, true);
    PumpMessages(std::atoi(hold) * 1000);
    // Then the twelve months, and computers named long alike, as many as fold.
    SendMessageW(window.Chart().ViewCombo(), CB_SETCURSEL, winui::ChartView::TwelveMonths, 0);
    Notify(window.Chart().ViewCombo(), CBN_SELCHANGE);
    PumpMessages(std::atoi(hold) * 1000);
    lines.clear();
    for (int i = 10; i < 40; ++i) {
        lines += std::to_string(i) +
                 ",20261103090000,経理部カラーレーザー,\\\\経理部第二課の共用ノートパソコン" +
                 std::to_string(i) + ",a,1," + std::to_string(i * 3) + "\r\n";
    }
    w.File("yamada", lines);
    Pick(window.ByComputerRadio(), window.ByUserRadio());
    SendMessageW(window.Chart().ViewCombo(), CB_SETCURSEL, winui::ChartView::MonthByGroup, 0);
    Notify(window.Chart().ViewCombo(), CBN_SELCHANGE);
    PumpMessages(std::atoi(hold) * 1000);
}
