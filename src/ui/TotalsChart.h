#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <QComboBox>
#include <QString>
#include <QWidget>
#include <QtCharts/QChartView>

#include "reports/ChartData.h"
#include "reports/MonthlyReport.h"
#include "reports/PrintTotals.h"

// The print totals as horizontal bars with their numbers: the month's pages per group, largest
// first, or the printer's pages of each of the last twelve months up to the chosen one, oldest
// first. Where the month has more groups than rows fit, the smallest share one bar "その他"; long
// names are shortened in the middle, and each bar's tooltip gives the whole name and its pages.
class TotalsChart final : public QWidget {
    Q_OBJECT
  public:
    enum View { MonthByGroup = 0, TwelveMonths = 1 };

    explicit TotalsChart(QWidget* parent = nullptr);

    // The month's groups as the memo lists them; byComputer names the axis.
    void SetMonthTotals(const std::string& printerText, int selectedMonth,
                        const TotalsResult& result, bool byComputer);
    // The twelve months' totals (a report over them).
    void SetTrend(const std::string& printerText, const MonthlyReport& trend);
    void Clear();

    // The bars the chart draws, from its own series, top to bottom: the label on the axis and
    // the value.
    std::vector<std::pair<QString, double>> Bars() const;
    // The tooltip of each bar Bars() lists, in the same order.
    std::vector<QString> BarTips() const;

    // How a group's name reads on the axis: a nameless group gets a word for it.
    static QString GroupLabel(const std::string& name);

    QComboBox* viewCombo = nullptr;
    QChartView* chartView = nullptr;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void Redraw();
    // How many bars fit above each other with room for their numbers, and how wide an axis
    // label may be, at the chart's present size.
    std::pair<int, int> Room() const;
    QFont ChartFont(int designPixels, bool bold = false) const;

    ChartData m_month;
    ChartData m_trend;
    std::pair<int, int> m_drawnRoom{-1, -1};
    std::vector<QString> m_tips;  // of the drawn bars, bottom to top as the series holds them
};
