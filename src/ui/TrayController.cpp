#include "ui/TrayController.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include <QApplication>
#include <QCursor>
#include <QFontInfo>
#include <QIcon>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOptionMenuItem>

#include "admin/Password.h"
#include "platform/Host.h"
#include "platform/SharedFile.h"
#include "ui/AboutBox.h"
#include "ui/OptionsDialog.h"
#include "ui/PasswordDialog.h"
#include "ui/PrintLogWindow.h"
#include "ui/PrintTotalsWindow.h"

TrayController* trayController = nullptr;

namespace {

constexpr const char* kStatusValue = "TessarovenStatus";
constexpr const char* kGuardText = "他のウィンドウが開かれています。閉じてから実行してください。";
constexpr const char* kWarningCaption = "Tessaroven 警告";
constexpr const char* kInfoCaption = "Tessaroven";
constexpr const char* kWrongPassword = "パスワードが間違っています。";
constexpr const char* kDigestValue = "PGSpoolSize";
constexpr const char* kPasswordSwitch = "PGSpoolOnOff";
constexpr const char* kDiagnosticLogSwitch = "DiagnosticLog";
constexpr int kPasswordOn = 1;
constexpr int kPasswordOff = 2;

// The menu measures an item's text in its font as asked, while Qt's Fusion style draws it in the
// size the font really matched (asked for 11 pt, 14.67 px, it gets 15 px: 11.25 pt) and elides
// in the middle what does not fit: at 11 or 12 pt the widest items, the password commands, read
// "パスワードの…". Each item gets the room its text takes as drawn (with its mnemonic sign).
class MenuTextRoomStyle final : public QProxyStyle {
  public:
    explicit MenuTextRoomStyle(QObject* owner)
        : QProxyStyle(QStyleFactory::create(QApplication::style()->name())) {
        setParent(owner);
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override {
        QSize room = size;
        const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
        if (type == CT_MenuItem && item != nullptr) {
            QFont drawn = item->font;
            drawn.setPointSizeF(QFontInfo(item->font).pointSizeF());
            const QString text = item->text.left(item->text.indexOf(u'\t'));
            const double width = QFontMetricsF(drawn).horizontalAdvance(text);
            room.setWidth(std::max(size.width(), static_cast<int>(std::ceil(width))));
        }
        return QProxyStyle::sizeFromContents(type, option, room, widget);
    }
};

// Shows one of the program's windows until it is closed. It is modal to itself only: modal to
// the whole application it would block the tray icon's window as well, and the menu would not
// open while it is shown. The window-open guard keeps a second window from opening instead.
int ExecWindow(QDialog* window) {
    window->setWindowModality(Qt::WindowModal);
    return window->exec();
}

// Shows the password dialog in a mode; true when it was closed with OK.
bool AskPassword(TrayController& tray, int mode) {
    tray.SetPasswordDialogMode(mode);
    return passwordDialog != nullptr && ExecWindow(passwordDialog) == QDialog::Accepted;
}

std::string Typed(const QLineEdit* edit) {
    return edit->text().toStdString();
}

// The new password is taken only when both entries agree and are not empty.
bool NewEntriesAgree() {
    const std::string first = Typed(passwordDialog->newPasswordEdit);
    return !first.empty() && first == Typed(passwordDialog->repeatPasswordEdit);
}

}  // namespace

TrayController::TrayController(const TrayServices& services)
    : m_services(services),
      m_registry(services.machineStore, services.userStore),
      m_log(services.clock),
      m_files(m_registry, services.sink),
      m_watchers(services.spooler, m_files, m_log, services.clock) {
    setWindowTitle(QStringLiteral("trayController"));

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

    BuildMenu();
    const bool passwordSet =
        m_registry.GetRegInteger(kHkeyLocalMachine, kSettingsKey, kPasswordSwitch) == kPasswordOn;
    OfferPasswordCommands(passwordSet);

    statusTimer = new QTimer(this);
    statusTimer->setInterval(1000);
    connect(statusTimer, &QTimer::timeout, this, &TrayController::PollStatus);
    statusTimer->start();
}

TrayController::~TrayController() {
    Shutdown();
    delete trayMenu;
}

void TrayController::BuildMenu() {
    trayMenu = new QMenu();
    trayMenu->setStyle(new MenuTextRoomStyle(this));
    auto item = [this](const char* caption, void (TrayController::*handler)()) {
        QAction* action = trayMenu->addAction(QString::fromUtf8(caption));
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    printTotalsAction = item("印刷情報の集計(&C)...", &TrayController::ShowPrintTotals);
    printLogAction = item("印刷ログの表示(&L)...", &TrayController::ShowPrintLog);
    optionsAction = item("オプション(&O)...", &TrayController::ShowOptions);
    trayMenu->addSeparator();
    setPasswordAction = item("パスワードの設定(&P)...", &TrayController::SetPassword);
    changePasswordAction = item("パスワードの変更(&G)...", &TrayController::ChangePassword);
    deletePasswordAction = item("パスワードの削除(&D)...", &TrayController::DeletePassword);
    trayMenu->addSeparator();
    versionAction = item("バージョン情報(&V)...", &TrayController::ShowVersion);
    // Users cannot end the monitor from the menu: the exit command and its separator are hidden.
    exitSeparator = trayMenu->addSeparator();
    exitSeparator->setVisible(false);
    exitAction = item("終了", &TrayController::Exit);
    exitAction->setVisible(false);
}

void TrayController::Start() {
    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/tessaroven.svg")), this);
    trayIcon->setToolTip(QStringLiteral("Tessaroven"));
    connect(trayIcon, &QSystemTrayIcon::activated, this, &TrayController::OnTrayActivated);
    // The offscreen platform (no display at all) never has a notification area; showing the icon
    // there only makes Qt warn on standard error at every start.
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        trayIcon->show();
    }

    m_registry.SetRegInteger(kHkeyLocalMachine, kSettingsKey, kStatusValue, 0);
    m_files.SetNames(platform::ComputerName(), platform::UserName());
    m_files.EstablishDataDirectory(platform::CommonAppDataFolder());
    // Records that could not reach the data folder before the last exit go first.
    m_files.SetPendingStore(platform::UserStateFolder() + "/waiting-records");
    m_watchers.Start();
    m_openWindowKind = kNone;
    if (m_closePending) {
        Shutdown();
        return;
    }

    // A panel that starts after us, or restarts, gets the icon as well: Qt follows the tray
    // host and docks the icon again on its own.
}

void TrayController::Shutdown() {
    if (m_closed) {
        return;
    }
    statusTimer->stop();
    if (m_watchers.Busy()) {
        // Asked to close from the events served while a watcher starts: no further watcher
        // starts, and the close runs as soon as that start has returned.
        m_watchers.CancelStart();
        m_closePending = true;
        return;
    }
    m_closed = true;
    m_stopStartedAt = static_cast<std::int64_t>(std::time(nullptr));
    if (trayIcon != nullptr) {
        trayIcon->hide();
    }
    m_watchers.Stop();
    m_registry.SetRegInteger(kHkeyLocalMachine, kSettingsKey, kStatusValue, 2);
    emit Closed();
}

void TrayController::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    // Only the right button opens the menu; clicks and double clicks do nothing.
    if (reason != QSystemTrayIcon::Context) {
        return;
    }
    activateWindow();
    trayMenu->popup(QCursor::pos());
}

