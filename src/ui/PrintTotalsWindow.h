#pragma once

#include <vector>

#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QToolButton>

#include "reports/PrintTotals.h"
#include "ui/MonthPanel.h"
#include "ui/ReportContext.h"
#include "ui/TotalsChart.h"

// Print totals: the pages printed on one printer in one month, by computer or by user.
class PrintTotalsWindow final : public QDialog {
    Q_OBJECT
  public:
    explicit PrintTotalsWindow(const ReportContext& context, QWidget* parent = nullptr);

    QComboBox* printerCombo = nullptr;
    MonthPanel month;
    QRadioButton* byComputerRadio = nullptr;
    QRadioButton* byUserRadio = nullptr;
    QPushButton* calculateButton = nullptr;
    QPushButton* closeButton = nullptr;
    QLabel* totalsHeading = nullptr;  // printer, month and grouping of what is shown
    QPlainTextEdit* totalsMemo = nullptr;
    // Beside the memo, shown on demand: the same figures as bars.
    QPushButton* chartButton = nullptr;
    TotalsChart* chart = nullptr;
    QPushButton* saveCsvButton = nullptr;

    // Writes the totals the memo shows as CSV (for spreadsheet programs); false after telling
    // the user why not.
    bool SaveCsv(const QString& path);

    // year * 12 + month; 0 until the window is first shown.
    int SelectedMonthValue() const { return m_selectedMonth; }

  public slots:
    void PreviousMonth();
    void NextMonth();
    void Calculate();
    void ShowYearMonth();
    void ShowChart(bool shown);
    void SaveCsvAs();

  protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;  // every way of closing ends here

  private slots:
    void ChoiceChanged();

  private:
    void UpdateTrend();
    void ClearTotals();
    // Counts for the current choice; the no-data message only when the user asked (集計).
    void Count(bool asked);

    ReportContext m_context;
    int m_selectedMonth = 0;
    QSplitter* m_split = nullptr;
    // What the memo shows, for the chart and the CSV file.
    bool m_hasTotals = false;
    TotalsQuery m_shownQuery;
    TotalsResult m_shownTotals;
    bool m_trendStale = false;
    // Counted since the window was shown: a changed choice is counted again at once.
    bool m_following = false;
    // The slot behind each item of the printer list.
    std::vector<int> m_itemSlots;
};

extern PrintTotalsWindow* printTotalsWindow;
