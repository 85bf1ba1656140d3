#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "spool/SpoolScript.h"
#include "ui/PrintLogWindow.h"
#include "ui/PrintTotalsWindow.h"

using namespace testsupport;

namespace {

// The report windows over real files, with two printer slots (a local one and a connection).
struct ReportWindows : PrintDataFixture {
    PrinterSlots printers;
    platform::ManualClock clock{{2026, 11, 0, 20, 9, 0, 0, 0}};
    DiagnosticLog log{clock};
    ReportContext context{files, printers, reg, log, sink, clock};

    ReportWindows() {
        printers.entries.resize(2);
        printers.At(0).printerName = "Laser";
        printers.At(1).printerName = "\\\\srv\\Hall";
        printers.At(1).serverName = "\\\\srv";
    }
    void File(const std::string& user, const std::string& lines) {
        WriteFile(data / ("PrintData_" + user + ".dat"), lines);
    }
    // Shows a dialog modally, runs `whileOpen` inside, then closes it.
    static void Show(QDialog& dialog, const std::function<void()>& whileOpen) {
        QTimer::singleShot(0, [&] {
            whileOpen();
            dialog.reject();
        });
        dialog.exec();
    }
    std::vector<std::string> Memo(PrintTotalsWindow& calc) {
        std::vector<std::string> lines;
        for (const auto& l : calc.totalsMemo->toPlainText().split('\n')) {
            lines.push_back(l.toStdString());
        }
        return lines;
    }
};

QString Cell(PrintLogWindow& log, int row, int column) {
    return log.logModel->data(log.logModel->index(row, column), Qt::DisplayRole).toString();
}

}  // namespace

TEST(PrintLogWindow, ShowsEveryRecordWithTheNewestCurrent) {
    ReportWindows w;
    w.File("amy",
           "2,20261103090000,Laser,\\\\PC2,amy,5,-5\r\r\n1,20261101080000,Laser,\\\\PC1,amy,3,"
           "3\r\r\n");
    w.File("bob", "7,20261102100000,事務室,\\\\PC1,山田,2,2\r\r\n");
    PrintLogWindow log(w.context);
    EXPECT_EQ(log.windowTitle(), QString::fromUtf8("印刷ログの表示"));
    int current = -1;
    ReportWindows::Show(log, [&] { current = log.logGrid->currentIndex().row(); });
    ASSERT_EQ(log.logModel->rowCount(), 3);
    EXPECT_EQ(current, 2);
    const QStringList headers = {"", "日時", "プリンタ名", "コンピュータ名", "ユーザー名", "枚数"};
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(log.logModel->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(),
                  headers[c]);
    }
    // At least the designed width, and wide enough for a whole date and time.
    EXPECT_GE(log.logGrid->columnWidth(1), 110);
    EXPECT_GT(log.logGrid->columnWidth(1),
              QFontMetrics(log.logGrid->font()).horizontalAdvance("2026-11-01 08:00:00"));
    EXPECT_EQ(Cell(log, 0, 0), "1");
    EXPECT_EQ(Cell(log, 2, 0), "3");
    EXPECT_EQ(Cell(log, 0, 1), "2026-11-01 08:00:00");
    EXPECT_EQ(Cell(log, 1, 2), QString::fromUtf8("事務室"));
    EXPECT_EQ(Cell(log, 1, 4), QString::fromUtf8("山田"));
    EXPECT_EQ(Cell(log, 2, 5), "-5");
    EXPECT_TRUE(w.sink.Messages().empty());

    // The next showing reloads: with the records gone, no row and the no-data message.
    WriteFile(w.data / "PrintData_amy.dat", "\r\r\n");
    WriteFile(w.data / "PrintData_bob.dat", "");
    ReportWindows::Show(log, [] {});
    EXPECT_EQ(log.logModel->rowCount(), 0);
    ASSERT_EQ(w.sink.Messages().size(), 1u);
    EXPECT_EQ(w.sink.Messages()[0].text, "印刷データがありません。");
    EXPECT_EQ(w.sink.Messages()[0].caption, "Tessaroven");
    EXPECT_EQ(w.sink.Messages()[0].flag, 16);

    // No file at all: the empty grid, quietly.
    std::remove((w.data / "PrintData_amy.dat").c_str());
    std::remove((w.data / "PrintData_bob.dat").c_str());
    ReportWindows::Show(log, [] {});
    EXPECT_EQ(w.sink.Messages().size(), 1u);

    // A folder that cannot be reached is not an empty one, for the log and the totals alike.
    w.files.SetDataDirectory(w.data / "away");
    ReportWindows::Show(log, [] {});
    PrintTotalsWindow calc(w.context);
    ReportWindows::Show(calc, [&] { calc.Calculate(); });
    const auto messages = w.sink.Messages();
    ASSERT_EQ(messages.size(), 3u);
    for (size_t i : {1u, 2u}) {
        EXPECT_EQ(messages[i].text, "データファイル格納ディレクトリ " + w.data / "away" +
                                        " にアクセスできません。\nNo such file or directory");
        EXPECT_EQ(messages[i].flag, 16);
    }
}

