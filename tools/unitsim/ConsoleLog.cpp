#include "unitsim/ConsoleLog.h"

#include "unitsim/Reply.h"
#include "unitsim/SimulatedUnit.h"

#include <QTextStream>

namespace unitsim {

namespace {

QString hexDump(const QByteArray& bytes, int limit = 48)
{
    QString out = QString::fromLatin1(bytes.left(limit).toHex(' ').toUpper());
    if (bytes.size() > limit)
        out += QStringLiteral(" ... (%1 bytes)").arg(bytes.size());
    return out;
}

QString rangesText(const FlashImage& image)
{
    QStringList parts;
    const QMap<quint32, QByteArray> ranges = image.ranges();
    for (auto it = ranges.begin(); it != ranges.end(); ++it) {
        parts << QStringLiteral("%1-%2")
                     .arg(it.key(), 8, 16, QLatin1Char('0'))
                     .arg(it.key() + quint32(it.value().size()) - 1, 8, 16, QLatin1Char('0'));
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(u", ");
}

// Empty unless a flood ran, so the summary of an ordinary connection stays as it was.
QString floodText(const ConnectionReport& report)
{
    if (report.floodsStarted == 0)
        return QString();
    return QStringLiteral(
               "; floods: %1 of %2 complete, %3 bytes sent (floodBytesSent), at most %4 bytes buffered")
        .arg(report.floodsCompleted)
        .arg(report.floodsStarted)
        .arg(report.floodBytesSent)
        .arg(report.floodPeakBuffered);
}

} // namespace

ConsoleLog::ConsoleLog(SimulatedUnit* unit, int recordsEvery, QObject* parent)
    : QObject(parent), m_unit(unit), m_recordsEvery(recordsEvery)
{
    connect(unit, &SimulatedUnit::connected, this, [this](int n) {
        print(QStringLiteral("[%1] connected from %2").arg(n).arg(m_unit->report().connections.last().peer));
    });
    connect(unit, &SimulatedUnit::messageReceived, this, &ConsoleLog::onMessage);
    connect(unit, &SimulatedUnit::faultInjected, this, [this](const Fault& fault, int message) {
        print(QStringLiteral("[%1] fault injected at message %2: %3")
                  .arg(m_unit->report().connections.last().number)
                  .arg(message)
                  .arg(fault.toString()));
    });
    connect(unit, &SimulatedUnit::imageCompleted, this, [this](int n) {
        print(QStringLiteral("[%1] end-of-file record: image complete").arg(n));
    });
    connect(unit, &SimulatedUnit::floodEnded, this, [this](int n, qint64 bytes, bool complete) {
        print(QStringLiteral("[%1] flood %2 after %3 bytes")
                  .arg(n)
                  .arg(complete ? QStringLiteral("complete") : QStringLiteral("cut off by the close"))
                  .arg(bytes));
    });
    connect(unit, &SimulatedUnit::disconnected, this, [this](int n) {
        print(QStringLiteral("[%1] closed").arg(n));
        printSummary(n);
    });
}

void ConsoleLog::print(const QString& line)
{
    QTextStream out(stdout);
    out << line << Qt::endl;
}

void ConsoleLog::onMessage()
{
    const ConnectionReport& report = m_unit->report().connections.last();
    const ReceivedMessage& message = report.messages.last();
    const QString prefix = QStringLiteral("[%1] ").arg(report.number);
    QString verdict = message.reply.isEmpty() ? QStringLiteral("no reply")
                                              : QStringLiteral("reply %1").arg(hexDump(message.reply));
    if (message.floodSize < 0)
        verdict = QStringLiteral("endless flood (nothing after it is ever sent)");
    else if (message.floodSize > 0)
        verdict = QStringLiteral("flood of %1 bytes, then %2").arg(message.floodSize).arg(verdict);
    switch (message.kind) {
    case MessageKind::Command02:
        print(prefix + QStringLiteral("command02 %1").arg(hexDump(message.bytes)));
        break;
    case MessageKind::Text: {
        const ShownText& text = report.texts.last();
        print(prefix + QStringLiteral("text at %1 \"%2\" (%3)")
                           .arg(text.position, 2, 16, QLatin1Char('0'))
                           .arg(QString::fromLatin1(text.text), hexDump(message.bytes)));
        break;
    }
    case MessageKind::Garbage:
        print(prefix + QStringLiteral("garbage skipped: %1").arg(hexDump(message.bytes)));
        break;
    case MessageKind::ProductCode:
        print(prefix + QStringLiteral("product code %1 (message %2) -> %3")
                           .arg(hexDump(message.bytes))
                           .arg(message.index)
                           .arg(verdict));
        break;
    case MessageKind::Record: {
        const bool plainAck = message.reply == replyFrame(Acknowledge) && message.floodSize == 0;
        if (!plainAck) {
            print(prefix + QStringLiteral("record %1 (message %2) -> %3")
                               .arg(QString::fromLatin1(message.bytes.left(80)))
                               .arg(message.index)
                               .arg(verdict));
        } else if (m_recordsEvery > 0 && report.recordsAccepted > 0 &&
                   report.recordsAccepted % m_recordsEvery == 0) {
            print(prefix + QStringLiteral("%1 records accepted").arg(report.recordsAccepted));
        }
        break;
    }
    }
}

void ConsoleLog::printSummary(int connection)
{
    const ConnectionReport& report = m_unit->report().connections.at(connection - 1);
    print(QStringLiteral("[%1] summary: %2 records accepted, %3 refusals, %4 garbage bytes, %5 texts; "
                         "image %6 bytes in %7: %8; %9")
              .arg(report.number)
              .arg(report.recordsAccepted)
              .arg(report.refusals)
              .arg(report.garbageBytes)
              .arg(report.texts.size())
              .arg(report.image.byteCount())
              .arg(report.image.ranges().size() == 1 ? QStringLiteral("1 range")
                                                     : QStringLiteral("%1 ranges").arg(report.image.ranges().size()))
              .arg(rangesText(report.image))
              .arg(report.imageComplete ? QStringLiteral("complete") : QStringLiteral("not complete")) +
          floodText(report));
}

} // namespace unitsim
