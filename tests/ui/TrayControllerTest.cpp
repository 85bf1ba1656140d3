#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "platform/EventPump.h"
#include "platform/Host.h"
#include "spool/SpoolScript.h"
#include "ui/AboutBox.h"
#include "ui/OptionsDialog.h"
#include "ui/PrintLogWindow.h"
#include "ui/PrintTotalsWindow.h"
#include "ui/QtMessageSink.h"
#include "ui/TrayController.h"

using namespace testsupport;

namespace {

constexpr const char* kGuardText = "他のウィンドウが開かれています。閉じてから実行してください。";

// A tray controller over a scripted spooler with two printers and private stores.
struct FormWorld {
    TempDir dir;
    Stores stores;
    platform::ScriptedSpooler spooler;
    CapturingSink sink;
    std::unique_ptr<TrayController> tray;

    explicit FormWorld(std::optional<int> passwordSwitch = std::nullopt) {
        setenv("TESSAROVEN_COMMON_APPDATA", (dir / "common").c_str(), 1);
        setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
        spooler.SetPrinters({{"Office", ""}, {"\\\\srv\\Hall", "\\\\srv"}});
        if (passwordSwitch) {
            stores.machine.Write(kSettingsKey, "PGSpoolOnOff",
                                 platform::StoredValue::Dw(*passwordSwitch));
        }
        tray = std::make_unique<TrayController>(
            TrayServices{spooler, sink, stores.machine, stores.user});
    }
    std::int32_t Status() {
        const auto v = stores.machine.Read(kSettingsKey, "TessarovenStatus");
        return v ? v->dword : -1;
    }
};

struct MenuItem {
    QString text;
    bool separator;
    bool visible;
};

std::vector<MenuItem> Items(QMenu* menu) {
    std::vector<MenuItem> items;
    for (QAction* a : menu->actions()) {
        items.push_back({a->text(), a->isSeparator(), a->isVisible()});
    }
    return items;
}

// Stands in for the tray icon's window on X11: a button press on it asks the icon for its menu.
struct TrayIconWindow final : QWidget {
    explicit TrayIconWindow(QSystemTrayIcon* icon) : icon(icon) {}
    void mousePressEvent(QMouseEvent*) override { emit icon->activated(QSystemTrayIcon::Context); }
    QSystemTrayIcon* icon;
};

// Keeps every text painted on it.
struct TextRecorder final : QPaintDevice, QPaintEngine {
    QString texts;
    QPaintEngine* paintEngine() const override { return const_cast<TextRecorder*>(this); }
    int metric(PaintDeviceMetric m) const override {
        return m <= PdmHeight                         ? 800
               : m >= PdmDpiX && m <= PdmPhysicalDpiY ? 96
               : m == PdmDepth                        ? 32
                                                      : 1;
    }
    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState&) override {}
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
    void drawTextItem(const QPointF&, const QTextItem& item) override { texts += item.text(); }
    Type type() const override { return User; }
};

}  // namespace

TEST(TrayController, TheMenuHasItsCaptionsInOrderWithTheExitHidden) {
    FormWorld w;
    const auto items = Items(w.tray->trayMenu);
    const std::vector<std::pair<const char*, bool>> expected = {
        {"印刷情報の集計(&C)...", true},
        {"印刷ログの表示(&L)...", true},
        {"オプション(&O)...", true},
        {"", true},
        {"パスワードの設定(&P)...", true},
        {"パスワードの変更(&G)...", true},
        {"パスワードの削除(&D)...", true},
        {"", true},
        {"バージョン情報(&V)...", true},
        {"", false},
        {"終了", false},
    };
    ASSERT_EQ(items.size(), expected.size());
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].text, QString::fromUtf8(expected[i].first)) << i;
        EXPECT_EQ(items[i].separator, expected[i].first[0] == '\0') << i;
        EXPECT_EQ(items[i].visible, expected[i].second) << i;
    }
}

TEST(TrayController, PasswordItemsFollowThePasswordSwitch) {
    for (const std::optional<int> value :
         {std::optional<int>(), std::optional<int>(2), std::optional<int>(1)}) {
        FormWorld w(value);
        const bool on = value == 1;
        EXPECT_EQ(w.tray->setPasswordAction->isEnabled(), !on);
        EXPECT_EQ(w.tray->changePasswordAction->isEnabled(), on);
        EXPECT_EQ(w.tray->deletePasswordAction->isEnabled(), on);
    }
    // Stored as text, "1" is no password.
    FormWorld text;
    text.stores.machine.Write(kSettingsKey, "PGSpoolOnOff", platform::StoredValue::Sz("1"));
    TrayController again(
        TrayServices{text.spooler, text.sink, text.stores.machine, text.stores.user});
    EXPECT_TRUE(again.setPasswordAction->isEnabled());
}

