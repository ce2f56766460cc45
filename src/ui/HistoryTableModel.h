#pragma once

#include "history/UpdateRecord.h"

#include <QAbstractTableModel>
#include <QList>

// The rows of the History dialog's table, one update each. Every cell has its text for display
// and a sort key (Qt::UserRole: numbers as numbers, times as their stored text) for sorting.
class HistoryTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column
    {
        Id,
        Started,
        Unit,
        Outcome,
        Records,
        Elapsed,
        File,
        Sha256,
        FrontEnd,
        Computer,
        User,
        Serial,
        Lot,
        Fixture,
        Attempt,
        Reason,
        ColumnCount,
    };

    using QAbstractTableModel::QAbstractTableModel;

    void setRows(QList<UpdateRecord> rows);
    const QList<UpdateRecord>& rows() const { return m_rows; }
    const UpdateRecord& row(int index) const { return m_rows.at(index); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QList<UpdateRecord> m_rows;
};
