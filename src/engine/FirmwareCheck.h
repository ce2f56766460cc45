#pragma once

#include "engine/FirmwareCheckResult.h"
#include "engine/RecordLine.h"
#include "engine/Sha256Hash.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// Checks a HEX file in one streaming pass, before an upload or when a file is chosen: every
// non-blank line up to the first end-of-file record must be a well-formed Intel HEX record, and
// no record may follow that one. Lines end as FirmwareFile ends them (CR, CR LF, LF), and the
// skip rules are RecordRules', so the summary tells what an upload will send.
//
// The same pass computes the SHA-256 of the file's exact bytes. A good file must also be the one
// expected: its SHA-256 must equal the one the caller names, if any, and the one in a checksum file
// beside it (Sha256Sidecar), if there is one; otherwise it is refused like a malformed file.
//
// Runs in slices on the event loop: call step() until it returns true. Memory stays the same
// whatever the file's size or its lines' lengths.
class FirmwareCheck
{
public:
    static constexpr qint64 ChunkSize = 64 * 1024;

    // expectedSha256: 64 hex digits, or empty to expect nothing beyond the checksum file.
    explicit FirmwareCheck(QString path, QString expectedSha256 = {});
    FirmwareCheck(const FirmwareCheck&) = delete;
    FirmwareCheck& operator=(const FirmwareCheck&) = delete;

    // Reads and checks up to maxBytes more (at least one byte); returns true once finished.
    bool step(qint64 maxBytes);
    bool finished() const { return m_finished; }

    qint64 bytesChecked() const { return m_position; }
    qint64 fileSize() const { return m_size; }

    // Final once finished() is true.
    const FirmwareCheckResult& result() const { return m_result; }

    // The whole check in one go.
    static FirmwareCheckResult checkFile(const QString& path, const QString& expectedSha256 = {});

private:
    void consume(const char* data, qsizetype size);
    void failEarly();
    void endLine();
    void checkRecord();
    void endOfInput();
    // The problem is on line m_lineNumber.
    void failOnLine(const QString& text, qint64 column = 0);
    void finish(FirmwareCheckResult::Kind kind, const QString& problem = {});
    void checkIdentity();

    QFile m_file;
    QString m_expectedSha256;
    Sha256Hash m_hash;
    QByteArray m_chunk;
    qint64 m_size = 0;
    qint64 m_position = 0;
    bool m_finished = false;
    FirmwareCheckResult m_result;

    RecordLine m_line;
    qint64 m_lineNumber = 0; // lines ended so far
    bool m_afterCr = false;  // the previous byte ended a line at CR; an LF now belongs to it
    qint64 m_endOfFileLine = 0;
    quint64 m_base = 0; // from the latest extended segment or linear address record sent
};
