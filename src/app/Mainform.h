#pragma once

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/SpoolWatchers.h"
#include "platform/Clock.h"
#include "platform/MessageSink.h"
#include "platform/SettingsStore.h"
#include "platform/Spooler.h"
#include "reports/ReportContext.h"
#include "storage/Dmlogging.h"
#include "storage/Dmregistry.h"
#include "storage/PrintDataFiles.h"

// What the main form works with; tests give their own.
struct MainFormServices {
    platform::Spooler& spooler;
    platform::MessageSink& sink;
    platform::SettingsStore& machineStore;
    platform::SettingsStore& userStore;
    const platform::Clock& clock = platform::SystemClock::Instance();
};

// The program's hub. It is never shown: its tray icon and the icon's popup menu are the whole
// user interface. It owns its own settings store and diagnostic log, the print data files with
// their lock, and the printer slots with their watchers; it lets one of the program's windows be
// open at a time and closes when another program writes 1 to the status value.
class TfrmMain final : public QWidget {
    Q_OBJECT
  public:
    // Which window a menu command opens; 0 while none is open.
    enum OpenWindow {
        kNone = 0,
        kPrintCalc = 1,
        kPrintLog = 2,
        kOption = 3,
        kPasswordOrVersion = 4,
        kChangePassword = 5,
        kDeletePassword = 6,
    };

    explicit TfrmMain(const MainFormServices& services);
    ~TfrmMain() override;

    // Adds the tray icon, writes the status 0, settles names and data directory and starts a
    // watcher per printer; returns once every watcher runs.
    void FormCreate();
    // Removes the tray icon, stops the watchers in slot order and writes the status 2. Runs once.
    void FormClose();
    bool IsClosed() const { return m_closed; }

    // The shared members other windows reach through frmMain.
    PrintDataFiles& Files() { return m_files; }
    TdmRegistryCtl& Registry() { return m_registry; }
    TdmLog& Log() { return m_log; }
    PrinterSlots& Slots() { return m_watchers.Slots(); }
    // What the report windows work with.
    ReportContext Reports() {
        return {m_files, m_watchers.Slots(), m_registry, m_log, m_services.sink, m_services.clock};
    }
    int OpenWindowKind() const { return m_openWindowKind; }
    int PasswordDialogMode() const { return m_passwordDialogMode; }
    void SetPasswordDialogMode(int mode) { m_passwordDialogMode = mode; }

    QMenu* PopupMenu1 = nullptr;
    QAction* mmPrintCalc = nullptr;
    QAction* mmPrintLog = nullptr;
    QAction* mmOption = nullptr;
    QAction* mmSetPassword = nullptr;
    QAction* mmChgPassword = nullptr;
    QAction* mmDelPassword = nullptr;
    QAction* mmVersion = nullptr;
    QAction* mmExitSeparator = nullptr;
    QAction* mmExit = nullptr;
    QTimer* Timer1 = nullptr;
    QSystemTrayIcon* TrayIcon = nullptr;

    // Runs the window of a menu command unless another is open (then says so and does nothing).
    void RunGuarded(int kind, const std::function<void()>& showWindow);

  signals:
    // Emitted once the form has closed; the application's event loop ends on it.
    void Closed();

  public slots:
    void mmPrintCalcClick();
    void mmPrintLogClick();
    void mmOptionClick();
    void mmSetPasswordClick();
    void mmChgPasswordClick();
    void mmDelPasswordClick();
    void mmVersionClick();
    void mmExitClick();
    void Timer1Timer();

  private slots:
    void TrayActivated(QSystemTrayIcon::ActivationReason reason);

  private:
    bool GuardRefuses();
    void BuildMenu();

    MainFormServices m_services;
    TdmRegistryCtl m_registry;
    TdmLog m_log;
    PrintDataFiles m_files;
    SpoolWatchers m_watchers;
    int m_openWindowKind = kNone;
    int m_passwordDialogMode = 0;
    bool m_closed = false;
    bool m_closePending = false;
    int m_ticksSinceRetry = 0;
};

extern TfrmMain* frmMain;
