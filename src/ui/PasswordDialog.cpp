#include "ui/PasswordDialog.h"

#include <QBoxLayout>
#include <QFontInfo>
#include <QGridLayout>
#include <QScreen>
#include <tuple>

PasswordDialog* passwordDialog = nullptr;

namespace {

// The designed sizes, drawn for a 12-pixel font; they grow with the desktop font.
constexpr int kEditWidth = 201;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

int Scaled(const QWidget* w, int designed) {
    return designed * QFontInfo(w->font()).pixelSize() / 12;
}

}  // namespace

PasswordDialog::PasswordDialog(std::function<int()> mode, QWidget* parent)
    : QDialog(parent), m_mode(std::move(mode)) {
    // A dialog border without system menu or close box: OK, Cancel, Enter or Esc close it.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    auto* rows = new QGridLayout;
    rows->setHorizontalSpacing(6);
    rows->setVerticalSpacing(3);
    auto row = [&](const char* caption) {
        auto* l = new QLabel(QString::fromUtf8(caption), this);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        auto* e = new QLineEdit(this);
        e->setEchoMode(QLineEdit::Password);
        e->setMinimumWidth(Scaled(this, kEditWidth));
        const int at = rows->rowCount();
        rows->addWidget(l, at, 0);
        rows->addWidget(e, at, 1);
        return std::pair{l, e};
    };
    std::tie(passwordLabel, passwordEdit) = row("パスワードの入力 :");
    std::tie(newPasswordLabel, newPasswordEdit) = row("新パスワードの入力 :");
    std::tie(repeatPasswordLabel, repeatPasswordEdit) = row("新パスワードの再入力 :");

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    // Esc rejects the dialog on its own, the same as this button.
    cancelButton = new QPushButton(QString::fromUtf8("キャンセル"), this);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton* b : {okButton, cancelButton}) {
        b->setMinimumSize(Scaled(this, kButtonWidth), Scaled(this, kButtonHeight));
        buttons->addWidget(b);
    }
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, Scaled(this, 11), 8, Scaled(this, 14));
    layout->setSpacing(Scaled(this, 14));
    layout->addLayout(rows);
    layout->addLayout(buttons);
    // As large as the rows shown need, and no larger: hidden rows take no room.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(passwordEdit, newPasswordEdit);
    setTabOrder(newPasswordEdit, repeatPasswordEdit);
    setTabOrder(repeatPasswordEdit, okButton);
    setTabOrder(okButton, cancelButton);

    Arrange(kChange);
}

bool PasswordDialog::Arrange(int mode) {
    // Per mode: caption and which of the current and the two new-password rows show.
    struct Layout {
        const char* caption;
        bool current;
        bool fresh;
    };
    static const Layout kLayouts[] = {
        {"パスワードを入力してください。", true, false},
        {"パスワードの変更", true, true},
        {"パスワードの設定", false, true},
    };
    if (mode < kEnter || mode > kSet) {
        return false;
    }
    const Layout& l = kLayouts[mode - kEnter];
    setWindowTitle(QString::fromUtf8(l.caption));
    for (QWidget* w : {static_cast<QWidget*>(passwordLabel), static_cast<QWidget*>(passwordEdit)}) {
        w->setVisible(l.current);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{newPasswordLabel, newPasswordEdit,
                                                      repeatPasswordLabel, repeatPasswordEdit}) {
        w->setVisible(l.fresh);
    }
    layout()->activate();
    return true;
}
void PasswordDialog::showEvent(QShowEvent* event) {
    // Nothing typed at an earlier showing is offered again.
    passwordEdit->clear();
    newPasswordEdit->clear();
    repeatPasswordEdit->clear();
    const int mode = m_mode ? m_mode() : 0;
    if (Arrange(mode)) {
        (mode == kSet ? newPasswordEdit : passwordEdit)->setFocus();
    }
    // Centred on the screen at every showing, after the height has settled.
    if (const QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}
