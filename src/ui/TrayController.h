#pragma once

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "platform/Clock.h"
#include "platform/MessageSink.h"
#include "platform/SettingsStore.h"
#include "platform/Spooler.h"
#include "spool/SpoolWatchers.h"
#include "storage/DiagnosticLog.h"
#include "storage/PrintDataFiles.h"
#include "storage/Registry.h"
#include "ui/ReportContext.h"

// What the tray controller works with; tests give their own.
struct TrayServices {
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
class TrayController final : public QWidget {
    Q_OBJECT
  public:
    // Which window a menu command opens; 0 while none is open.
    enum OpenWindow {
        kNone = 0,
        kPrintTotals = 1,
        kPrintLog = 2,
        kOptions = 3,
        kPasswordOrVersion = 4,
        kChangePassword = 5,
        kDeletePassword = 6,
    };

    explicit TrayController(const TrayServices& services);
    ~TrayController() override;

    // Adds the tray icon, writes the status 0, settles names and data directory and starts a
    // watcher per printer; returns once every watcher runs.
    void Start();
    // Removes the tray icon, stops the watchers (all at once) and writes the status 2. Runs once.
    void Shutdown();
    bool IsClosed() const { return m_closed; }

    // The shared members other windows reach through trayController.
    PrintDataFiles& Files() { return m_files; }
    SpoolWatchers& Watchers() { return m_watchers; }
    // When the stop began (seconds since the epoch); 0 while it runs.
    std::int64_t StopStartedAt() const { return m_stopStartedAt; }
    Registry& Settings() { return m_registry; }
    DiagnosticLog& Log() { return m_log; }
    PrinterSlots& Slots() { return m_watchers.Slots(); }
    // What the report windows work with.
    ReportContext Reports() {
        return {m_files, m_watchers.Slots(), m_registry, m_log, m_services.sink, m_services.clock};
    }
    int OpenWindowKind() const { return m_openWindowKind; }
    int PasswordDialogMode() const { return m_passwordDialogMode; }
    void SetPasswordDialogMode(int mode) { m_passwordDialogMode = mode; }

    QMenu* trayMenu = nullptr;
    QAction* printTotalsAction = nullptr;
    QAction* printLogAction = nullptr;
    QAction* optionsAction = nullptr;
    QAction* setPasswordAction = nullptr;
    QAction* changePasswordAction = nullptr;
    QAction* deletePasswordAction = nullptr;
    QAction* versionAction = nullptr;
    QAction* exitSeparator = nullptr;
    QAction* exitAction = nullptr;
    QTimer* statusTimer = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;

    // Runs the window of a menu command unless another is open (then says so and does nothing).
    void RunGuarded(int kind, const std::function<void()>& showWindow);

  signals:
    // Emitted once the controller has shut down; the application's event loop ends on it.
    void Closed();

  public slots:
    void ShowPrintTotals();
    void ShowPrintLog();
    void ShowOptions();
    void SetPassword();
    void ChangePassword();
    void DeletePassword();
    void ShowVersion();
    void Exit();
    void PollStatus();

  private slots:
    void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);

  private:
    bool GuardRefuses();
    // A password in force offers change and delete; none offers set.
    void OfferPasswordCommands(bool passwordSet);
    // Shows the password dialog in a mode; true when it was closed with OK and the current
    // password typed is right (a wrong one is said so).
    bool AskCurrentPassword(int mode);
    void BuildMenu();

    TrayServices m_services;
    Registry m_registry;
    DiagnosticLog m_log;
    PrintDataFiles m_files;
    SpoolWatchers m_watchers;
    std::int64_t m_stopStartedAt = 0;
    int m_openWindowKind = kNone;
    int m_passwordDialogMode = 0;
    bool m_closed = false;
    bool m_closePending = false;
    int m_ticksSinceRetry = 0;
};

extern TrayController* trayController;
