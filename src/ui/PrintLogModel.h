#pragma once

#include <QAbstractTableModel>

#include "reports/PrintLogData.h"

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
