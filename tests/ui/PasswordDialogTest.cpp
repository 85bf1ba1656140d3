#include <gtest/gtest.h>

#include <sys/stat.h>
#include <map>

#include <QScreen>
#include <QTest>
#include <QTimer>
#include <deque>
#include <map>

#include "admin/Password.h"
#include "platform/scripted/ScriptedSpooler.h"
#include "support/TestSupport.h"
#include "ui/PasswordDialog.h"
#include "ui/TrayController.h"

using namespace testsupport;

namespace {

constexpr const char* kWrong = "パスワードが間違っています。";
constexpr const char* kWrongNew = "新しいパスワードが間違っています。";
constexpr const char* kWarning = "Tessaroven 警告";
constexpr const char* kInfo = "Tessaroven";
constexpr const char* kEnterCaption = "パスワードを入力してください。";
constexpr const char* kChangeCaption = "パスワードの変更";
constexpr const char* kSetCaption = "パスワードの設定";

// What the user types into the dialog and which button ends it.
struct Answer {
    std::string password;
    std::string first;
    std::string second;
    bool ok = true;
};

Answer Ok(std::string password, std::string first = {}, std::string second = {}) {
    return {std::move(password), std::move(first), std::move(second), true};
}
Answer Cancel(std::string password, std::string first = {}, std::string second = {}) {
    return {std::move(password), std::move(first), std::move(second), false};
}

// How the dialog looked from inside its modal loop.
struct Showing {
    int mode = 0;
    int kind = -1;
    QString caption;
};

// Plays the user at every showing of the dialog: notes the showing, types the next answer and
// presses its button. No showing, no answer: nothing is left pending for a later test.
class Answerer final : public QObject {
  public:
    Answerer(PasswordDialog& dialog, std::function<int()> mode, std::function<int()> kind)
        : m_dialog(dialog), m_mode(std::move(mode)), m_kind(std::move(kind)) {
        m_dialog.installEventFilter(this);
    }
    void Queue(const Answer& answer) { m_answers.push_back(answer); }
    const std::vector<Showing>& Showings() const { return m_showings; }
    void Forget() { m_showings.clear(); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &m_dialog && event->type() == QEvent::Show) {
            QTimer::singleShot(0, this, [this] { Respond(); });
        }
        return false;
    }

  private:
    void Respond() {
        m_showings.push_back({m_mode(), m_kind(), m_dialog.windowTitle()});
        if (m_answers.empty()) {
            ADD_FAILURE() << "the dialog was shown once more than expected";
            m_dialog.cancelButton->click();
            return;
        }
        const Answer answer = m_answers.front();
        m_answers.pop_front();
        m_dialog.passwordEdit->setText(QString::fromStdString(answer.password));
        m_dialog.newPasswordEdit->setText(QString::fromStdString(answer.first));
        m_dialog.repeatPasswordEdit->setText(QString::fromStdString(answer.second));
        (answer.ok ? m_dialog.okButton : m_dialog.cancelButton)->click();
    }

    PasswordDialog& m_dialog;
    std::function<int()> m_mode;
    std::function<int()> m_kind;
    std::deque<Answer> m_answers;
    std::vector<Showing> m_showings;
};

// Keeps every message together with the window kind the tray had while it was shown.
class NotingSink final : public platform::MessageSink {
  public:
    struct Message {
        std::string text;
        std::string caption;
        int flag;
        int kind;
    };
    void Show(const std::string& text, const std::string& caption, int flag) override {
        m_messages.push_back({text, caption, flag, kind ? kind() : -1});
    }
    const std::vector<Message>& Messages() const { return m_messages; }

    std::function<int()> kind;

  private:
    std::vector<Message> m_messages;
};

bool operator==(const NotingSink::Message& a, const NotingSink::Message& b) {
    return a.text == b.text && a.caption == b.caption && a.flag == b.flag && a.kind == b.kind;
}
std::ostream& operator<<(std::ostream& out, const NotingSink::Message& m) {
    return out << "{" << m.text << ", " << m.caption << ", " << m.flag << ", kind " << m.kind
               << "}";
}

