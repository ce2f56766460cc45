#include "station/StationHistory.h"

StationHistory::StationHistory(QObject* parent) : QObject(parent)
{
    connect(&m_history, &UpdateHistory::warning, this, [this](const QString& message) {
        m_warnings.append(message);
        emit warning(message);
    });
    connect(&m_history, &UpdateHistory::waitingChanged, this, [this](qint64 count, const QDateTime& oldest) {
        m_waiting = count;
        m_oldestWaiting = oldest;
    });
}
