#include "ui/AboutBox.h"

#include <QBoxLayout>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFontInfo>
#include <QFrame>
#include <QMessageBox>
#include <QScreen>
#include <QUrl>

#include "admin/OptionsTexts.h"

AboutBox* aboutBox = nullptr;

namespace {

// The designed texts were drawn in pixel heights for a 12-pixel dialog font; they keep those
// proportions to the desktop font.
QFont Relative(const QFont& base, int designedPixels, bool bold = false) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * designedPixels / 12);
    font.setBold(bold);
    return font;
}

int Scaled(const QWidget* w, int designed) {
    return designed * QFontInfo(w->font()).pixelSize() / 12;
}

QLabel* Text(const QString& text, QWidget* parent, int designedPixels) {
    auto* label = new QLabel(text, parent);
    label->setFont(Relative(parent->font(), designedPixels));
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
    return FileVersionText(version);
}

AboutBox::AboutBox(QWidget* parent, const QString& address) : QDialog(parent), m_address(address) {
    setWindowTitle(QString::fromUtf8("バージョン情報"));
    // A dialog border without system menu or close box: only OK (or Enter) closes it.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    auto* panel = new QFrame(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setLineWidth(2);

    auto* icon = new QLabel(panel);
    icon->setFixedSize(32, 32);
    icon->setPixmap(QIcon(QStringLiteral(":/tessaroven.svg")).pixmap(32, 32));
    productNameLabel = new QLabel(QStringLiteral("Tessaroven"), panel);
    productNameLabel->setFont(Relative(font(), 21, true));
    versionCaption = Text(QStringLiteral("Version"), panel, 13);
    versionLabel = Text(QStringLiteral("1.0.0"), panel, 13);
    // Room for a longer version than the design's without a new layout at every showing.
    versionLabel->setMinimumWidth(
        versionLabel->fontMetrics().horizontalAdvance(QStringLiteral("00.00.000.000")));
    commentsLabel = Text(
        QString::fromUtf8("印刷スプールの状態を監視して印刷枚数を取り出し集計します。"), panel, 15);
    commentsLabel->setWordWrap(true);
    commentsLabel->setMinimumWidth(Scaled(this, 297));
    contactCaption = Text(QString::fromUtf8("御問い合わせ"), panel, 15);
    linkLabel = new LinkLabel(m_address, panel);
    QFont linkFont = Relative(font(), 15);
    linkFont.setUnderline(true);
    linkLabel->setFont(linkFont);
    connect(linkLabel, &LinkLabel::clicked, this, &AboutBox::OpenLink);
    contactCaption->setVisible(!m_address.isEmpty());
    linkLabel->setVisible(!m_address.isEmpty());
    auto* rights = new QLabel(QString::fromLatin1(kRightsNotice), panel);

    auto* heading = new QHBoxLayout;
    heading->setSpacing(Scaled(this, 8));
    heading->addWidget(icon, 0, Qt::AlignTop);
    heading->addWidget(productNameLabel, 0, Qt::AlignTop);
    heading->addStretch(1);
    heading->addWidget(versionCaption, 0, Qt::AlignBottom);
    heading->addWidget(versionLabel, 0, Qt::AlignBottom);
    auto* inside = new QVBoxLayout(panel);
    const int margin = Scaled(this, 8);
    inside->setContentsMargins(margin, margin, margin, margin);
    inside->setSpacing(2);
    inside->addLayout(heading);
    inside->addSpacing(Scaled(this, 8));
    inside->addWidget(commentsLabel);
    inside->addSpacing(Scaled(this, 16));
    inside->addWidget(contactCaption);
    inside->addWidget(linkLabel, 0, Qt::AlignLeft);
    inside->addSpacing(Scaled(this, 12));
    inside->addWidget(rights);
    inside->addStretch(1);

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    okButton->setMinimumSize(Scaled(this, 75), Scaled(this, 25));
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, Scaled(this, 11));
    layout->setSpacing(Scaled(this, 14));
    layout->addWidget(panel, 1);
    layout->addWidget(okButton, 0, Qt::AlignHCenter);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setTabOrder(linkLabel, okButton);
}

void AboutBox::showEvent(QShowEvent* event) {
    versionLabel->setText(QString::fromUtf8(GetFileVersionText().c_str()));
    // Enter closes the box, whatever had the focus at the last showing.
    okButton->setFocus();
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
        box.setWindowModality(Qt::WindowModal);
        box.exec();
    }
}
