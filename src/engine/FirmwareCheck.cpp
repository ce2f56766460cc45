#include "engine/FirmwareCheck.h"

#include "engine/RecordRules.h"
#include "engine/Sha256Sidecar.h"
#include "engine/TextFormat.h"

#include <QFileInfo>

#include <algorithm>
#include <utility>

FirmwareCheck::FirmwareCheck(QString path, QString expectedSha256)
    : m_file(std::move(path)), m_expectedSha256(expectedSha256.toLower())
{
    if (!m_file.open(QIODevice::ReadOnly)) {
        finish(FirmwareCheckResult::Kind::Unreadable, m_file.errorString());
        return;
    }
    m_size = m_file.size();
}

bool FirmwareCheck::step(qint64 maxBytes)
{
    qint64 budget = std::max<qint64>(maxBytes, 1);
    while (!m_finished && budget > 0) {
        const qint64 want = std::min(budget, ChunkSize);
        if (m_chunk.size() < want)
            m_chunk.resize(want);
        const qint64 got = m_file.read(m_chunk.data(), want);
        if (got < 0) {
            finish(FirmwareCheckResult::Kind::Unreadable, m_file.errorString());
            break;
        }
        if (got == 0) {
            endOfInput();
            break;
        }
        m_position += got;
        budget -= got;
        m_hash.addData(QByteArrayView(m_chunk.constData(), qsizetype(got)));
        consume(m_chunk.constData(), qsizetype(got));
    }
    return m_finished;
}

void FirmwareCheck::consume(const char* data, qsizetype size)
{
    qsizetype i = 0;
    if (m_afterCr) {
        m_afterCr = false;
        if (data[0] == '\n')
            i = 1;
    }
    while (i < size && !m_finished) {
        qsizetype end = i;
        while (end < size && data[end] != '\r' && data[end] != '\n')
            ++end;
        m_line.append(data + i, end - i);
        if (end == size) {
            failEarly();
            return;
        }
        if (data[end] == '\r') {
            if (end + 1 == size)
                m_afterCr = true;
            else if (data[end + 1] == '\n')
                ++end;
        }
        i = end + 1;
        endLine();
    }
}

// A line already known to be malformed fails before it ends, so that a file with no line ends
// (a binary image chosen by mistake) is not read to its end first.
void FirmwareCheck::failEarly()
{
    RecordLine::Problem problem;
    if (m_endOfFileLine == 0 && !m_line.checkSoFar(problem)) {
        ++m_lineNumber;
        failOnLine(problem.text, problem.column);
    }
}

void FirmwareCheck::endLine()
{
    ++m_lineNumber;
    if (!m_line.isBlank()) {
        if (m_endOfFileLine == 0) {
            checkRecord();
        } else if (m_line.startsWithColon()) {
            // Most likely two files joined: what follows would be cut off without a word.
            failOnLine(QStringLiteral("a record follows the end-of-file record on line ") +
                       TextFormat::count(m_endOfFileLine));
        } else {
            ++m_result.summary.linesAfterEnd;
        }
    }
    m_line.clear();
}

void FirmwareCheck::checkRecord()
{
    RecordLine::Record record;
    RecordLine::Problem problem;
    if (!m_line.check(record, problem)) {
        failOnLine(problem.text, problem.column);
        return;
    }
    FirmwareSummary& summary = m_result.summary;
    ++summary.records;
    // The upload applies the skip rules to the raw line, so the check does too.
    const QByteArray text = m_line.text();
    const RecordRules::Skip skip = RecordRules::skipReason(text);
    if (record.type == 0x01) {
        if (skip != RecordRules::Skip::None) {
            failOnLine(QStringLiteral("the end-of-file record at address ") +
                       QString::fromLatin1(RecordRules::address(text)) +
                       QStringLiteral(" would be skipped as boot code, so the unit would never get it"));
            return;
        }
        m_endOfFileLine = m_lineNumber;
        ++summary.recordsToSend;
        return;
    }
    if (skip == RecordRules::Skip::NoData) {
        ++summary.skippedNoData;
        return;
    }
    if (skip == RecordRules::Skip::BootCode) {
        ++summary.skippedBootCode;
        return;
    }
    ++summary.recordsToSend;
    // Only records the unit gets move its base address, so the ranges are where it writes.
    switch (record.type) {
    case 0x00:
        summary.dataBytes += record.dataBytes;
        if (record.dataBytes > 0) {
            const quint64 first = m_base + record.address;
            summary.ranges.add(first, first + quint64(record.dataBytes) - 1);
        }
        break;
    case 0x02:
        m_base = quint64(record.value) * 16;
        break;
    case 0x04:
        m_base = quint64(record.value) << 16;
        break;
    default:
        break;
    }
}

void FirmwareCheck::endOfInput()
{
    if (m_line.length() > 0)
        endLine(); // the last line has no terminator
    if (m_finished)
        return;
    if (m_endOfFileLine == 0)
        finish(FirmwareCheckResult::Kind::Malformed,
               QStringLiteral("the file ends without an end-of-file record (:00000001FF)"));
    else
        checkIdentity();
}

void FirmwareCheck::checkIdentity()
{
    const QString sha256 = m_hash.finish();
    m_result.sha256 = sha256;
    if (!m_expectedSha256.isEmpty() && sha256 != m_expectedSha256) {
        finish(FirmwareCheckResult::Kind::Malformed,
               QStringLiteral("its SHA-256 is %1, but %2 was expected").arg(sha256, m_expectedSha256));
        return;
    }
    const Sha256Sidecar sidecar = Sha256Sidecar::read(m_file.fileName());
    if (sidecar.state == Sha256Sidecar::State::Unusable) {
        finish(FirmwareCheckResult::Kind::Malformed, sidecar.problem);
        return;
    }
    if (sidecar.state == Sha256Sidecar::State::Found && sidecar.sha256 != sha256) {
        finish(FirmwareCheckResult::Kind::Malformed,
               QStringLiteral("its SHA-256 is %1, but %2 says %3")
                   .arg(sha256, TextFormat::escaped(QFileInfo(sidecar.path).fileName()), sidecar.sha256));
        return;
    }
    finish(FirmwareCheckResult::Kind::Ok);
}

void FirmwareCheck::failOnLine(const QString& text, qint64 column)
{
    QString where = QStringLiteral("line ") + TextFormat::count(m_lineNumber);
    if (column > 0)
        where += QStringLiteral(", column ") + TextFormat::count(column);
    finish(FirmwareCheckResult::Kind::Malformed, where + QStringLiteral(": ") + text);
    m_result.line = m_lineNumber;
}

void FirmwareCheck::finish(FirmwareCheckResult::Kind kind, const QString& problem)
{
    m_finished = true;
    m_result.kind = kind;
    m_result.problem = problem;
    if (kind != FirmwareCheckResult::Kind::Ok)
        m_result.summary = {};
    m_file.close();
    m_chunk = QByteArray();
}

FirmwareCheckResult FirmwareCheck::checkFile(const QString& path, const QString& expectedSha256)
{
    FirmwareCheck check(path, expectedSha256);
    while (!check.step(ChunkSize)) {
    }
    return check.result();
}
