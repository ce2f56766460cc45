#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

// The TCP client connection to the unit, with the operations, numbered states and events the
// upload engine and the status line rely on:
//   0 closed, 1 open, 2 listening, 3 connection pending, 4 resolving the host name,
//   5 host name resolved, 6 connecting, 7 connected, 8 the peer is closing the connection, 9 error.
// After an error the state stays 9, and after the peer closed it stays 8, until close().
// Received bytes are kept here until read, so they stay readable after the peer has closed. At
// most ReadBufferSize bytes are held here and as many in the socket: a peer that sends faster than
// the reader takes is held back by TCP flow control, not by this process's memory.
class Ethernet : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 ReadBufferSize = 64 * 1024;

    enum State : int {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        PeerClosing = 8,
        Error = 9,
    };

    explicit Ethernet(QObject* parent = nullptr);
    ~Ethernet() override;

    void setRemotePort(int port);
    int remotePort() const { return m_remotePort; }
    void setRemoteHost(const QString& host);
    QString remoteHost() const { return m_remoteHost; }

    // Starts connecting and returns at once; a socket that is not closed is closed first.
    void connectToUnit();
    int state() const;
    // Every byte goes out unchanged, in order, with nothing added. Returns false when the socket
    // cannot take the data (not connected).
    bool sendData(const QByteArray& bytes);
    // What has been received and not yet read, at most ReadBufferSize bytes; empties the queue. A
    // new dataArrival follows when more is waiting.
    QByteArray getData();
    qint64 bytesAvailable() const { return m_received.size(); }
    void close();

signals:
    // The state (0-9) changed.
    void stateChanged(int state);
    // The connection is up (state 7).
    void connected();
    // Raised from the event loop after new bytes have been queued.
    void dataArrival(qint64 bytesTotal);
    // number: a Windows Sockets error number (10061 = connection refused).
    void error(int number, const QString& description);
    // The unit closed the connection (orderly or by reset); the state is 8 until close().
    void peerClosed();

private:
    void onReadyRead();
    void onErrorOccurred();
    void onDisconnected();
    void readPending();
    void notifyState();

    QTcpSocket* m_socket;
    QString m_remoteHost;
    int m_remotePort = 0;
    QByteArray m_received;
    bool m_latchedError = false;
    bool m_peerClosed = false;
    bool m_closing = false;
    quint64 m_generation = 0;
    int m_notifiedState = Closed;
};
