#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <filesystem>

#include "platform/Host.h"
#include "platform/SharedFile.h"
#include "spool/SpoolScript.h"
#include "ui/OptionsDialog.h"
#include "ui/TrayController.h"

using namespace testsupport;

namespace {

const std::string kMarch = "1,20060305101010,P,\\\\PC1,u,2,2\r\r\n";
const std::string kEndOfMarch = "2,20060331235959,P,\\\\PC1,u,3,3\r\r\n";
const std::string kApril = "3,20060401000000,P,\\\\PC1,u,4,4\r\r\n";
const std::string kOctober = "9,20061015080000,Q,\\\\PC2,v,5,5\r\r\n";

// Answers the message boxes that open, one answer each, in turn, and notes what they said.
struct BoxAnswers {
    struct Seen {
        QString text;
        QString caption;
        QWidget* parent;
        bool defaultIsNo;
        bool windowModal;  // modal to its window only: the tray menu stays available
    };
    std::vector<QMessageBox::StandardButton> answers;
    std::vector<Seen> seen;
    QTimer timer;

    explicit BoxAnswers(std::vector<QMessageBox::StandardButton> given) : answers(given) {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            seen.push_back({box->text(), box->windowTitle(), box->parentWidget(),
                            box->defaultButton() == box->button(QMessageBox::No),
                            box->windowModality() == Qt::WindowModal});
            QAbstractButton* answer =
                seen.size() <= answers.size() ? box->button(answers[seen.size() - 1]) : nullptr;
            if (answer != nullptr) {
                answer->click();
            } else {
                box->done(QMessageBox::Cancel);  // a box not expected: the test fails on it
            }
        });
        timer.start(0);
    }
};

struct OptionWorld : PrintDataFixture {
    TempDir other;
    QString chooserAnswer;
    OptionsContext context{files, reg, sink,
                           [this](const QString&, const QString&) { return chooserAnswer; }};
    OptionsDialog dialog{context};

    void File(const std::string& user, const std::string& lines) {
        WriteFile(data / ("PrintData_" + user + ".dat"), lines);
    }
    // Shows the dialog modally and runs `whileOpen` inside it.
    void Show(const std::function<void()>& whileOpen) {
        QTimer::singleShot(0, [&] {
            whileOpen();
            if (dialog.isVisible()) {
                dialog.CancelClicked();
            }
        });
        dialog.exec();
    }
    std::string Stored() {
        return reg.GetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory");
    }
};

}  // namespace

TEST(OptionsDialog, StatisticsOfAnEmptyDirectory) {
    OptionWorld w;
    w.Show([&] {
        EXPECT_EQ(w.dialog.windowTitle(), QString::fromUtf8("オプション"));
        EXPECT_EQ(w.dialog.dataDirectoryEdit->text(), QString::fromStdString(w.data.Path()));
        EXPECT_EQ(w.dialog.dataGroup->title(), QString::fromStdString(w.data.Path()));
        EXPECT_EQ(w.dialog.fileCountEdit->text(), "0");
        EXPECT_EQ(w.dialog.fileSizeEdit->text(), QString::fromUtf8("0 バイト"));
        EXPECT_EQ(w.dialog.firstDayEdit->text(), "");
        EXPECT_EQ(w.dialog.month.caption->text(), "");
        EXPECT_FALSE(w.dialog.purgeCheck->isEnabled());
        EXPECT_TRUE(w.dialog.dataDirectoryEdit->isReadOnly());
    });
}

TEST(OptionsDialog, StatisticsAndMonthStepping) {
    OptionWorld w;
    w.File("a", kApril + kOctober);
    w.File("b", kMarch);
    w.Show([&] {
        EXPECT_EQ(w.dialog.fileCountEdit->text(), "2");
        EXPECT_EQ(w.dialog.fileSizeEdit->text(), QString::fromUtf8("99 バイト"));
        EXPECT_EQ(w.dialog.firstDayEdit->text(), "2006/03/05");
        EXPECT_EQ(w.dialog.lastDayEdit->text(), "2006/10/15");
        EXPECT_EQ(w.dialog.month.caption->text(), QString::fromUtf8("2006年03月"));
        EXPECT_TRUE(w.dialog.purgeCheck->isEnabled());
        EXPECT_FALSE(w.dialog.purgeCheck->isChecked());
        EXPECT_FALSE(w.dialog.month.previous->isEnabled());  // until the box is checked
        w.dialog.purgeCheck->click();
        EXPECT_TRUE(w.dialog.month.previous->isEnabled());
        EXPECT_TRUE(w.dialog.purgeLabel->isEnabled());
        for (int i = 0; i < 3; ++i) {
            w.dialog.month.previous->click();
        }
        EXPECT_EQ(w.dialog.month.caption->text(), QString::fromUtf8("2005年12月"));
        for (int i = 0; i < 13; ++i) {
            w.dialog.month.next->click();
        }
        EXPECT_EQ(w.dialog.month.caption->text(), QString::fromUtf8("2007年01月"));
    });
    // Shown again: the box is cleared and the month is the first data month again. Large sizes
    // read in megabytes, with the bytes grouped beside them.
    std::string many;
    for (int i = 0; i < 60000; ++i) {
        many += kApril;
    }
    w.File("c", many);
    w.Show([&] {
        EXPECT_FALSE(w.dialog.purgeCheck->isChecked());
        EXPECT_EQ(w.dialog.month.caption->text(), QString::fromUtf8("2006年03月"));
        EXPECT_EQ(w.dialog.fileSizeEdit->text(), QString::fromUtf8("1.9 MB (1,980,099 バイト)"));
        const QLineEdit* size = w.dialog.fileSizeEdit;
        EXPECT_LT(size->fontMetrics().horizontalAdvance(size->text()) + 12, size->width());
    });
}

