#include "ui/PrintLogWindow.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "reports/TableExport.h"
#include "ui/CsvFileDialog.h"

PrintLogWindow* printLogWindow = nullptr;

namespace {

const int kWidths[] = {30, 110, 120, 120, 80, 40};

}  // namespace

PrintLogWindow::PrintLogWindow(const ReportContext& context, QWidget* parent)
    : QDialog(parent), m_context(context) {
    setWindowTitle(QString::fromUtf8("印刷ログの表示"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    resize(541, 574);

    logModel = new PrintLogModel(this);
    logGrid = new QTableView(this);
    logGrid->setModel(logModel);
    logGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    logGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    logGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    logGrid->verticalHeader()->hide();  // the row numbers are the grid's first column
    logGrid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // A million rows scroll smoothly only when no row's height needs measuring.
    logGrid->setWordWrap(false);

    // Names give way to the numbers instead: the grid never scrolls sideways.
    logGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    logGrid->horizontalHeader()->setTextElideMode(Qt::ElideRight);
    // Without a record the grid says so in its middle, under the headers.
    emptyLabel = new QLabel(QString::fromUtf8("印刷データがありません。"), logGrid->viewport());
    emptyLabel->hide();
    auto* emptyLayout = new QVBoxLayout(logGrid->viewport());
    emptyLayout->addWidget(emptyLabel, 0, Qt::AlignCenter);

    const int buttonWidth = 97 * QFontInfo(font()).pixelSize() / 12;  // designed for 12 pixels
    closeButton = new QPushButton(QString::fromUtf8("閉じる"), this);
    closeButton->setDefault(true);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);
    saveCsvButton = new QPushButton(QString::fromUtf8("CSV保存..."), this);
    connect(saveCsvButton, &QPushButton::clicked, this, &PrintLogWindow::SaveCsvAs);
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(8, 6, 8, 5);
    buttons->setSpacing(8);
    for (QPushButton* b : {closeButton, saveCsvButton}) {
        b->setMinimumWidth(buttonWidth);
        buttons->addWidget(b);
    }
    buttons->addStretch(1);
    logGrid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(logGrid, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(this);
        QAction* save = menu.addAction(QString::fromUtf8("CSV形式で保存..."));
        save->setEnabled(logModel->Table().Size() > 0);
        connect(save, &QAction::triggered, this, &PrintLogWindow::SaveCsvAs);
        menu.exec(logGrid->viewport()->mapToGlobal(at));
    });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(logGrid);
    layout->addLayout(buttons);

    setTabOrder(logGrid, closeButton);
    setTabOrder(closeButton, saveCsvButton);
    SetColumnWidths();
    // The designed size, grown with the font and where it needs more room for the columns.
    const int pixels = QFontInfo(font()).pixelSize();
    QSize size(541 * pixels / 12, 574 * pixels / 12);
    if (const QScreen* screen = this->screen()) {
        size = size.boundedTo(screen->availableGeometry().size());
    }
    resize(size.expandedTo(minimumSizeHint()));
}

void PrintLogWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    FitNameColumns();
}

int PrintLogWindow::FixedRoom() const {
    // Room for the vertical scroll bar is kept whether it shows or not: it comes and goes with
    // the rows, without a resize of the grid.
    return 2 * logGrid->frameWidth() + logGrid->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
}

void PrintLogWindow::FitNameColumns() {
    const int room = logGrid->width() - FixedRoom();
    const int fixed = m_widths[0] + m_widths[1] + m_widths[5];
    const int designed = m_widths[2] + m_widths[3] + m_widths[4];
    const int least = m_nameMinimum[0] + m_nameMinimum[1] + m_nameMinimum[2];
    const int spare = std::max(0, room - fixed - least);
    // Each is as wide as its heading, and what is left over is shared in proportion to their
    // designed widths; the last takes the rounding.
    int given = 0;
    for (int c = 2; c <= 3; ++c) {
        const int w = m_nameMinimum[c - 2] + spare * m_widths[c] / designed;
        logGrid->setColumnWidth(c, w);
        given += w;
    }
    logGrid->setColumnWidth(4, least + spare - given);
}

