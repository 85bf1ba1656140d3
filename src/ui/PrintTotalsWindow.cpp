#include "ui/PrintTotalsWindow.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QScreen>
#include <QSplitter>
#include <QVBoxLayout>
#include <algorithm>

#include "reports/TableExport.h"
#include "ui/CsvFileDialog.h"
#include "ui/MonthPanel.h"

PrintTotalsWindow* printTotalsWindow = nullptr;

namespace {

constexpr const char* kComboIndexValue = "PrinterComboIndex";
constexpr int kChartWidth = 460;

// A designed width in pixels at the 12 pixel font the window was drawn for, grown with the
// desktop font.
int Scaled(const QWidget* w, int designed) {
    return std::max(designed, designed * QFontInfo(w->font()).pixelSize() / 12);
}

// At least the designed width, and never narrower than its text needs.
void AtLeast(QWidget* w, int designed) {
    w->setMinimumWidth(std::max(Scaled(w, designed), w->sizeHint().width()));
}

// The month between a "previous" and a "next" arrow on a sunken panel, sized by its text.
MonthPanel MakeMonthBox(QWidget* parent) {
    MonthPanel p;
    p.frame = new QFrame(parent);
    p.frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    p.previous = new QToolButton(p.frame);
    p.previous->setArrowType(Qt::LeftArrow);
    p.caption = new QLabel(p.frame);
    p.caption->setAlignment(Qt::AlignCenter);
    p.next = new QToolButton(p.frame);
    p.next->setArrowType(Qt::RightArrow);
    auto* row = new QHBoxLayout(p.frame);
    row->setContentsMargins(2, 2, 2, 2);
    row->setSpacing(2);
    row->addWidget(p.previous);
    row->addWidget(p.caption, 1);
    row->addWidget(p.next);
    // Room for any month, so that stepping through them never moves the arrows.
    p.caption->setMinimumWidth(std::max(
        Scaled(p.caption, 91),
        p.caption->fontMetrics().horizontalAdvance(MonthText(SelectedMonth(2000, 12))) + 6));
    return p;
}

}  // namespace

