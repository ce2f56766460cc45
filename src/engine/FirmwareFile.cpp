#include "engine/FirmwareFile.h"

bool FirmwareFile::open(const QString& path)
{
    close();
    m_error.clear();
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        m_error = m_file.errorString();
        return false;
    }
    m_size = m_file.size();
    m_hash.reset();
    return true;
}

void FirmwareFile::close()
{
    m_file.close();
    m_buffer.clear();
    m_offset = 0;
    m_position = 0;
    m_size = 0;
    m_eof = false;
}

bool FirmwareFile::fill()
{
    if (m_eof || !m_file.isOpen())
        return false;
    if (m_offset > 0) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    const qsizetype kept = m_buffer.size();
    m_buffer.resize(kept + m_chunkSize);
    const qint64 got = m_file.read(m_buffer.data() + kept, m_chunkSize);
    if (got < 0) {
        m_error = m_file.errorString();
        m_buffer.resize(kept);
        m_eof = true;
        return false;
    }
    m_buffer.resize(kept + got);
    m_hash.addData(QByteArrayView(m_buffer.constData() + kept, qsizetype(got)));
    if (got == 0)
        m_eof = true;
    return got > 0;
}

bool FirmwareFile::nextLine(qsizetype& lineLength, qsizetype& terminatorLength)
{
    qsizetype scanned = 0; // bytes of the line looked at so far, relative to m_offset
    for (;;) {
        const char* data = m_buffer.constData() + m_offset;
        const qsizetype available = m_buffer.size() - m_offset;
        bool crAtEnd = false;
        for (; scanned < available; ++scanned) {
            const char c = data[scanned];
            if (c == '\n') {
                lineLength = scanned;
                terminatorLength = 1;
                return true;
            }
            if (c == '\r') {
                if (scanned + 1 < available) {
                    lineLength = scanned;
                    terminatorLength = data[scanned + 1] == '\n' ? 2 : 1;
                    return true;
                }
                crAtEnd = true; // may be the first half of CR LF in the next chunk
                break;
            }
        }
        if (!fill()) {
            if (crAtEnd) {
                lineLength = scanned;
                terminatorLength = 1;
                return true;
            }
            if (available > 0) {
                lineLength = available; // the last line has no terminator
                terminatorLength = 0;
                return true;
            }
            return false;
        }
    }
}

QByteArray FirmwareFile::readLine()
{
    QByteArray line;
    nextLine(line);
    return line;
}

bool FirmwareFile::nextLine(QByteArray& line)
{
    qsizetype lineLength = 0;
    qsizetype terminatorLength = 0;
    if (!nextLine(lineLength, terminatorLength)) {
        line.clear();
        return false;
    }
    line = QByteArray(m_buffer.constData() + m_offset, lineLength);
    m_offset += lineLength + terminatorLength;
    m_position += lineLength + terminatorLength;
    return true;
}

bool FirmwareFile::atEnd()
{
    for (;;) {
        qsizetype lineLength = 0;
        qsizetype terminatorLength = 0;
        if (!nextLine(lineLength, terminatorLength))
            return true;
        if (!isBlank(QByteArray::fromRawData(m_buffer.constData() + m_offset, lineLength)))
            return false;
        // Blank lines are passed over here, so the caller never sees them as records.
        m_offset += lineLength + terminatorLength;
        m_position += lineLength + terminatorLength;
    }
}

bool FirmwareFile::isBlank(const QByteArray& line)
{
    for (char c : line) {
        if (c != ' ' && c != '\t')
            return false;
    }
    return true;
}

QString FirmwareFile::sha256ToEnd()
{
    if (!m_file.isOpen() || hasError())
        return {};
    QByteArray chunk(m_chunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 got = m_file.read(chunk.data(), m_chunkSize);
        if (got < 0) {
            m_error = m_file.errorString();
            return {};
        }
        if (got == 0)
            break;
        m_hash.addData(QByteArrayView(chunk.constData(), qsizetype(got)));
    }
    m_eof = true;
    return m_hash.finish();
}
