#include "monitor/Monitor.h"

#include <ctime>

#include "admin/Password.h"
#include "platform/Host.h"
#include "platform/SharedFile.h"

namespace {

constexpr const char* kGuardText = "他のウィンドウが開かれています。閉じてから実行してください。";
constexpr const char* kWarningCaption = "Tessaroven 警告";
constexpr const char* kInfoCaption = "Tessaroven";
constexpr const char* kWrongPassword = "パスワードが間違っています。";
constexpr const char* kDigestValue = "PGSpoolSize";
constexpr const char* kPasswordSwitch = "PGSpoolOnOff";
constexpr const char* kDiagnosticLogSwitch = "DiagnosticLog";
constexpr int kPasswordOn = 1;
constexpr int kPasswordOff = 2;

// The new password is taken only when both entries agree and are not empty.
bool NewEntriesAgree(const PasswordEntries& entries) {
    return !entries.first.empty() && entries.first == entries.second;
}

}  // namespace

Monitor::Monitor(const MonitorServices& services, MonitorWindows& windows)
    : m_services(services),
      m_windows(windows),
      m_registry(services.machineStore, services.userStore),
      m_log(services.clock),
      m_files(m_registry, services.sink),
      m_watchers(services.spooler, m_files, m_log, services.clock) {
    // The diagnostic log is off unless an administrator switches it on (1: failures, 2: also
    // progress); it is read at start, and kept in this user's state folder (the service's own
    // for the service): an installed program's folder is no place to write.
    const std::int32_t logLevel =
        m_registry.GetRegInteger(kHkeyLocalMachine, kSettingsKey, kDiagnosticLogSwitch);
    m_log.SetTag("PMON");
    m_log.SetEnabled(logLevel >= 1);
    m_log.SetDebug(logLevel >= 2);
    m_log.SetFilePath(platform::UserStateFolder() + "/log.txt");
    if (logLevel >= 1) {
        platform::MakeDirectoryPath(platform::UserStateFolder());
    }
}

Monitor::~Monitor() {
    Shutdown();
}

bool Monitor::PasswordSet() {
    return m_registry.GetRegInteger(kHkeyLocalMachine, kSettingsKey, kPasswordSwitch) ==
           kPasswordOn;
}

void Monitor::Start() {
    m_registry.SetRegInteger(kHkeyLocalMachine, kSettingsKey, kStatusValue, 0);
    m_files.SetNames(platform::ComputerName(), platform::UserName());
    m_files.EstablishDataDirectory(platform::CommonAppDataFolder());
    // Records that could not reach the data folder before the last exit go first.
    m_files.SetPendingStore(platform::UserStateFolder() + "/waiting-records");
    m_watchers.Start();
    m_openWindowKind = kNone;
    if (m_closePending) {
        Shutdown();
    }
}

void Monitor::Shutdown() {
    if (m_closed) {
        return;
    }
    m_windows.StopPolling();
    if (m_watchers.Busy()) {
        // Asked to close from the events served while a watcher starts: no further watcher
        // starts, and the close runs as soon as that start has returned.
        m_watchers.CancelStart();
        m_closePending = true;
        return;
    }
    m_closed = true;
    m_stopStartedAt = static_cast<std::int64_t>(std::time(nullptr));
    m_windows.HideTrayIcon();
    m_watchers.Stop();
    m_registry.SetRegInteger(kHkeyLocalMachine, kSettingsKey, kStatusValue, 2);
    m_windows.MonitorClosed();
}

bool Monitor::PollStatus() {
    if (m_closed) {
        return false;
    }
    if (m_registry.GetRegInteger(kHkeyLocalMachine, kSettingsKey, kStatusValue) == 1) {
        Shutdown();
        return false;
    }
    m_watchers.FollowPrinters();
    // A share that came back is noticed even when nobody prints.
    if (++m_ticksSinceRetry >= 5) {
        m_ticksSinceRetry = 0;
        m_files.RetryPendingRecords();
    }
    if (m_closePending) {
        Shutdown();
        return false;
    }
    return !m_closed;
}

