#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QTimer>
#include <QUrl>

#include "admin/AboutBox.h"

TEST(AboutBox, ShowsTheFileVersionOfTheBuild) {
    EXPECT_EQ(GetFileVersionText(std::nullopt), "(未定義)");
    EXPECT_EQ(GetFileVersionText(std::array<int, 4>{1, 0, 4, 5}), "1.0.4.5");
    EXPECT_EQ(GetFileVersionText(), "1.0.4.5");

    TAboutBox box;
    EXPECT_EQ(box.windowTitle(), QString::fromUtf8("バージョン情報"));
    EXPECT_EQ(box.Version->text(), "1.0.0");  // until it is shown
    EXPECT_EQ(box.ProductName->text(), "Tessaroven");
    EXPECT_EQ(box.Comments->text(),
              QString::fromUtf8("印刷スプールの状態を監視して印刷枚数を取り出し集計します。"));
    EXPECT_FALSE(box.windowFlags() & Qt::WindowCloseButtonHint);
    QString shown;
    QTimer::singleShot(0, [&] {
        shown = box.Version->text();
        box.OKButton->click();
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

TEST(AboutBox, TheLinkOpensTheAddressAndStaysPurple) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    TAboutBox box;
    EXPECT_EQ(box.Label1->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_TRUE(box.Label1->font().underline());
    box.Label1Click();
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened[0], QUrl(TAboutBox::kAddress));
    EXPECT_EQ(box.Label1->palette().color(QPalette::WindowText), QColor(128, 0, 128));
    QDesktopServices::unsetUrlHandler("https");
}

#include "AboutBoxTest.moc"
