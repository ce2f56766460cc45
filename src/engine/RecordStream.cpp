#include "engine/RecordStream.h"

#include "engine/TextFormat.h"

std::optional<RecordStream::Problem> RecordStream::open(const QString& path, const QString& checkedSha256)
{
    m_path = path;
    m_checkedSha256 = checkedSha256;
    if (m_file.open(path))
        return std::nullopt;
    return Problem{UpdateOutcome::FileError,
                   {QStringLiteral("Cannot open the firmware file %1: %2")
                        .arg(TextFormat::escaped(path), m_file.errorString())}};
}

RecordStream::Next RecordStream::next()
{
    QList<Skipped> skipped;
    // atEnd() passes over blank lines: they carry no record, and the unit would never answer one.
    while (!m_file.atEnd()) {
        QByteArray line = m_file.readLine();
        const RecordRules::Skip skip = RecordRules::skipReason(line);
        if (skip != RecordRules::Skip::None) {
            skipped.append({RecordRules::address(line), skip});
            continue;
        }
        const bool last = RecordRules::isEndOfFileRecord(line);
        return {Record{std::move(line), last}, std::move(skipped)};
    }
    if (m_file.hasError()) {
        return {Problem{UpdateOutcome::FileError,
                        {QStringLiteral("Upload stopped: the firmware file could not be read: ") +
                         m_file.errorString()}},
                std::move(skipped)};
    }
    // It passed the check, so it changed since.
    return {Problem{UpdateOutcome::FileChanged,
                    {QStringLiteral("Upload stopped: the firmware file changed while it was sent, "
                                    "and ends without its end-of-file record now.")}},
            std::move(skipped)};
}

// The end-of-file record is the one that makes the unit write what it got, so every byte of the
// file must still be the file that was checked. A build that rewrites its output while it is sent
// would otherwise have the unit write a mix of two firmwares.
std::optional<RecordStream::Problem> RecordStream::confirmUnchanged()
{
    const QString streamed = m_file.sha256ToEnd();
    if (!streamed.isEmpty() && streamed == m_checkedSha256)
        return std::nullopt;
    const QString why = streamed.isEmpty()
                            ? QStringLiteral("it could not be read to its end (%1)").arg(m_file.errorString())
                            : QStringLiteral("its SHA-256 is now %1, not %2").arg(streamed, m_checkedSha256);
    return Problem{
        UpdateOutcome::FileChanged,
        {QStringLiteral("The firmware file %1 changed during the update: %2.")
             .arg(TextFormat::escaped(m_path), why),
         QStringLiteral("The end-of-file record was not sent, so the unit does not write what it received. "
                        "Start the update again once the file is final.")}};
}
