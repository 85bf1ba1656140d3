#include "ui/TotalsChart.h"

#include <QColor>
#include <QCursor>
#include <QEvent>
#include <QFont>
#include <QFontInfo>
#include <QFontMetrics>
#include <QToolTip>
#include <QVBoxLayout>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSet>
#include <QtCharts/QHorizontalBarSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>

namespace {

QString Text(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TotalsChart::TotalsChart(QWidget* parent) : QWidget(parent) {
    viewCombo = new QComboBox(this);
    viewCombo->addItem(QString::fromUtf8("集計月の内訳"));
    viewCombo->addItem(QString::fromUtf8("12か月の推移"));
    chartView = new QChartView(this);
    // Its bars cannot be reached by keyboard: Tab passes it by rather than vanish into it.
    chartView->setFocusPolicy(Qt::NoFocus);
    chartView->setRenderHint(QPainter::Antialiasing);
    chartView->setMinimumSize(300, 200);
    chartView->installEventFilter(this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    layout->addWidget(viewCombo, 0, Qt::AlignLeft);
    layout->addWidget(chartView, 1);

    connect(viewCombo, &QComboBox::currentIndexChanged, this, [this] { Redraw(); });
    Redraw();
}

QString TotalsChart::GroupLabel(const std::string& name) {
    return Text(::GroupLabel(name));
}

void TotalsChart::SetMonthTotals(const std::string& printerText, int selectedMonth,
                                 const TotalsResult& result, bool byComputer) {
    m_month = MonthChartData(printerText, selectedMonth, result, byComputer);
    Redraw();
}

void TotalsChart::SetTrend(const std::string& printerText, const MonthlyReport& trend) {
    m_trend = TrendChartData(printerText, trend);
    Redraw();
}

void TotalsChart::Clear() {
    m_month = ChartData{};
    m_trend = ChartData{};
    Redraw();
}

// A font that has Japanese glyphs wherever one is installed, sized as designed for a 12 pixel
// desktop font and growing with the desktop's.
QFont TotalsChart::ChartFont(int designPixels, bool bold) const {
    QFont font = this->font();
    font.setFamilies(
        {QStringLiteral("Noto Sans CJK JP"), QStringLiteral("MS UI Gothic"), font.family()});
    font.setPixelSize(
        std::max(designPixels, designPixels * QFontInfo(this->font()).pixelSize() / 12));
    font.setBold(bold);
    return font;
}

std::pair<int, int> TotalsChart::Room() const {
    // Hidden, it has no size yet: every bar, until it is shown.
    if (!chartView->isVisible()) {
        return {kNoLimit, kNoLimit};
    }
    const QFontMetrics label(ChartFont(11));
    const QFontMetrics title(ChartFont(13, true));
    // The title, the value axis with its numbers and title, and the chart's margins.
    const int reserved = title.height() + 2 * label.height() + 70;
    // A bar's row: its label with the axis' padding above and below.
    const int rows = (chartView->height() - reserved) / (label.height() + 10);
    const int labelWidth = std::max(chartView->width() * 2 / 5, 6 * label.averageCharWidth());
    // Steps of a few pixels, so that not every pixel of a resize draws the chart anew.
    return {std::max(rows, 2), labelWidth / 8 * 8};
}

bool TotalsChart::eventFilter(QObject* watched, QEvent* event) {
    // Shown or resized, the view may fit more or fewer bars than are drawn.
    if (watched == chartView &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Show) &&
        Room() != m_drawnRoom) {
        Redraw();
    }
    return QWidget::eventFilter(watched, event);
}

void TotalsChart::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        Redraw();
    }
}

