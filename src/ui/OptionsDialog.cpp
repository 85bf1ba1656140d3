#include "ui/OptionsDialog.h"

#include <QBoxLayout>
#include <QFileDialog>
#include <QFontInfo>
#include <QGridLayout>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>

#include "ui/MonthPanel.h"

#include "admin/DataMaintenance.h"
#include "admin/OptionsTexts.h"
#include "platform/Host.h"

OptionsDialog* optionsDialog = nullptr;

namespace {

// A read-only edit for a figure: never a tab stop, at least as wide as `widest` needs in this font.
QLineEdit* ReadOnlyEdit(QWidget* parent, const QString& widest) {
    auto* edit = new QLineEdit(parent);
    edit->setReadOnly(true);
    edit->setFocusPolicy(Qt::NoFocus);
    // Dates and numbers must not touch the frame.
    edit->setTextMargins(3, 0, 3, 0);
    const int chrome = edit->minimumSizeHint().width() - edit->fontMetrics().maxWidth();
    edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(widest) + chrome + 4);
    edit->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return edit;
}

QLabel* Caption(QWidget* parent, const char* text) {
    return new QLabel(QString::fromUtf8(text), parent);
}

// The designed pixel sizes were drawn for a 12-pixel font; they grow with the desktop font.
int Scaled(const QWidget* w, int designed) {
    return designed * QFontInfo(w->font()).pixelSize() / 12;
}

// A folder path that does not fit shows its beginning and its end, the parts that tell folders
// apart, with the middle elided; the whole path is in the tooltip. The text itself stays whole.
class PathEdit final : public QLineEdit {
  public:
    explicit PathEdit(QWidget* parent) : QLineEdit(parent) {
        connect(this, &QLineEdit::textChanged, this, &QWidget::setToolTip);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        QStyleOptionFrame panel;
        initStyleOption(&panel);
        style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
        const QRect room = style()
                               ->subElementRect(QStyle::SE_LineEditContents, &panel, this)
                               .adjusted(3, 0, -3, 0);
        painter.setPen(
            palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
        painter.drawText(room, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideMiddle, room.width()));
    }
};

QString Local(const std::string& text) {
    return QString::fromLocal8Bit(text.c_str());
}

// Takes the purge's messages off the screen: its report says the same, file by file.
class QuietSink final : public platform::MessageSink {
  public:
    void Show(const std::string&, const std::string&, int) override {}
};

}  // namespace

