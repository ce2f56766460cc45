#pragma once

#include "engine/FirmwareCheckResult.h"
#include "engine/RecordLine.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// Checks a HEX file in one streaming pass, before an upload or when a file is chosen: every
// non-blank line up to the first end-of-file record must be a well-formed Intel HEX record, and
// no record may follow that one. Lines end as FirmwareFile ends them (CR, CR LF, LF), and the
// skip rules are RecordRules', so the summary tells what an upload will send.
//
// Runs in slices on the event loop: call step() until it returns true. Memory stays the same
// whatever the file's size or its lines' lengths.
class FirmwareCheck
{
public:
    static constexpr qint64 ChunkSize = 64 * 1024;

    explicit FirmwareCheck(QString path);
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
    static FirmwareCheckResult checkFile(const QString& path);

private:
    void consume(const char* data, qsizetype size);
    void failEarly();
    void endLine();
    void checkRecord();
    void endOfInput();
    // The problem is on line m_lineNumber.
    void failOnLine(const QString& text, qint64 column = 0);
    void finish(FirmwareCheckResult::Kind kind, const QString& problem = {});

    QFile m_file;
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
