#include "ui/HistoryTableModel.h"

#include "history/HistoryFormat.h"
#include "history/HistoryTime.h"

void HistoryTableModel::setRows(QList<UpdateRecord> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int HistoryTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int HistoryTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Id:
        return QStringLiteral("ID");
    case Started:
        return QStringLiteral("Started");
    case Unit:
        return QStringLiteral("Unit");
    case Outcome:
        return QStringLiteral("Outcome");
    case Records:
        return QStringLiteral("Records");
    case Elapsed:
        return QStringLiteral("Time (s)");
    case File:
        return QStringLiteral("File");
    case Sha256:
        return QStringLiteral("SHA-256");
    case FrontEnd:
        return QStringLiteral("From");
    case Computer:
        return QStringLiteral("Computer");
    case User:
        return QStringLiteral("User");
    case Serial:
        return QStringLiteral("Serial");
    case Lot:
        return QStringLiteral("Lot");
    case Fixture:
        return QStringLiteral("Fixture");
    case Attempt:
        return QStringLiteral("Attempt");
    case Reason:
        return QStringLiteral("Reason");
    default:
        return {};
    }
}

QVariant HistoryTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const UpdateRecord& r = m_rows.at(index.row());
    const bool sortKey = role == Qt::UserRole;
    if (role == Qt::TextAlignmentRole) {
        const bool number = index.column() == Id || index.column() == Records || index.column() == Elapsed ||
                            index.column() == Attempt;
        return QVariant::fromValue(Qt::AlignVCenter | (number ? Qt::AlignRight : Qt::AlignLeft));
    }
    if (role == Qt::ToolTipRole && index.column() == Sha256)
        return r.sha256;
    if (role != Qt::DisplayRole && !sortKey)
        return {};
    switch (index.column()) {
    case Id: {
        if (sortKey)
            return r.id;
        // Waiting on this computer: the shared history has no row of it yet, or an earlier state.
        const QString id = r.id == 0 ? QString() : QString::number(r.id);
        return r.waiting ? id + QLatin1Char('*') : id;
    }
    case Started:
        // Local time for the operator; the stored UTC text sorts the same way.
        return sortKey ? QVariant(HistoryTime::format(r.started))
                       : QVariant(r.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    case Unit:
        return HistoryFormat::escapeControls(HistoryFormat::unit(r.unitHost, r.unitPort));
    case Outcome:
        return r.outcome;
    case Records:
        if (sortKey)
            return r.recordsSent;
        return r.recordsTotal >= 0 ? QStringLiteral("%1/%2").arg(r.recordsSent).arg(r.recordsTotal)
                                   : QString::number(r.recordsSent);
    case Elapsed:
        return sortKey ? QVariant(r.elapsedSeconds) : QVariant(QString::number(r.elapsedSeconds, 'f', 1));
    case File:
        return HistoryFormat::escapeControls(r.fileName);
    case Sha256:
        return sortKey ? r.sha256 : r.sha256.left(12);
    case FrontEnd:
        return r.frontend;
    case Computer:
        return HistoryFormat::escapeControls(r.host);
    case User:
        return HistoryFormat::escapeControls(r.user);
    case Serial:
        return HistoryFormat::escapeControls(r.serial);
    case Lot:
        return HistoryFormat::escapeControls(r.lot);
    case Fixture:
        return r.fixture;
    case Attempt:
        return sortKey ? QVariant(r.attempt) : QVariant(QString::number(r.attempt));
    case Reason:
        return HistoryFormat::escapeControls(r.reason);
    default:
        return {};
    }
}