OptionsDialog::OptionsDialog(OptionsContext context, QWidget* parent)
    : QDialog(parent), m_context(std::move(context)) {
    setWindowTitle(QString::fromUtf8("オプション"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    if (!m_context.chooseFolder) {
        m_context.chooseFolder = [this](const QString& title, const QString& start) {
            // Modal to this dialog only, so that the tray menu stays available meanwhile.
            QFileDialog chooser(this, title, start);
            chooser.setFileMode(QFileDialog::Directory);
            chooser.setOption(QFileDialog::ShowDirsOnly);
            chooser.setWindowModality(Qt::WindowModal);
            return chooser.exec() == QDialog::Accepted && !chooser.selectedFiles().isEmpty()
                       ? chooser.selectedFiles().front()
                       : QString();
        };
    }

    // The bevel holds the folder and the data group; OK and キャンセル sit centred below it.
    auto* bevel = new QFrame(this);
    bevel->setFrameStyle(QFrame::Box | QFrame::Sunken);
    auto* dirLabel = Caption(bevel, "データファイル格納ディレクトリ");
    dataDirectoryEdit = new PathEdit(bevel);
    dataDirectoryEdit->setReadOnly(true);  // changed only through the change button
    dataDirectoryEdit->setFocusPolicy(Qt::NoFocus);
    dataDirectoryEdit->setMinimumWidth(Scaled(this, 337));
    changeFolderButton = new QPushButton(QString::fromUtf8("変更"), bevel);
    changeFolderButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    dataGroup = new QGroupBox(bevel);
    fileCountEdit = ReadOnlyEdit(dataGroup, QStringLiteral("000,000"));
    // Counts that seem too high for the number of users are explained by the naming.
    fileCountEdit->setToolTip(QString::fromUtf8(
        "ユーザーごと、コンピュータごとに 1 ファイルあります: PrintData_<ユーザー>@<コンピュータ>"
        ".dat。以前のバージョンが書いた PrintData_<ユーザー>.dat も数えています。"));
    // Wide enough for "56.1 MB (58,828,961 バイト)": the unit is part of the text.
    fileSizeEdit = ReadOnlyEdit(dataGroup, QString::fromUtf8("000.0 MB (000,000,000 バイト)"));
    // The dates with their four-digit years, whole.
    firstDayEdit = ReadOnlyEdit(dataGroup, QStringLiteral("0000/00/00"));
    lastDayEdit = ReadOnlyEdit(dataGroup, QStringLiteral("0000/00/00"));
    purgeCheck = new QCheckBox(QString::fromUtf8("印刷データを削除"), dataGroup);
    month = MakeMonthPanel(dataGroup, 0, 0, 121);
    // Arrow, month, arrow, whatever the font.
    month.caption->setMinimumWidth(
        month.caption->fontMetrics().horizontalAdvance(QString::fromUtf8("0000年00月")) + 8);
    auto* monthRow = new QHBoxLayout(month.frame);
    monthRow->setContentsMargins(2, 2, 2, 2);
    monthRow->setSpacing(0);
    monthRow->addWidget(month.previous);
    monthRow->addWidget(month.caption, 1);
    monthRow->addWidget(month.next);
    month.frame->setMinimumWidth(Scaled(this, 121));
    purgeLabel = Caption(dataGroup, "以前のデータを消去する。");

    auto* figures = new QGridLayout(dataGroup);
    figures->setColumnMinimumWidth(0, Scaled(this, 40));
    figures->setColumnStretch(5, 1);
    figures->setVerticalSpacing(Scaled(this, 3));
    const auto right = Qt::AlignRight | Qt::AlignVCenter;
    figures->addWidget(Caption(dataGroup, "ファイル数"), 0, 0, 1, 2, right);
    figures->addWidget(fileCountEdit, 0, 2);
    figures->addWidget(Caption(dataGroup, "ファイル総容量"), 1, 0, 1, 2, right);
    figures->addWidget(fileSizeEdit, 1, 2, 1, 3);
    figures->addWidget(Caption(dataGroup, "データ日付"), 2, 0, 1, 2, right);
    figures->addWidget(firstDayEdit, 2, 2);
    figures->addWidget(Caption(dataGroup, "～"), 2, 3, Qt::AlignCenter);
    figures->addWidget(lastDayEdit, 2, 4);
    figures->setRowMinimumHeight(3, Scaled(this, 8));
    figures->addWidget(purgeCheck, 4, 0, 1, 5);
    auto* purgeRow = new QHBoxLayout;
    purgeRow->addWidget(month.frame);
    purgeRow->addWidget(purgeLabel);
    purgeRow->addStretch(1);
    figures->addLayout(purgeRow, 5, 1, 1, 5);
    figures->setRowStretch(6, 1);

    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(dataDirectoryEdit, 1);
    folderRow->addWidget(changeFolderButton);
    auto* inside = new QVBoxLayout(bevel);
    const int margin = Scaled(this, 23);
    inside->setContentsMargins(margin, Scaled(this, 14), margin, Scaled(this, 14));
    inside->setSpacing(2);
    inside->addWidget(dirLabel);
    inside->addLayout(folderRow);
    inside->addSpacing(Scaled(this, 24));
    inside->addWidget(dataGroup, 1);

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    cancelButton = new QPushButton(QString::fromUtf8("キャンセル"), this);
    for (QPushButton* b : {okButton, cancelButton}) {
        b->setMinimumSize(Scaled(this, 75), Scaled(this, 25));
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(okButton);
    buttons->addWidget(cancelButton);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, Scaled(this, 12));
    layout->setSpacing(Scaled(this, 19));
    layout->addWidget(bevel, 1);
    layout->addLayout(buttons);
    // The designed size at the default font, more where a larger one needs it; the dialog has
    // a fixed frame.
    setFixedSize(sizeHint().expandedTo(QSize(Scaled(this, 447), Scaled(this, 329))));

    // Tab follows the layout: the folder, the purge and its month, then OK and キャンセル.
    setTabOrder(changeFolderButton, purgeCheck);
    setTabOrder(purgeCheck, month.previous);
    setTabOrder(month.previous, month.next);
    setTabOrder(month.next, okButton);
    setTabOrder(okButton, cancelButton);

    connect(changeFolderButton, &QPushButton::clicked, this, &OptionsDialog::ChooseFolder);
    connect(dataDirectoryEdit, &QLineEdit::textChanged, this, &OptionsDialog::DataDirectoryChanged);
    connect(purgeCheck, &QCheckBox::clicked, this, &OptionsDialog::PurgeToggled);
    connect(month.previous, &QToolButton::clicked, this, &OptionsDialog::StepMonthClicked);
    connect(month.next, &QToolButton::clicked, this, &OptionsDialog::StepMonthClicked);
    connect(okButton, &QPushButton::clicked, this, &OptionsDialog::OkClicked);
    connect(cancelButton, &QPushButton::clicked, this, &OptionsDialog::CancelClicked);
}

void OptionsDialog::showEvent(QShowEvent* event) {
    if (const QScreen* screen = this->screen()) {
        const QRect s = screen->geometry();
        move((s.width() - width()) / 2, (s.height() - height()) / 2);
    }
    m_savedDirectory = m_context.files.DataDirectory();
    dataDirectoryEdit->setText(Local(m_savedDirectory));
    ShowFolderInTitle(Local(m_savedDirectory));
    dataGroup->setEnabled(true);
    okButton->setEnabled(true);
    ShowDataStatistics();
    purgeCheck->setChecked(false);
    PurgeToggled();
    QDialog::showEvent(event);
}

void OptionsDialog::ShowFolderInTitle(const QString& folder) {
    // The title runs along the frame's top edge: it must end before the frame does.
    const int room = dataGroup->width() - 24;
    dataGroup->setTitle(dataGroup->fontMetrics().elidedText(folder, Qt::ElideMiddle, room));
    dataGroup->setToolTip(folder);
}

void OptionsDialog::ChooseFolder() {
    const std::string current = m_context.files.DataDirectory();
    const QString start = platform::IsDirectory(current) ? Local(current) : QString();
    const QString chosen = m_context.chooseFolder(
        QString::fromUtf8("データファイル格納ディレクトリを選択してください。"), start);
    if (!chosen.isEmpty()) {
        dataDirectoryEdit->setText(chosen);
    }
}

void OptionsDialog::DataDirectoryChanged() {
    const std::string dir = dataDirectoryEdit->text().toLocal8Bit().toStdString();
    PrintDataFiles& files = m_context.files;
    files.AcquireRecordLock();
    if (platform::IsDirectory(dir)) {
        dataGroup->setEnabled(true);
        okButton->setEnabled(true);
        // From now on finished jobs are recorded in the chosen folder.
        files.SetDataDirectory(dir);
        ShowFolderInTitle(dataDirectoryEdit->text());
        files.ReleaseRecordLock();
        ShowDataStatistics();
        return;
    }
    files.ReleaseRecordLock();
    m_context.sink.Show("ディレクトリが正しくない。", "ERROR", platform::kIconStop);
    dataGroup->setEnabled(false);
    okButton->setEnabled(false);
}

void OptionsDialog::ShowDataStatistics() {
    PrintDataFiles& files = m_context.files;
    files.AcquireRecordLock();
    const DataStatistics stats =
        ScanDataStatistics(files, dataDirectoryEdit->text().toLocal8Bit().toStdString());
    files.ReleaseRecordLock();
    if (stats.folderError != 0) {
        m_context.sink.Show(
            UnreachableFolderMessage(dataDirectoryEdit->text().toLocal8Bit().toStdString(),
                                     stats.folderError),
            "Tessaroven Error", platform::kIconStop);
    }
    fileCountEdit->setText(QString::number(stats.fileCount));
    fileSizeEdit->setText(QString::fromUtf8(DataSizeText(stats.totalBytes).c_str()));
    if (!stats.hasRecords) {
        firstDayEdit->clear();
        lastDayEdit->clear();
        month.caption->clear();
        m_selectedMonth = 0;
        purgeCheck->setEnabled(false);
        return;
    }
    firstDayEdit->setText(QString::fromStdString(FormatRecordDay(stats.earliest)));
    lastDayEdit->setText(QString::fromStdString(FormatRecordDay(stats.latest)));
    m_selectedMonth = stats.firstMonth;
    month.caption->setText(QString::fromUtf8(FormatPurgeMonth(m_selectedMonth).c_str()));
    purgeCheck->setEnabled(true);
}

void OptionsDialog::PurgeToggled() {
    const bool on = purgeCheck->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(month.previous), static_cast<QWidget*>(month.next),
                       static_cast<QWidget*>(purgeLabel), static_cast<QWidget*>(month.frame)}) {
        w->setEnabled(on);
    }
}