PrintTotalsWindow::PrintTotalsWindow(const ReportContext& context, QWidget* parent)
    : QDialog(parent), m_context(context) {
    setWindowTitle(QString::fromUtf8("印刷情報の集計"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    // Top: the printer, the month, the grouping and 集計, in the designed places.
    auto* top = new QWidget(this);
    auto* choice = new QGridLayout(top);
    choice->setContentsMargins(16, 8, 16, 5);
    choice->setHorizontalSpacing(7);
    choice->setVerticalSpacing(3);
    choice->addWidget(new QLabel(QString::fromUtf8("プリンタの選択"), top), 0, 0);
    printerCombo = new QComboBox(top);
    printerCombo->setEditable(true);
    printerCombo->setInsertPolicy(QComboBox::NoInsert);
    // As wide as the longest printer name, and at least as designed.
    printerCombo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    printerCombo->setMinimumContentsLength(24);
    choice->addWidget(printerCombo, 1, 0);
    choice->addWidget(new QLabel(QString::fromUtf8("集計年月"), top), 0, 1);
    month = MakeMonthBox(top);
    choice->addWidget(month.frame, 1, 1);
    byComputerRadio = new QRadioButton(QString::fromUtf8("コンピュータ別集計"), top);
    byUserRadio = new QRadioButton(QString::fromUtf8("ユーザー別集計"), top);
    auto* grouping = new QHBoxLayout;
    grouping->setSpacing(Scaled(top, 16));
    grouping->addWidget(byComputerRadio);
    grouping->addWidget(byUserRadio);
    grouping->addStretch(1);
    choice->addLayout(grouping, 2, 0, 1, 2);
    calculateButton = new QPushButton(QString::fromUtf8("集計"), top);
    AtLeast(calculateButton, 65);
    choice->addWidget(calculateButton, 2, 1, Qt::AlignRight);
    choice->setColumnStretch(2, 1);

    // Names the printer, month and grouping of the figures below; empty while there are none.
    totalsHeading = new QLabel(this);
    totalsHeading->setContentsMargins(8, 2, 8, 2);
    totalsHeading->setWordWrap(true);  // a long printer name takes a second line
    totalsHeading->setTextInteractionFlags(Qt::TextSelectableByMouse);

    totalsMemo = new QPlainTextEdit(this);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setFamilies(
        {QStringLiteral("MS Gothic"), QStringLiteral("Noto Sans Mono CJK JP"), fixed.family()});
    // 12 pixels at the usual 9 points, and larger with a larger desktop font.
    fixed.setPixelSize(QFontInfo(font()).pixelSize());
    totalsMemo->setFont(fixed);
    totalsMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Lines that do not fit must not be silently hidden below the edge.
    totalsMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    totalsMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto* bottom = new QWidget(this);
    auto* buttons = new QHBoxLayout(bottom);
    buttons->setContentsMargins(8, 5, 8, 4);
    buttons->setSpacing(8);
    closeButton = new QPushButton(QString::fromUtf8("閉じる"), bottom);
    chartButton = new QPushButton(QString::fromUtf8("グラフ"), bottom);
    chartButton->setCheckable(true);
    saveCsvButton = new QPushButton(QString::fromUtf8("CSV保存..."), bottom);
    saveCsvButton->setEnabled(false);
    for (QPushButton* button : {closeButton, chartButton, saveCsvButton}) {
        AtLeast(button, 97);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);

    // The memo keeps its place and size; the chart opens to its right and widens the window.
    m_split = new QSplitter(Qt::Horizontal, this);
    m_split->setChildrenCollapsible(false);
    m_split->addWidget(totalsMemo);
    chart = new TotalsChart(m_split);
    m_split->addWidget(chart);
    chart->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(top);
    layout->addWidget(totalsHeading);
    layout->addWidget(m_split, 1);  // the memo and the chart take what the window grows by
    layout->addWidget(bottom);
    // Keyboard: Tab follows the layout, from the printer to CSV保存 (the memo lets Tab pass, the
    // chart's view list comes after the memo when it is open); Enter counts, Esc closes.
    totalsMemo->setTabChangesFocus(true);
    QWidget* order[] = {printerCombo, month.previous,  month.next,   byComputerRadio,
                        byUserRadio,  calculateButton, totalsMemo,   chart->viewCombo,
                        closeButton,  chartButton,     saveCsvButton};
    for (size_t i = 1; i < std::size(order); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
    calculateButton->setDefault(true);

    // As designed, or larger where the font needs it.
    resize(sizeHint().expandedTo(QSize(522, 574)));

    connect(month.previous, &QToolButton::clicked, this, &PrintTotalsWindow::PreviousMonth);
    connect(month.next, &QToolButton::clicked, this, &PrintTotalsWindow::NextMonth);
    connect(byComputerRadio, &QRadioButton::toggled, this, &PrintTotalsWindow::ChoiceChanged);
    // A printer picked from the list or typed out; also every keystroke in between.
    connect(printerCombo, &QComboBox::editTextChanged, this, &PrintTotalsWindow::ChoiceChanged);
    connect(calculateButton, &QPushButton::clicked, this, &PrintTotalsWindow::Calculate);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(chartButton, &QPushButton::toggled, this, &PrintTotalsWindow::ShowChart);
    connect(saveCsvButton, &QPushButton::clicked, this, &PrintTotalsWindow::SaveCsvAs);

    // Centred once, when created.
    if (const QScreen* screen = this->screen()) {
        const QRect s = screen->geometry();
        move((s.width() - width()) / 2, (s.height() - height()) / 2);
    }
}

void PrintTotalsWindow::showEvent(QShowEvent* event) {
    m_following = false;
    ClearTotals();
    // The printers as they are now: queues come and go while the program runs.
    std::vector<int> listed;
    const PrinterSlots& printers = m_context.printerSlots;
    for (int i = 0; i < printers.Count(); ++i) {
        if (printers.At(i).listed) {
            listed.push_back(i);
        }
    }
    if (printerCombo->count() == 0 || listed != m_itemSlots) {
        m_itemSlots = listed;
        printerCombo->clear();
        for (int i : m_itemSlots) {
            printerCombo->addItem(QString::fromUtf8(printers.At(i).printerName.c_str()));
        }
        if (!m_itemSlots.empty()) {
            printerCombo->setEditText(printerCombo->itemText(0));
        }
        const int index =
            m_context.registry.GetRegInteger(kHkeyLocalMachine, kSettingsKey, kComboIndexValue);
        // An index outside the list selects nothing and leaves the text empty.
        printerCombo->setCurrentIndex(index >= 0 && index < printerCombo->count() ? index : -1);
        if (printerCombo->currentIndex() == -1) {
            printerCombo->setEditText(QString());
        }
    }
    if (m_selectedMonth == 0) {
        const auto now = m_context.clock.Now();
        m_selectedMonth = SelectedMonth(now.wYear, now.wMonth);
    }
    ShowYearMonth();
    byComputerRadio->setChecked(true);
    QDialog::showEvent(event);
}

void PrintTotalsWindow::done(int result) {
    m_context.registry.SetRegInteger(kHkeyLocalMachine, kSettingsKey, kComboIndexValue,
                                     printerCombo->currentIndex());
    QDialog::done(result);
}

void PrintTotalsWindow::ShowYearMonth() {
    month.caption->setText(MonthText(m_selectedMonth));
}

void PrintTotalsWindow::PreviousMonth() {
    --m_selectedMonth;
    ShowYearMonth();
    ChoiceChanged();
}

void PrintTotalsWindow::NextMonth() {
    ++m_selectedMonth;
    ShowYearMonth();
    ChoiceChanged();
}

void PrintTotalsWindow::ClearTotals() {
    totalsMemo->clear();
    totalsHeading->clear();
    m_hasTotals = false;
    saveCsvButton->setEnabled(false);
    chart->Clear();
    m_trendStale = false;
}

void PrintTotalsWindow::ChoiceChanged() {
    // Figures of another month or printer must never stand under the new choice.
    ClearTotals();
    if (!m_following) {
        return;
    }
    // Once counted, the window follows the choice; a half-typed printer name waits until it
    // names a printer of the list.
    if (printerCombo->findText(printerCombo->currentText(), Qt::MatchExactly) < 0) {
        return;
    }
    Count(false);
}

void PrintTotalsWindow::Calculate() {
    Count(true);
}

void PrintTotalsWindow::Count(bool asked) {
    ClearTotals();
    TotalsQuery query;
    query.printerText = printerCombo->currentText().toStdString();
    const int index = printerCombo->currentIndex();
    if (index >= 0 && static_cast<size_t>(index) < m_itemSlots.size()) {
        query.serverName =
            m_context.printerSlots.At(m_itemSlots[static_cast<size_t>(index)]).serverName;
    }
    query.year = YearOf(m_selectedMonth);
    query.month = MonthOf(m_selectedMonth);
    query.byComputer = byComputerRadio->isChecked();

    const TotalsResult result = SumChosenTotals(m_context.files, m_context.log, query, index);

    if (result.folderError != 0) {
        m_following = false;
        m_context.sink.Show(
            UnreachableFolderMessage(m_context.files.DataDirectory(), result.folderError),
            "Tessaroven Error", platform::kIconStop);
        return;
    }
    m_following = true;
    // The chart shows what the memo shows, and nothing when it shows nothing.
    m_shownQuery = query;
    m_shownTotals = result;
    chart->SetMonthTotals(query.printerText, m_selectedMonth, result, query.byComputer);
    m_trendStale = true;
    if (chart->isVisibleTo(this)) {
        UpdateTrend();
    }
    totalsHeading->setText(QString::fromStdString(TotalsHeading(
        query.printerText, m_selectedMonth, query.byComputer, result.groups.empty())));
    if (result.groups.empty()) {
        if (asked) {
            m_context.sink.Show("印刷データがありません。", "Tessaroven", platform::kIconStop);
        }
        return;
    }
    m_hasTotals = true;
    saveCsvButton->setEnabled(true);
    for (const auto& line : FormatTotals(query.printerText, result)) {
        totalsMemo->appendPlainText(
            QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
    }
    // Start reading at the grand total.
    totalsMemo->moveCursor(QTextCursor::Start);
    totalsMemo->ensureCursorVisible();
}

void PrintTotalsWindow::UpdateTrend() {
    if (!m_trendStale) {
        return;
    }
    m_trendStale = false;
    const MonthlyReport trend = SumTwelveMonths(m_context.files, m_shownQuery);
    if (trend.folderError != 0) {
        return;
    }
    chart->SetTrend(m_shownQuery.printerText, trend);
}

void PrintTotalsWindow::ShowChart(bool shown) {
    if (shown == chart->isVisibleTo(this)) {
        return;
    }
    const int memoWidth = totalsMemo->width();
    if (shown) {
        UpdateTrend();
        chart->show();
        const int chartWidth = Scaled(this, kChartWidth);
        resize(width() + chartWidth + m_split->handleWidth(), height());
        m_split->setSizes({memoWidth, chartWidth});
        // Widened to the right, the window may now reach past the screen's edge.
        if (const QScreen* screen = this->screen()) {
            const QRect room = screen->availableGeometry();
            const QRect frame = frameGeometry();
            if (frame.right() > room.right()) {
                move(std::max(room.left(), x() - (frame.right() - room.right())), y());
            }
        }
    } else {
        chart->hide();
        resize(std::max(minimumSizeHint().width(), memoWidth), height());
    }
}

void PrintTotalsWindow::SaveCsvAs() {
    if (!m_hasTotals) {
        return;
    }
    const QString path =
        AskCsvPath(this, SafeFileName(QString::fromStdString(TotalsCsvFileName(m_shownQuery))));
    if (!path.isEmpty()) {
        SaveCsv(path);
    }
}

bool PrintTotalsWindow::SaveCsv(const QString& path) {
    if (!m_hasTotals) {
        return false;
    }
    std::string text = TotalsCsv(m_shownQuery, m_shownTotals, kWindowCsvStyle);
    return WriteCsvFile(
        path,
        [&](std::string& piece) {
            piece.swap(text);
            return !piece.empty();
        },
        m_context.sink);
}
