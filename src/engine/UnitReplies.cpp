#include "engine/UnitReplies.h"

namespace {

constexpr char Sync = char(0xFD);

// Compares in place: this runs several times for every record.
bool startsWithHeader(const QByteArray& buffer, UnitReplies::Code code)
{
    return buffer.size() >= 4 && buffer.at(0) == Sync && buffer.at(1) == char(0x55) &&
           buffer.at(2) == char(0xAA) && quint8(buffer.at(3)) == UnitReplies::codeByte(code);
}

} // namespace

namespace UnitReplies {

quint8 codeByte(Code code)
{
    switch (code) {
    case Code::Ack:
        return 0x00;
    case Code::ChecksumRefusal:
        return 0x01;
    case Code::ProductCodeRefusal:
        return 0x02;
    case Code::RecordTypeRefusal:
        return 0x03;
    case Code::Unknown:
        return 0xFF;
    }
    return 0xFF;
}

qsizetype length(Code code)
{
    return code == Code::Unknown ? 6 : 8;
}

QString logText(Code code)
{
    switch (code) {
    case Code::Ack:
        return QStringLiteral("ACK from unit");
    case Code::ChecksumRefusal:
        return QStringLiteral("NAK - Incorrect Checksum");
    case Code::ProductCodeRefusal:
        return QStringLiteral("NAK - Incorrect Product Code");
    case Code::RecordTypeRefusal:
        return QStringLiteral("NAK - Incorrect Record Type");
    case Code::Unknown:
        return QStringLiteral("Unknown");
    }
    return {};
}

bool isRefusal(Code code)
{
    return code == Code::ChecksumRefusal || code == Code::ProductCodeRefusal ||
           code == Code::RecordTypeRefusal;
}

int dropStrayBytes(QByteArray& buffer)
{
    qsizetype stray = 0;
    while (buffer.size() - stray >= 2 && buffer.at(stray) != Sync)
        ++stray;
    buffer.remove(0, stray);
    return int(stray);
}

bool take(QByteArray& buffer, Code code)
{
    if (!startsWithHeader(buffer, code) || buffer.size() < length(code))
        return false;
    buffer.remove(0, length(code));
    return true;
}

std::optional<Code> atFront(const QByteArray& buffer)
{
    for (Code code : RecognitionOrder) {
        if (startsWithHeader(buffer, code))
            return code;
    }
    return std::nullopt;
}

} // namespace UnitReplies
