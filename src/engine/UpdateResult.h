#pragma once

#include <QMetaType>
#include <QString>

#include <chrono>

// How an update ended. The names (outcomeName) are stable: scripts read them.
enum class UpdateOutcome
{
    Succeeded,
    BadInput,       // no address, no valid port, or a build for no known product
    FileError,      // the firmware file could not be opened or read
    MalformedFile,  // the firmware file is no complete HEX file, or not the one expected
    FileChanged,    // the firmware file changed after it was checked; its end never went out
    NoConnection,   // no connection within the limit
    Refused,        // the unit refused a message (refusalCode)
    UnknownReply,   // the unit gave the reply the tool does not know (FD 55 AA FF)
    NoReply,        // the unit did not answer in time
    ConnectionLost, // the connection ended before the update was complete
    TooMuchData,    // the peer sent far more than replies: no unit, or a broken one
    Cancelled,      // abort()
};

struct UpdateResult
{
    UpdateOutcome outcome = UpdateOutcome::Cancelled;
    quint8 refusalCode = 0;               // 01, 02 or 03 when refused
    QString reason;                       // the first line that says why; empty on success
    std::chrono::milliseconds elapsed{0}; // program time from start() to the end
    qint64 recordsSent = 0;
    qint64 recordsToSend = 0; // from the firmware check; 0 when the file was not checked whole
    QString sha256;           // of the checked file, lower-case hex; empty when it was not read whole
    // The product-code frame went out: the unit may hold part of the file.
    bool reachedUnit = false;

    bool succeeded() const { return outcome == UpdateOutcome::Succeeded; }
};

// "succeeded", "bad-input", "file-error", ...
QString outcomeName(UpdateOutcome outcome);
// "01", "02" or "03" for a refusal, else empty.
QString refusalCodeText(const UpdateResult& result);

Q_DECLARE_METATYPE(UpdateResult)