// A tray controller on private stores with the password dialog it shows, answered by script.
struct PasswordWorld {
    Stores stores;
    platform::ScriptedSpooler spooler;
    NotingSink sink;
    std::unique_ptr<TrayController> tray;
    std::unique_ptr<PasswordDialog> dialog;
    std::unique_ptr<Answerer> user;

    // With a switch, the stored digest is that of the password (or the cleared one).
    explicit PasswordWorld(std::optional<int> passwordSwitch = std::nullopt,
                           std::optional<std::string> password = std::nullopt) {
        if (passwordSwitch) {
            stores.machine.Write(kSettingsKey, "PGSpoolOnOff",
                                 platform::StoredValue::Dw(*passwordSwitch));
        }
        if (password) {
            stores.machine.Write(kSettingsKey, "PGSpoolSize",
                                 platform::StoredValue::Sz(ComputePasswordDigest(*password)));
        } else if (passwordSwitch == 2) {
            stores.machine.Write(kSettingsKey, "PGSpoolSize",
                                 platform::StoredValue::Sz(kClearedPasswordDigest));
        }
        tray = std::make_unique<TrayController>(
            TrayServices{spooler, sink, stores.machine, stores.user});
        sink.kind = [this] { return tray->OpenWindowKind(); };
        dialog = std::make_unique<PasswordDialog>([this] { return tray->PasswordDialogMode(); });
        user = std::make_unique<Answerer>(
            *dialog, [this] { return tray->PasswordDialogMode(); },
            [this] { return tray->OpenWindowKind(); });
        passwordDialog = dialog.get();
    }
    ~PasswordWorld() { passwordDialog = nullptr; }

    // The two stored values as text: "-" when missing.
    std::string Stored() const {
        std::string text;
        for (const char* name : {"PGSpoolSize", "PGSpoolOnOff"}) {
            const auto v = stores.machine.Read(kSettingsKey, name);
            if (!v) {
                text += "-";
            } else if (v->type == platform::ValueType::Dword) {
                text += std::to_string(v->dword);
            } else {
                text += v->bytes;
            }
            text += "|";
        }
        return text;
    }
    // Which of set, change and delete are enabled.
    std::string Menu() const {
        return std::string(tray->setPasswordAction->isEnabled() ? "S" : "-") +
               (tray->changePasswordAction->isEnabled() ? "C" : "-") +
               (tray->deletePasswordAction->isEnabled() ? "D" : "-");
    }
    const std::vector<NotingSink::Message>& Messages() const { return sink.Messages(); }
};

// Everything about the dialog a showing decides, read from inside its modal loop.
struct Layout {
    QString caption;
    std::vector<bool> visible;  // the three labels, then the three edits
    QWidget* focus = nullptr;
    std::vector<int> tops;     // of the visible labels and edits, in the same order
    std::vector<int> centres;  // their vertical centres
    int height = 0;
    int okTop = 0;
    int cancelTop = 0;
    std::vector<QString> texts;

    bool operator==(const Layout&) const = default;
};

Layout Read(PasswordDialog& d) {
    Layout l;
    l.caption = d.windowTitle();
    l.focus = d.focusWidget();
    for (QWidget* w :
         std::initializer_list<QWidget*>{d.passwordLabel, d.newPasswordLabel, d.repeatPasswordLabel,
                                         d.passwordEdit, d.newPasswordEdit, d.repeatPasswordEdit}) {
        l.visible.push_back(w->isVisible());
        if (w->isVisible()) {
            l.tops.push_back(w->y());
            l.centres.push_back(w->geometry().center().y());
        }
    }
    l.height = d.height();
    l.okTop = d.okButton->y();
    l.cancelTop = d.cancelButton->y();
    l.texts = {d.passwordEdit->text(), d.newPasswordEdit->text(), d.repeatPasswordEdit->text()};
    return l;
}

// Shows the dialog in a mode, reads it, types into it and closes it.
Layout ShowAndRead(PasswordDialog& d, int& mode, int shownMode) {
    mode = shownMode;
    Layout seen;
    QTimer::singleShot(0, [&] {
        seen = Read(d);
        d.passwordEdit->setText("typed");
        d.newPasswordEdit->setText("typed");
        d.repeatPasswordEdit->setText("typed");
        d.okButton->click();
    });
    EXPECT_EQ(d.exec(), QDialog::Accepted);
    return seen;
}

}  // namespace