// An empty or unreachable folder says so in the window, with no row to select. Long names and a
// six-digit page count: the page column stays whole and in sight, at the designed window size
// and in a narrower one, without a sideways scroll bar; the names give way.
TEST(PrintLogWindow, SaysWhenThereIsNoDataAndKeepsThePageCountWhole) {
    ReportWindows w;
    PrintLogWindow log(w.context);
    for (const std::string& folder : {w.data.Path(), w.data / "away"}) {
        w.files.SetDataDirectory(folder);
        ReportWindows::Show(log, [&] {
            EXPECT_TRUE(log.emptyLabel->isVisible()) << folder;
            EXPECT_EQ(log.emptyLabel->text(), QString::fromUtf8("印刷データがありません。"));
            EXPECT_EQ(log.logModel->rowCount(), 0) << folder;
            EXPECT_FALSE(log.logGrid->currentIndex().isValid()) << folder;
        });
    }
    w.files.SetDataDirectory(w.data.Path());
    const std::string name = "経理部カラーレーザープリンタ二階";
    w.File("amy", "2,20261103090000," + name +
                      ",\\経理部の共用パソコン,経理部の山田太郎,100000,100000\r\r\n");
    for (const int width : {541, 400}) {
        log.resize(width, 574);
        ReportWindows::Show(log, [&] {
            const QTableView* grid = log.logGrid;
            EXPECT_FALSE(log.emptyLabel->isVisible());
            const int right = grid->columnViewportPosition(5) + grid->columnWidth(5);
            EXPECT_LE(right, grid->viewport()->width()) << width;
            EXPECT_GT(grid->columnWidth(5),
                      QFontMetrics(grid->font()).horizontalAdvance(QStringLiteral("100000")))
                << width;
            EXPECT_FALSE(grid->horizontalScrollBar()->isVisible()) << width;
            EXPECT_EQ(log.logModel->data(log.logModel->index(0, 2), Qt::ToolTipRole).toString(),
                      QString::fromUtf8(name.c_str()));
        });
    }
}

TEST(PrintTotalsWindow, FirstShowingFillsThePrintersAndTheMonth) {
    ReportWindows w;
    PrintTotalsWindow calc(w.context);
    EXPECT_EQ(calc.windowTitle(), QString::fromUtf8("印刷情報の集計"));
    ReportWindows::Show(calc, [&] {
        EXPECT_EQ(calc.printerCombo->count(), 2);
        EXPECT_EQ(calc.printerCombo->currentIndex(), 0);  // no stored index: the first
        EXPECT_EQ(calc.printerCombo->currentText(), "Laser");
        EXPECT_EQ(calc.month.caption->text(), QString::fromUtf8("2026年11月"));
        EXPECT_TRUE(calc.byComputerRadio->isChecked());
        EXPECT_TRUE(calc.totalsMemo->toPlainText().isEmpty());
        calc.NextMonth();
        calc.NextMonth();
        calc.byUserRadio->setChecked(true);
        calc.printerCombo->setCurrentIndex(1);
    });
    EXPECT_EQ(calc.month.caption->text(), QString::fromUtf8("2027年01月"));
    EXPECT_EQ(w.reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "PrinterComboIndex"), 1);
    // Shown again: the month stays, the totals are by computer again.
    ReportWindows::Show(calc, [&] {
        EXPECT_EQ(calc.month.caption->text(), QString::fromUtf8("2027年01月"));
        EXPECT_TRUE(calc.byComputerRadio->isChecked());
        calc.printerCombo->setCurrentIndex(-1);
    });
    EXPECT_EQ(w.reg.GetRegInteger(kHkeyLocalMachine, kSettingsKey, "PrinterComboIndex"), -1);

    // After a restart, no printer is selected and the text is empty.
    PrintTotalsWindow again(w.context);
    ReportWindows::Show(again, [&] {
        EXPECT_EQ(again.printerCombo->currentIndex(), -1);
        EXPECT_EQ(again.printerCombo->currentText(), "");
        again.PreviousMonth();
        for (int i = 0; i < 11; ++i) {
            again.PreviousMonth();
        }
    });
    EXPECT_EQ(again.month.caption->text(), QString::fromUtf8("2025年11月"));
}

