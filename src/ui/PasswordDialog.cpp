#include "ui/PasswordDialog.h"

#include <QScreen>
#include <algorithm>

PasswordDialog* passwordDialog = nullptr;

namespace {

constexpr int kWidth = 337;
constexpr int kLabelLeft = 8;
constexpr int kLabelWidth = 120;
constexpr int kEditLeft = 128;
constexpr int kEditWidth = 201;
constexpr int kEditHeight = 21;
constexpr int kOkLeft = 102;
constexpr int kCancelLeft = 182;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
// The designed window heights were outer heights; Qt sizes the inside. This much stays below the
// buttons, about what the designed outer height left inside.
constexpr int kBottomMargin = 16;
// Between a label's colon and its edit.
constexpr int kLabelGap = 6;

QFont DialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("MS PGothic"), QStringLiteral("Noto Sans CJK JP"),
                      QStringLiteral("Noto Sans")});
    font.setPixelSize(12);
    return font;
}

// One row: the label is as high as the edit and centres its text the way the edit does, so their
// texts share a line whatever the font. Where the font needs wider labels than designed,
// everything right of them moves over by `extra`.
void PlaceRow(QLabel* label, QLineEdit* edit, int editTop, int extra) {
    label->move(kLabelLeft, editTop);
    edit->move(kEditLeft + extra, editTop);
}

void ShowRow(QLabel* label, QLineEdit* edit, bool visible) {
    label->setVisible(visible);
    edit->setVisible(visible);
}

}  // namespace

PasswordDialog::PasswordDialog(std::function<int()> mode, QWidget* parent)
    : QDialog(parent), m_mode(std::move(mode)) {
    // A dialog border without system menu or close box: OK, Cancel, Enter or Esc close it.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFont(DialogFont());

    auto label = [this](const char* caption) {
        auto* l = new QLabel(QString::fromUtf8(caption), this);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        l->resize(kLabelWidth, kEditHeight);
        return l;
    };
    auto edit = [this] {
        auto* e = new QLineEdit(this);
        e->setEchoMode(QLineEdit::Password);
        e->resize(kEditWidth, kEditHeight);
        return e;
    };
    auto button = [this](const char* caption, int left) {
        auto* b = new QPushButton(QString::fromUtf8(caption), this);
        b->setGeometry(left, 0, kButtonWidth, kButtonHeight);
        return b;
    };

    passwordLabel = label("パスワードの入力 :");
    passwordEdit = edit();
    newPasswordLabel = label("新パスワードの入力 :");
    newPasswordEdit = edit();
    repeatPasswordLabel = label("新パスワードの再入力 :");
    repeatPasswordEdit = edit();
    okButton = button("OK", kOkLeft);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    // Esc rejects the dialog on its own, the same as this button.
    cancelButton = button("キャンセル", kCancelLeft);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    int widest = 0;
    for (QLabel* l : {passwordLabel, newPasswordLabel, repeatPasswordLabel}) {
        widest = std::max(widest, l->sizeHint().width());
    }
    m_extra = std::max(0, widest + kLabelGap - kLabelWidth);
    for (QLabel* l : {passwordLabel, newPasswordLabel, repeatPasswordLabel}) {
        l->resize(kLabelWidth + m_extra - kLabelGap, kEditHeight);
    }

    setTabOrder(passwordEdit, newPasswordEdit);
    setTabOrder(newPasswordEdit, repeatPasswordEdit);
    setTabOrder(repeatPasswordEdit, okButton);
    setTabOrder(okButton, cancelButton);

    Arrange(kChange);
}

bool PasswordDialog::Arrange(int mode) {
    // Per mode: caption, the edit tops of the current and the two new-password rows (0: row
    // hidden) and the top of the buttons.
    struct Layout {
        const char* caption;
        int currentTop;
        int new1Top;
        int new2Top;
        int buttonTop;
    };
    static const Layout kLayouts[] = {
        {"パスワードを入力してください。", 11, 0, 0, 59},
        {"パスワードの変更", 11, 35, 59, 99},
        {"パスワードの設定", 0, 11, 35, 75},
    };
    if (mode < kEnter || mode > kSet) {
        return false;
    }
    const Layout& l = kLayouts[mode - kEnter];
    setWindowTitle(QString::fromUtf8(l.caption));
    const std::pair<QLabel*, QLineEdit*> rows[] = {{passwordLabel, passwordEdit},
                                                   {newPasswordLabel, newPasswordEdit},
                                                   {repeatPasswordLabel, repeatPasswordEdit}};
    const int tops[] = {l.currentTop, l.new1Top, l.new2Top};
    for (int i = 0; i < 3; ++i) {
        ShowRow(rows[i].first, rows[i].second, tops[i] != 0);
        if (tops[i] != 0) {
            PlaceRow(rows[i].first, rows[i].second, tops[i], m_extra);
        }
    }
    setFixedSize(kWidth + m_extra, l.buttonTop + kButtonHeight + kBottomMargin);
    okButton->move(kOkLeft + m_extra / 2, l.buttonTop);
    cancelButton->move(kCancelLeft + m_extra / 2, l.buttonTop);
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
