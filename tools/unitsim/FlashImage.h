#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QMap>
#include <QString>

#include <map>

namespace unitsim {

// Sparse flash contents: byte address -> value, kept as merged contiguous runs.
class FlashImage
{
public:
    // Later writes overwrite earlier ones; data past 0xFFFFFFFF is dropped.
    void write(quint32 address, QByteArrayView data);

    bool isEmpty() const { return m_runs.empty(); }
    qint64 byteCount() const;
    // Contiguous runs keyed by start address; touching or overlapping writes form one run.
    QMap<quint32, QByteArray> ranges() const;

    // Data records of `bytesPerRecord` bytes (16 or 32 are customary), never crossing a 64 KiB
    // boundary, with 04 records whenever the upper address half changes, and the EOF record.
    QByteArray toIntelHex(int bytesPerRecord = 16) const;
    // Lowest to highest written address, gaps filled with FF.
    QByteArray toBinary() const;

    // Parses a whole HEX file (LF or CRLF lines, records 00-05). Returns an empty image and sets
    // `error` if a line is malformed, a checksum is wrong or the EOF record is missing.
    static FlashImage fromIntelHex(QByteArrayView text, QString* error = nullptr);

    bool operator==(const FlashImage& other) const = default;

private:
    std::map<quint32, QByteArray> m_runs;
};

} // namespace unitsim
