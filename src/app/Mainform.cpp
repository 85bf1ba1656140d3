#include "app/Mainform.h"

#include <QCursor>
#include <QGuiApplication>
#include <QIcon>

#include "admin/AboutBox.h"
#include "admin/Optiondlg.h"
#include "admin/Password.h"
#include "admin/PasswordDlg.h"
#include "platform/Host.h"
#include "platform/SharedFile.h"
#include "reports/Printcalc.h"
#include "reports/Printlog.h"

TfrmMain* frmMain = nullptr;

namespace {

constexpr const char* kStatusValue = "TessarovenStatus";
constexpr const char* kGuardText = "他のウィンドウが開かれています。閉じてから実行してください。";
constexpr const char* kWarningCaption = "Tessaroven 警告";
constexpr const char* kInfoCaption = "Tessaroven";
constexpr const char* kWrongPassword = "パスワードが間違っています。";
constexpr const char* kDigestValue = "PGSpoolSize";
constexpr const char* kPasswordSwitch = "PGSpoolOnOff";
constexpr int kPasswordOn = 1;
constexpr int kPasswordOff = 2;

// Shows the password dialog in a mode; true when it was closed with OK.
bool AskPassword(TfrmMain& form, int mode) {
    form.SetPasswordDialogMode(mode);
    return PasswordDlg != nullptr && PasswordDlg->exec() == QDialog::Accepted;
}

std::string Typed(const QLineEdit* edit) {
    return edit->text().toStdString();
}

// The new password is taken only when both entries agree and are not empty.
bool NewEntriesAgree() {
    const std::string first = Typed(PasswordDlg->edtNewPassword1);
    return !first.empty() && first == Typed(PasswordDlg->edtNewPassword2);
}

}  // namespace

TfrmMain::TfrmMain(const MainFormServices& services)
    : m_services(services),
      m_registry(services.machineStore, services.userStore),
      m_log(services.clock),
      m_files(m_registry, services.sink),
      m_watchers(services.spooler, m_files, m_log, services.clock) {
    setWindowTitle(QStringLiteral("frmMain"));

    // The diagnostic log lives beside the executable and stays switched off.
    m_log.SetFilePath(platform::ExecutableFolder() + "/log.txt");
    m_log.SetTag("PMON");
    m_log.SetEnabled(false);
    m_log.SetDebug(false);

    BuildMenu();
    const bool passwordSet =
        m_registry.GetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, "PGSpoolOnOff") == 1;
    mmSetPassword->setEnabled(!passwordSet);
    mmChgPassword->setEnabled(passwordSet);
    mmDelPassword->setEnabled(passwordSet);

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TfrmMain::Timer1Timer);
    Timer1->start();
}

TfrmMain::~TfrmMain() {
    FormClose();
    delete PopupMenu1;
}

void TfrmMain::BuildMenu() {
    PopupMenu1 = new QMenu();
    auto item = [this](const char* caption, void (TfrmMain::*handler)()) {
        QAction* action = PopupMenu1->addAction(QString::fromUtf8(caption));
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    mmPrintCalc = item("印刷情報の集計(&C)...", &TfrmMain::mmPrintCalcClick);
    mmPrintLog = item("印刷ログの表示(&L)...", &TfrmMain::mmPrintLogClick);
    mmOption = item("オプション(&O)...", &TfrmMain::mmOptionClick);
    PopupMenu1->addSeparator();
    mmSetPassword = item("パスワードの設定(&P)...", &TfrmMain::mmSetPasswordClick);
    mmChgPassword = item("パスワードの変更(&G)...", &TfrmMain::mmChgPasswordClick);
    mmDelPassword = item("パスワードの削除(&D)...", &TfrmMain::mmDelPasswordClick);
    PopupMenu1->addSeparator();
    mmVersion = item("バージョン情報(&V)...", &TfrmMain::mmVersionClick);
    // Users cannot end the monitor from the menu: the exit command and its separator are hidden.
    mmExitSeparator = PopupMenu1->addSeparator();
    mmExitSeparator->setVisible(false);
    mmExit = item("終了", &TfrmMain::mmExitClick);
    mmExit->setVisible(false);
}

void TfrmMain::FormCreate() {
    TrayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/tessaroven.svg")), this);
    TrayIcon->setToolTip(QStringLiteral("Tessaroven"));
    connect(TrayIcon, &QSystemTrayIcon::activated, this, &TfrmMain::TrayActivated);
    // The offscreen platform (no display at all) never has a notification area; showing the icon
    // there only makes Qt warn on standard error at every start.
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        TrayIcon->show();
    }

    m_registry.SetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, kStatusValue, 0);
    m_files.SetNames(platform::ComputerName(), platform::UserName());
    m_files.EstablishDataDirectory(platform::CommonAppDataFolder());
    // Records that could not reach the data folder before the last exit go first.
    m_files.SetPendingStore(platform::UserStateFolder() + "/waiting-records");
    m_watchers.Start();
    m_openWindowKind = kNone;
    if (m_closePending) {
        FormClose();
        return;
    }

    // A panel that starts after us, or restarts, gets the icon as well: Qt follows the tray
    // host and docks the icon again on its own.
}

void TfrmMain::FormClose() {
    if (m_closed) {
        return;
    }
    Timer1->stop();
    if (m_watchers.Busy()) {
        // Asked to close from the events served while a watcher starts: no further watcher
        // starts, and the close runs as soon as that start has returned.
        m_watchers.CancelStart();
        m_closePending = true;
        return;
    }
    m_closed = true;
    if (TrayIcon != nullptr) {
        TrayIcon->hide();
    }
    m_watchers.Stop();
    m_registry.SetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, kStatusValue, 2);
    emit Closed();
}