void OptionsDialog::StepMonthClicked() {
    StepMonth(sender() == month.next ? +1 : -1);
}

void OptionsDialog::StepMonth(int delta) {
    m_selectedMonth += delta;
    month.caption->setText(QString::fromUtf8(FormatPurgeMonth(m_selectedMonth).c_str()));
}

void OptionsDialog::OkClicked() {
    const std::string dir = dataDirectoryEdit->text().toLocal8Bit().toStdString();
    const bool purge = purgeCheck->isChecked() && purgeCheck->isEnabled();
    // Deleted records cannot be brought back: say what goes first. No, the default, leaves the
    // dialog open with nothing stored and nothing deleted.
    if (purge && !ConfirmPurge(dir)) {
        return;
    }
    PrintDataFiles& files = m_context.files;
    files.AcquireRecordLock();
    if (dir != m_savedDirectory) {
        m_context.registry.SetRegString(kHkeyLocalMachine, kSettingsKey, "DataFileDirectory", dir);
        platform::MakeDirectoryPath(dir);
    }
    PurgeReport report;
    if (purge) {
        // Each file's trouble is in the report, told in one box once the lock is free.
        QuietSink quiet;
        report = PurgePrintData(files, dir, m_selectedMonth, quiet);
    }
    files.ReleaseRecordLock();
    m_savedDirectory = files.DataDirectory();
    if (purge) {
        ReportPurge(dir, report);
    }
    accept();
}

