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

// One flood chunk each.
const QByteArray& zeroPattern()
{
    static const QByteArray zeros(64 * 1024, '\0');
    return zeros;
}

// Every byte value but FD in turn, 257 times round: the cycle carries on seamlessly from one
// chunk to the next, and nothing in it can be taken for the start of a reply.
const QByteArray& strayPattern()
{
    static const QByteArray pattern = [] {
        QByteArray bytes;
        bytes.reserve(255 * 257);
        for (int round = 0; round < 257; ++round) {
            for (int value = 0; value < 256; ++value) {
                if (value != 0xFD)
                    bytes += char(value);
            }
        }
        return bytes;
    }();
    return pattern;
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
    connect(m_writer, &ReplyWriter::floodStarted, this, [this] {
        ++current().floodsStarted;
        m_floodSent = 0;
    });
    connect(m_writer, &ReplyWriter::floodSent, this, [this](qint64 bytes) {
        current().floodBytesSent += bytes;
        m_floodSent += bytes;
    });
    connect(m_writer, &ReplyWriter::floodBuffered, this, [this](qint64 bytes) {
        current().floodPeakBuffered = std::max(current().floodPeakBuffered, bytes);
    });
    connect(m_writer, &ReplyWriter::floodFinished, this, [this] {
        ++current().floodsCompleted;
        emit floodEnded(current().number, m_floodSent, true);
    });
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
    const bool flooding = m_writer->isFlooding();
    socket->disconnect(this);
    socket->deleteLater();
    m_writer->disconnect(this);
    m_writer->deleteLater();
    m_writer = nullptr;
    m_closing = true;

    current().open = false;
    if (flooding)
        emit floodEnded(current().number, m_floodSent, false);
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
    std::optional<Fault> flood; // the last flood fault listed wins
    QByteArray trail;
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
        case Fault::Kind::FloodHeader:
        case Fault::Kind::FloodStray:
            flood = fault;
            break;
        case Fault::Kind::TrailBytes:
        case Fault::Kind::SuffixBytes:
            trail += fault.bytes;
            break;
        }
    }

    const bool floodHeader = flood && flood->kind == Fault::Kind::FloodHeader;
    if (floodHeader) {
        // The header that starts the flood takes the place of the reply.
        code = UnrecognisedHeader;
        replaced = true;
    }

    const bool replying = !silent && !close;
    QByteArray after; // what follows the flood, or the whole reply after the stray bytes
    if (replying) {
        if (!floodHeader)
            after = reply;
        if (twice)
            after += replyFrame(Acknowledge);
        after += trail;
        message.reply = stray + after;
        if (flood)
            message.floodSize = flood->mebibytes == 0 ? -1 : flood->floodBytes();
    }

    const bool refusal = replying && isRefusal(code);
    const bool accepted = replying && !replaced && code == Acknowledge && message.kind == MessageKind::Record;
    // Counts the reply once the tool has been given it; returns whether the image is now complete.
    auto account = [this, refusal, accepted, record] {
        ConnectionReport& report = current();
        if (refusal)
            ++report.refusals;
        if (!accepted)
            return false;
        ++report.recordsAccepted;
        applyRecord(record);
        return record.type == HexRecord::EndOfFile;
    };
    // Behind a flood the reply may never reach the tool, so it counts only once it is written.
    const bool deferred = replying && m_writer && (flood || m_writer->hasFlood());
    const bool completes = !deferred && account();

    current().messages.append(message);
    for (const Fault& fault : std::as_const(injected))
        emit faultInjected(fault, index);
    emit messageReceived(message.kind, message.bytes);
    if (completes)
        emit imageCompleted(connection);

    if (!m_writer)
        return;
    ReplyWriter::Done done;
    if (deferred) {
        done = [this, account, connection] {
            if (account())
                emit imageCompleted(connection);
        };
    }
    if (close) {
        m_closing = true;
        m_writer->close(*close == Fault::Kind::Reset, latency);
    } else if (replying && flood) {
        if (!stray.isEmpty()) {
            m_writer->send(stray, latency, splitGap);
            latency = microseconds::zero();
        }
        const qint64 total = flood->floodBytes();
        if (floodHeader)
            m_writer->flood(replyFrame(UnrecognisedHeader), zeroPattern(), total, latency,
                            after.isEmpty() ? done : nullptr);
        else
            m_writer->flood(QByteArray(), strayPattern(), total, latency, after.isEmpty() ? done : nullptr);
        if (!after.isEmpty())
            m_writer->send(after, microseconds::zero(), splitGap, done);
    } else if (replying) {
        m_writer->send(message.reply, latency, splitGap, done);
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