// The purge says what it is about to delete and waits for a yes (no is the default); then it
// says what it did, and names each file it could not rewrite.
TEST(OptionsDialog, ThePurgeAsksFirstAndReportsWhatItDid) {
    OptionWorld w;
    std::string many;
    for (int i = 0; i < 1200; ++i) {
        many += kMarch;
    }
    w.File("a", kMarch + "\r\r\n" + kEndOfMarch + kApril);
    w.File("b", kOctober);
    w.File("c", many + kApril);
    {
        BoxAnswers no({QMessageBox::No});
        bool stillOpen = false;
        w.Show([&] {
            w.dialog.purgeCheck->click();
            w.dialog.okButton->click();
            stillOpen = w.dialog.isVisible();
        });
        ASSERT_EQ(no.seen.size(), 1u);
        EXPECT_EQ(
            no.seen[0].text,
            QString::fromUtf8("2006年03月までの印刷データ 1,202 件を削除します。よろしいですか?"));
        EXPECT_EQ(no.seen[0].parent, &w.dialog);
        EXPECT_TRUE(no.seen[0].defaultIsNo);
        EXPECT_TRUE(no.seen[0].windowModal);
        EXPECT_TRUE(stillOpen);
    }
    EXPECT_EQ(ReadFile(w.data / "PrintData_a.dat"), kMarch + "\r\r\n" + kEndOfMarch + kApril);
    EXPECT_EQ(ReadFile(w.data / "PrintData_c.dat"), many + kApril);

    {
        BoxAnswers yes({QMessageBox::Yes, QMessageBox::Ok});
        w.Show([&] {
            w.dialog.purgeCheck->click();
            w.dialog.okButton->click();
        });
        ASSERT_EQ(yes.seen.size(), 2u);
        EXPECT_EQ(yes.seen[1].text, QString::fromUtf8("1,202 件を削除しました。"));
        EXPECT_EQ(yes.seen[1].parent, &w.dialog);
        EXPECT_TRUE(yes.seen[1].windowModal);
    }
    EXPECT_EQ(ReadFile(w.data / "PrintData_a.dat"), kApril);
    EXPECT_EQ(ReadFile(w.data / "PrintData_b.dat"), kOctober);
    EXPECT_EQ(ReadFile(w.data / "PrintData_c.dat"), kApril);
    EXPECT_EQ(w.Stored(), "");  // the directory did not change, so nothing was stored

    // A file another program holds is left whole, and the report names it.
    w.File("a", kMarch + kApril);
    w.File("b", kEndOfMarch);
    platform::SharedFile held;
    ASSERT_TRUE(held.OpenForUpdate(w.data / "PrintData_b.dat"));
    ASSERT_EQ(held.Lock(std::chrono::milliseconds(0)), platform::SharedFile::LockResult::Locked);
    w.files.SetLockWait(std::chrono::milliseconds(50));
    {
        BoxAnswers yes({QMessageBox::Yes, QMessageBox::Ok});
        w.Show([&] {
            w.dialog.purgeCheck->click();
            w.dialog.okButton->click();
        });
        ASSERT_EQ(yes.seen.size(), 2u);
        EXPECT_EQ(
            yes.seen[0].text,
            QString::fromUtf8("2006年03月までの印刷データ 2 件を削除します。よろしいですか?"));
        EXPECT_TRUE(yes.seen[1].text.startsWith(QString::fromUtf8("1 件を削除しました。")))
            << yes.seen[1].text.toStdString();
        EXPECT_TRUE(yes.seen[1].text.contains(QString::fromStdString(w.data / "PrintData_b.dat") +
                                              QString::fromUtf8(": 他のプログラムが使用中です。")))
            << yes.seen[1].text.toStdString();
    }
    EXPECT_EQ(ReadFile(w.data / "PrintData_a.dat"), kApril);
    EXPECT_EQ(ReadFile(w.data / "PrintData_b.dat"), kEndOfMarch);
    // Without the box, OK asks nothing and touches no file.
    w.File("c", kMarch);
    BoxAnswers none({});
    w.Show([&] { w.dialog.OkClicked(); });
    EXPECT_TRUE(none.seen.empty());
    EXPECT_EQ(ReadFile(w.data / "PrintData_c.dat"), kMarch);
}