void TrayController::OfferPasswordCommands(bool passwordSet) {
    setPasswordAction->setEnabled(!passwordSet);
    changePasswordAction->setEnabled(passwordSet);
    deletePasswordAction->setEnabled(passwordSet);
}

bool TrayController::AskCurrentPassword(int mode) {
    if (!AskPassword(*this, mode)) {
        return false;
    }
    if (!CheckPassword(m_registry, Typed(passwordDialog->passwordEdit))) {
        m_services.sink.Show(kWrongPassword, kWarningCaption, platform::kIconWarning);
        return false;
    }
    return true;
}

bool TrayController::GuardRefuses() {
    if (m_openWindowKind == kNone) {
        return false;
    }
    m_services.sink.Show(kGuardText, kWarningCaption, platform::kIconWarning);
    return true;
}

void TrayController::RunGuarded(int kind, const std::function<void()>& showWindow) {
    if (GuardRefuses()) {
        return;
    }
    m_openWindowKind = kind;
    showWindow();
    m_openWindowKind = kNone;
}

void TrayController::ShowPrintTotals() {
    RunGuarded(kPrintTotals, [] {
        if (printTotalsWindow != nullptr) {
            ExecWindow(printTotalsWindow);
        }
    });
}

void TrayController::ShowPrintLog() {
    RunGuarded(kPrintLog, [] {
        if (printLogWindow != nullptr) {
            ExecWindow(printLogWindow);
        }
    });
}

