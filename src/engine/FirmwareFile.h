#pragma once

#include "engine/Sha256Hash.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// The open HEX file, read line by line without terminators. A line ends at CR, CR LF or a lone
// LF (files from Unix toolchains use LF). Blank lines carry no record: atEnd() is true once only
// blank lines remain, so trailing empty lines never count as records still to send.
class FirmwareFile
{
public:
    static constexpr qint64 ChunkSize = 64 * 1024;

    // chunkSize: bytes read from the file at a time. Small sizes put line terminators at chunk
    // boundaries often, which the fuzz target relies on.
    explicit FirmwareFile(qint64 chunkSize = ChunkSize) : m_chunkSize(chunkSize > 0 ? chunkSize : ChunkSize)
    {
    }
    FirmwareFile(const FirmwareFile&) = delete;
    FirmwareFile& operator=(const FirmwareFile&) = delete;

    // Returns false with the reason in errorString() when the file cannot be opened.
    bool open(const QString& path);
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    qint64 size() const { return m_size; }

    // The next line, without its terminator; empty at the end.
    QByteArray readLine();
    // The next line, without its terminator, blank or not; false at the end. Unlike readLine(),
    // tells an empty line from the end, for callers that count lines.
    bool nextLine(QByteArray& line);
    // No line with content is left (only blank lines, or nothing). A read error also ends the
    // file; hasError() tells the two apart.
    bool atEnd();
    // Bytes consumed so far, terminators included.
    qint64 position() const { return m_position; }

    // Reads what is left of the file, past any line not yet taken, and returns the SHA-256 of every
    // byte the file held from its start (lower-case hex), so a caller can tell that the file it
    // sent is the file it checked. Empty after a read error. Lines are not to be read after it.
    QString sha256ToEnd();

    bool hasError() const { return !m_error.isEmpty(); }
    QString errorString() const { return m_error; }

    static bool isBlank(const QByteArray& line);

private:
    // Finds the next line in the buffer, reading more as needed. Returns false at the end.
    bool nextLine(qsizetype& lineLength, qsizetype& terminatorLength);
    bool fill();

    const qint64 m_chunkSize;
    QFile m_file;
    QByteArray m_buffer;
    qsizetype m_offset = 0; // start of the unread part of m_buffer
    qint64 m_position = 0;
    qint64 m_size = 0;
    bool m_eof = false;
    QString m_error;
    Sha256Hash m_hash; // of every byte read from the file
};
