#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QPushButton>
#include <QTableView>

#include "reports/PrintLogData.h"
#include "ui/ReportContext.h"

// The loaded records as grid rows; cells are cut from the display lines only when shown.
class PrintLogModel final : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit PrintLogModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

    void Reset(PrintLogTable table);
    const PrintLogTable& Table() const { return m_table; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    PrintLogTable m_table;
};

// The print log: every record of every user's print data file, oldest first, newest selected.
class PrintLogWindow final : public QDialog {
    Q_OBJECT
  public:
    explicit PrintLogWindow(const ReportContext& context, QWidget* parent = nullptr);

    void LoadPrintLog();

    QTableView* logGrid = nullptr;
    QPushButton* closeButton = nullptr;
    PrintLogModel* logModel = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void FitNameColumns();

    ReportContext m_context;
    int m_widths[6] = {30, 110, 120, 120, 80, 40};
};

extern PrintLogWindow* printLogWindow;
