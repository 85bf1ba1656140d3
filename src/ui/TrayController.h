#pragma once

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "monitor/Monitor.h"
#include "ui/ReportContext.h"

// What the tray controller works with; tests give their own.
using TrayServices = MonitorServices;

// The program's hub in Qt. It is never shown: its tray icon and the icon's popup menu are the
// whole user interface. The monitor behind it owns the settings, the diagnostic log, the print
// data files and the watchers; this shows the windows its menu commands open and polls the
// status value every second.
class TrayController final : public QWidget, private MonitorWindows {
    Q_OBJECT
  public:
    // Which window a menu command opens; 0 while none is open.
    enum OpenWindow {
        kNone = Monitor::kNone,
        kPrintTotals = Monitor::kPrintTotals,
        kPrintLog = Monitor::kPrintLog,
        kOptions = Monitor::kOptions,
        kPasswordOrVersion = Monitor::kPasswordOrVersion,
        kChangePassword = Monitor::kChangePassword,
        kDeletePassword = Monitor::kDeletePassword,
    };

    explicit TrayController(const TrayServices& services);
    ~TrayController() override;

    // Adds the tray icon, writes the status 0, settles names and data directory and starts a
    // watcher per printer; returns once every watcher runs.
    void Start();
    // Removes the tray icon, stops the watchers (all at once) and writes the status 2. Runs once.
    void Shutdown() { m_monitor.Shutdown(); }
    bool IsClosed() const { return m_monitor.IsClosed(); }

    Monitor& Core() { return m_monitor; }
    // The shared members other windows reach through trayController.
    PrintDataFiles& Files() { return m_monitor.Files(); }
    SpoolWatchers& Watchers() { return m_monitor.Watchers(); }
    // When the stop began (seconds since the epoch); 0 while it runs.
    std::int64_t StopStartedAt() const { return m_monitor.StopStartedAt(); }
    Registry& Settings() { return m_monitor.Settings(); }
    DiagnosticLog& Log() { return m_monitor.Log(); }
    PrinterSlots& Slots() { return m_monitor.Slots(); }
    // What the report windows work with.
    ReportContext Reports() {
        return {m_monitor.Files(), m_monitor.Slots(), m_monitor.Settings(),
                m_monitor.Log(),   m_monitor.Sink(),  m_monitor.Clock()};
    }
    int OpenWindowKind() const { return m_monitor.OpenWindowKind(); }
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
    void RunGuarded(int kind, const std::function<void()>& showWindow) {
        m_monitor.RunGuarded(kind, showWindow);
    }

  signals:
    // Emitted once the controller has shut down; the application's event loop ends on it.
    void Closed();

  public slots:
    void ShowPrintTotals() { m_monitor.ShowPrintTotals(); }
    void ShowPrintLog() { m_monitor.ShowPrintLog(); }
    void ShowOptions() { m_monitor.ShowOptions(); }
    void SetPassword() { m_monitor.SetPassword(); }
    void ChangePassword() { m_monitor.ChangePassword(); }
    void DeletePassword() { m_monitor.DeletePassword(); }
    void ShowVersion() { m_monitor.ShowVersion(); }
    void Exit() { m_monitor.Shutdown(); }
    void PollStatus();

  private slots:
    void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);

  private:
    void BuildMenu();
    // What the monitor asks of the windows.
    void OpenPrintTotals() override;
    void OpenPrintLog() override;
    void OpenOptions() override;
    void OpenVersion() override;
    bool AskPassword(int mode, PasswordEntries& entries) override;
    void OfferPasswordCommands(bool passwordSet) override;
    void StopPolling() override;
    void HideTrayIcon() override;
    void MonitorClosed() override;

    int m_passwordDialogMode = 0;
    Monitor m_monitor;
};

extern TrayController* trayController;
