#include "unitsim/FlashImage.h"

#include "unitsim/HexRecord.h"

#include <QList>

#include <algorithm>
#include <cstring>

namespace unitsim {

void FlashImage::write(quint32 address, QByteArrayView data)
{
    const quint64 room = 0x100000000ull - address;
    if (quint64(data.size()) > room)
        data = data.first(qsizetype(room));
    if (data.isEmpty())
        return;

    // Extend the run that starts at or before the address and reaches it, else start a new one.
    auto it = m_runs.upper_bound(address);
    if (it != m_runs.begin()) {
        auto prev = std::prev(it);
        if (quint64(prev->first) + quint64(prev->second.size()) >= address)
            it = prev;
    }
    if (it == m_runs.end() || it->first > address)
        it = m_runs.emplace_hint(it, address, QByteArray());

    QByteArray& run = it->second;
    const qsizetype offset = qsizetype(address - it->first);
    if (run.size() < offset + data.size())
        run.resize(offset + data.size());
    std::memcpy(run.data() + offset, data.data(), size_t(data.size()));

    // Swallow following runs that now touch or overlap; the new data wins where they overlap.
    quint64 end = quint64(it->first) + quint64(run.size());
    for (auto next = std::next(it); next != m_runs.end() && next->first <= end;) {
        const quint64 nextEnd = quint64(next->first) + quint64(next->second.size());
        if (nextEnd > end) {
            run.append(next->second.constData() + (end - next->first), qsizetype(nextEnd - end));
            end = nextEnd;
        }
        next = m_runs.erase(next);
    }
}

qint64 FlashImage::byteCount() const
{
    qint64 total = 0;
    for (const auto& [start, bytes] : m_runs)
        total += bytes.size();
    return total;
}

QMap<quint32, QByteArray> FlashImage::ranges() const
{
    QMap<quint32, QByteArray> out;
    for (const auto& [start, bytes] : m_runs)
        out.insert(start, bytes);
    return out;
}

QByteArray FlashImage::toIntelHex(int bytesPerRecord) const
{
    bytesPerRecord = std::clamp(bytesPerRecord, 1, 255);
    QByteArray out;
    quint16 upper = 0;
    for (const auto& [start, bytes] : m_runs) {
        for (qsizetype pos = 0; pos < bytes.size();) {
            const quint32 address = start + quint32(pos);
            if (address >> 16 != upper) {
                upper = quint16(address >> 16);
                HexRecord ext{HexRecord::ExtendedLinearAddress, 0, QByteArray()};
                ext.data.append(char(upper >> 8)).append(char(upper & 0xFF));
                out += ext.toLine() + '\n';
            }
            const qsizetype toBoundary = 0x10000 - (address & 0xFFFF);
            const qsizetype n = std::min({qsizetype(bytesPerRecord), bytes.size() - pos, toBoundary});
            out += HexRecord{HexRecord::Data, quint16(address & 0xFFFF), bytes.mid(pos, n)}.toLine() + '\n';
            pos += n;
        }
    }
    out += HexRecord{HexRecord::EndOfFile, 0, QByteArray()}.toLine() + '\n';
    return out;
}

QByteArray FlashImage::toBinary() const
{
    if (m_runs.empty())
        return {};
    const quint32 first = m_runs.begin()->first;
    const auto& [lastStart, lastBytes] = *m_runs.rbegin();
    QByteArray out(qsizetype(lastStart - first) + lastBytes.size(), char(0xFF));
    for (const auto& [start, bytes] : m_runs)
        std::memcpy(out.data() + (start - first), bytes.constData(), size_t(bytes.size()));
    return out;
}

FlashImage FlashImage::fromIntelHex(QByteArrayView text, QString* error)
{
    auto fail = [error](int line, const QString& why) {
        if (error)
            *error = QStringLiteral("line %1: %2").arg(line).arg(why);
        return FlashImage();
    };

    FlashImage image;
    quint32 base = 0;
    int lineNo = 0;
    for (const QByteArray& raw : QByteArray(text.data(), text.size()).split('\n')) {
        ++lineNo;
        const QByteArray line = raw.trimmed();
        if (line.isEmpty())
            continue;
        HexRecord record;
        switch (HexRecord::parse(line, &record)) {
        case HexRecord::Status::Malformed:
            return fail(lineNo, QStringLiteral("malformed record"));
        case HexRecord::Status::BadChecksum:
            return fail(lineNo, QStringLiteral("checksum mismatch"));
        case HexRecord::Status::Ok:
            break;
        }
        switch (record.type) {
        case HexRecord::Data:
            image.write(base + record.address, record.data);
            break;
        case HexRecord::EndOfFile:
            if (error)
                error->clear();
            return image;
        case HexRecord::ExtendedSegmentAddress:
            base = quint32(record.dataWord()) << 4;
            break;
        case HexRecord::ExtendedLinearAddress:
            base = quint32(record.dataWord()) << 16;
            break;
        case HexRecord::StartSegmentAddress:
        case HexRecord::StartLinearAddress:
            break;
        default:
            return fail(lineNo, QStringLiteral("unsupported record type %1").arg(record.type, 2, 16, QLatin1Char('0')));
        }
    }
    return fail(lineNo, QStringLiteral("no end-of-file record"));
}

} // namespace unitsim
