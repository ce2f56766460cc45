#pragma once

#include "engine/AddressRanges.h"

#include <QString>
#include <QStringList>

// What an upload of a checked firmware file will send.
struct FirmwareSummary
{
    qint64 records = 0; // record lines up to and including the first end-of-file record
    qint64 recordsToSend = 0;
    qint64 skippedNoData = 0;   // 32 bytes of FF
    qint64 skippedBootCode = 0; // load address FCxx
    qint64 dataBytes = 0;       // of the data records sent
    AddressRanges ranges;       // written by the data records sent, extended addresses applied
    qint64 linesAfterEnd = 0;   // non-blank lines after the end-of-file record, never sent

    // "Firmware check: 2,049 records, 2,001 to send (40 skipped as all-FF, 8 as boot code),
    // 32,016 data bytes" and "Addresses: 0x00000000-0x00007CFF, 0x00010000-0x0001FFFF".
    QStringList logLines() const;

    bool operator==(const FirmwareSummary&) const = default;
};

struct FirmwareCheckResult
{
    enum class Kind
    {
        Ok,
        Malformed,
        Unreadable
    };

    Kind kind = Kind::Ok;
    FirmwareSummary summary; // Ok
    // Malformed: the first problem, e.g. "line 7, column 12: 'G' is not a hex digit".
    // Unreadable: the reason the file could not be opened or read.
    QString problem;
    qint64 line = 0; // Malformed: the problem's line (1-based); 0 when it concerns the whole file
    // The SHA-256 of the file's bytes, lower-case hex: set when the whole file was read (Ok, and a
    // file refused for its SHA-256).
    QString sha256;

    bool ok() const { return kind == Kind::Ok; }
    // The result for the log: the summary and the SHA-256, or one line with the problem.
    QStringList logLines() const;
    // Why the file at path cannot be used, for an operator: "Cannot open the firmware file P: why"
    // or "The firmware file P cannot be sent: problem". Empty when it can.
    QString refusal(const QString& path) const;

    bool operator==(const FirmwareCheckResult&) const = default;
};
