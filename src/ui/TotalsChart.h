#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <QComboBox>
#include <QString>
#include <QWidget>
#include <QtCharts/QChartView>

#include "reports/MonthlyReport.h"
#include "reports/PrintTotals.h"

// The print totals as horizontal bars with their numbers: the month's pages per group, largest
// first, or the printer's pages of each of the last twelve months up to the chosen one, oldest
// first.
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

    // How a group's name reads on the axis: a nameless group gets a word for it.
    static QString GroupLabel(const std::string& name);

    QComboBox* viewCombo = nullptr;
    QChartView* chartView = nullptr;

  private:
    void Redraw();

    struct Data {
        QString title;
        QString axisTitle;
        std::vector<std::pair<QString, double>> bars;  // in the order they are read
    };
    Data m_month;
    Data m_trend;
};
