#include "admin/Optiondlg.h"

#include <QFileDialog>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>

#include "app/MonthPanel.h"

#include "admin/PrintDataMaintenance.h"
#include "platform/Host.h"

TdlgOption* dlgOption = nullptr;

namespace {

QLineEdit* ReadOnlyEdit(QWidget* parent, const char* label, int x, int y, int width) {
    auto* caption = new QLabel(QString::fromUtf8(label), parent);
    caption->adjustSize();
    caption->move(x - caption->width() - 4, y + 3);
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(x, y, width, 21);
    edit->setReadOnly(true);
    edit->setFocusPolicy(Qt::NoFocus);
    // Dates and numbers must not touch the frame.
    edit->setTextMargins(3, 0, 3, 0);
    return edit;
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

}  // namespace

TdlgOption::TdlgOption(OptionContext context, QWidget* parent)
    : QDialog(parent), m_context(std::move(context)) {
    setWindowTitle(QString::fromUtf8("オプション"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(447, 329);
    if (!m_context.chooseFolder) {
        m_context.chooseFolder = [this](const QString& title, const QString& start) {
            return QFileDialog::getExistingDirectory(this, title, start);
        };
    }

    auto* bevel = new QFrame(this);
    bevel->setGeometry(8, 8, 433, 265);
    bevel->setFrameStyle(QFrame::Box | QFrame::Sunken);

    auto* dirLabel = new QLabel(QString::fromUtf8("データファイル格納ディレクトリ"), this);
    dirLabel->move(32, 24);
    dirLabel->adjustSize();
    ledDataDirectoryName = new PathEdit(this);
    ledDataDirectoryName->setGeometry(32, 40, 337, 21);
    ledDataDirectoryName->setReadOnly(true);  // changed only through the change button
    ledDataDirectoryName->setFocusPolicy(Qt::NoFocus);
    Button1 = new QPushButton(QString::fromUtf8("変更"), this);
    Button1->setGeometry(376, 40, 41, 21);

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(32, 88, 385, 169);
    ledFileCount = ReadOnlyEdit(GroupBox1, "ファイル数", 112, 16, 73);
    // Counts that seem too high for the number of users are explained by the naming.
    ledFileCount->setToolTip(QStringLiteral(
        "Every user has one file per computer: PrintData_<user>@<computer>.dat. Files named "
        "PrintData_<user>.dat were written by earlier versions and are counted too."));
    ledFileSize = ReadOnlyEdit(GroupBox1, "ファイル総容量", 112, 40, 73);
    auto* bytes = new QLabel(QString::fromUtf8("バイト"), GroupBox1);
    bytes->move(190, 43);
    bytes->adjustSize();
    ledStartDay = ReadOnlyEdit(GroupBox1, "データ日付", 112, 64, 73);
    ledEndDay = ReadOnlyEdit(GroupBox1, "～", 224, 64, 73);
    CheckBox1 = new QCheckBox(QString::fromUtf8("印刷データを削除"), GroupBox1);
    CheckBox1->move(32, 96);
    CheckBox1->adjustSize();
    const MonthPanel month = MakeMonthPanel(GroupBox1, 80, 120, 121);
    pnlYaerMonth = month.frame;
    lblYearMonth = month.caption;
    BitBtn1 = month.previous;
    BitBtn2 = month.next;
    Label2 = new QLabel(QString::fromUtf8("以前のデータを消去する。"), GroupBox1);
    Label2->move(208, 123);
    Label2->adjustSize();

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setGeometry(150, 292, 75, 25);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QString::fromUtf8("キャンセル"), this);
    CancelBtn->setGeometry(225, 292, 75, 25);
    setTabOrder(Button1, CheckBox1);
    setTabOrder(CheckBox1, OKBtn);
    setTabOrder(OKBtn, CancelBtn);

    connect(Button1, &QPushButton::clicked, this, &TdlgOption::Button1Click);
    connect(ledDataDirectoryName, &QLineEdit::textChanged, this,
            &TdlgOption::ledDataDirectoryNameChange);
    connect(CheckBox1, &QCheckBox::clicked, this, &TdlgOption::CheckBox1Click);
    connect(BitBtn1, &QToolButton::clicked, this, &TdlgOption::BitBtn1Click);
    connect(BitBtn2, &QToolButton::clicked, this, &TdlgOption::BitBtn1Click);
    connect(OKBtn, &QPushButton::clicked, this, &TdlgOption::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TdlgOption::CancelBtnClick);
}

void TdlgOption::showEvent(QShowEvent* event) {
    if (const QScreen* screen = this->screen()) {
        const QRect s = screen->geometry();
        move((s.width() - width()) / 2, (s.height() - height()) / 2);
    }
    m_savedDirectory = m_context.files.DataDirectory();
    ledDataDirectoryName->setText(Local(m_savedDirectory));
    ShowFolderInTitle(Local(m_savedDirectory));
    GroupBox1->setEnabled(true);
    OKBtn->setEnabled(true);
    ShowDataStatistics();
    CheckBox1->setChecked(false);
    CheckBox1Click();
    QDialog::showEvent(event);
}

void TdlgOption::ShowFolderInTitle(const QString& folder) {
    // The title runs along the frame's top edge: it must end before the frame does.
    const int room = GroupBox1->width() - 24;
    GroupBox1->setTitle(GroupBox1->fontMetrics().elidedText(folder, Qt::ElideMiddle, room));
    GroupBox1->setToolTip(folder);
}

void TdlgOption::Button1Click() {
    const std::string current = m_context.files.DataDirectory();
    const QString start = platform::IsDirectory(current) ? Local(current) : QString();
    const QString chosen = m_context.chooseFolder(
        QString::fromUtf8("データファイル格納ディレクトリを選択してください。"), start);
    if (!chosen.isEmpty()) {
        ledDataDirectoryName->setText(chosen);
    }
}

void TdlgOption::ledDataDirectoryNameChange() {
    const std::string dir = ledDataDirectoryName->text().toLocal8Bit().toStdString();
    PrintDataFiles& files = m_context.files;
    files.AcquireRecordLock();
    if (platform::IsDirectory(dir)) {
        GroupBox1->setEnabled(true);
        OKBtn->setEnabled(true);
        // From now on finished jobs are recorded in the chosen folder.
        files.SetDataDirectory(dir);
        ShowFolderInTitle(ledDataDirectoryName->text());
        files.ReleaseRecordLock();
        ShowDataStatistics();
        return;
    }
    files.ReleaseRecordLock();
    m_context.sink.Show("ディレクトリが正しくない。", "ERROR", platform::MB_ICONSTOP);
    GroupBox1->setEnabled(false);
    OKBtn->setEnabled(false);
}

void TdlgOption::ShowDataStatistics() {
    PrintDataFiles& files = m_context.files;
    files.AcquireRecordLock();
    const DataStatistics stats =
        ScanDataStatistics(files, ledDataDirectoryName->text().toLocal8Bit().toStdString());
    files.ReleaseRecordLock();
    if (stats.folderError != 0) {
        m_context.sink.Show(
            UnreachableFolderText(ledDataDirectoryName->text().toLocal8Bit().toStdString(),
                                  stats.folderError),
            "Tessaroven Error", platform::MB_ICONSTOP);
    }
    ledFileCount->setText(QString::number(stats.fileCount));
    ledFileSize->setText(QString::number(stats.totalBytes));
    if (!stats.hasRecords) {
        ledStartDay->clear();
        ledEndDay->clear();
        lblYearMonth->clear();
        m_selectedMonth = 0;
        CheckBox1->setEnabled(false);
        return;
    }
    ledStartDay->setText(QString::fromStdString(FormatRecordDay(stats.earliest)));
    ledEndDay->setText(QString::fromStdString(FormatRecordDay(stats.latest)));
    m_selectedMonth = stats.firstMonth;
    lblYearMonth->setText(QString::fromUtf8(FormatPurgeMonth(m_selectedMonth).c_str()));
    CheckBox1->setEnabled(true);
}

void TdlgOption::CheckBox1Click() {
    const bool on = CheckBox1->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(BitBtn1), static_cast<QWidget*>(BitBtn2),
                       static_cast<QWidget*>(Label2), static_cast<QWidget*>(pnlYaerMonth)}) {
        w->setEnabled(on);
    }
}