void PrintLogWindow::showEvent(QShowEvent* event) {
    if (const QScreen* screen = this->screen()) {
        const QRect s = screen->geometry();
        move((s.width() - frameGeometry().width()) / 2,
             (s.height() - frameGeometry().height()) / 2);
    }
    QDialog::showEvent(event);
    LoadPrintLog();
}

void PrintLogWindow::LoadPrintLog() {
    PrintLogTable table;
    const auto result = table.Load(m_context.files);
    const int folderError = table.FolderError();
    logModel->Reset(std::move(table));
    SetColumnWidths();
    const bool empty = logModel->Table().Size() == 0;
    emptyLabel->setVisible(empty);
    saveCsvButton->setEnabled(logModel->Table().Size() > 0);
    if (result == PrintLogTable::LoadResult::Unreachable) {
        m_context.sink.Show(UnreachableFolderMessage(m_context.files.DataDirectory(), folderError),
                            "Tessaroven Error", platform::kIconStop);
    } else if (result == PrintLogTable::LoadResult::NoRecords) {
        m_context.sink.Show("印刷データがありません。", "Tessaroven", platform::kIconStop);
    }
    if (!empty) {
        // The newest record is the current row, scrolled into view.
        logGrid->setCurrentIndex(logModel->index(logModel->rowCount() - 1, 1));
        logGrid->scrollToBottom();
    }
}

void PrintLogWindow::SetColumnWidths() {
    // The designed widths, widened where this font needs more room for the row numbers, the
    // date and time and the widest page count: numbers are never cut. The three name columns
    // share what is left, never narrower than their headings, so that the page count always
    // shows without scrolling sideways.
    const QFontMetrics metrics(logGrid->font());
    const QFontMetrics heading(logGrid->horizontalHeader()->font());
    const int padding = 2 * metrics.horizontalAdvance(QLatin1Char(' ')) + 4;
    size_t widestPages = 5;
    for (size_t i = 0; i < logModel->Table().Size(); ++i) {
        const std::string_view line = logModel->Table().Line(i);
        // The pages are the last closed field: between the last two commas.
        const size_t last = line.size() - 1;
        widestPages = std::max(widestPages, last - line.rfind(',', last - 1) - 1);
    }
    const int sortRoom = logGrid->style()->pixelMetric(QStyle::PM_HeaderMargin) * 2 + 8;
    int minimum[6] = {
        metrics.horizontalAdvance(QString::number(logModel->rowCount())) + padding,
        metrics.horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + padding,
        0,
        0,
        0,
        metrics.horizontalAdvance(QString(static_cast<qsizetype>(widestPages), QLatin1Char('0'))) +
            padding,
    };
    for (int c = 1; c < 6; ++c) {
        minimum[c] = std::max(
            minimum[c], heading.horizontalAdvance(
                            logModel->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString()) +
                            sortRoom);
    }
    logGrid->verticalHeader()->setDefaultSectionSize(std::max(16, metrics.height() + 2));
    int total = FixedRoom();
    for (int c = 0; c < 6; ++c) {
        m_widths[c] = std::max(kWidths[c], minimum[c]);
        logGrid->setColumnWidth(c, m_widths[c]);
        if (c >= 2 && c <= 4) {
            m_nameMinimum[c - 2] = minimum[c];
            total += minimum[c];
        } else {
            total += m_widths[c];
        }
    }
    // The window never gets so narrow that a heading or a number would be cut.
    setMinimumWidth(total + layout()->contentsMargins().left() +
                    layout()->contentsMargins().right());
    FitNameColumns();
}

void PrintLogWindow::SaveCsvAs() {
    if (logModel->Table().Size() == 0) {
        return;
    }
    const QString path = AskCsvPath(this, QString::fromUtf8("印刷ログ.csv"));
    if (!path.isEmpty()) {
        SaveCsv(path);
    }
}

bool PrintLogWindow::SaveCsv(const QString& path) {
    return WriteCsvFile(path, LogCsvPieces(logModel->Table(), kWindowCsvStyle), m_context.sink);
}
