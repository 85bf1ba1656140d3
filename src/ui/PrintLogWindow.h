#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTableView>

#include "ui/PrintLogModel.h"
#include "ui/ReportContext.h"

// The print log: every record of every user's print data file, oldest first, newest selected.
class PrintLogWindow final : public QDialog {
    Q_OBJECT
  public:
    explicit PrintLogWindow(const ReportContext& context, QWidget* parent = nullptr);

    void LoadPrintLog();
    // Writes every line the grid shows as CSV (for spreadsheet programs); false after telling
    // the user why not.
    bool SaveCsv(const QString& path);

    QTableView* logGrid = nullptr;
    QPushButton* closeButton = nullptr;
    QLabel* emptyLabel = nullptr;  // "印刷データがありません。" in place of the rows
    QPushButton* saveCsvButton = nullptr;
    PrintLogModel* logModel = nullptr;

  public slots:
    void SaveCsvAs();

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void SetColumnWidths();
    void FitNameColumns();
    int FixedRoom() const;  // the grid's frame and its vertical scroll bar

    ReportContext m_context;
    int m_widths[6] = {30, 110, 120, 120, 80, 40};
    int m_nameMinimum[3] = {0, 0, 0};  // the name columns' headings
};

extern PrintLogWindow* printLogWindow;
