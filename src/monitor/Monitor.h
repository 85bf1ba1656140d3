#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Clock.h"
#include "platform/MessageSink.h"
#include "platform/SettingsStore.h"
#include "platform/Spooler.h"
#include "spool/SpoolWatchers.h"
#include "storage/DiagnosticLog.h"
#include "storage/PrintDataFiles.h"
#include "storage/Registry.h"

// What the monitor works with; tests give their own.
struct MonitorServices {
    platform::Spooler& spooler;
    platform::MessageSink& sink;
    platform::SettingsStore& machineStore;
    platform::SettingsStore& userStore;
    const platform::Clock& clock = platform::SystemClock::Instance();
};

// What the password dialog collected; which entries it asked for depends on its mode.
struct PasswordEntries {
    std::string current;
    std::string first;   // the new password
    std::string second;  // the new password again
};

// What the monitor asks of the windows of whichever toolkit shows them.
class MonitorWindows {
  public:
    // Which rows the password dialog shows: 1 the current password, 2 the current and the new
    // one, 3 the new one.
    enum PasswordMode { kEnter = 1, kChange = 2, kSet = 3 };

    virtual ~MonitorWindows() = default;
    // Each shows its window until it is closed.
    virtual void OpenPrintTotals() = 0;
    virtual void OpenPrintLog() = 0;
    virtual void OpenOptions() = 0;
    virtual void OpenVersion() = 0;
    // Shows the password dialog in a mode; false when it was cancelled.
    virtual bool AskPassword(int mode, PasswordEntries& entries) = 0;
    // A password in force offers change and delete; none offers set.
    virtual void OfferPasswordCommands(bool passwordSet) = 0;
    // The stop began: the status timer stops (it is started again after each poll that goes on).
    virtual void StopPolling() = 0;
    // The tray icon goes before the watchers stop.
    virtual void HideTrayIcon() = 0;
    // The monitor has shut down; the program's event loop ends.
    virtual void MonitorClosed() = 0;
};

// The program's core, whatever shows its windows: its own settings and diagnostic log, the print
// data files with their lock, the printer slots with their watchers, the status value other
// programs stop it through, one window open at a time and the password commands.
class Monitor {
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
    static constexpr const char* kStatusValue = "TessarovenStatus";

    Monitor(const MonitorServices& services, MonitorWindows& windows);
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Whether a password is in force (the menu's state at start).
    bool PasswordSet();
    // Writes the status 0, settles names and data directory and starts a watcher per printer;
    // returns once every watcher runs (or the monitor closed meanwhile).
    void Start();
    // Stops the watchers (all at once) and writes the status 2. Runs once; asked while a watcher
    // starts, it runs as soon as that start has returned.
    void Shutdown();
    bool IsClosed() const { return m_closed; }
    // What the status timer does every second: closes when another program wrote 1, follows
    // printers added and deleted and retries waiting records. False once the monitor closed (the
    // timer is then not started again).
    bool PollStatus();

    // The menu's commands.
    void ShowPrintTotals();
    void ShowPrintLog();
    void ShowOptions();
    void SetPassword();
    void ChangePassword();
    void DeletePassword();
    void ShowVersion();
    // Runs the window of a menu command unless another is open (then says so and does nothing).
    void RunGuarded(int kind, const std::function<void()>& showWindow);

    PrintDataFiles& Files() { return m_files; }
    SpoolWatchers& Watchers() { return m_watchers; }
    PrinterSlots& Slots() { return m_watchers.Slots(); }
    Registry& Settings() { return m_registry; }
    DiagnosticLog& Log() { return m_log; }
    platform::MessageSink& Sink() { return m_services.sink; }
    const platform::Clock& Clock() const { return m_services.clock; }
    // When the stop began (seconds since the epoch); 0 while it runs.
    std::int64_t StopStartedAt() const { return m_stopStartedAt; }
    int OpenWindowKind() const { return m_openWindowKind; }

  private:
    bool GuardRefuses();
    // Asks for the current password in a mode; true when OK was chosen and it is right (a wrong
    // one is said so).
    bool AskCurrentPassword(int mode, PasswordEntries& entries);

    MonitorServices m_services;
    MonitorWindows& m_windows;
    Registry m_registry;
    DiagnosticLog m_log;
    PrintDataFiles m_files;
    SpoolWatchers m_watchers;
    std::int64_t m_stopStartedAt = 0;
    int m_openWindowKind = kNone;
    bool m_closed = false;
    bool m_closePending = false;
    int m_ticksSinceRetry = 0;
};
