#pragma once

#include "fleet/UnitAddress.h"

#include <QObject>
#include <QTcpSocket>
#include <QTimer>

// Whether anything answers at a unit's address: a TCP connection opened and closed again without a
// byte sent, so the unit sees nothing it could take for a command. One probe at a time.
class UnitProbe : public QObject
{
    Q_OBJECT
public:
    explicit UnitProbe(QObject* parent = nullptr);

    // Ends in finished() after at most timeoutMs; a probe under way is dropped first.
    void probe(const UnitAddress& address, int timeoutMs);
    void cancel();
    bool running() const { return m_running; }

signals:
    void finished(bool answered);

private:
    void end(bool answered);

    QTcpSocket m_socket;
    QTimer m_timeout;
    bool m_running = false;
};