TEST(PrintTotalsWindow, TotalsGoIntoTheMemo) {
    ReportWindows w;
    w.log.SetFilePath(w.data / "log.txt");
    w.log.SetTag("PMON");
    w.log.SetEnabled(true);
    w.log.SetDebug(true);
    w.File("amy",
           "1,20261103090000,Laser,\\\\PC2,amy,5,5\r\r\n"
           "2,20261104090000,Hall,\\\\PC1,amy,4,4\r\r\n");
    w.File("bob", "3,20261105090000,Laser,\\\\PC2,bob,2,2\r\r\n");
    PrintTotalsWindow calc(w.context);
    std::vector<std::string> byComputer, byUser, network;
    ReportWindows::Show(calc, [&] {
        calc.Calculate();
        byComputer = w.Memo(calc);
        calc.byUserRadio->setChecked(true);
        calc.Calculate();
        byUser = w.Memo(calc);
        calc.printerCombo->setCurrentIndex(1);
        calc.Calculate();
        network = w.Memo(calc);
    });
    EXPECT_EQ(byComputer,
              (std::vector<std::string>{"Laser [    7枚]", "",
                                        "  \\\\PC2                                    [    7枚]"}));
    EXPECT_EQ(byUser.size(), 4u);
    EXPECT_EQ(byUser[2], "  amy                                      [    5枚]");
    EXPECT_EQ(network[0], "\\\\srv\\Hall [    4枚]");
    EXPECT_NE(ReadFile(w.data / "log.txt").find("DPMON3003 ItemIndex = <1>"), std::string::npos);

    // Nothing for the month: the no-data message and an empty memo.
    ReportWindows::Show(calc, [&] {
        calc.PreviousMonth();
        calc.Calculate();
    });
    EXPECT_TRUE(calc.totalsMemo->toPlainText().isEmpty());
    ASSERT_EQ(w.sink.Messages().size(), 1u);
    EXPECT_EQ(w.sink.Messages()[0].text, "印刷データがありません。");
}

// Queues come and go while the program runs: the list offers those there are now, and each item
// still finds its own printer's server.
TEST(PrintTotalsWindow, ThePrinterListShowsTheQueuesThereAreNow) {
    ReportWindows w;
    w.File("amy", "2,20261104090000,Hall,\\\\PC1,amy,4,4\r\r\n");
    PrintTotalsWindow calc(w.context);
    ReportWindows::Show(calc, [] {});
    w.printers.At(0).listed = false;  // Laser was deleted
    w.printers.entries.emplace_back().printerName = "New";
    std::vector<std::string> totals;
    ReportWindows::Show(calc, [&] {
        ASSERT_EQ(calc.printerCombo->count(), 2);
        EXPECT_EQ(calc.printerCombo->itemText(0), "\\\\srv\\Hall");
        EXPECT_EQ(calc.printerCombo->itemText(1), "New");
        calc.printerCombo->setCurrentIndex(0);
        calc.Calculate();
        totals = w.Memo(calc);
    });
    ASSERT_FALSE(totals.empty());
    EXPECT_EQ(totals[0], "\\\\srv\\Hall [    4枚]");
}

