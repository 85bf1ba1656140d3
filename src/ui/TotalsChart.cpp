#include "ui/TotalsChart.h"

#include "ui/MonthPanel.h"

#include <QColor>
#include <QFont>
#include <QSet>
#include <QVBoxLayout>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSet>
#include <QtCharts/QHorizontalBarSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>

namespace {

QString Local(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

// A font that has Japanese glyphs wherever one is installed.
QFont ChartFont(int pixelSize, bool bold = false) {
    QFont font;
    font.setFamilies(
        {QStringLiteral("Noto Sans CJK JP"), QStringLiteral("MS UI Gothic"), font.family()});
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// An axis takes each label once: two names that read alike (bytes that are no character, say)
// must still each get a bar of their own.
void MakeLabelsUnique(std::vector<std::pair<QString, double>>& bars) {
    QSet<QString> seen;
    for (auto& [label, value] : bars) {
        QString unique = label;
        for (int n = 2; seen.contains(unique); ++n) {
            unique = QStringLiteral("%1 (%2)").arg(label).arg(n);
        }
        seen.insert(unique);
        label = unique;
    }
}

}  // namespace

TotalsChart::TotalsChart(QWidget* parent) : QWidget(parent) {
    viewCombo = new QComboBox(this);
    viewCombo->addItem(QString::fromUtf8("集計月の内訳"));
    viewCombo->addItem(QString::fromUtf8("12か月の推移"));
    chartView = new QChartView(this);
    chartView->setRenderHint(QPainter::Antialiasing);
    chartView->setMinimumSize(300, 200);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    layout->addWidget(viewCombo, 0, Qt::AlignLeft);
    layout->addWidget(chartView, 1);

    connect(viewCombo, &QComboBox::currentIndexChanged, this, [this] { Redraw(); });
    Redraw();
}

QString TotalsChart::GroupLabel(const std::string& name) {
    return name.empty() ? QString::fromUtf8("(名前なし)") : Local(name);
}

void TotalsChart::SetMonthTotals(const std::string& printerText, int selectedMonth,
                                 const TotalsResult& result, bool byComputer) {
    m_month = Data{};
    m_month.title = QString::fromUtf8("%1　%2　%3")
                        .arg(Local(printerText), MonthText(selectedMonth),
                             QString::fromUtf8(byComputer ? "コンピュータ別" : "ユーザー別"));
    m_month.axisTitle = QString::fromUtf8("枚数");
    // Largest first; equal ones as the memo lists them.
    std::vector<std::pair<std::string, std::int64_t>> groups = result.groups;
    std::stable_sort(groups.begin(), groups.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& [name, pages] : groups) {
        m_month.bars.emplace_back(GroupLabel(name), static_cast<double>(pages));
    }
    MakeLabelsUnique(m_month.bars);
    Redraw();
}

void TotalsChart::SetTrend(const std::string& printerText, const MonthlyReport& trend) {
    m_trend = Data{};
    m_trend.title =
        QString::fromUtf8("%1　%2〜%3")
            .arg(Local(printerText), MonthText(trend.fromMonth), MonthText(trend.toMonth));
    m_trend.axisTitle = QString::fromUtf8("枚数");
    for (int m = trend.fromMonth; m <= trend.toMonth; ++m) {
        m_trend.bars.emplace_back(
            MonthText(m),
            static_cast<double>(trend.monthTotals[static_cast<size_t>(m - trend.fromMonth)]));
    }
    Redraw();
}

void TotalsChart::Clear() {
    m_month = Data{};
    m_trend = Data{};
    Redraw();
}

void TotalsChart::Redraw() {
    const bool byGroup = viewCombo->currentIndex() != TwelveMonths;
    const Data& data = byGroup ? m_month : m_trend;
    auto* chart = new QChart;
    chart->legend()->hide();
    chart->setTitle(data.title);
    chart->setTitleFont(ChartFont(13, true));
    chart->setAnimationOptions(QChart::NoAnimation);
    if (!data.bars.empty()) {
        auto* set = new QBarSet(QString());
        set->setLabelColor(Qt::black);
        set->setLabelFont(ChartFont(11));
        QStringList categories;
        double low = 0;
        double high = 0;
        // Bars read from the top; the chart draws its first category at the bottom.
        for (size_t i = 0; i < data.bars.size(); ++i) {
            const auto& [label, value] = data.bars[data.bars.size() - 1 - i];
            categories << label;
            set->append(value);
            low = std::min(low, value);
            high = std::max(high, value);
        }
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
        auto* valueAxis = new QValueAxis;
        // Room past the longest bar for its number.
        valueAxis->setRange(low < 0 ? low * 1.25 : 0, high > 0 ? high * 1.25 : 1);
        valueAxis->setLabelFormat(QStringLiteral("%d"));
        valueAxis->setLabelsFont(ChartFont(10));
        valueAxis->setTitleText(data.axisTitle);
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