TEST(TrayController, CreationStartsCountingAndClosingStopsIt) {
    FormWorld w;
    w.stores.machine.Write(kSettingsKey, "TessarovenStatus", platform::StoredValue::Dw(1));
    w.tray->Start();
    EXPECT_EQ(w.Status(), 0);
    EXPECT_TRUE(platform::IsDirectory(w.dir / "common/Tessaroven"));
    EXPECT_EQ(w.tray->Files().DataDirectory(), w.dir / "common/Tessaroven");
    EXPECT_EQ(w.tray->Files().UserName(), platform::UserName());
    ASSERT_EQ(w.tray->Slots().Count(), 2);
    EXPECT_EQ(w.tray->Slots().At(0).running.load(), 1);
    EXPECT_EQ(w.tray->Slots().At(1).serverName, "\\\\srv");
    EXPECT_EQ(w.tray->trayIcon->toolTip(), "Tessaroven");
    EXPECT_FALSE(w.tray->trayIcon->icon().isNull());

    // A job on the local printer ends up in this user's file.
    w.spooler.AddCycle("Office", AddJob(3, "Office", "\\\\PC2", "bob", 2));
    w.spooler.AddCycle("Office", QueueLength(0));
    ASSERT_TRUE(w.spooler.WaitUntilHandled("Office"));
    EXPECT_TRUE(Exists(w.tray->Files().DataFilePath()));

    // Another program asks it to stop: the next tick closes it.
    QSignalSpy closed(w.tray.get(), &TrayController::Closed);
    w.tray->PollStatus();
    EXPECT_EQ(closed.count(), 0);
    EXPECT_TRUE(w.tray->statusTimer->isActive());
    w.stores.machine.Write(kSettingsKey, "TessarovenStatus", platform::StoredValue::Dw(1));
    w.tray->PollStatus();
    EXPECT_EQ(closed.count(), 1);
    EXPECT_TRUE(w.tray->IsClosed());
    EXPECT_FALSE(w.tray->statusTimer->isActive());
    EXPECT_FALSE(w.tray->trayIcon->isVisible());
    EXPECT_EQ(w.Status(), 2);
    EXPECT_EQ(w.tray->Slots().At(0).running.load(), 0);
    EXPECT_EQ(w.tray->Slots().At(1).running.load(), 0);
    // Every watcher let its printer go (all at once: in no particular order).
    const auto calls = w.spooler.Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "FindClose Office"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "FindClose \\\\srv\\Hall"), calls.end());
}

// A stop that arrives while the watchers start (here from the first events the start serves)
// lets the start return, then closes: nothing freed under it, nothing started after it.
TEST(TrayController, AStopDuringTheStartClosesOnceTheStartHasReturned) {
    FormWorld w;
    std::vector<platform::PrinterInfo> printers;
    for (int i = 0; i < 30; ++i) {
        printers.push_back({std::string("Q").append(std::to_string(i)), ""});
    }
    w.spooler.SetPrinters(printers);
    QSignalSpy closed(w.tray.get(), &TrayController::Closed);
    platform::SetThreadEventPump([] { QCoreApplication::processEvents(); });  // as the program
    QTimer::singleShot(0, [&] {
        w.tray->Shutdown();
        EXPECT_FALSE(w.tray->IsClosed());  // not yet: a watcher is starting
    });
    w.tray->Start();
    platform::SetThreadEventPump({});
    EXPECT_TRUE(w.tray->IsClosed());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(w.Status(), 2);
    const auto calls = w.spooler.Calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& c) { return c.rfind("OpenPrinter ", 0) == 0; }),
              1);
    for (int i = 0; i < w.tray->Slots().Count(); ++i) {
        EXPECT_FALSE(w.tray->Slots().At(i).watcher) << i;
    }
}

