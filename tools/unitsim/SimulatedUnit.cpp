#include "unitsim/SimulatedUnit.h"

#include "unitsim/HexRecord.h"
#include "unitsim/Reply.h"
#include "unitsim/ReplyWriter.h"

#include <QTcpSocket>

#include <cmath>

namespace unitsim {

using std::chrono::microseconds;

namespace {

microseconds fromMs(double ms)
{
    return microseconds(std::llround(std::max(0.0, ms) * 1000.0));
}

} // namespace

SimulatedUnit::SimulatedUnit(Model model, QObject* parent) : QObject(parent), m_model(model)
{
    connect(&m_server, &QTcpServer::newConnection, this, &SimulatedUnit::acceptNext);
}

SimulatedUnit::~SimulatedUnit()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

bool SimulatedUnit::listen(const QHostAddress& address, quint16 port)
{
    if (m_server.isListening())
        m_server.close();
    if (!m_server.listen(address, port))
        return false;
    m_port = m_server.serverPort();
    return true;
}

void SimulatedUnit::stopListening()
{
    m_server.close();
}

void SimulatedUnit::acceptNext()
{
    if (m_socket)
        return;
    QTcpSocket* socket = m_server.nextPendingConnection();
    if (!socket)
        return;

    m_socket = socket;
    m_framer = StreamFramer();
    m_nextIndex = 0;
    m_addressBase = 0;
    m_closing = false;
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    ConnectionReport report;
    report.number = int(m_report.connections.size()) + 1;
    report.peer = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    report.open = true;
    m_report.connections.append(report);

    m_writer = new ReplyWriter(socket, this);
    connect(m_writer, &ReplyWriter::written, this, [this](const QByteArray& bytes) {
        current().writes.append(bytes);
        emit replySent(bytes);
    });
    connect(m_writer, &ReplyWriter::closed, this, &SimulatedUnit::finishConnection);
    connect(socket, &QTcpSocket::readyRead, this, &SimulatedUnit::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &SimulatedUnit::finishConnection);

    emit connected(report.number);
    // A client that waited in the queue may already have sent data, or even gone away.
    if (socket->bytesAvailable() > 0)
        onReadyRead();
    if (m_socket == socket && socket->state() != QAbstractSocket::ConnectedState)
        finishConnection();
}

void SimulatedUnit::onReadyRead()
{
    if (!m_socket || m_closing)
        return;
    m_framer.append(m_socket->readAll());
    while (m_socket && !m_closing) {
        const std::optional<StreamFramer::Frame> frame = m_framer.next();
        if (!frame)
            break;
        handleFrame(*frame);
    }
}

void SimulatedUnit::finishConnection()
{
    if (!m_socket)
        return;
    // Whatever arrived together with the close still counts as received.
    if (m_socket->bytesAvailable() > 0)
        onReadyRead();
    if (!m_socket)
        return;

    QTcpSocket* socket = std::exchange(m_socket, nullptr);
    socket->disconnect(this);
    socket->deleteLater();
    m_writer->disconnect(this);
    m_writer->deleteLater();
    m_writer = nullptr;
    m_closing = true;

    current().open = false;
    emit disconnected(current().number);
    QMetaObject::invokeMethod(this, &SimulatedUnit::acceptNext, Qt::QueuedConnection);
}

void SimulatedUnit::handleFrame(const StreamFramer::Frame& frame)
{
    ReceivedMessage message;
    message.kind = frame.kind;
    message.bytes = frame.bytes;
    switch (frame.kind) {
    case MessageKind::Garbage:
        current().garbageBytes += int(frame.bytes.size());
        break;
    case MessageKind::Text:
        current().texts.append(ShownText{quint8(frame.bytes[4]), frame.bytes.mid(6, frame.bytes.size() - 7)});
        break;
    case MessageKind::Command02:
        break;
    case MessageKind::ProductCode:
    case MessageKind::Record:
        handleReplied(message);
        return;
    }
    current().messages.append(message);
    emit messageReceived(message.kind, message.bytes);
}

void SimulatedUnit::handleReplied(ReceivedMessage& message)
{
    const int connection = current().number;
    const int index = m_nextIndex++;
    message.index = index;

    HexRecord record;
    quint8 code = Acknowledge;
    if (message.kind == MessageKind::ProductCode)
        code = message.bytes == productCodeFrame(m_model) ? Acknowledge : ProductCodeRefusal;
    else
        code = recordVerdict(message.bytes, &record);

    QByteArray reply = replyFrame(code);
    QByteArray stray;
    bool replaced = false;
    bool twice = false;
    bool silent = false;
    microseconds latency = fromMs(m_latencyMs);
    microseconds splitGap = microseconds::zero();
    std::optional<Fault::Kind> close;
    QList<Fault> injected;

    for (const Fault& fault : std::as_const(m_faults)) {
        if (!fault.appliesTo(connection, index))
            continue;
        if (index == fault.atMessage)
            injected.append(fault);
        switch (fault.kind) {
        case Fault::Kind::Refuse:
            reply = replyFrame(fault.code);
            code = fault.code;
            replaced = true;
            break;
        case Fault::Kind::UnknownReply:
            reply = unknownReplyFrame();
            code = 0xFF;
            replaced = true;
            break;
        case Fault::Kind::UnknownHeader:
            reply = replyFrame(UnrecognisedHeader);
            code = UnrecognisedHeader;
            replaced = true;
            break;
        case Fault::Kind::StrayBytes:
            stray += fault.bytes;
            break;
        case Fault::Kind::SplitReply:
            splitGap = fault.ms > 0 ? fromMs(fault.ms) : std::chrono::milliseconds(3);
            break;
        case Fault::Kind::DoubleReply:
            twice = true;
            break;
        case Fault::Kind::Silence:
            silent = true;
            break;
        case Fault::Kind::Drop:
        case Fault::Kind::Reset:
            close = fault.kind;
            break;
        case Fault::Kind::Latency:
            latency = fromMs(fault.ms);
            break;
        }
    }

    const bool replying = !silent && !close;
    if (replying) {
        if (twice)
            reply += replyFrame(Acknowledge);
        message.reply = stray + reply;
    }

    ConnectionReport& report = current();
    if (replying && isRefusal(code))
        ++report.refusals;
    const bool accepted = replying && !replaced && code == Acknowledge;
    if (accepted && message.kind == MessageKind::Record) {
        ++report.recordsAccepted;
        applyRecord(record);
    }
    report.messages.append(message);

    for (const Fault& fault : std::as_const(injected))
        emit faultInjected(fault, index);
    emit messageReceived(message.kind, message.bytes);
    if (accepted && message.kind == MessageKind::Record && record.type == HexRecord::EndOfFile)
        emit imageCompleted(connection);

    if (!m_writer)
        return;
    if (close) {
        m_closing = true;
        m_writer->close(*close == Fault::Kind::Reset, latency);
    } else if (replying) {
        m_writer->send(message.reply, latency, splitGap);
    }
}

quint8 SimulatedUnit::recordVerdict(const QByteArray& line, HexRecord* record) const
{
    if (HexRecord::parse(line, record) != HexRecord::Status::Ok)
        return ChecksumRefusal;
    if (!m_recordTypes.contains(record->type))
        return RecordTypeRefusal;
    // Records whose length does not fit their type are as unusable as a corrupted line.
    const qsizetype size = record->data.size();
    switch (record->type) {
    case HexRecord::EndOfFile:
        return size == 0 ? Acknowledge : ChecksumRefusal;
    case HexRecord::ExtendedSegmentAddress:
    case HexRecord::ExtendedLinearAddress:
        return size == 2 ? Acknowledge : ChecksumRefusal;
    default:
        return Acknowledge;
    }
}

void SimulatedUnit::applyRecord(const HexRecord& record)
{
    switch (record.type) {
    case HexRecord::Data:
        current().image.write(m_addressBase + record.address, record.data);
        break;
    case HexRecord::EndOfFile:
        current().imageComplete = true;
        break;
    case HexRecord::ExtendedSegmentAddress:
        m_addressBase = quint32(record.dataWord()) << 4;
        break;
    case HexRecord::ExtendedLinearAddress:
        m_addressBase = quint32(record.dataWord()) << 16;
        break;
    default:
        break;
    }
}

} // namespace unitsim