void TfrmMain::TrayActivated(QSystemTrayIcon::ActivationReason reason) {
    // Only the right button opens the menu; clicks and double clicks do nothing.
    if (reason != QSystemTrayIcon::Context) {
        return;
    }
    activateWindow();
    PopupMenu1->popup(QCursor::pos());
}

bool TfrmMain::GuardRefuses() {
    if (m_openWindowKind == kNone) {
        return false;
    }
    m_services.sink.Show(kGuardText, kWarningCaption, platform::MB_ICONWARNING);
    return true;
}

void TfrmMain::RunGuarded(int kind, const std::function<void()>& showWindow) {
    if (GuardRefuses()) {
        return;
    }
    m_openWindowKind = kind;
    showWindow();
    m_openWindowKind = kNone;
}

void TfrmMain::mmPrintCalcClick() {
    RunGuarded(kPrintCalc, [] {
        if (frmPrintCalc != nullptr) {
            frmPrintCalc->exec();
        }
    });
}

void TfrmMain::mmPrintLogClick() {
    RunGuarded(kPrintLog, [] {
        if (frmPrintLog != nullptr) {
            frmPrintLog->exec();
        }
    });
}

void TfrmMain::mmOptionClick() {
    if (GuardRefuses()) {
        return;
    }
    // While a password is in force, only who knows it reaches the options.
    if (m_registry.GetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, kPasswordSwitch) ==
        kPasswordOn) {
        bool accepted = false;
        bool right = false;
        RunGuarded(kPasswordOrVersion, [&] {
            accepted = AskPassword(*this, TPasswordDlg::kEnter);
            right = accepted && CheckPassword(m_registry, Typed(PasswordDlg->edtPassword));
        });
        if (!accepted) {
            return;
        }
        if (!right) {
            m_services.sink.Show(kWrongPassword, kWarningCaption, platform::MB_ICONWARNING);
            return;
        }
    }
    RunGuarded(kOption, [] {
        if (dlgOption != nullptr) {
            dlgOption->exec();
        }
    });
}

void TfrmMain::mmSetPasswordClick() {
    RunGuarded(kPasswordOrVersion, [this] {
        if (!AskPassword(*this, TPasswordDlg::kSet)) {
            return;
        }
        if (!NewEntriesAgree()) {
            m_services.sink.Show(kWrongPassword, kWarningCaption, platform::MB_ICONWARNING);
            return;
        }
        m_registry.SetRegString(HKEY_LOCAL_MACHINE, kSettingsKey, kDigestValue,
                                ComputePasswordDigest(Typed(PasswordDlg->edtNewPassword1)));
        m_registry.SetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, kPasswordSwitch, kPasswordOn);
        mmSetPassword->setEnabled(false);
        mmChgPassword->setEnabled(true);
        mmDelPassword->setEnabled(true);
        m_services.sink.Show("パスワードを設定しました。", kInfoCaption,
                             platform::MB_ICONINFORMATION);
    });
}

void TfrmMain::mmChgPasswordClick() {
    RunGuarded(kChangePassword, [this] {
        if (!AskPassword(*this, TPasswordDlg::kChange)) {
            return;
        }
        if (!CheckPassword(m_registry, Typed(PasswordDlg->edtPassword))) {
            m_services.sink.Show(kWrongPassword, kWarningCaption, platform::MB_ICONWARNING);
            return;
        }
        if (!NewEntriesAgree()) {
            m_services.sink.Show("新しいパスワードが間違っています。", kWarningCaption,
                                 platform::MB_ICONWARNING);
            return;
        }
        m_registry.SetRegString(HKEY_LOCAL_MACHINE, kSettingsKey, kDigestValue,
                                ComputePasswordDigest(Typed(PasswordDlg->edtNewPassword1)));
        m_services.sink.Show("パスワードを変更しました。", kInfoCaption,
                             platform::MB_ICONINFORMATION);
    });
}

void TfrmMain::mmDelPasswordClick() {
    RunGuarded(kDeletePassword, [this] {
        if (!AskPassword(*this, TPasswordDlg::kEnter)) {
            return;
        }
        if (!CheckPassword(m_registry, Typed(PasswordDlg->edtPassword))) {
            m_services.sink.Show(kWrongPassword, kWarningCaption, platform::MB_ICONWARNING);
            return;
        }
        m_registry.SetRegString(HKEY_LOCAL_MACHINE, kSettingsKey, kDigestValue,
                                kClearedPasswordDigest);
        m_registry.SetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, kPasswordSwitch, kPasswordOff);
        mmSetPassword->setEnabled(true);
        mmChgPassword->setEnabled(false);
        mmDelPassword->setEnabled(false);
        m_services.sink.Show("パスワードを削除しました。", kInfoCaption,
                             platform::MB_ICONINFORMATION);
    });
}

void TfrmMain::mmVersionClick() {
    RunGuarded(kPasswordOrVersion, [] {
        if (AboutBox != nullptr) {
            AboutBox->exec();
        }
    });
}

void TfrmMain::mmExitClick() {
    FormClose();
}

void TfrmMain::Timer1Timer() {
    Timer1->stop();
    if (m_registry.GetRegInteger(HKEY_LOCAL_MACHINE, kSettingsKey, kStatusValue) == 1) {
        FormClose();
        return;
    }
    m_watchers.FollowPrinters();
    // A share that came back is noticed even when nobody prints.
    if (++m_ticksSinceRetry >= 5) {
        m_ticksSinceRetry = 0;
        m_files.RetryPendingRecords();
    }
    if (m_closePending) {
        FormClose();
        return;
    }
    Timer1->start();
}
