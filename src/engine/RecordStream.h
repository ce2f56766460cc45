#pragma once

#include "engine/FirmwareFile.h"
#include "engine/RecordRules.h"
#include "engine/UpdateResult.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// The firmware file as an update sends it: one record line at a time, without the blank lines and
// the records the skip rules leave out, up to the first end-of-file record, which ends the
// firmware (nothing after it is sent). Before that record goes out, confirmUnchanged() makes sure
// the file still is, byte for byte, the one the firmware check passed.
//
// What it cannot go on with is a Problem: the update's outcome and the lines that say why.
class RecordStream
{
public:
    struct Record
    {
        QByteArray line;   // without its terminator
        bool last = false; // the end-of-file record
    };
    struct Problem
    {
        UpdateOutcome outcome = UpdateOutcome::FileError;
        QStringList lines;
    };
    // A record passed over on the way to the next one.
    struct Skipped
    {
        QByteArray address;
        RecordRules::Skip reason = RecordRules::Skip::None;
    };
    struct Next
    {
        std::variant<Record, Problem> item;
        QList<Skipped> skipped; // before the record, or before the problem
    };

    // checkedSha256: what the firmware check computed for the whole file.
    std::optional<Problem> open(const QString& path, const QString& checkedSha256);
    void close() { m_file.close(); }

    // Bytes read so far, and the file's size; 0 once closed.
    qint64 position() const { return m_file.position(); }
    qint64 size() const { return m_file.size(); }

    // The next record to send. Not to be asked for once the last record has been given.
    Next next();
    // Reads the rest of the file and compares the SHA-256 of all of it with the checked one.
    std::optional<Problem> confirmUnchanged();

private:
    FirmwareFile m_file;
    QString m_path;
    QString m_checkedSha256;
};
