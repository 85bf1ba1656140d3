// Every window opened at the desktop font sizes offices use: no text may be cut off, no widget
// may stick out of its frame or touch its neighbour.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <cstdlib>

#include "spool/SpoolScript.h"
#include "ui/AboutBox.h"
#include "ui/OptionsDialog.h"
#include "ui/PasswordDialog.h"
#include "ui/PrintLogWindow.h"
#include "ui/PrintTotalsWindow.h"

using namespace testsupport;

namespace {

// A widget named by its class and what it shows.
QString Name(const QWidget* w) {
    QString shown;
    if (const auto* label = qobject_cast<const QLabel*>(w)) {
        shown = label->text();
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(w)) {
        shown = button->text();
    } else if (const auto* box = qobject_cast<const QGroupBox*>(w)) {
        shown = box->title();
    } else if (const auto* edit = qobject_cast<const QLineEdit*>(w)) {
        shown = edit->text();
    }
    return QString("%1 \"%2\"").arg(w->metaObject()->className(), shown.left(24));
}

// The room a widget needs around one line of its text: a frame, an arrow, an indicator.
std::optional<std::pair<QString, QSize>> TextAndPadding(const QWidget* w) {
    if (const auto* label = qobject_cast<const QLabel*>(w)) {
        if (label->wordWrap() || label->textFormat() == Qt::RichText) {
            return std::nullopt;
        }
        const int margin = 2 * label->margin() + std::max(0, label->indent());
        return std::pair{label->text(), QSize(margin, 0)};
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(w)) {
        if (qobject_cast<const QPushButton*>(w) != nullptr) {
            return std::pair{button->text(), QSize(12, 4)};
        }
        // A check box or radio button: the indicator comes before the text.
        return std::pair{button->text(),
                         QSize(button->sizeHint().width() -
                                   button->fontMetrics().horizontalAdvance(button->text()),
                               0)};
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(w)) {
        // A figure in a read-only edit must show whole; an elided one shows whole in its tooltip.
        if (!edit->isReadOnly() || edit->toolTip() == edit->text()) {
            return std::nullopt;
        }
        const int chrome = edit->minimumSizeHint().width() - edit->fontMetrics().maxWidth();
        return std::pair{edit->text(), QSize(chrome, 0)};
    }
    if (const auto* combo = qobject_cast<const QComboBox*>(w)) {
        return std::pair{combo->currentText(), QSize(28, 4)};
    }
    if (const auto* spin = qobject_cast<const QAbstractSpinBox*>(w)) {
        return std::pair{spin->text(), QSize(28, 4)};
    }
    return std::nullopt;
}

// Everything wrong with the layout of a shown window, one line each.
QStringList LayoutFaults(QWidget& top) {
    QStringList faults;
    for (QWidget* w : top.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&top) || w->isWindow()) {
            continue;
        }
        const QFontMetrics fm = w->fontMetrics();
        if (auto text = TextAndPadding(w); text && !text->first.isEmpty()) {
            QString plain = text->first;
            plain.remove('&');
            const QSize room = w->contentsRect().size() - text->second;
            if (fm.horizontalAdvance(plain) > room.width() || fm.height() > room.height()) {
                faults << QString("%1 cuts its text (%2x%3)")
                              .arg(Name(w))
                              .arg(w->width())
                              .arg(w->height());
            }
        }
        if (auto* box = qobject_cast<QGroupBox*>(w)) {
            if (fm.horizontalAdvance(box->title()) + 16 > box->width()) {
                faults << QString("%1 cuts its title").arg(Name(w));
            }
        }
        if (auto* header = qobject_cast<QHeaderView*>(w)) {
            for (int s = 0; s < header->count(); ++s) {
                const QString title =
                    header->model()->headerData(s, header->orientation()).toString();
                if (!header->isSectionHidden(s) &&
                    header->sectionSize(s) < fm.horizontalAdvance(title) + 8) {
                    faults << QString("%1 cuts column \"%2\"").arg(Name(w), title);
                }
            }
        }
        // Within the parent, and apart from the buttons beside it.
        QWidget* parent = w->parentWidget();
        if (parent != nullptr && !parent->rect().contains(w->geometry())) {
            faults << QString("%1 sticks out of %2").arg(Name(w), Name(parent));
        }
        if (qobject_cast<QAbstractButton*>(w) != nullptr && parent != nullptr) {
            for (auto* other : parent->findChildren<QAbstractButton*>(Qt::FindDirectChildrenOnly)) {
                if (other < w && other->isVisibleTo(&top) &&
                    other->geometry().adjusted(-1, -1, 1, 1).intersects(w->geometry())) {
                    faults << QString("%1 touches %2").arg(Name(w), Name(other));
                }
            }
        }
    }
    return faults;
}

struct FontSize {
    explicit FontSize(int points) : m_old(QApplication::font()) {
        QFont f = m_old;
        f.setPointSize(points);
        QApplication::setFont(f);
    }
    ~FontSize() { QApplication::setFont(m_old); }
    QFont m_old;
};

