#pragma once

#include "unitsim/Fault.h"
#include "unitsim/FlashImage.h"
#include "unitsim/Message.h"
#include "unitsim/Model.h"
#include "unitsim/StreamFramer.h"
#include "unitsim/UnitReport.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTcpServer>

class QTcpSocket;

namespace unitsim {

class HexRecord;
class ReplyWriter;

// The hardware unit as the uploader sees it: a TCP server that takes command frames, a
// product-code frame and Intel HEX record lines, answers each product code and record with an
// 8-byte reply, and writes acknowledged data into a flash image. Scripted faults (see Fault)
// make it misbehave in the ways the uploader has to survive; they count only the messages that
// get a reply (product code and records), not command frames or garbage.
//
// A flood fault streams any amount under TCP flow control (see ReplyWriter), so the unit's memory
// stays small. Messages that arrive meanwhile are handled as usual; their replies follow once the
// flood has ended, which for an endless flood is never.
//
// One connection is served at a time. Clients that connect meanwhile are accepted by the OS and
// wait, unread, until the current connection has closed.
class SimulatedUnit : public QObject
{
    Q_OBJECT
public:
    explicit SimulatedUnit(Model model, QObject* parent = nullptr);
    ~SimulatedUnit() override;

    Model model() const { return m_model; }

    // Port 0 picks a free port; port() tells which one.
    bool listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    // Further connection attempts are refused until listen() is called again (the port stays
    // known, so listen(address, port()) reopens the same one). A current connection stays open.
    void stopListening();
    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_port; }
    QString errorString() const { return m_server.errorString(); }

    // Delay before every reply, fractional milliseconds allowed (1 ms timer granularity).
    void setLatencyMs(double ms) { m_latencyMs = ms; }
    // Record types acknowledged; others get the record-type refusal. Default {00, 01, 02, 04}.
    void setSupportedRecordTypes(const QSet<int>& types) { m_recordTypes = types; }
    QSet<int> supportedRecordTypes() const { return m_recordTypes; }

    void addFault(const Fault& fault) { m_faults.append(fault); }
    void clearFaults() { m_faults.clear(); }
    QList<Fault> faults() const { return m_faults; }

    // Histories of all connections so far, the current one last; readable at any time.
    const UnitReport& report() const { return m_report; }

signals:
    void connected(int connection);
    // Emitted after the message was handled, so report() already holds it and its reply.
    void messageReceived(unitsim::MessageKind kind, const QByteArray& bytes);
    // One signal per socket write (a split reply gives one per byte); flood streams give none.
    void replySent(const QByteArray& bytes);
    void faultInjected(const unitsim::Fault& fault, int message);
    void imageCompleted(int connection);
    // A flood fault's stream ran to its end (`complete`) or was cut off by the connection closing.
    void floodEnded(int connection, qint64 bytesSent, bool complete);
    void disconnected(int connection);

private:
    void acceptNext();
    void onReadyRead();
    void finishConnection();
    void handleFrame(const StreamFramer::Frame& frame);
    void handleReplied(ReceivedMessage& message);
    quint8 recordVerdict(const QByteArray& line, HexRecord* record) const;
    void applyRecord(const HexRecord& record);
    ConnectionReport& current() { return m_report.connections.last(); }

    Model m_model;
    QTcpServer m_server;
    quint16 m_port = 0;
    double m_latencyMs = 0;
    QSet<int> m_recordTypes{0x00, 0x01, 0x02, 0x04};
    QList<Fault> m_faults;
    UnitReport m_report;

    // The connection being served.
    QTcpSocket* m_socket = nullptr;
    ReplyWriter* m_writer = nullptr;
    StreamFramer m_framer;
    int m_nextIndex = 0;
    quint32 m_addressBase = 0;
    bool m_closing = false;
    qint64 m_floodSent = 0; // of the flood running now
};

} // namespace unitsim