bool OptionsDialog::ConfirmPurge(const std::string& dir) {
    PrintDataFiles& files = m_context.files;
    files.AcquireRecordLock();
    const std::int64_t count = CountPurgeableRecords(files, dir, m_selectedMonth);
    files.ReleaseRecordLock();
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Tessaroven"),
                    QString::fromUtf8(PurgeQuestion(m_selectedMonth, count).c_str()),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    box.setWindowModality(Qt::WindowModal);
    return box.exec() == QMessageBox::Yes;
}

void OptionsDialog::ReportPurge(const std::string& dir, const PurgeReport& report) {
    const PurgeMessage message = PurgeReportMessage(dir, report);
    QMessageBox box(message.icon == platform::kIconInformation ? QMessageBox::Information
                                                               : QMessageBox::Critical,
                    QString::fromUtf8(message.caption.c_str()), Local(message.text),
                    QMessageBox::Ok, this);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}

void OptionsDialog::CancelClicked() {
    reject();
}

void OptionsDialog::reject() {
    PrintDataFiles& files = m_context.files;
    if (files.DataDirectory() != m_savedDirectory) {
        files.AcquireRecordLock();
        files.SetDataDirectory(m_savedDirectory);
        files.ReleaseRecordLock();
    }
    QDialog::reject();
}