TEST(PasswordDialog, EachModeShowsItsOwnRows) {
    int mode = 0;
    PasswordDialog d([&] { return mode; });
    struct Case {
        int mode;
        const char* caption;
        std::vector<bool> visible;
        QWidget* focus;
    };
    const std::vector<Case> cases = {
        {1, kEnterCaption, {true, false, false, true, false, false}, d.passwordEdit},
        {2, kChangeCaption, {true, true, true, true, true, true}, d.passwordEdit},
        {3, kSetCaption, {false, true, true, false, true, true}, d.newPasswordEdit},
    };
    // Twice round, so that every mode follows every other at least once.
    std::map<int, int> heights;
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : cases) {
            const Layout seen = ShowAndRead(d, mode, c.mode);
            SCOPED_TRACE(c.mode);
            EXPECT_EQ(seen.caption, QString::fromUtf8(c.caption));
            EXPECT_EQ(seen.visible, c.visible);
            EXPECT_EQ(seen.focus, c.focus);
            // The rows shown stack from the top without gaps for the hidden ones, each label
            // beside its edit; the buttons below them.
            const size_t n = seen.tops.size() / 2;
            ASSERT_EQ(seen.tops.size(), seen.centres.size());
            for (size_t i = 0; i < n; ++i) {
                EXPECT_EQ(seen.centres[i], seen.centres[n + i]);
                if (i > 0) {
                    EXPECT_GT(seen.tops[n + i], seen.tops[n + i - 1]);
                }
            }
            EXPECT_LE(seen.tops[n], 20);
            EXPECT_GT(seen.okTop, seen.centres.back());
            EXPECT_EQ(seen.cancelTop, seen.okTop);
            heights[c.mode] = seen.height;
            // What the last showing left typed is gone.
            EXPECT_EQ(seen.texts, std::vector<QString>(3));
        }
    }
    // One row, two rows, three rows.
    EXPECT_LT(heights[1], heights[3]);
    EXPECT_LT(heights[3], heights[2]);
    // After it closes, the entries stay for the command to read.
    EXPECT_EQ(d.repeatPasswordEdit->text(), "typed");
}

TEST(PasswordDialog, AnUnknownModeKeepsTheLastLayoutButStillClearsTheEntries) {
    int mode = 0;
    PasswordDialog d([&] { return mode; });
    Layout set = ShowAndRead(d, mode, 3);
    for (const int unknown : {0, 4, -1}) {
        Layout again = ShowAndRead(d, mode, unknown);
        EXPECT_EQ(again.texts, std::vector<QString>(3)) << unknown;
        // Focus is whatever Qt gives; only the layout must stay.
        again.focus = set.focus;
        EXPECT_EQ(again, set) << unknown;
    }
    Layout enter = ShowAndRead(d, mode, 1);
    EXPECT_EQ(enter.caption, QString::fromUtf8(kEnterCaption));
    Layout unknown = ShowAndRead(d, mode, 9);
    unknown.focus = enter.focus;
    EXPECT_EQ(unknown, enter);
}