namespace {

// A year of records on Laser, with Japanese and empty names; nothing in 2026-02.
void WriteYear(ReportWindows& w) {
    std::string amy;
    std::string bob;
    const char* machines[] = {"\\\\営業PC", "\\\\PC1", "", "\\\\経理"};
    const char* users[] = {"山田", "amy", "", "佐々木"};
    int id = 1;
    for (int m = SelectedMonth(2025, 12); m <= SelectedMonth(2026, 11); ++m) {
        if (m == SelectedMonth(2026, 2)) {
            continue;
        }
        for (int k = 0; k < 4 + m % 5; ++k) {
            char line[160];
            std::snprintf(line, sizeof line, "%d,%04d%02d%02d0900%02d,%s,%s,%s,%d,%d\r\r\n", id,
                          YearOf(m), MonthOf(m), 1 + k, k, k % 3 == 2 ? "Color" : "Laser",
                          machines[(m + k) % 4], users[(m * 3 + k) % 4], 2 * (k + m % 7 + 1),
                          k + m % 7 + 1);
            (k % 2 == 0 ? amy : bob) += line;
            ++id;
        }
    }
    w.File("amy", amy);
    w.File("bob", bob);
}

// The memo's groups (name and pages) and its grand total.
std::vector<std::pair<QString, double>> MemoGroups(const std::vector<std::string>& memo,
                                                   double* grand) {
    std::vector<std::pair<QString, double>> groups;
    *grand = 0;
    for (size_t i = 0; i < memo.size(); ++i) {
        const size_t open = memo[i].rfind(" [");
        if (open == std::string::npos) {
            continue;
        }
        const double pages = std::stod(memo[i].substr(open + 2));
        if (i == 0) {
            *grand = pages;
            continue;
        }
        std::string name = memo[i].substr(2, open - 2);
        name.erase(name.find_last_not_of(' ') + 1);
        groups.emplace_back(TotalsChart::GroupLabel(name), pages);
    }
    return groups;
}

// A file the windows wrote, read back by Python's csv module: one row per line, tab-separated.
std::string CsvReadBack(const std::string& path) {
    const auto r = RunCommand({"/usr/bin/python3", TABLE_CANON, "csv", path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

}  // namespace

// The chart draws the memo's figures, largest first, by computer and by user; the twelve months
// up to the chosen one are the memo's totals of those months. Showing it leaves the memo as it
// was.
TEST(PrintTotalsWindow, TheChartDrawsTheMemosFigures) {
    ReportWindows w;
    WriteYear(w);
    PrintTotalsWindow calc(w.context);
    std::vector<std::string> memoByComputer, memoByUser, memoWithChart;
    std::vector<std::pair<QString, double>> barsByComputer, barsByUser, trend;
    int memoWidth = 0;
    int memoWidthWithChart = 0;
    bool hiddenAtFirst = false;
    std::vector<double> monthTotals;
    ReportWindows::Show(calc, [&] {
        hiddenAtFirst = !calc.chart->isVisible();
        calc.Calculate();
        memoByComputer = w.Memo(calc);
        barsByComputer = calc.chart->Bars();
        memoWidth = calc.totalsMemo->width();
        calc.chartButton->click();
        QCoreApplication::processEvents();
        memoWidthWithChart = calc.totalsMemo->width();
        calc.byUserRadio->setChecked(true);
        calc.Calculate();
        memoByUser = w.Memo(calc);
        barsByUser = calc.chart->Bars();
        calc.chart->viewCombo->setCurrentIndex(TotalsChart::TwelveMonths);
        trend = calc.chart->Bars();
        memoWithChart = w.Memo(calc);
        // Each month's memo, back to the first of the twelve.
        for (int i = 0; i < 12; ++i) {
            calc.Calculate();
            double grand = 0;
            MemoGroups(w.Memo(calc), &grand);
            monthTotals.insert(monthTotals.begin(), grand);
            calc.PreviousMonth();
        }
    });
    EXPECT_TRUE(hiddenAtFirst);
    EXPECT_EQ(memoWidthWithChart, memoWidth);
    EXPECT_EQ(memoWithChart, memoByUser);
    for (const auto& [memo, bars] :
         {std::pair{&memoByComputer, &barsByComputer}, std::pair{&memoByUser, &barsByUser}}) {
        double grand = 0;
        auto groups = MemoGroups(*memo, &grand);
        ASSERT_GE(groups.size(), 3u);
        ASSERT_EQ(bars->size(), groups.size());
        for (size_t i = 1; i < bars->size(); ++i) {
            EXPECT_GE((*bars)[i - 1].second, (*bars)[i].second);
        }
        std::sort(groups.begin(), groups.end());
        auto sortedBars = *bars;
        std::sort(sortedBars.begin(), sortedBars.end());
        EXPECT_EQ(sortedBars, groups);
    }
    EXPECT_NE(std::find_if(barsByUser.begin(), barsByUser.end(),
                           [](const auto& b) { return b.first == QString::fromUtf8("山田"); }),
              barsByUser.end());
    EXPECT_NE(
        std::find_if(barsByUser.begin(), barsByUser.end(),
                     [](const auto& b) { return b.first == QString::fromUtf8("(名前なし)"); }),
        barsByUser.end());

    ASSERT_EQ(trend.size(), 12u);
    ASSERT_EQ(monthTotals.size(), 12u);
    EXPECT_EQ(trend.front().first, QString::fromUtf8("2025年12月"));
    EXPECT_EQ(trend.back().first, QString::fromUtf8("2026年11月"));
    EXPECT_EQ(monthTotals[2], 0);  // 2026-02: no record, "印刷データがありません。"
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(trend[i].second, monthTotals[i]) << i;
    }
}

// The totals and the log save what they show as CSV for spreadsheet programs, through a file
// dialog in Japanese; a file that cannot be written is said so, and nothing is left behind.
TEST(PrintTotalsWindow, TheWindowsSaveWhatTheyShowAsCsv) {
    ReportWindows w;
    WriteYear(w);
    TempDir out;
    const std::string totalsPath = out / "totals.csv";
    PrintTotalsWindow calc(w.context);
    QString dialogTitle;
    std::vector<std::string> memo;
    bool enabledBefore = true;
    ReportWindows::Show(calc, [&] {
        enabledBefore = calc.saveCsvButton->isEnabled();
        calc.byUserRadio->setChecked(true);
        calc.Calculate();
        memo = w.Memo(calc);
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            dialogTitle = dialog->windowTitle();
            dialog->selectFile(QString::fromStdString(totalsPath));
            static_cast<QDialog*>(dialog)->accept();
        });
        calc.saveCsvButton->click();
    });
    EXPECT_FALSE(enabledBefore);
    EXPECT_EQ(dialogTitle, QString::fromUtf8("CSVファイルに保存"));
    std::string expected = "BOM\nプリンタ名\t年月\tユーザー名\t枚数\n";
    for (size_t i = 2; i < memo.size(); ++i) {
        const size_t open = memo[i].rfind(" [");
        std::string name = memo[i].substr(2, open - 2);
        name.erase(name.find_last_not_of(' ') + 1);
        expected += std::string("Laser\t2026年11月\t") + name + "\t" +
                    std::to_string(std::stoll(memo[i].substr(open + 2))) + "\n";
    }
    EXPECT_EQ(CsvReadBack(totalsPath), expected);