// While one of the program's windows is open, no other menu command opens another.
TEST(TrayController, OnlyOneWindowOpensAtATime) {
    FormWorld w;
    AboutBox about;
    aboutBox = &about;
    int kindWhileOpen = -1;
    QTimer::singleShot(0, [&] {
        kindWhileOpen = w.tray->OpenWindowKind();
        w.tray->ShowPrintLog();
        w.tray->ShowVersion();
        w.tray->ShowOptions();
        w.tray->SetPassword();
        about.accept();
    });
    w.tray->ShowVersion();
    aboutBox = nullptr;
    EXPECT_EQ(kindWhileOpen, TrayController::kPasswordOrVersion);
    EXPECT_EQ(w.tray->OpenWindowKind(), TrayController::kNone);
    const auto messages = w.sink.Messages();
    ASSERT_EQ(messages.size(), 4u);
    for (const auto& m : messages) {
        EXPECT_EQ(m.text, kGuardText);
        EXPECT_EQ(m.caption, "Tessaroven 警告");
        EXPECT_EQ(m.flag, 48);
    }
    // Closed again, commands pass.
    w.tray->ShowPrintLog();
    EXPECT_EQ(w.sink.Messages().size(), 4u);
}

// The menu commands open the report windows, each under the guard.
TEST(TrayController, MenuCommandsOpenTheReportWindows) {
    FormWorld w;
    w.tray->Start();
    PrintLogWindow log(w.tray->Reports());
    PrintTotalsWindow calc(w.tray->Reports());
    printLogWindow = &log;
    printTotalsWindow = &calc;
    int logKind = -1;
    int calcKind = -1;
    QTimer::singleShot(0, [&] {
        logKind = log.isVisible() ? w.tray->OpenWindowKind() : -2;
        log.accept();
    });
    w.tray->ShowPrintLog();
    QTimer::singleShot(0, [&] {
        calcKind = calc.isVisible() ? w.tray->OpenWindowKind() : -2;
        EXPECT_EQ(calc.printerCombo->itemText(1), "\\\\srv\\Hall");
        calc.accept();
    });
    w.tray->ShowPrintTotals();
    printLogWindow = nullptr;
    printTotalsWindow = nullptr;
    EXPECT_EQ(logKind, TrayController::kPrintLog);
    EXPECT_EQ(calcKind, TrayController::kPrintTotals);

    // Without a password in force the options open at once.
    OptionsDialog options(OptionsContext{w.tray->Files(), w.tray->Settings(), w.sink, {}});
    optionsDialog = &options;
    int optionKind = -1;
    QTimer::singleShot(0, [&] {
        optionKind = options.isVisible() ? w.tray->OpenWindowKind() : -2;
        options.CancelClicked();
    });
    w.tray->ShowOptions();
    optionsDialog = nullptr;
    EXPECT_EQ(optionKind, TrayController::kOptions);
    w.tray->Shutdown();
}

// With the print log open a right click on the icon opens the menu, its items whole at 11 pt; a
// command chosen there gets the guard's box over the log and opens nothing. All carry the icon.
TEST(TrayController, TheMenuStaysAvailableWhileAWindowIsOpen) {
    FormWorld w;
    QtMessageSink boxes;
    boxes.SetShowsBoxesWithoutDisplay(true);
    TrayController tray(TrayServices{w.spooler, boxes, w.stores.machine, w.stores.user});
    tray.Start();
    PrintLogWindow log(tray.Reports());
    AboutBox about;
    printLogWindow = &log;
    aboutBox = &about;
    TrayIconWindow iconWindow(tray.trayIcon);
    iconWindow.show();
    tray.trayMenu->setFont(QFont(tray.trayMenu->font().family(), 11));
    TextRecorder menuTexts;
    QTimer::singleShot(0, [&] {
        QTest::mouseClick(iconWindow.windowHandle(), Qt::RightButton, {}, QPoint(5, 5));
        if (tray.trayMenu->isVisible()) {
            tray.trayMenu->render(&menuTexts);
            QTimer::singleShot(0, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                ASSERT_NE(box, nullptr);
                EXPECT_EQ(box->text(), QString::fromUtf8(kGuardText));
                EXPECT_EQ(box->parentWidget(), &log);
                EXPECT_FALSE(box->windowIcon().isNull());
                box->accept();
            });
            QTest::mouseClick(tray.trayMenu->windowHandle(), Qt::LeftButton, {},
                              tray.trayMenu->actionGeometry(tray.versionAction).center());
        }
        EXPECT_FALSE(about.isVisible());
        log.accept();
    });
    tray.ShowPrintLog();
    printLogWindow = nullptr;
    aboutBox = nullptr;
    EXPECT_TRUE(menuTexts.texts.contains(QString::fromUtf8("パスワード"))) << "menu not shown";
    EXPECT_FALSE(menuTexts.texts.contains(QChar(0x2026))) << menuTexts.texts.toStdString();
    EXPECT_FALSE(log.windowIcon().isNull());
    tray.Shutdown();
}