TEST(PasswordDialog, FixedPartsLookAndBehaveAsADialog) {
    int mode = 2;
    PasswordDialog d([&] { return mode; });
    EXPECT_EQ(d.passwordLabel->text(), QString::fromUtf8("パスワードの入力 :"));
    EXPECT_EQ(d.newPasswordLabel->text(), QString::fromUtf8("新パスワードの入力 :"));
    EXPECT_EQ(d.repeatPasswordLabel->text(), QString::fromUtf8("新パスワードの再入力 :"));
    EXPECT_EQ(d.okButton->text(), "OK");
    EXPECT_EQ(d.cancelButton->text(), QString::fromUtf8("キャンセル"));
    // Labels right-aligned against their edits, which line up.
    for (QLabel* l : {d.passwordLabel, d.newPasswordLabel, d.repeatPasswordLabel}) {
        EXPECT_EQ(l->geometry(),
                  d.passwordLabel->geometry().translated(0, l->y() - d.passwordLabel->y()));
        EXPECT_TRUE(l->alignment() & Qt::AlignRight);
        EXPECT_TRUE(l->alignment() & Qt::AlignVCenter);
    }
    for (QLineEdit* e : {d.passwordEdit, d.newPasswordEdit, d.repeatPasswordEdit}) {
        EXPECT_EQ(e->x(), d.passwordEdit->x());
        EXPECT_GT(e->x(), d.passwordLabel->geometry().right());
        EXPECT_GE(e->width(), 201);
        EXPECT_EQ(e->echoMode(), QLineEdit::Password);
    }
    EXPECT_TRUE(d.okButton->isDefault());
    EXPECT_FALSE(d.windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(d.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(d.windowFlags() & Qt::WindowTitleHint);

    // Masked, and long passwords are kept whole.
    const QString longText(300, QChar('k'));
    d.passwordEdit->setText(longText);
    EXPECT_EQ(d.passwordEdit->text(), longText);
    EXPECT_NE(d.passwordEdit->displayText(), longText);

    // Tab walks the edits, then OK and Cancel; Enter in an edit is OK.
    std::vector<QWidget*> order;
    bool centred = false;
    QTimer::singleShot(0, [&] {
        const QRect screen = d.screen()->availableGeometry();
        centred = (d.frameGeometry().center() - screen.center()).manhattanLength() <= 1;
        for (int i = 0; i < 5; ++i) {
            order.push_back(d.focusWidget());
            QTest::keyClick(d.focusWidget(), Qt::Key_Tab);
        }
        order.push_back(d.focusWidget());
        QTest::keyClicks(d.passwordEdit, "pw");
        QTest::keyClick(d.passwordEdit, Qt::Key_Return);
    });
    EXPECT_EQ(d.exec(), QDialog::Accepted);
    EXPECT_TRUE(centred);
    EXPECT_EQ(order, (std::vector<QWidget*>{d.passwordEdit, d.newPasswordEdit, d.repeatPasswordEdit,
                                            d.okButton, d.cancelButton, d.passwordEdit}));
    EXPECT_EQ(d.passwordEdit->text(), "pw");

    // Esc and Cancel reject.
    QTimer::singleShot(0, [&] { QTest::keyClick(d.focusWidget(), Qt::Key_Escape); });
    EXPECT_EQ(d.exec(), QDialog::Rejected);
    QTimer::singleShot(0, [&] { d.cancelButton->click(); });
    EXPECT_EQ(d.exec(), QDialog::Rejected);
}

TEST(PasswordCommands, SettingTakesTwoEqualEntries) {
    // Never set, and set once and deleted again, behave alike.
    for (const std::optional<int> start : {std::optional<int>(), std::optional<int>(2)}) {
        PasswordWorld w(start);
        const std::string before = w.Stored();
        ASSERT_EQ(w.Menu(), "S--");
        for (const Answer& a :
             {Ok("", "alpha", "alphx"), Ok("", "", ""), Ok("", "alpha", ""), Ok("alpha", "", "")}) {
            w.user->Queue(a);
            w.tray->SetPassword();
        }
        const NotingSink::Message warning{kWrong, kWarning, 48, TrayController::kPasswordOrVersion};
        EXPECT_EQ(w.Messages(), std::vector<NotingSink::Message>(4, warning));
        EXPECT_EQ(w.Stored(), before);
        EXPECT_EQ(w.Menu(), "S--");

        w.user->Queue(Ok("", "alpha", "alpha"));
        w.tray->SetPassword();
        EXPECT_EQ(w.Messages().back(), (NotingSink::Message{"パスワードを設定しました。", kInfo, 64,
                                                            TrayController::kPasswordOrVersion}));
        EXPECT_EQ(w.Stored(), "10338101|1|");
        EXPECT_EQ(w.Menu(), "-CD");
        EXPECT_EQ(w.tray->OpenWindowKind(), TrayController::kNone);
        for (const Showing& s : w.user->Showings()) {
            EXPECT_EQ(s.mode, 3);
            EXPECT_EQ(s.caption, QString::fromUtf8(kSetCaption));
            EXPECT_EQ(s.kind, TrayController::kPasswordOrVersion);
        }
        EXPECT_EQ(w.user->Showings().size(), 5u);
    }
}

TEST(PasswordCommands, ChangingTakesTheCurrentPasswordFirst) {
    PasswordWorld w(1, "alpha");
    ASSERT_EQ(w.Menu(), "-CD");
    const std::string before = w.Stored();

    // A wrong current password fails even when the new entries agree.
    w.user->Queue(Ok("alphaa", "beta", "beta"));
    w.tray->ChangePassword();
    w.user->Queue(Ok("", "beta", "beta"));
    w.tray->ChangePassword();
    // Both wrong: the current password is what it names.
    w.user->Queue(Ok("alphaa", "beta", "betb"));
    w.tray->ChangePassword();
    // The right one with new entries that differ or are empty.
    w.user->Queue(Ok("alpha", "beta", "betb"));
    w.tray->ChangePassword();
    w.user->Queue(Ok("alpha", "", ""));
    w.tray->ChangePassword();
    const int kind = TrayController::kChangePassword;
    EXPECT_EQ(w.Messages(), (std::vector<NotingSink::Message>{{kWrong, kWarning, 48, kind},
                                                              {kWrong, kWarning, 48, kind},
                                                              {kWrong, kWarning, 48, kind},
                                                              {kWrongNew, kWarning, 48, kind},
                                                              {kWrongNew, kWarning, 48, kind}}));
    EXPECT_EQ(w.Stored(), before);

    // Any password of the same length and ends is as good as the right one.
    w.user->Queue(Ok("alXha", "beta", "beta"));
    w.tray->ChangePassword();
    EXPECT_EQ(w.Messages().back(),
              (NotingSink::Message{"パスワードを変更しました。", kInfo, 64, kind}));
    EXPECT_EQ(w.Stored(), "10091107|1|");
    EXPECT_EQ(w.Menu(), "-CD");

    // Now the old one is wrong and the new one right.
    w.user->Queue(Ok("alpha", "ベータ", "ベータ"));
    w.tray->ChangePassword();
    EXPECT_EQ(w.Messages().back().text, kWrong);
    w.user->Queue(Ok("beta", "ベータ", "ベータ"));
    w.tray->ChangePassword();
    EXPECT_EQ(w.Messages().back().text, "パスワードを変更しました。");
    EXPECT_EQ(w.Stored(), "18654786|1|");

    EXPECT_EQ(w.user->Showings().size(), 8u);
    for (const Showing& s : w.user->Showings()) {
        EXPECT_EQ(s.mode, 2);
        EXPECT_EQ(s.caption, QString::fromUtf8(kChangeCaption));
        EXPECT_EQ(s.kind, kind);
    }
}

TEST(PasswordCommands, DeletingTakesTheCurrentPassword) {
    PasswordWorld w(1, "alpha");
    const std::string before = w.Stored();
    const int kind = TrayController::kDeletePassword;

    // The new-password edits are not even looked at.
    w.user->Queue(Ok("beta", "alpha", "alpha"));
    w.tray->DeletePassword();
    w.user->Queue(Ok(""));
    w.tray->DeletePassword();
    EXPECT_EQ(w.Messages(), (std::vector<NotingSink::Message>{{kWrong, kWarning, 48, kind},
                                                              {kWrong, kWarning, 48, kind}}));
    EXPECT_EQ(w.Stored(), before);
    EXPECT_EQ(w.Menu(), "-CD");

    w.user->Queue(Ok("alpha"));
    w.tray->DeletePassword();
    EXPECT_EQ(w.Messages().back(),
              (NotingSink::Message{"パスワードを削除しました。", kInfo, 64, kind}));
    EXPECT_EQ(w.Stored(), "60319528|2|");
    EXPECT_EQ(w.Menu(), "S--");
    EXPECT_FALSE(CheckPassword(w.tray->Settings(), "alpha"));
    EXPECT_FALSE(CheckPassword(w.tray->Settings(), ""));

    EXPECT_EQ(w.user->Showings().size(), 3u);
    for (const Showing& s : w.user->Showings()) {
        EXPECT_EQ(s.mode, 1);
        EXPECT_EQ(s.caption, QString::fromUtf8(kEnterCaption));
        EXPECT_EQ(s.kind, kind);
    }

    // A new password can be set again afterwards.
    w.user->Queue(Ok("", "gamma", "gamma"));
    w.tray->SetPassword();
    EXPECT_EQ(w.Messages().back().text, "パスワードを設定しました。");
    EXPECT_TRUE(CheckPassword(w.tray->Settings(), "gamma"));
    EXPECT_EQ(w.Menu(), "-CD");
}

TEST(PasswordCommands, OptionsAskForThePasswordOnlyWhileOneIsInForce) {
    {
        PasswordWorld w(1, "alpha");
        w.user->Queue(Cancel("alpha"));
        w.tray->ShowOptions();
        EXPECT_TRUE(w.Messages().empty());

        // The warning comes once the dialog is closed and nothing is open any more.
        w.user->Queue(Ok("alphx"));
        w.tray->ShowOptions();
        EXPECT_EQ(
            w.Messages(),
            (std::vector<NotingSink::Message>{{kWrong, kWarning, 48, TrayController::kNone}}));

        w.user->Queue(Ok("alpha"));
        w.tray->ShowOptions();
        EXPECT_EQ(w.Messages().size(), 1u);
        EXPECT_EQ(w.tray->OpenWindowKind(), TrayController::kNone);

        ASSERT_EQ(w.user->Showings().size(), 3u);
        for (const Showing& s : w.user->Showings()) {
            EXPECT_EQ(s.mode, 1);
            EXPECT_EQ(s.caption, QString::fromUtf8(kEnterCaption));
            EXPECT_EQ(s.kind, TrayController::kPasswordOrVersion);
        }
        EXPECT_EQ(w.Stored(), "10338101|1|");
    }
    {
        // In force with no digest stored: only the empty password gets through.
        PasswordWorld w(1);
        w.user->Queue(Ok("x"));
        w.tray->ShowOptions();
        w.user->Queue(Ok(""));
        w.tray->ShowOptions();
        EXPECT_EQ(
            w.Messages(),
            (std::vector<NotingSink::Message>{{kWrong, kWarning, 48, TrayController::kNone}}));
    }
    for (const std::optional<int> off :
         {std::optional<int>(2), std::optional<int>(0), std::optional<int>()}) {
        PasswordWorld w(off);
        w.tray->ShowOptions();
        EXPECT_TRUE(w.user->Showings().empty());
        EXPECT_TRUE(w.Messages().empty());
    }
}

TEST(PasswordCommands, CancelEndsAnyCommandQuietly) {
    {
        PasswordWorld w;
        w.user->Queue(Cancel("", "alpha", "alpha"));
        w.tray->SetPassword();
        EXPECT_EQ(w.Stored(), "-|-|");
        EXPECT_EQ(w.Menu(), "S--");
        EXPECT_EQ(w.user->Showings().size(), 1u);
    }
    PasswordWorld w(1, "alpha");
    const std::string before = w.Stored();
    w.user->Queue(Cancel("alpha", "beta", "beta"));
    w.tray->ChangePassword();
    w.user->Queue(Cancel("alpha"));
    w.tray->DeletePassword();
    w.user->Queue(Cancel("wrong"));
    w.tray->ShowOptions();
    EXPECT_TRUE(w.Messages().empty());
    EXPECT_EQ(w.Stored(), before);
    EXPECT_EQ(w.Menu(), "-CD");
    EXPECT_EQ(w.user->Showings().size(), 3u);
    EXPECT_EQ(w.tray->OpenWindowKind(), TrayController::kNone);
}

TEST(PasswordCommands, ARefusedWriteStillReportsSuccess) {
    if (!CanTestRefusals()) {
        GTEST_SKIP() << testsupport::kCannotTestRefusals;
    }
    PasswordWorld w(2);
    const std::string before = w.Stored();
    ASSERT_EQ(before, "60319528|2|");
    chmod((w.stores.dir / "machine.db").c_str(), 0644);
    const int code = RunInChild(
        [&] {
            w.user->Queue(Ok("", "alpha", "alpha"));
            w.tray->SetPassword();
            if (w.Messages().size() != 1 || w.Messages()[0].text != "パスワードを設定しました。") {
                return 1;
            }
            if (w.Stored() != before) {
                return 2;
            }
            return w.Menu() == "-CD" ? 0 : 3;
        },
        true);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(w.Stored(), before);
}