void TdlgOption::BitBtn1Click() {
    StepMonth(sender() == BitBtn2 ? +1 : -1);
}

void TdlgOption::StepMonth(int delta) {
    m_selectedMonth += delta;
    lblYearMonth->setText(QString::fromUtf8(FormatPurgeMonth(m_selectedMonth).c_str()));
}

void TdlgOption::OKBtnClick() {
    const std::string dir = ledDataDirectoryName->text().toLocal8Bit().toStdString();
    PrintDataFiles& files = m_context.files;
    files.AcquireRecordLock();
    if (dir != m_savedDirectory) {
        m_context.registry.SetRegString(HKEY_LOCAL_MACHINE, kSettingsKey, "DataFileDirectory", dir);
        platform::MakeDirectoryPath(dir);
    }
    if (CheckBox1->isChecked() && CheckBox1->isEnabled()) {
        PurgePrintData(files, dir, m_selectedMonth, m_context.sink);
    }
    files.ReleaseRecordLock();
    m_savedDirectory = files.DataDirectory();
    accept();
}

void TdlgOption::CancelBtnClick() {
    reject();
}

void TdlgOption::reject() {
    PrintDataFiles& files = m_context.files;
    if (files.DataDirectory() != m_savedDirectory) {
        files.AcquireRecordLock();
        files.SetDataDirectory(m_savedDirectory);
        files.ReleaseRecordLock();
    }
    QDialog::reject();
}