// A long folder keeps its beginning and end in sight, inside the frame, and whole in the
// tooltip; the folder itself is never shortened.
TEST(OptionsDialog, ALongFolderIsElidedInTheMiddleOnly) {
    OptionWorld w;
    const std::string folder =
        w.other / "共有データ/経理部/印刷記録/二〇二六年度/ずっと続くとても長いフォルダの名前です";
    std::filesystem::create_directories(folder);
    w.chooserAnswer = QString::fromStdString(folder);
    w.Show([&] {
        w.dialog.changeFolderButton->click();
        const QString whole = QString::fromStdString(folder);
        EXPECT_EQ(w.dialog.dataDirectoryEdit->text(), whole);
        EXPECT_EQ(w.dialog.dataDirectoryEdit->toolTip(), whole);
        EXPECT_EQ(w.dialog.dataGroup->toolTip(), whole);
        const QString title = w.dialog.dataGroup->title();
        EXPECT_LT(w.dialog.dataGroup->fontMetrics().horizontalAdvance(title),
                  w.dialog.dataGroup->width());
        EXPECT_TRUE(title.startsWith(whole.left(5))) << title.toStdString();
        EXPECT_TRUE(title.endsWith(QString::fromUtf8("名前です"))) << title.toStdString();
        EXPECT_EQ(w.files.DataDirectory(), folder);
    });
}

TEST(OptionsDialog, AnotherFolderIsUsedAtOnceAndKeptOnlyByOk) {
    OptionWorld w;
    WriteFile(w.other / "PrintData_z.dat", kMarch + kApril);
    w.chooserAnswer = QString::fromStdString(w.other.Path());
    w.Show([&] {
        w.dialog.changeFolderButton->click();
        EXPECT_EQ(w.files.DataDirectory(), w.other.Path());
        EXPECT_EQ(w.dialog.fileCountEdit->text(), "1");
        // A job finished now is recorded in the chosen folder.
        w.files.SetNames("PC1", "alice");
        CompletedJob job;
        job.jobId = 5;
        job.time = {2006, 5, 0, 1, 0, 0, 0, 0};
        job.totalPages = job.pagesPrinted = job.copies = 1;
        w.Write(job);
        w.dialog.CancelClicked();
    });
    EXPECT_EQ(w.files.DataDirectory(), w.data.Path());
    EXPECT_EQ(w.Stored(), "");
    EXPECT_TRUE(Exists(w.other / "PrintData_alice@PC1.dat"));

    BoxAnswers yes({QMessageBox::Yes, QMessageBox::Ok});
    w.Show([&] {
        w.dialog.changeFolderButton->click();
        w.dialog.purgeCheck->click();
        w.dialog.OkClicked();
    });
    EXPECT_EQ(w.Stored(), w.other.Path());
    EXPECT_EQ(w.files.DataDirectory(), w.other.Path());
    EXPECT_EQ(ReadFile(w.other / "PrintData_z.dat"), kApril);
}

TEST(OptionsDialog, AFolderThatIsNoDirectoryIsRefused) {
    OptionWorld w;
    WriteFile(w.other / "plain", "x");
    w.chooserAnswer = QString::fromStdString(w.other / "plain");
    w.Show([&] {
        w.dialog.changeFolderButton->click();
        EXPECT_FALSE(w.dialog.dataGroup->isEnabled());
        EXPECT_FALSE(w.dialog.okButton->isEnabled());
        EXPECT_EQ(w.files.DataDirectory(), w.data.Path());
    });
    ASSERT_EQ(w.sink.Messages().size(), 1u);
    EXPECT_EQ(w.sink.Messages()[0].text, "ディレクトリが正しくない。");
    EXPECT_EQ(w.sink.Messages()[0].caption, "ERROR");
    EXPECT_EQ(w.sink.Messages()[0].flag, 16);
    EXPECT_EQ(w.Stored(), "");
    // A cancelled chooser changes nothing.
    w.chooserAnswer.clear();
    w.Show([&] {
        w.dialog.changeFolderButton->click();
        EXPECT_TRUE(w.dialog.okButton->isEnabled());
    });
    EXPECT_EQ(w.sink.Messages().size(), 1u);
}