    PrintLogWindow log(w.context);
    const std::string logPath = out / "log.csv";
    bool saved = false;
    ReportWindows::Show(log, [&] { saved = log.SaveCsv(QString::fromStdString(logPath)); });
    EXPECT_TRUE(saved);
    std::string rows = "BOM\n日時\tプリンタ名\tコンピュータ名\tユーザー名\t枚数\n";
    for (int r = 0; r < log.logModel->rowCount(); ++r) {
        for (int c = 1; c < 6; ++c) {
            rows += Cell(log, r, c).toStdString() + (c < 5 ? "\t" : "\n");
        }
    }
    EXPECT_EQ(CsvReadBack(logPath), rows);

    const std::string nowhere = out / "missing/log.csv";
    EXPECT_FALSE(log.SaveCsv(QString::fromStdString(nowhere)));
    ASSERT_FALSE(w.sink.Messages().empty());
    EXPECT_EQ(
        w.sink.Messages().back().text.rfind("CSVファイルを保存できませんでした。\n" + nowhere, 0),
        0u);
    EXPECT_EQ(w.sink.Messages().back().flag, 16);
    EXPECT_FALSE(std::filesystem::exists(nowhere));
}

// Whatever the window shows is headed by its printer and month, and a changed choice never
// leaves the old figures standing: counted once, the window counts the new choice at once, and
// CSV保存 writes exactly that, under a name that says so.
TEST(PrintTotalsWindow, AChangedChoiceNeverLeavesTheOldFigures) {
    ReportWindows w;
    w.File("amy",
           "1,20261103090000,Laser,\\\\PC2,amy,5,5\r\r\n"
           "2,20261004090000,Laser,\\\\PC1,bob,3,3\r\r\n");
    TempDir out;
    PrintTotalsWindow calc(w.context);
    QString november, october, september, typing, suggested;
    std::vector<std::string> memo;
    bool csvAfterEmpty = true;
    ReportWindows::Show(calc, [&] {
        EXPECT_TRUE(calc.totalsHeading->text().isEmpty());
        calc.NextMonth();  // not counted yet: nothing to follow
        EXPECT_TRUE(calc.totalsMemo->toPlainText().isEmpty());
        calc.PreviousMonth();
        calc.Calculate();
        november = calc.totalsHeading->text();
        calc.PreviousMonth();
        october = calc.totalsHeading->text();
        memo = w.Memo(calc);
        EXPECT_TRUE(calc.SaveCsv(QString::fromStdString(out / "shown.csv")));
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            suggested = dialog->selectedFiles().value(0);
            static_cast<QDialog*>(dialog)->reject();
        });
        calc.saveCsvButton->click();
        calc.PreviousMonth();
        september = calc.totalsHeading->text();
        EXPECT_TRUE(calc.totalsMemo->toPlainText().isEmpty());
        EXPECT_TRUE(calc.chart->Bars().empty());
        csvAfterEmpty = calc.saveCsvButton->isEnabled() ||
                        calc.SaveCsv(QString::fromStdString(out / "empty.csv"));
        calc.NextMonth();
        calc.printerCombo->setEditText("Las");
        typing = calc.totalsHeading->text();
        EXPECT_TRUE(calc.totalsMemo->toPlainText().isEmpty());
        calc.printerCombo->setEditText("Laser");
        calc.byUserRadio->setChecked(true);
    });
    EXPECT_EQ(november, QString::fromUtf8("Laser　2026年11月　コンピュータ別集計"));
    EXPECT_EQ(october, QString::fromUtf8("Laser　2026年10月　コンピュータ別集計"));
    EXPECT_EQ(memo[0], "Laser [    3枚]");
    EXPECT_EQ(CsvReadBack(out / "shown.csv"),
              "BOM\nプリンタ名\t年月\tコンピュータ名\t枚数\nLaser\t2026年10月\t\\\\PC1\t3\n");
    EXPECT_TRUE(suggested.endsWith(QString::fromUtf8("集計_Laser_2026-10.csv")))
        << suggested.toStdString();
    EXPECT_EQ(september,
              QString::fromUtf8("Laser　2026年09月　コンピュータ別集計　印刷データがありません。"));
    EXPECT_FALSE(csvAfterEmpty);
    EXPECT_FALSE(std::filesystem::exists(out / "empty.csv"));
    EXPECT_TRUE(typing.isEmpty());
    EXPECT_EQ(calc.totalsHeading->text(), QString::fromUtf8("Laser　2026年10月　ユーザー別集計"));
    EXPECT_EQ(w.Memo(calc)[2], "  bob                                      [    3枚]");
    EXPECT_TRUE(w.sink.Messages().empty());  // counting along asks for no box
}

