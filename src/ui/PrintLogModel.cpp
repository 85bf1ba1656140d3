#include "ui/PrintLogModel.h"

#include "reports/PrintLogData.h"

namespace {

const char* const kHeaders[] = {"", "日時", "プリンタ名", "コンピュータ名", "ユーザー名", "枚数"};

}  // namespace

void PrintLogModel::Reset(PrintLogTable table) {
    beginResetModel();
    m_table = std::move(table);
    endResetModel();
}

int PrintLogModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) {
        return 0;
    }
    return static_cast<int>(m_table.Size());
}

int PrintLogModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 6;
}

QVariant PrintLogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<size_t>(index.row()) >= m_table.Size()) {
        return {};
    }
    // A name too long for its column is elided there and shown whole in the tooltip.
    if (role == Qt::DisplayRole ||
        (role == Qt::ToolTipRole && index.column() >= 2 && index.column() <= 4)) {
        if (index.column() == 0) {
            return index.row() + 1;
        }
        const std::string field =
            GetCsvField(m_table.Line(static_cast<size_t>(index.row())), index.column() - 1);
        return QString::fromUtf8(field.data(), static_cast<qsizetype>(field.size()));
    }
    if (role == Qt::TextAlignmentRole && (index.column() == 0 || index.column() == 5)) {
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

QVariant PrintLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 || section > 5) {
        return {};
    }
    return QString::fromUtf8(kHeaders[section]);
}
