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

}  // namespace

TrayController::TrayController(const TrayServices& services) : m_monitor(services, *this) {
    setWindowTitle(QStringLiteral("trayController"));
    BuildMenu();
    OfferPasswordCommands(m_monitor.PasswordSet());

    statusTimer = new QTimer(this);
    statusTimer->setInterval(1000);
    connect(statusTimer, &QTimer::timeout, this, &TrayController::PollStatus);
    statusTimer->start();
}

TrayController::~TrayController() {
    m_monitor.Shutdown();
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
    // A panel that starts after us, or restarts, gets the icon as well: Qt follows the tray
    // host and docks the icon again on its own.
    m_monitor.Start();
}

void TrayController::StopPolling() {
    statusTimer->stop();
}

void TrayController::HideTrayIcon() {
    if (trayIcon != nullptr) {
        trayIcon->hide();
    }
}

void TrayController::MonitorClosed() {
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

bool TrayController::AskPassword(int mode, PasswordEntries& entries) {
    m_passwordDialogMode = mode;
    if (passwordDialog == nullptr || ExecWindow(passwordDialog) != QDialog::Accepted) {
        return false;
    }
    entries.current = passwordDialog->passwordEdit->text().toStdString();
    entries.first = passwordDialog->newPasswordEdit->text().toStdString();
    entries.second = passwordDialog->repeatPasswordEdit->text().toStdString();
    return true;
}

void TrayController::OpenPrintTotals() {
    if (printTotalsWindow != nullptr) {
        ExecWindow(printTotalsWindow);
    }
}

void TrayController::OpenPrintLog() {
    if (printLogWindow != nullptr) {
        ExecWindow(printLogWindow);
    }
}

void TrayController::OpenOptions() {
    if (optionsDialog != nullptr) {
        ExecWindow(optionsDialog);
    }
}

void TrayController::OpenVersion() {
    if (aboutBox != nullptr) {
        ExecWindow(aboutBox);
    }
}

void TrayController::PollStatus() {
    statusTimer->stop();
    if (m_monitor.PollStatus()) {
        statusTimer->start();
    }
}
