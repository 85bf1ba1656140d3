#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QTimer>

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

    // The next showing reloads: with the records gone, one empty row and the no-data message.
    WriteFile(w.data / "PrintData_amy.dat", "\r\r\n");
    WriteFile(w.data / "PrintData_bob.dat", "");
    ReportWindows::Show(log, [] {});
    EXPECT_EQ(log.logModel->rowCount(), 1);
    EXPECT_EQ(Cell(log, 0, 0), "");
    EXPECT_EQ(Cell(log, 0, 1), "");
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
        EXPECT_EQ(messages[i].text, "The data folder " + w.data / "away" +
                                        " cannot be reached: No such file or directory");
        EXPECT_EQ(messages[i].flag, 16);
    }
}

// Long names and a six-digit page count: the page column stays whole and in sight, at the
// designed window size and in a narrower one; the names give way.
TEST(PrintLogWindow, ThePageCountAlwaysShowsWhole) {
    ReportWindows w;
    w.File("amy",
           "2,20261103090000,経理部カラーレーザープリンタ二階,\\経理部の共用パソコン,"
           "経理部の山田太郎,100000,100000\r\r\n");
    PrintLogWindow log(w.context);
    for (const int width : {541, 400}) {
        log.resize(width, 574);
        ReportWindows::Show(log, [&] {
            const QTableView* grid = log.logGrid;
            int right = 0;
            for (int c = 0; c < 6; ++c) {
                right += grid->columnWidth(c);
            }
            EXPECT_LE(right, grid->viewport()->width()) << width;
            EXPECT_GT(grid->columnWidth(5),
                      QFontMetrics(grid->font()).horizontalAdvance(QStringLiteral("100000")))
                << width;
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
    EXPECT_EQ(calc.month.caption->text(), QString::fromUtf8("2027年1月"));
    EXPECT_EQ(w.reg.GetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, "PrinterComboIndex"), 1);
    // Shown again: the month stays, the totals are by computer again.
    ReportWindows::Show(calc, [&] {
        EXPECT_EQ(calc.month.caption->text(), QString::fromUtf8("2027年1月"));
        EXPECT_TRUE(calc.byComputerRadio->isChecked());
        calc.printerCombo->setCurrentIndex(-1);
    });
    EXPECT_EQ(w.reg.GetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, "PrinterComboIndex"), -1);

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