bool Monitor::GuardRefuses() {
    if (m_openWindowKind == kNone) {
        return false;
    }
    m_services.sink.Show(kGuardText, kWarningCaption, platform::kIconWarning);
    return true;
}

void Monitor::RunGuarded(int kind, const std::function<void()>& showWindow) {
    if (GuardRefuses()) {
        return;
    }
    m_openWindowKind = kind;
    showWindow();
    m_openWindowKind = kNone;
}

bool Monitor::AskCurrentPassword(int mode, PasswordEntries& entries) {
    if (!m_windows.AskPassword(mode, entries)) {
        return false;
    }
    if (!CheckPassword(m_registry, entries.current)) {
        m_services.sink.Show(kWrongPassword, kWarningCaption, platform::kIconWarning);
        return false;
    }
    return true;
}

void Monitor::ShowPrintTotals() {
    RunGuarded(kPrintTotals, [this] { m_windows.OpenPrintTotals(); });
}

void Monitor::ShowPrintLog() {
    RunGuarded(kPrintLog, [this] { m_windows.OpenPrintLog(); });
}

void Monitor::ShowOptions() {
    if (GuardRefuses()) {
        return;
    }
    // While a password is in force, only who knows it reaches the options.
    if (PasswordSet()) {
        bool accepted = false;
        bool right = false;
        RunGuarded(kPasswordOrVersion, [&] {
            PasswordEntries entries;
            accepted = m_windows.AskPassword(MonitorWindows::kEnter, entries);
            right = accepted && CheckPassword(m_registry, entries.current);
        });
        if (!accepted) {
            return;
        }
        if (!right) {
            m_services.sink.Show(kWrongPassword, kWarningCaption, platform::kIconWarning);
            return;
        }
    }
    RunGuarded(kOptions, [this] { m_windows.OpenOptions(); });
}

void Monitor::SetPassword() {
    RunGuarded(kPasswordOrVersion, [this] {
        PasswordEntries entries;
        if (!m_windows.AskPassword(MonitorWindows::kSet, entries)) {
            return;
        }
        if (!NewEntriesAgree(entries)) {
            m_services.sink.Show(kWrongPassword, kWarningCaption, platform::kIconWarning);
            return;
        }
        m_registry.SetRegString(kHkeyLocalMachine, kSettingsKey, kDigestValue,
                                ComputePasswordDigest(entries.first));
        m_registry.SetRegInteger(kHkeyLocalMachine, kSettingsKey, kPasswordSwitch, kPasswordOn);
        m_windows.OfferPasswordCommands(true);
        m_services.sink.Show("パスワードを設定しました。", kInfoCaption,
                             platform::kIconInformation);
    });
}

void Monitor::ChangePassword() {
    RunGuarded(kChangePassword, [this] {
        PasswordEntries entries;
        if (!AskCurrentPassword(MonitorWindows::kChange, entries)) {
            return;
        }
        if (!NewEntriesAgree(entries)) {
            m_services.sink.Show("新しいパスワードが間違っています。", kWarningCaption,
                                 platform::kIconWarning);
            return;
        }
        m_registry.SetRegString(kHkeyLocalMachine, kSettingsKey, kDigestValue,
                                ComputePasswordDigest(entries.first));
        m_services.sink.Show("パスワードを変更しました。", kInfoCaption,
                             platform::kIconInformation);
    });
}

void Monitor::DeletePassword() {
    RunGuarded(kDeletePassword, [this] {
        PasswordEntries entries;
        if (!AskCurrentPassword(MonitorWindows::kEnter, entries)) {
            return;
        }
        m_registry.SetRegString(kHkeyLocalMachine, kSettingsKey, kDigestValue,
                                kClearedPasswordDigest);
        m_registry.SetRegInteger(kHkeyLocalMachine, kSettingsKey, kPasswordSwitch, kPasswordOff);
        m_windows.OfferPasswordCommands(false);
        m_services.sink.Show("パスワードを削除しました。", kInfoCaption,
                             platform::kIconInformation);
    });
}

void Monitor::ShowVersion() {
    RunGuarded(kPasswordOrVersion, [this] { m_windows.OpenVersion(); });
}