void TrayController::ShowOptions() {
    if (GuardRefuses()) {
        return;
    }
    // While a password is in force, only who knows it reaches the options.
    if (m_registry.GetRegInteger(kHkeyLocalMachine, kSettingsKey, kPasswordSwitch) == kPasswordOn) {
        bool accepted = false;
        bool right = false;
        RunGuarded(kPasswordOrVersion, [&] {
            accepted = AskPassword(*this, PasswordDialog::kEnter);
            right = accepted && CheckPassword(m_registry, Typed(passwordDialog->passwordEdit));
        });
        if (!accepted) {
            return;
        }
        if (!right) {
            m_services.sink.Show(kWrongPassword, kWarningCaption, platform::kIconWarning);
            return;
        }
    }
    RunGuarded(kOptions, [] {
        if (optionsDialog != nullptr) {
            ExecWindow(optionsDialog);
        }
    });
}

void TrayController::SetPassword() {
    RunGuarded(kPasswordOrVersion, [this] {
        if (!AskPassword(*this, PasswordDialog::kSet)) {
            return;
        }
        if (!NewEntriesAgree()) {
            m_services.sink.Show(kWrongPassword, kWarningCaption, platform::kIconWarning);
            return;
        }
        m_registry.SetRegString(kHkeyLocalMachine, kSettingsKey, kDigestValue,
                                ComputePasswordDigest(Typed(passwordDialog->newPasswordEdit)));
        m_registry.SetRegInteger(kHkeyLocalMachine, kSettingsKey, kPasswordSwitch, kPasswordOn);
        OfferPasswordCommands(true);
        m_services.sink.Show("パスワードを設定しました。", kInfoCaption,
                             platform::kIconInformation);
    });
}

void TrayController::ChangePassword() {
    RunGuarded(kChangePassword, [this] {
        if (!AskCurrentPassword(PasswordDialog::kChange)) {
            return;
        }
        if (!NewEntriesAgree()) {
            m_services.sink.Show("新しいパスワードが間違っています。", kWarningCaption,
                                 platform::kIconWarning);
            return;
        }
        m_registry.SetRegString(kHkeyLocalMachine, kSettingsKey, kDigestValue,
                                ComputePasswordDigest(Typed(passwordDialog->newPasswordEdit)));
        m_services.sink.Show("パスワードを変更しました。", kInfoCaption,
                             platform::kIconInformation);
    });
}

void TrayController::DeletePassword() {
    RunGuarded(kDeletePassword, [this] {
        if (!AskCurrentPassword(PasswordDialog::kEnter)) {
            return;
        }
        m_registry.SetRegString(kHkeyLocalMachine, kSettingsKey, kDigestValue,
                                kClearedPasswordDigest);
        m_registry.SetRegInteger(kHkeyLocalMachine, kSettingsKey, kPasswordSwitch, kPasswordOff);
        OfferPasswordCommands(false);
        m_services.sink.Show("パスワードを削除しました。", kInfoCaption,
                             platform::kIconInformation);
    });
}

void TrayController::ShowVersion() {
    RunGuarded(kPasswordOrVersion, [] {
        if (aboutBox != nullptr) {
            ExecWindow(aboutBox);
        }
    });
}

void TrayController::Exit() {
    Shutdown();
}

void TrayController::PollStatus() {
    statusTimer->stop();
    if (m_registry.GetRegInteger(kHkeyLocalMachine, kSettingsKey, kStatusValue) == 1) {
        Shutdown();
        return;
    }
    m_watchers.FollowPrinters();
    // A share that came back is noticed even when nobody prints.
    if (++m_ticksSinceRetry >= 5) {
        m_ticksSinceRetry = 0;
        m_files.RetryPendingRecords();
    }
    if (m_closePending) {
        Shutdown();
        return;
    }
    statusTimer->start();
}