void TotalsChart::Redraw() {
    const bool byGroup = viewCombo->currentIndex() != TwelveMonths;
    const ChartData& data = byGroup ? m_month : m_trend;
    m_drawnRoom = Room();
    const auto [rows, labelWidth] = m_drawnRoom;

    // What is drawn, top to bottom: the largest groups, and the rest in one bar when they do
    // not all fit.
    const QFontMetrics metrics(ChartFont(11));
    const std::vector<DrawnBar> bars =
        FitChartBars(data, rows, labelWidth, [&](std::string_view text) {
            return metrics.horizontalAdvance(
                QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
        });

    auto* chart = new QChart;
    chart->legend()->hide();
    chart->setTitle(Text(data.title));
    chart->setTitleFont(ChartFont(13, true));
    chart->setAnimationOptions(QChart::NoAnimation);
    m_tips.clear();
    if (!bars.empty()) {
        auto* set = new QBarSet(QString());
        set->setLabelColor(Qt::black);
        set->setLabelFont(ChartFont(11));
        QStringList categories;
        double low = 0;
        double high = 0;
        // Bars read from the top; the chart draws its first category at the bottom.
        for (size_t i = 0; i < bars.size(); ++i) {
            const DrawnBar& bar = bars[bars.size() - 1 - i];
            const double value = static_cast<double>(bar.pages);
            categories << Text(bar.label);
            set->append(value);
            m_tips.push_back(Text(bar.tip));
            low = std::min(low, value);
            high = std::max(high, value);
        }
        connect(set, &QBarSet::hovered, this, [this](bool entered, int index) {
            if (entered && index >= 0 && static_cast<size_t>(index) < m_tips.size()) {
                QToolTip::showText(QCursor::pos(), m_tips[static_cast<size_t>(index)], chartView);
            } else {
                QToolTip::hideText();
            }
        });
        if (!byGroup) {
            // The chosen month, the memo's, stands out at the bottom.
            set->setSelectedColor(QColor(0x1f, 0x4e, 0x9a));
            set->selectBar(0);
        }
        auto* series = new QHorizontalBarSeries;
        series->append(set);
        series->setLabelsVisible(true);
        series->setLabelsFormat(QStringLiteral("@value"));
        series->setLabelsPrecision(16);  // whole numbers, never in exponent form
        series->setLabelsPosition(QAbstractBarSeries::LabelsOutsideEnd);
        chart->addSeries(series);

        auto* categoryAxis = new QBarCategoryAxis;
        categoryAxis->append(categories);
        categoryAxis->setLabelsFont(ChartFont(11));
        // Already shortened to fit, in the middle; the axis would cut them at the end.
        categoryAxis->setTruncateLabels(false);
        auto* valueAxis = new QValueAxis;
        // Room past the longest bar for its number.
        valueAxis->setRange(low < 0 ? low * 1.25 : 0, high > 0 ? high * 1.25 : 1);
        valueAxis->setLabelFormat(QStringLiteral("%d"));
        valueAxis->setLabelsFont(ChartFont(10));
        valueAxis->setTitleText(Text(data.axisTitle));
        valueAxis->setTitleFont(ChartFont(11));
        valueAxis->applyNiceNumbers();
        chart->addAxis(categoryAxis, Qt::AlignLeft);
        chart->addAxis(valueAxis, Qt::AlignBottom);
        series->attachAxis(categoryAxis);
        series->attachAxis(valueAxis);
    }
    QChart* old = chartView->chart();
    chartView->setChart(chart);
    delete old;
}

std::vector<std::pair<QString, double>> TotalsChart::Bars() const {
    std::vector<std::pair<QString, double>> bars;
    const QList<QAbstractSeries*> series = chartView->chart()->series();
    if (series.isEmpty()) {
        return bars;
    }
    auto* barSeries = qobject_cast<QAbstractBarSeries*>(series.front());
    if (barSeries == nullptr || barSeries->barSets().isEmpty()) {
        return bars;
    }
    QBarCategoryAxis* axis = nullptr;
    for (QAbstractAxis* a : barSeries->attachedAxes()) {
        if (auto* c = qobject_cast<QBarCategoryAxis*>(a)) {
            axis = c;
        }
    }
    const QBarSet* set = barSeries->barSets().front();
    for (int i = 0; i < set->count(); ++i) {
        bars.emplace_back(axis != nullptr && i < axis->count() ? axis->at(i) : QString(),
                          set->at(i));
    }
    std::reverse(bars.begin(), bars.end());
    return bars;
}

std::vector<QString> TotalsChart::BarTips() const {
    return {m_tips.rbegin(), m_tips.rend()};
}
