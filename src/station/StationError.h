#pragma once

#include <QJsonObject>
#include <QString>

#include <utility>

// Why the station refuses a request or cannot do what it asks: a code a client can act on (its
// name is the "error" of the answer), a message for a person, and any further members the answer
// carries (the busy units of unit-busy). What HTTP status a code is answered with is the HTTP
// side's business (StationErrorResponse).
class StationError
{
public:
    enum class Code
    {
        Misdirected,        // a Host the station does not answer to
        MethodNotAllowed,   // a path that takes other methods
        BadPath,            // "..", "." segments, backslashes or control characters
        Unauthorized,       // no token, or not the station's
        Forbidden,          // a token whose role may not do that
        TooManyTries,       // an address that sent too many wrong tokens (extra: retry_after)
        NotFound,           // no such path, page, firmware, run or update
        BadName,            // a firmware name with a path, control characters or without .hex
        TooLarge,           // a firmware file over --max-firmware-size
        BadSha256,          // a firmware id that is no SHA-256
        FirmwareInUse,      // firmware a running run uses
        CheckFailed,        // a firmware file the firmware check refused
        BadSignature,       // a signature that does not make the stored file released firmware
        UnsignedFirmware,   // a run of firmware without a good signature, where one is required
        RunEnded,           // cancelling a run that ended already
        RunRunning,         // retrying a run that has not ended yet
        NothingFailed,      // retrying a run whose every unit succeeded
        BadJson,            // a run's body that is no JSON object
        UnknownField,       // a run's body with a member it does not take
        BadProduct,         // no such product, or none given where the build has none
        BadParallel,        // parallel out of range
        BadUnits,           // no units, too many, or one that is no HOST[:PORT]
        UnknownFirmware,    // a run's firmware that is not stored
        UnitBusy,           // units another run is updating (extra: units)
        TooManyRuns,        // RunRegistry::MaxRunning runs running
        BadFilter,          // a history filter with an unknown name or a bad value
        BadId,              // an update id that is no positive whole number
        HistoryUnavailable, // the history cannot be read
        HistoryBusy,        // HistoryApi::MaxPendingReads reads under way
        BadSerial,          // a serial number that is no printable text of at most 64 characters
        BadRetries,         // retries out of range
        BadLot,             // a lot that is no printable text of at most 64 characters
        Internal,           // the station's own trouble (a file it cannot write, ...)
    };

    StationError(Code code, QString message, QJsonObject extra = {})
        : m_code(code), m_message(std::move(message)), m_extra(std::move(extra))
    {
    }

    Code code() const { return m_code; }
    // "unit-busy", as the answer's "error" names it.
    QString name() const { return nameOf(m_code); }
    const QString& message() const { return m_message; }
    const QJsonObject& extra() const { return m_extra; }

    static QString nameOf(Code code);
    // unsigned-firmware: the stored file has no verified signature where one is required.
    static StationError unsignedFirmware(const QString& sha256);

private:
    Code m_code;
    QString m_message;
    QJsonObject m_extra;
};
