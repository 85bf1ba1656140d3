#include "ui/AboutBox.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QMessageBox>
#include <QScreen>
#include <QUrl>

AboutBox* aboutBox = nullptr;

namespace {

QFont DialogFont(int pixelSize, bool bold = false) {
    QFont font;
    font.setFamilies({QStringLiteral("MS PGothic"), QStringLiteral("Noto Sans CJK JP"),
                      QStringLiteral("Noto Sans")});
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QLabel* Place(QLabel* label, int x, int y, int pixelSize) {
    label->setFont(DialogFont(pixelSize));
    label->move(x, y);
    label->adjustSize();
    return label;
}

}  // namespace

FileVersion BuildFileVersion() {
#if defined(TESSAROVEN_FILE_VERSION_MAJOR)
    return std::array<int, 4>{TESSAROVEN_FILE_VERSION_MAJOR, TESSAROVEN_FILE_VERSION_MINOR,
                              TESSAROVEN_FILE_VERSION_PATCH, TESSAROVEN_FILE_VERSION_TWEAK};
#else
    return std::nullopt;
#endif
}

QString BuildContactAddress() {
#if defined(TESSAROVEN_CONTACT_ADDRESS)
    return QString::fromUtf8(TESSAROVEN_CONTACT_ADDRESS);
#else
    return {};
#endif
}

std::string GetFileVersionText(const FileVersion& version) {
    if (!version) {
        return "(未定義)";
    }
    const auto& v = *version;
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

AboutBox::AboutBox(QWidget* parent, const QString& address) : QDialog(parent), m_address(address) {
    setWindowTitle(QString::fromUtf8("バージョン情報"));
    // A dialog border without system menu or close box: only OK (or Enter) closes it.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(329, 251);
    setFont(DialogFont(12));

    auto* panel = new QFrame(this);
    panel->setGeometry(8, 8, 313, 193);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setLineWidth(2);

    auto* icon = new QLabel(panel);
    icon->setGeometry(8, 8, 32, 32);
    icon->setPixmap(QIcon(QStringLiteral(":/tessaroven.svg")).pixmap(32, 32));

    productNameLabel = Place(new QLabel(QStringLiteral("Tessaroven"), panel), 48, 16, 21);
    productNameLabel->setFont(DialogFont(21, true));
    productNameLabel->adjustSize();
    versionCaption = Place(new QLabel(QStringLiteral("Version"), panel), 184, 24, 13);
    versionLabel = Place(new QLabel(QStringLiteral("1.0.0"), panel), 232, 24, 13);
    commentsLabel = new QLabel(
        QString::fromUtf8("印刷スプールの状態を監視して印刷枚数を取り出し集計します。"), panel);
    commentsLabel->setFont(DialogFont(15));
    commentsLabel->setWordWrap(true);
    commentsLabel->setGeometry(8, 56, 297, 41);
    contactCaption = Place(new QLabel(QString::fromUtf8("御問い合わせ"), panel), 8, 120, 15);
    linkLabel = new LinkLabel(m_address, panel);
    QFont linkFont = DialogFont(15);
    linkFont.setUnderline(true);
    linkLabel->setFont(linkFont);
    linkLabel->move(8, 136);
    linkLabel->adjustSize();
    connect(linkLabel, &LinkLabel::clicked, this, &AboutBox::OpenLink);
    contactCaption->setVisible(!m_address.isEmpty());
    linkLabel->setVisible(!m_address.isEmpty());
    auto* rights = Place(new QLabel(QString::fromLatin1(kRightsNotice), panel), 8, 168, 12);
    rights->setFixedWidth(295);

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setGeometry(127, 215, 75, 25);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
}

void AboutBox::showEvent(QShowEvent* event) {
    versionLabel->setText(QString::fromUtf8(GetFileVersionText().c_str()));
    versionLabel->adjustSize();
    // Centred on the screen at every showing.
    if (const QScreen* screen = this->screen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    QDialog::showEvent(event);
}

void AboutBox::OpenLink() {
    if (m_address.isEmpty()) {
        return;
    }
    // Visited: purple for the rest of the run.
    QPalette p = linkLabel->palette();
    p.setColor(QPalette::WindowText, QColor(128, 0, 128));
    linkLabel->setPalette(p);
    QCoreApplication::processEvents();
    if (!QDesktopServices::openUrl(QUrl(m_address))) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Tessaroven"),
                        QString::fromUtf8("リンクを開けませんでした。\n%1").arg(m_address),
                        QMessageBox::Ok, this);
        box.exec();
    }
}