// Forty-four computers whose long names differ only at their ends, in the window as it opens and
// maximised: the axis names no two bars alike, each tooltip names its computer whole (その他's
// how many it holds), no two numbers overlap, and the bars add up to the memo's total.
TEST(PrintTotalsWindow, TheChartStaysReadableWithManyGroups) {
    ReportWindows w;
    std::string lines;
    const QString prefix = QString::fromUtf8("\\\\経理部第二課の共用ノートパソコン");
    for (int i = 10; i < 54; ++i) {
        const std::string n = std::to_string(i);
        lines += n + ",20261103090000,Laser," + prefix.toStdString() + n + ",a,1,1" + n + "\r\n";
    }
    w.File("amy", lines);
    PrintTotalsWindow calc(w.context);
    ReportWindows::Show(calc, [&] {
        calc.Calculate();
        calc.chartButton->click();
        double grand = 0;
        MemoGroups(w.Memo(calc), &grand);
        for (const QSize size : {calc.size(), QSize(1600, 1100)}) {
            calc.resize(size);
            QCoreApplication::processEvents();
            const auto bars = calc.chart->Bars();
            const auto tips = calc.chart->BarTips();
            ASSERT_EQ(tips.size(), bars.size());
            ASSERT_GE(bars.size(), 10u);
            double sum = 0;
            for (size_t i = 0; i < bars.size(); ++i) {
                sum += bars[i].second;
                const bool rest = bars[i].first == QString::fromUtf8("その他");
                EXPECT_TRUE(tips[i].startsWith(rest ? QString::fromUtf8("その他: %1").arg(44 - i)
                                                    : prefix + bars[i].first.right(2)))
                    << tips[i].toStdString();
            }
            EXPECT_EQ(sum, grand);
            // As drawn: no text overlaps another; the axis' labels left of the bars.
            const QRectF plot = calc.chart->chartView->chart()->plotArea();
            QStringList axis;
            std::vector<QRectF> texts;
            for (QGraphicsItem* item : calc.chart->chartView->scene()->items()) {
                auto* text = qgraphicsitem_cast<QGraphicsTextItem*>(item);
                if (text != nullptr && text->isVisible() && !text->toPlainText().isEmpty()) {
                    for (const QRectF& other : texts) {
                        EXPECT_FALSE(other.intersects(text->sceneBoundingRect()));
                    }
                    texts.push_back(text->sceneBoundingRect());
                    if (text->sceneBoundingRect().right() <= plot.left()) {
                        axis << text->toPlainText();
                    }
                }
            }
            EXPECT_GE(texts.size(), 2 * bars.size());  // a label and a number each
            EXPECT_EQ(axis.size(), static_cast<qsizetype>(bars.size()));
            EXPECT_EQ(axis.removeDuplicates(), 0) << axis.join('|').toStdString();
        }
    });
}