// The faults of a window, one per line; empty when it has none. With TESSAROVEN_LAYOUT_SHOTS
// naming a folder, each window as checked is saved there as a picture, to be looked at.
std::string Check(QWidget& window) {
    window.show();
    QApplication::processEvents();
    const QStringList faults = LayoutFaults(window);
    if (const char* shots = std::getenv("TESSAROVEN_LAYOUT_SHOTS"); shots != nullptr) {
        static int taken = 0;
        window.grab().save(QString("%1/%2-%3-%4pt.png")
                               .arg(shots)
                               .arg(++taken, 2, 10, QChar('0'))
                               .arg(window.metaObject()->className())
                               .arg(QApplication::font().pointSize()));
    }
    window.hide();
    return faults.join('\n').toStdString();
}

}  // namespace

TEST(Layout, NoWindowCutsTextFromNineToTwelvePoints) {
    PrintDataFixture world;
    WriteFile(world.data / "PrintData_amy.dat",
              "1,20260601090000,経理部のカラー複合機,\\\\KEIRI-PC-01,山田 花子,12,12\r\r\n");
    PrinterSlots printers;
    printers.entries.resize(1);
    printers.At(0).printerName = "経理部のカラー複合機";
    platform::ManualClock clock{{2026, 6, 0, 20, 9, 0, 0, 0}};
    DiagnosticLog log{clock};
    ReportContext reports{world.files, printers, world.reg, log, world.sink, clock};
    OptionsContext options{world.files, world.reg, world.sink,
                           [](const QString&, const QString&) { return QString(); }};
    for (int points : {9, 11, 12}) {
        SCOPED_TRACE(points);
        FontSize size(points);
        OptionsDialog optionsDialog(options);
        EXPECT_EQ(Check(optionsDialog), "");
        PrintLogWindow logWindow(reports);
        EXPECT_EQ(Check(logWindow), "");
        PrintTotalsWindow totals(reports);
        EXPECT_EQ(Check(totals), "");
        totals.show();  // and again with the chart open over a count
        totals.Calculate();
        totals.chartButton->setChecked(true);
        EXPECT_EQ(Check(totals), "");
        AboutBox about(nullptr, "https://example.org/tessaroven");
        EXPECT_EQ(Check(about), "");
        for (int mode : {PasswordDialog::kEnter, PasswordDialog::kChange, PasswordDialog::kSet}) {
            PasswordDialog password([mode] { return mode; });
            EXPECT_EQ(Check(password), "") << mode;
        }
    }
}

namespace {

// The widgets Tab visits in a shown window, from its first one round to the last.
std::vector<QWidget*> TabChain(QWidget& window) {
    std::vector<QWidget*> chain;
    for (QWidget* w = window.nextInFocusChain(); w != &window; w = w->nextInFocusChain()) {
        if (w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) != 0) {
            chain.push_back(w);
        }
    }
    return chain;
}

}  // namespace

// Tab goes through each window as it is laid out, Enter is its default button and Esc closes it.
TEST(Keyboard, TabFollowsTheLayoutEnterAndEscapeWork) {
    PrintDataFixture world;
    WriteFile(world.data / "PrintData_amy.dat", "1,20260601090000,P,\\\\PC,amy,1,1\r\r\n");
    PrinterSlots printers;
    platform::ManualClock clock{{2026, 6, 0, 20, 9, 0, 0, 0}};
    DiagnosticLog log{clock};
    ReportContext reports{world.files, printers, world.reg, log, world.sink, clock};
    OptionsDialog options({world.files, world.reg, world.sink,
                           [](const QString&, const QString&) { return QString(); }});
    PrintLogWindow logWindow(reports);
    PasswordDialog password([] { return PasswordDialog::kChange; });
    AboutBox about(nullptr, "https://example.org/tessaroven");
    using Chain = std::vector<QWidget*>;
    auto check = [](QDialog& dialog, QPushButton* defaultButton, const Chain& expected) {
        QTimer::singleShot(0, [&] {
            if (auto* o = qobject_cast<OptionsDialog*>(&dialog)) {
                o->purgeCheck->click();  // the month arrows take part only when it is checked
            }
            EXPECT_EQ(TabChain(dialog), expected) << dialog.windowTitle().toStdString();
            EXPECT_TRUE(defaultButton->isDefault());
            QTest::keyClick(dialog.focusWidget() ? dialog.focusWidget() : &dialog, Qt::Key_Escape);
        });
        EXPECT_EQ(dialog.exec(), QDialog::Rejected) << dialog.windowTitle().toStdString();
    };
    check(options, options.okButton,
          Chain{options.changeFolderButton, options.purgeCheck, options.month.previous,
                options.month.next, options.okButton, options.cancelButton});
    check(logWindow, logWindow.closeButton,
          Chain{logWindow.logGrid, logWindow.closeButton, logWindow.saveCsvButton});
    check(password, password.okButton,
          Chain{password.passwordEdit, password.newPasswordEdit, password.repeatPasswordEdit,
                password.okButton, password.cancelButton});
    check(about, about.okButton, Chain{about.linkLabel, about.okButton});
}
