#pragma once

#include <vector>

#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include "reports/PrintTotals.h"
#include "reports/ReportContext.h"

// Print totals: the pages printed on one printer in one month, by computer or by user.
class TfrmPrintCalc final : public QDialog {
    Q_OBJECT
  public:
    explicit TfrmPrintCalc(const ReportContext& context, QWidget* parent = nullptr);

    QComboBox* cmbPrinterName = nullptr;
    QFrame* pnlYaerMonth = nullptr;
    QLabel* lblYearMonth = nullptr;  // the month panel's caption
    QToolButton* BitBtn1 = nullptr;
    QToolButton* BitBtn2 = nullptr;
    QRadioButton* rbtComputer = nullptr;
    QRadioButton* rbtUser = nullptr;
    QPushButton* btnCalc = nullptr;
    QPushButton* Button1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;

    // year * 12 + month; 0 until the window is first shown.
    int SelectedMonthValue() const { return m_selectedMonth; }

  public slots:
    void BitBtn1Click();
    void BitBtn2Click();
    void btnCalcClick();
    void ShowYearMonth();

  protected:
    void showEvent(QShowEvent* event) override;  // FormShow
    void done(int result) override;              // FormClose: every way of closing ends here

  private:
    ReportContext m_context;
    int m_selectedMonth = 0;
    // The slot behind each item of the printer list.
    std::vector<int> m_itemSlots;
};

extern TfrmPrintCalc* frmPrintCalc;
