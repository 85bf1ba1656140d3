#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QTimer>
#include <QUrl>

#include "ui/AboutBox.h"

TEST(AboutBox, ShowsTheFileVersionOfTheBuild) {
    EXPECT_EQ(GetFileVersionText(std::nullopt), "(未定義)");
    EXPECT_EQ(GetFileVersionText(std::array<int, 4>{1, 0, 4, 5}), "1.0.4.5");
    EXPECT_EQ(GetFileVersionText(), "1.0.4.5");

    AboutBox box;
    EXPECT_EQ(box.windowTitle(), QString::fromUtf8("バージョン情報"));
    EXPECT_EQ(box.versionLabel->text(), "1.0.0");  // until it is shown
    EXPECT_EQ(box.productNameLabel->text(), "Tessaroven");
    EXPECT_EQ(box.versionCaption->text(), "Version");
    EXPECT_EQ(box.commentsLabel->text(),
              QString::fromUtf8("印刷スプールの状態を監視して印刷枚数を取り出し集計します。"));
    EXPECT_FALSE(box.windowFlags() & Qt::WindowCloseButtonHint);
    QString shown;
    QTimer::singleShot(0, [&] {
        shown = box.versionLabel->text();
        EXPECT_EQ(box.versionCaption->y(), box.versionLabel->y());
        EXPECT_LT(box.versionCaption->geometry().right(), box.versionLabel->x());
        box.okButton->click();
    });
    EXPECT_EQ(box.exec(), QDialog::Accepted);
    EXPECT_EQ(shown, "1.0.4.5");
}

// Opens URLs the way the desktop would, but only notes them.
class UrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> opened;
  public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

// The build names no address: no enquiry line and no link. Given one, the link opens it and
// stays purple; one that cannot be opened is said so in a box over the dialog.
TEST(AboutBox, TheLinkOpensItsAddressOrSaysWhyNot) {
    AboutBox plain;
    EXPECT_TRUE(plain.linkLabel->isHidden());
    EXPECT_TRUE(plain.contactCaption->isHidden());

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    const QString address = QStringLiteral("https://intranet.invalid/help");
    AboutBox box(nullptr, address);
    EXPECT_FALSE(box.linkLabel->isHidden());
    EXPECT_EQ(box.linkLabel->text(), address);
    EXPECT_EQ(box.linkLabel->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_TRUE(box.linkLabel->font().underline());
    box.OpenLink();
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened[0], QUrl(address));
    EXPECT_EQ(box.linkLabel->palette().color(QPalette::WindowText), QColor(128, 0, 128));
    QDesktopServices::unsetUrlHandler("https");

    AboutBox unopenable(nullptr, QStringLiteral("tessaroven-nowhere:help"));
    QString said;
    QWidget* over = nullptr;
    // Polled: the link is repainted (events run) before the box opens.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* msg = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            said = msg->text();
            over = msg->parentWidget();
            msg->accept();
        }
    });
    poll.start(0);
    unopenable.OpenLink();
    EXPECT_EQ(said, QString::fromUtf8("リンクを開けませんでした。\ntessaroven-nowhere:help"));
    EXPECT_EQ(over, &unopenable);
}

#include "AboutBoxTest.moc"
