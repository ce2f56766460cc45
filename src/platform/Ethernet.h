#pragma once

#include "platform/SocketStatus.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

// The TCP client connection to a unit. Bytes are handed out exactly as they came and sent exactly
// as given. Received bytes are kept here until read, so they stay readable after the unit has
// closed. At most ReadBufferSize bytes are held here and as many in the socket: a peer that sends
// faster than the reader takes is held back by TCP flow control, not by this process's memory.
//
// Qt reports a connection reset by the peer as an orderly close (it reads ECONNRESET as the end of
// the stream), so both arrive as peerClosed().
class Ethernet : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 ReadBufferSize = 64 * 1024;

    explicit Ethernet(QObject* parent = nullptr);
    ~Ethernet() override;

    // Starts connecting and returns at once; a connection that is not closed is closed first.
    void connectToUnit(const QString& host, quint16 port);
    QString remoteHost() const { return m_remoteHost; }
    SocketStatus status() const;
    // Returns false when the socket cannot take the data (not connected).
    bool sendData(const QByteArray& bytes);
    // What has been received and not yet read, at most ReadBufferSize bytes; empties the queue. A
    // new dataArrival follows when more is waiting.
    QByteArray getData();
    qint64 bytesAvailable() const { return m_received.size(); }
    void close();

signals:
    void statusChanged(const SocketStatus& status);
    void connected();
    // Raised from the event loop after new bytes have been queued; bytes: how many are queued.
    void dataArrival(qint64 bytes);
    void error(QAbstractSocket::SocketError error, const QString& description);
    // The unit closed the connection (orderly or by reset); status() says so until close().
    void peerClosed();

private:
    void onReadyRead();
    void onErrorOccurred();
    void onDisconnected();
    void readPending();
    void notifyStatus();

    QTcpSocket* m_socket;
    QString m_remoteHost;
    QByteArray m_received;
    bool m_failed = false;
    bool m_peerClosed = false;
    bool m_closing = false;
    // Events queued for a connection that has since been closed carry an older generation.
    quint64 m_generation = 0;
    SocketStatus m_notified;
};