// The keyboard alone: Enter counts, Tab walks the window as it is laid out (the groupings are
// one stop, the arrows choose; the memo lets Tab pass; the open chart adds its view list, nothing
// unseen), CSV保存 saves the counted figures whatever is typed into the memo, and Esc closes.
TEST(PrintTotalsWindow, TheKeyboardWalksTheWindowInItsOrder) {
    ReportWindows w;
    w.File("amy", "1,20261103090000,Laser,\\\\PC2,amy,5,5\r\r\n");
    TempDir out;
    PrintTotalsWindow calc(w.context);
    std::vector<QWidget*> order = {calc.printerCombo,    calc.month.previous,  calc.month.next,
                                   calc.byComputerRadio, calc.calculateButton, calc.totalsMemo,
                                   calc.closeButton,     calc.chartButton,     calc.saveCsvButton,
                                   calc.printerCombo};
    std::vector<QWidget*> plain, charted;
    auto walk = [&](std::vector<QWidget*>& seen) {
        calc.printerCombo->setFocus();
        while (seen.size() < order.size()) {
            seen.push_back(calc.focusWidget());
            QTest::keyClick(calc.focusWidget(), Qt::Key_Tab);
        }
    };
    QString memo, heading;
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(&calc));
        QTest::keyClick(calc.printerCombo, Qt::Key_Return);
        memo = calc.totalsMemo->toPlainText();
        walk(plain);
        calc.chartButton->click();
        order.insert(order.begin() + 6, calc.chart->viewCombo);
        walk(charted);
        calc.byComputerRadio->setFocus();
        QTest::keyClick(calc.byComputerRadio, Qt::Key_Right);
        heading = calc.totalsHeading->text();
        QTest::keyClicks(calc.totalsMemo, "\\\\PC9 99999");
        EXPECT_TRUE(calc.SaveCsv(QString::fromStdString(out / "keys.csv")));
        QTest::keyClick(calc.focusWidget(), Qt::Key_Escape);
    });
    EXPECT_EQ(calc.exec(), QDialog::Rejected);
    EXPECT_TRUE(memo.startsWith(QString::fromUtf8("Laser [    5枚]"))) << memo.toStdString();
    EXPECT_EQ(charted, order);
    order.erase(order.begin() + 6);
    EXPECT_EQ(plain, order);
    EXPECT_TRUE(heading.endsWith(QString::fromUtf8("ユーザー別集計"))) << heading.toStdString();
    EXPECT_EQ(CsvReadBack(out / "keys.csv"),
              "BOM\nプリンタ名\t年月\tユーザー名\t枚数\nLaser\t2026年11月\tamy\t5\n");
}
